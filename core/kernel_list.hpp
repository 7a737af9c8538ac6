// The variants of a kernel that this processor can run, each under its
// name, detected once per process and listed fastest first.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

namespace mirabund_core {

template <class Function>
struct NamedKernel {
    std::string_view name;
    Function function;
};

template <class Function, std::size_t capacity>
class KernelList {
public:
    void add(std::string_view name, Function function) { entries_[count_++] = {name, function}; }
    std::span<const NamedKernel<Function>> view() const { return std::span(entries_.data(), count_); }

private:
    std::array<NamedKernel<Function>, capacity> entries_{};
    std::size_t count_ = 0;
};

}  // namespace mirabund_core
