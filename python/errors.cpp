#include "python/errors.hpp"

#include <cstdarg>
#include <cstdio>

namespace mirabund_py {

namespace {

constexpr const char* panic_doc =
    "Raised when the native code of _mirabund_core, called from Python, fails\n"
    "unrecoverably (a broken internal invariant). Like SystemExit it derives from\n"
    "BaseException, so that it typically propagates all the way up the stack and\n"
    "makes the interpreter exit.";

}  // namespace

void raise_format(PyObject* type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw PythonError{};
}

PyObject* panic_exception_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("mirabund_native.PanicException", panic_doc,
                                         PyExc_BaseException, nullptr);
        if (type == nullptr) throw PythonError{};
    }
    return type;
}

Ref fetch_exception() {
    Ref exception(PyErr_GetRaisedException());
    if (!exception) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        exception = Ref(PyErr_GetRaisedException());
    }
    PyObject* panic_type = panic_exception_type();
    if (!PyObject_TypeCheck(exception.get(), reinterpret_cast<PyTypeObject*>(panic_type)))
        return exception;

    std::string message = "Unwrapped panic from Python code";
    if (Ref text{PyObject_Str(exception.get())}) {
        if (const char* utf8 = PyUnicode_AsUTF8(text.get())) message = utf8;
    }
    PyErr_Clear();
    std::fputs("--- mirabund: resuming a panic after fetching a PanicException from Python ---\n"
               "Python stack trace below:\n",
               stderr);
    PyErr_SetRaisedException(exception.release());
    PyErr_PrintEx(0);
    throw mirabund_core::Panic{std::move(message), {}};
}

void set_panic(const mirabund_core::Panic& panic) {
    const auto& where = panic.where;
    if (where.line() != 0)
        std::fprintf(stderr, "mirabund native failure at %s:%u: %s\n", where.file_name(),
                     static_cast<unsigned>(where.line()), panic.message.c_str());
    else
        std::fprintf(stderr, "mirabund native failure: %s\n", panic.message.c_str());
    try {
        PyObject* type = panic_exception_type();
        PyErr_SetString(type, panic.message.c_str());
    } catch (const PythonError&) {
        // The class could not be created; its exception is already pending.
    }
}

}  // namespace mirabund_py
