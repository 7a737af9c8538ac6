// Single-phase initialisation of a declared module, its members registered
// in a fixed order.
#include "bindings/module.hpp"

#include <atomic>
#include <cstdint>

namespace mirabund_py {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The interpreter that first imported the module; the type objects are
// process-wide and belong to it.
std::atomic<std::int64_t> owning_interpreter{-1};
PyObject* module_object = nullptr;

void add_member(PyObject* module, PyObject* all, const Member& member) {
    Ref object = member.create(module);
    Ref name = checked(PyObject_GetAttrString(object.get(), "__name__"));
    if (PyList_Append(all, name.get()) < 0) throw PythonError{};
    if (PyObject_SetAttr(module, name.get(), object.get()) < 0) throw PythonError{};
}

PyObject* initialise() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) throw PythonError{};
    std::int64_t expected = -1;
    if (!owning_interpreter.compare_exchange_strong(expected, id) && expected != id)
        raise_format(PyExc_ImportError,
                     "%s does not support sub-interpreters: it can only be used from the "
                     "interpreter that first imported it",
                     this_module.name);
    if (module_object != nullptr) return Py_NewRef(module_object);

    capture_buffer_types();
    module_definition.m_name = this_module.name;
    module_definition.m_doc = this_module.doc;
    Ref module = checked(PyModule_Create2(&module_definition, PYTHON_API_VERSION));
    Ref all = checked(PyList_New(0));
    if (PyObject_SetAttrString(module.get(), "__all__", all.get()) < 0) throw PythonError{};
    for (const MemberList members : this_module.members)
        for (const Member& member : members()) add_member(module.get(), all.get(), member);
    module_object = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

PyObject* initialise_module() { return guard<PyObject*>(initialise); }

}  // namespace mirabund_py
