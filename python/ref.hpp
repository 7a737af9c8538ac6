// An owned strong reference to a Python object. Every Ref is made by a named
// constructor, so each call site says whether it takes over a reference the
// interpreter handed out (steal) or adds one of its own (borrow).
#pragma once

#include <Python.h>

namespace mirabund_py {

class Ref {
public:
    Ref() = default;
    // Takes over a new reference; null gives an empty Ref.
    static Ref steal(PyObject* owned) noexcept { return Ref(owned); }
    // Adds a reference of its own to a borrowed object; null gives an empty Ref.
    static Ref borrow(PyObject* borrowed) noexcept { return Ref(Py_XNewRef(borrowed)); }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = other.release();
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    // Hands the reference to the caller.
    PyObject* release() noexcept {
        PyObject* p = object_;
        object_ = nullptr;
        return p;
    }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit Ref(PyObject* owned) noexcept : object_(owned) {}

    PyObject* object_ = nullptr;
};

}  // namespace mirabund_py
