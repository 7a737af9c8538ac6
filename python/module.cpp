// The module's entry point: single-phase initialisation, one interpreter per
// process, and the members registered in a fixed order.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "python/module.hpp"

namespace mirabund_py {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "_mirabund_core", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
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
        raise(PyExc_ImportError,
              "_mirabund_core does not support sub-interpreters: it can only be used from the "
              "interpreter that first imported it");
    if (module_object != nullptr) return Py_NewRef(module_object);

    Ref module = checked(PyModule_Create2(&module_definition, 1013));
    Ref all = checked(PyList_New(0));
    if (PyObject_SetAttrString(module.get(), "__all__", all.get()) < 0) throw PythonError{};
    for (auto members : {bootstrap_members(), sequential_members(), correction_members(), effect_size_members(),
                         judge_calibration_members()})
        for (const Member& member : members) add_member(module.get(), all.get(), member);
    module_object = Py_NewRef(module.get());
    return module.release();
}

}  // namespace
}  // namespace mirabund_py

PyMODINIT_FUNC PyInit__mirabund_core() {
    return mirabund_py::guard<PyObject*>(mirabund_py::initialise);
}
