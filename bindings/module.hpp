// Registration: a module is declared once, by its name, docstring, member
// lists and panic exception class, and its PyInit function hands that
// declaration to the shared initialisation. Class objects are process-wide,
// so every module refuses any interpreter but the first that imports it.
#pragma once

#include <Python.h>

#include <span>

#include "bindings/classes.hpp"
#include "bindings/entries.hpp"
#include "bindings/ref.hpp"

namespace mirabund_py {

// One member of a module, made when the module is initialised and added
// under its __name__.
struct Member {
    Ref (*create)(PyObject* module);
};

template <class Native>
Ref class_member(PyObject*) {
    return Ref::borrow(reinterpret_cast<PyObject*>(type_object<Native>()));
}

// A module function from its declaration (entries.hpp).
template <const auto& Declaration>
Ref function_member(PyObject* module) {
    Ref module_name = checked(PyModule_GetNameObject(module));
    return checked(PyCFunction_NewEx(&function_definition<Declaration>, module, module_name.get()));
}

// A method file's members, in the order the module registers them.
using MemberList = std::span<const Member> (*)();

struct ModuleDeclaration {
    const char* name;
    const char* doc;
    std::span<const MemberList> members;  // registered list after list
    const char* panic_name;               // qualified name of the module's panic exception class
    const char* panic_doc;
};

// Defined once by each extension module, beside its PyInit function.
extern const ModuleDeclaration this_module;

// The whole of the module's PyInit function: builds this_module, or returns
// null with an exception set.
PyObject* initialise_module();

}  // namespace mirabund_py
