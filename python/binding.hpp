// Matching of call arguments to parameters, and the converters for each kind
// of argument. One binder produces every binding message; every converter
// failure goes through one prefix rule.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "python/errors.hpp"

namespace mirabund_py {

struct Parameter {
    const char* name;
    bool required = true;
};

// What a call is checked against. `display_name` is how binding messages name
// the callable, e.g. "cohens_d()" or "SequentialTest.update()".
struct Signature {
    const char* display_name;
    std::span<const Parameter> parameters;
};

inline constexpr std::size_t max_parameters = 6;

// Arguments matched to parameters (borrowed; null where an optional one was
// not given). Conversions run through `convert`, which adds the parameter's
// name to a conversion TypeError.
class BoundArguments {
public:
    BoundArguments(const Signature& signature) : signature_(signature) {}

    PyObject*& slot(std::size_t i) { return slots_[i]; }

    template <class Converter>
    auto convert(std::size_t i, Converter&& converter) const {
        try {
            return converter(slots_[i]);
        } catch (const PythonError&) {
            add_argument_prefix(signature_.parameters[i].name);
        }
    }

private:
    [[noreturn]] static void add_argument_prefix(const char* name);

    const Signature& signature_;
    std::array<PyObject*, max_parameters> slots_{};
};

// The vectorcall form: positional array plus a tuple of keyword names.
BoundArguments bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames);
// The tuple and dictionary form used by constructors.
BoundArguments bind(const Signature& signature, PyObject* args, PyObject* kwargs);

// Converters, one per argument kind. Each returns the value or throws
// PythonError with the interpreter's exception set.
double to_double(PyObject* object);
std::uint64_t to_u64(PyObject* object);
std::optional<std::uint64_t> to_seed(PyObject* object);  // null or None: no seed
std::vector<double> to_sample(PyObject* object);
inline PyObject* to_object(PyObject* object) { return object; }

}  // namespace mirabund_py
