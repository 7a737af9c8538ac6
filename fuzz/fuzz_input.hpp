// Decoding of fuzzer bytes into arguments, and the checks the targets use.
// A failed check prints what it saw and aborts, which libFuzzer reports as a
// crash with the input saved.
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <span>
#include <string>
#include <vector>

namespace fuzz {

[[noreturn]] inline void fail(const char* what, const char* file, int line, const std::string& detail) {
    std::fprintf(stderr, "\n*** check failed at %s:%d: %s\n    %s\n", file, line, what, detail.c_str());
    std::abort();
}

#define FUZZ_CHECK(condition, detail)                                            \
    do {                                                                         \
        if (!(condition)) ::fuzz::fail(#condition, __FILE__, __LINE__, (detail)); \
    } while (0)

inline std::string show(double d) {
    char text[64];
    std::snprintf(text, sizeof text, "%.17g (0x%016llx)", d,
                  static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(d)));
    return text;
}

// Same bits, or both NaN (a NaN's payload is not part of any result).
inline bool same(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

inline bool all_finite(std::span<const double> values) {
    for (double v : values)
        if (!std::isfinite(v)) return false;
    return true;
}

// The mean written out independently of the library: one accumulator from
// -0.0, first value to last.
inline double literal_mean(std::span<const double> values) {
    double s = -0.0;
    for (double v : values) s = s + v;
    return s / static_cast<double>(values.size());
}

// Reads the input front to back; past its end every read gives zeros, so
// every input decodes to something.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

    std::uint64_t u64() {
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= static_cast<std::uint64_t>(byte()) << (8 * i);
        return v;
    }

    // 0 to bound - 1 from one byte (bound at most 256).
    std::size_t below(std::size_t bound) { return bound == 0 ? 0 : byte() % bound; }

    double raw_double() { return std::bit_cast<double>(u64()); }

    // A tag byte picks the kind: raw bits (NaN, infinities, subnormals and
    // -0.0 among them), a value from a table of edges, a small integer, or a
    // small multiple of 1/16.
    double number() {
        static constexpr double inf = std::numeric_limits<double>::infinity();
        static constexpr std::array<double, 24> edges{
            0.0, -0.0, 1.0, -1.0, 0.5, std::numeric_limits<double>::quiet_NaN(), inf, -inf,
            std::numeric_limits<double>::min(), std::numeric_limits<double>::denorm_min(),
            std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(), 1e-12, 1e16, 1e-4, 0.2, 0.8,
            0.05, 0.95, 1e300, -1e300, 1e-7, 0.1, 9007199254740993.0};
        switch (byte() % 4) {
            case 0: return raw_double();
            case 1: return edges[byte() % edges.size()];
            case 2: return static_cast<double>(static_cast<std::int8_t>(byte()));
            default: return static_cast<double>(static_cast<std::int8_t>(byte())) / 16.0;
        }
    }

    // Mostly in [0, 1]: a byte scaled to [0, 1], or one of number()'s values.
    double unit() {
        const std::uint8_t tag = byte();
        if (tag % 4 != 0) return static_cast<double>(byte()) / 255.0;
        return number();
    }

    std::vector<double> numbers(std::size_t count) {
        std::vector<double> values(count);
        for (double& v : values) v = number();
        return values;
    }

    std::vector<double> units(std::size_t count) {
        std::vector<double> values(count);
        for (double& v : values) v = unit();
        return values;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

}  // namespace fuzz
