// Module members: each method's file lists its classes and functions in the
// order the module registers them.
#pragma once

#include <Python.h>

#include <span>

#include "python/binding.hpp"
#include "python/classes.hpp"

namespace mirabund_py {

struct Member {
    Ref (*create)(PyObject* module);
};

template <class Native>
Ref class_member(PyObject*) {
    return Ref(Py_NewRef(reinterpret_cast<PyObject*>(type_object<Native>())));
}

template <PyMethodDef& Definition>
Ref function_member(PyObject* module) {
    Ref module_name = checked(PyModule_GetNameObject(module));
    return checked(PyCFunction_NewEx(&Definition, module, module_name.get()));
}

// A module function taking positional-or-keyword arguments by vectorcall.
// `Body` converts the bound arguments, calls the library and wraps the result.
template <const Signature& Sig, Ref (*Body)(const BoundArguments&)>
PyObject* function_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard<PyObject*>([&] { return Body(bind(Sig, args, nargs, kwnames)).release(); });
}

template <const Signature& Sig, Ref (*Body)(const BoundArguments&)>
constexpr PyMethodDef function_definition(const char* name, const char* doc) {
    return PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&function_entry<Sig, Body>)),
                       METH_FASTCALL | METH_KEYWORDS, doc};
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

// A library result as a new result object.
template <class Outcome, class Error>
Ref wrap(std::expected<Outcome, Error>&& result) {
    return new_instance<Outcome>(unwrap(std::move(result)));
}

// A method that mutates its object: exclusive access to self for the whole
// call, taken before the arguments are converted.
template <class Native, const Signature& Sig, Ref (*Body)(Native&, const BoundArguments&)>
PyObject* mutating_method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return guard<PyObject*>([&] {
        const BoundArguments bound = bind(Sig, args, nargs, kwnames);
        auto& instance = instance_of<Native>(self);
        ExclusiveBorrow borrow(instance.borrow);
        return Body(instance.value, bound).release();
    });
}

template <class Native, const Signature& Sig, Ref (*Body)(Native&, const BoundArguments&)>
constexpr PyMethodDef mutating_method_definition(const char* name, const char* doc) {
    return PyMethodDef{name,
                       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                           &mutating_method_entry<Native, Sig, Body>)),
                       METH_FASTCALL | METH_KEYWORDS, doc};
}

// A constructor: arguments come as a tuple and a dictionary.
template <class Native, const Signature& Sig, Native (*Body)(const BoundArguments&)>
PyObject* constructor_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard<PyObject*>([&] { return new_instance<Native>(Body(bind(Sig, args, kwargs)), type).release(); });
}

// Per-method member lists, in registration order.
std::span<const Member> bootstrap_members();
std::span<const Member> sequential_members();
std::span<const Member> correction_members();
std::span<const Member> effect_size_members();
std::span<const Member> judge_calibration_members();

}  // namespace mirabund_py
