#include "bindings/errors.hpp"

#include <cstdarg>
#include <cstdio>

#include "bindings/module.hpp"

namespace mirabund_py {

void raise_format(PyObject* type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw PythonError{};
}

void check_signals(void*) {
    if (PyErr_CheckSignals() < 0) throw PythonError{};
}

std::string utf8_lossy(PyObject* text) {
    std::string out;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    out.reserve(static_cast<std::size_t>(length));
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

PyObject* panic_exception_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(this_module.panic_name, this_module.panic_doc, PyExc_BaseException,
                                         nullptr);
        if (type == nullptr) throw PythonError{};
    }
    return type;
}

std::string describe_exception(PyObject* exception) {
    std::string text;
    if (Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(exception)))) text = utf8_lossy(name.get());
    if (PyErr_Occurred()) fetch_exception();
    Ref message = Ref::steal(PyObject_Str(exception));
    if (!message) {
        fetch_exception();  // discarded, unless it is a panic coming back
        return text + ": <exception str() failed>";
    }
    return text + ": " + utf8_lossy(message.get());
}

Ref fetch_exception() {
    Ref exception = Ref::steal(PyErr_GetRaisedException());
    if (!exception) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        exception = Ref::steal(PyErr_GetRaisedException());
    }
    PyObject* panic_type = panic_exception_type();
    if (!PyObject_TypeCheck(exception.get(), reinterpret_cast<PyTypeObject*>(panic_type)))
        return exception;

    std::string message = "Unwrapped panic from Python code";
    if (Ref text = Ref::steal(PyObject_Str(exception.get()))) message = utf8_lossy(text.get());
    PyErr_Clear();
    std::fputs("--- mirabund: resuming a panic after fetching a PanicException from Python ---\n"
               "Python stack trace below:\n",
               stderr);
    PyErr_SetRaisedException(exception.release());
    PyErr_PrintEx(0);
    throw mirabund_core::Panic{std::move(message), {}};
}

void set_panic(const mirabund_core::Panic& panic) {
    // The message is written and raised whole, NUL characters included.
    const std::string& message = panic.message;
    const auto& where = panic.where;
    if (where.line() != 0)
        std::fprintf(stderr, "mirabund native failure at %s:%u: ", where.file_name(),
                     static_cast<unsigned>(where.line()));
    else
        std::fputs("mirabund native failure: ", stderr);
    std::fwrite(message.data(), 1, message.size(), stderr);
    std::fputc('\n', stderr);
    try {
        PyObject* type = panic_exception_type();
        Ref text = checked(
            PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
        PyErr_SetObject(type, text.get());
    } catch (const PythonError&) {
        // The class or the text could not be made; that exception is pending.
    }
}

}  // namespace mirabund_py
