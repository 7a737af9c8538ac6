// How failures cross the boundary between native code and the interpreter.
//
// Inside the surface, a pending Python exception travels as a thrown
// PythonError (the exception itself stays set in the interpreter); a broken
// invariant travels as mirabund_core::Panic; a library error is a value until
// unwrap raises it. The guard at every entry point turns all of them, and
// exhausted memory, into the exception the caller sees; no C++ exception ever
// reaches the interpreter.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <expected>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "core/interrupt.hpp"
#include "core/outcome.hpp"
#include "bindings/ref.hpp"

namespace mirabund_py {

// Thrown when a Python exception has been set and the call must unwind.
struct PythonError {};

// A new reference from a call that sets an exception when it returns null.
inline Ref checked(PyObject* result) {
    if (result == nullptr) throw PythonError{};
    return Ref::steal(result);
}

[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonError{};
}

[[noreturn]] void raise_format(PyObject* type, const char* format, ...);

// The qualified name of an object's type, as a str.
inline Ref type_qualname(PyObject* object) { return checked(PyType_GetQualName(Py_TYPE(object))); }

// A str as UTF-8, each code point UTF-8 cannot hold (a lone surrogate)
// written as U+FFFD.
std::string utf8_lossy(PyObject* text);

// "TypeName: message" of an exception, as UTF-8 whatever its str() returns.
std::string describe_exception(PyObject* exception);

// The module's panic exception class, created on first need.
PyObject* panic_exception_type();

// Takes the pending exception. A missing one becomes a SystemError; a panic
// exception coming back from Python code is resumed as a panic rather than
// treated as an ordinary error, so it keeps unwinding to the caller.
Ref fetch_exception();

// Reports a panic as the pending Python exception.
void set_panic(const mirabund_core::Panic& panic);

// The interrupt hook for long work on a call from Python: it runs the signal
// handlers that are due (Ctrl-C's among them) and ends the call with the
// exception a handler raises.
void check_signals(void*);
constexpr mirabund_core::InterruptCheck signal_checks() { return {&check_signals, nullptr}; }

// Converting one item to or from a Python object, in the interrupt hook's
// units of work (about an addition each), and how many items a long
// conversion counts at once.
inline constexpr std::uint64_t item_conversion_work = 64;
inline constexpr Py_ssize_t conversion_stretch = 4096;

// Runs one entry point's body. On any failure it leaves an exception set and
// returns the slot's error value: null for objects, -1 for integers.
//
// The one exception it lets through is the unwinding with which the
// interpreter ends a thread at exit (pthread_exit from inside a call back
// into Python): that is no failure of the call, the thread has no thread
// state left to report one with, and the unwinding must reach the thread's
// start to end it. Hence no noexcept here.
template <class Result, class Body>
Result guard(Body&& body) {
    const Result error_value = [] {
        if constexpr (std::is_pointer_v<Result>) return Result{nullptr};
        else return Result{-1};
    }();
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    } catch (const mirabund_core::Panic& panic) {
        set_panic(panic);
    } catch (const std::bad_alloc&) {
        PyErr_SetString(PyExc_MemoryError, "not enough memory for this call");
    } catch (...) {
        set_panic(mirabund_core::Panic{"native code failed with an unexpected internal error", {}});
    }
    return error_value;
}

// A library result's value, or its error raised as ValueError carrying the
// error's display text.
template <class Outcome, class Error>
Outcome unwrap(std::expected<Outcome, Error>&& result) {
    if (!result) {
        const std::string text{display_text(result.error())};
        Ref message = checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        PyErr_SetObject(PyExc_ValueError, message.get());
        throw PythonError{};
    }
    return std::move(*result);
}

// A new instance of the class whose native value is `Native` (classes.hpp).
template <class Native>
Ref new_instance(Native value);

// A library result as a new result object, or its error raised.
template <class Outcome, class Error>
Ref wrap(std::expected<Outcome, Error>&& result) {
    return new_instance<Outcome>(unwrap(std::move(result)));
}

}  // namespace mirabund_py
