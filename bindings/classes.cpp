#include "bindings/classes.hpp"

#include <string>

namespace mirabund_py::detail {

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) {
    if (PyObject* name = PyType_GetName(type)) {
        PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name);
        Py_DECREF(name);
    } else {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "No constructor defined for <unknown>");
    }
    return nullptr;
}

PyTypeObject* create_type(const char* name, const char* doc, int basic_size,
                          std::vector<PyType_Slot> slots,
                          const std::vector<std::pair<const char*, AttributeMaker>>& attributes) {
    // The type keeps its own copy of the name.
    const std::string full_name = std::string("builtins.") + name;

    slots.insert(slots.begin(), PyType_Slot{Py_tp_doc, const_cast<char*>(doc)});
    slots.push_back(PyType_Slot{0, nullptr});
    PyType_Spec definition{full_name.c_str(), basic_size, 0, Py_TPFLAGS_DEFAULT, slots.data()};

    Ref type = Ref::steal(PyType_FromSpec(&definition));
    bool ok = static_cast<bool>(type);
    try {
        for (std::size_t i = 0; ok && i < attributes.size(); ++i) {
            Ref value = attributes[i].second(reinterpret_cast<PyTypeObject*>(type.get()), i);
            ok = PyObject_SetAttrString(type.get(), attributes[i].first, value.get()) == 0;
        }
    } catch (const PythonError&) {
        ok = false;
    }
    if (!ok) {
        Ref cause = Ref::steal(PyErr_GetRaisedException());
        PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", name);
        Ref error = Ref::steal(PyErr_GetRaisedException());
        PyException_SetCause(error.get(), cause.release());
        PyErr_SetRaisedException(error.release());
        throw PythonError{};
    }
    return reinterpret_cast<PyTypeObject*>(type.release());
}

}  // namespace mirabund_py::detail
