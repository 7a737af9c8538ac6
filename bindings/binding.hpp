// Arguments in: the declaration of a function's parameters, the matching of
// call arguments to them, and the converters for each kind of argument. One
// binder produces every binding message; every converter failure goes
// through one prefix rule.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "bindings/errors.hpp"

namespace mirabund_py {

// One parameter of a declared function: its name, the converter that turns
// the argument into the value the body takes, and for an optional parameter
// the default its text signature shows (its converter is then handed null
// when the argument is omitted).
template <class Value>
struct Parameter {
    const char* name;
    Value (*convert)(PyObject* argument);
    const char* default_text = nullptr;

    constexpr bool is_required() const { return default_text == nullptr; }
};

template <class Value>
constexpr Parameter<Value> required(const char* name, Value (*convert)(PyObject*)) {
    return {name, convert};
}

template <class Value>
constexpr Parameter<Value> optional(const char* name, Value (*convert)(PyObject*), const char* default_text) {
    return {name, convert, default_text};
}

template <class... Values>
using Parameters = std::tuple<Parameter<Values>...>;

// What the binder needs of a parameter.
struct ParameterName {
    const char* name;
    bool required;
};

template <class... Values>
constexpr std::array<ParameterName, sizeof...(Values)> parameter_names(const Parameters<Values...>& parameters) {
    return std::apply(
        [](const auto&... parameter) {
            return std::array<ParameterName, sizeof...(Values)>{{{parameter.name, parameter.is_required()}...}};
        },
        parameters);
}

// What a call is checked against. `display_name` is how binding messages name
// the callable, e.g. "cohens_d()" or "SequentialTest.update()".
struct Signature {
    const char* display_name;
    std::span<const ParameterName> parameters;
};

inline constexpr std::size_t max_parameters = 8;

// Arguments matched to parameters (borrowed; null where an optional one was
// not given).
class BoundArguments {
public:
    PyObject*& slot(std::size_t position) { return slots_[position]; }

    // Every argument converted, in declaration order: the first failure ends
    // the call before a later argument is looked at. A conversion TypeError
    // gets the parameter's name as a prefix.
    template <class... Values>
    std::tuple<Values...> convert(const Parameters<Values...>& parameters) const {
        static_assert(sizeof...(Values) <= max_parameters, "raise max_parameters");
        return [&]<std::size_t... Position>(std::index_sequence<Position...>) {
            // The elements of a braced list are evaluated left to right.
            return std::tuple<Values...>{convert_one(slots_[Position], std::get<Position>(parameters))...};
        }(std::index_sequence_for<Values...>{});
    }

private:
    template <class Value>
    static Value convert_one(PyObject* argument, const Parameter<Value>& parameter) {
        try {
            return parameter.convert(argument);
        } catch (const PythonError&) {
            add_argument_prefix(parameter.name);
        }
    }

    [[noreturn]] static void add_argument_prefix(const char* name);

    std::array<PyObject*, max_parameters> slots_{};
};

// The vectorcall form: positional array plus a tuple of keyword names.
BoundArguments bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames);
// The tuple and dictionary form used by constructors.
BoundArguments bind(const Signature& signature, PyObject* args, PyObject* kwargs);

// Writes constant texts (docstring headers, display names) while counting
// them, so that a first pass can size the array a second pass fills.
class TextWriter {
public:
    constexpr explicit TextWriter(char* out = nullptr) : out_(out) {}

    constexpr TextWriter& operator<<(const char* text) {
        for (; *text != '\0'; ++text, ++size_)
            if (out_ != nullptr) out_[size_] = *text;
        return *this;
    }
    constexpr std::size_t size() const { return size_; }

private:
    char* out_;
    std::size_t size_ = 0;
};

// "(a, b, seed=None)", or "($self, x)" for a method: the text signature.
template <class... Values>
constexpr void write_parameter_list(TextWriter& out, const Parameters<Values...>& parameters, bool with_self) {
    out << "(";
    const char* separator = "";
    if (with_self) {
        out << "$self";
        separator = ", ";
    }
    std::apply(
        [&](const auto&... parameter) {
            ((out << separator << parameter.name << (parameter.is_required() ? "" : "=")
                  << (parameter.is_required() ? "" : parameter.default_text),
              separator = ", "),
             ...);
        },
        parameters);
    out << ")";
}

// Converters, one per argument kind. Each returns the value or throws
// PythonError with the interpreter's exception set.
double to_double(PyObject* object);
std::uint64_t to_u64(PyObject* object);
std::optional<std::uint64_t> to_seed(PyObject* object);  // null or None: no seed
std::vector<double> to_sample(PyObject* object);
std::vector<std::uint64_t> to_u64_sequence(PyObject* object);
// Null (an omitted optional argument) or None as nothing, else as `convert`
// makes it.
template <auto convert>
auto or_none(PyObject* object) -> std::optional<decltype(convert(object))> {
    if (object == nullptr || object == Py_None) return std::nullopt;
    return convert(object);
}
// Takes note of the array type to_sample reads through its buffer; called
// as a module is initialised.
void capture_buffer_types();
inline PyObject* to_object(PyObject* object) { return object; }

}  // namespace mirabund_py
