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
    Ref& operator=(Ref&& other) {
        if (this != &other) {
            drop();
            object_ = other.release();
        }
        return *this;
    }
    // Not noexcept: dropping the last reference may run Python code (a
    // __del__), in which the interpreter may end this thread by unwinding it.
    ~Ref() noexcept(false) { drop(); }

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

    void drop() {
        if (object_ != nullptr && !ended_by_the_interpreter()) Py_DECREF(object_);
    }

    // A thread that the interpreter ends at exit unwinds without a thread
    // state, and may not touch an object then: what it owned is left to the
    // exiting process. (The cheap test comes first: the thread state is a
    // thread-local of the interpreter's library, slow to reach from here.)
    static bool ended_by_the_interpreter() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
        return Py_IsFinalizing() && PyThreadState_GetUnchecked() == nullptr;
#else
        return _Py_IsFinalizing() && _PyThreadState_UncheckedGet() == nullptr;
#endif
    }

    PyObject* object_ = nullptr;
};

}  // namespace mirabund_py
