#include "python/binding.hpp"

#include <algorithm>
#include <cstring>

namespace mirabund_py {

namespace {

[[noreturn]] void too_many_positional(const Signature& signature, Py_ssize_t given) {
    const auto total = signature.parameters.size();
    const auto required = static_cast<std::size_t>(
        std::ranges::count_if(signature.parameters, [](const ParameterName& p) { return p.required; }));
    const char* verb = given == 1 ? "was" : "were";
    if (required == total)
        raise_format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                     signature.display_name, total, given, verb);
    raise_format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                 signature.display_name, required, total, given, verb);
}

// Matches one keyword; `name` is a str object.
void bind_keyword(const Signature& signature, BoundArguments& bound, PyObject* name,
                  PyObject* value) {
    for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
        const int equal = PyUnicode_CompareWithASCIIString(name, signature.parameters[i].name);
        if (equal != 0) continue;
        if (bound.slot(i) != nullptr)
            raise_format(PyExc_TypeError, "%s got multiple values for argument '%U'",
                         signature.display_name, name);
        bound.slot(i) = value;
        return;
    }
    raise_format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                 signature.display_name, name);
}

void check_required(const Signature& signature, BoundArguments& bound) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < signature.parameters.size(); ++i)
        if (signature.parameters[i].required && bound.slot(i) == nullptr)
            missing.push_back(signature.parameters[i].name);
    if (missing.empty()) return;

    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) list += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
        list += '\'';
        list += missing[i];
        list += '\'';
    }
    raise_format(PyExc_TypeError, "%s missing %zu required positional %s: %s",
                 signature.display_name, missing.size(),
                 missing.size() == 1 ? "argument" : "arguments", list.c_str());
}

BoundArguments bind_positional(const Signature& signature, PyObject* const* args,
                               Py_ssize_t nargs) {
    if (static_cast<std::size_t>(nargs) > signature.parameters.size())
        too_many_positional(signature, nargs);
    BoundArguments bound;
    for (Py_ssize_t i = 0; i < nargs; ++i) bound.slot(static_cast<std::size_t>(i)) = args[i];
    return bound;
}

}  // namespace

void BoundArguments::add_argument_prefix(const char* name) {
    Ref original = fetch_exception();
    if (Py_TYPE(original.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(original.release());
        throw PythonError{};
    }
    Ref text = checked(PyObject_Str(original.get()));
    Ref prefixed = checked(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    Ref replacement = checked(PyObject_CallOneArg(PyExc_TypeError, prefixed.get()));
    PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
    PyErr_SetRaisedException(replacement.release());
    throw PythonError{};
}

BoundArguments bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
    nargs = PyVectorcall_NARGS(nargs);
    BoundArguments bound = bind_positional(signature, args, nargs);
    if (kwnames != nullptr) {
        const Py_ssize_t n_keywords = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < n_keywords; ++k)
            bind_keyword(signature, bound, PyTuple_GET_ITEM(kwnames, k), args[nargs + k]);
    }
    check_required(signature, bound);
    return bound;
}

BoundArguments bind(const Signature& signature, PyObject* args, PyObject* kwargs) {
    BoundArguments bound =
        bind_positional(signature, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args));
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(kwargs, &position, &key, &value)) bind_keyword(signature, bound, key, value);
    }
    check_required(signature, bound);
    return bound;
}

double to_double(PyObject* object) {
    if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) throw PythonError{};
    return value;
}

std::uint64_t to_u64(PyObject* object) {
    Ref index;
    if (!PyLong_Check(object)) {
        index = checked(PyNumber_Index(object));
        object = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
    return value;
}

std::optional<std::uint64_t> to_seed(PyObject* object) {
    if (object == nullptr || object == Py_None) return std::nullopt;
    return to_u64(object);
}

namespace {

// Whether `object` is exactly of the type `name` in the already loaded
// `module`. The name alone is not proof: a subclass may take any name.
bool is_exactly(PyObject* object, const char* module, const char* name) {
    const char* type_name = Py_TYPE(object)->tp_name;
    const std::size_t module_length = std::strlen(module);
    if (std::strncmp(type_name, module, module_length) != 0 || type_name[module_length] != '.' ||
        std::strcmp(type_name + module_length + 1, name) != 0)
        return false;
    Ref loaded = Ref::steal(PyImport_GetModule(checked(PyUnicode_FromString(module)).get()));
    Ref type = Ref::steal(loaded ? PyObject_GetAttrString(loaded.get(), name) : nullptr);
    if (PyErr_Occurred()) fetch_exception();  // not there: not that type
    return type && type.get() == reinterpret_cast<PyObject*>(Py_TYPE(object));
}

// Exact types whose items, read by iteration, are exactly the doubles their
// buffer holds. Subclasses may iterate differently and are not trusted.
bool has_trusted_double_buffer(PyObject* object) {
    return Py_IS_TYPE(object, &PyMemoryView_Type) || is_exactly(object, "numpy", "ndarray") ||
           is_exactly(object, "array", "array");
}

// Native doubles in the two spellings a memoryview can also iterate.
bool is_native_double_format(const char* format) {
    return format != nullptr && (std::strcmp(format, "d") == 0 || std::strcmp(format, "@d") == 0);
}

// Copies a one-dimensional buffer of native doubles without making a Python
// object per element; anything else returns nothing and is iterated instead.
std::optional<std::vector<double>> read_double_buffer(PyObject* object) {
    if (!has_trusted_double_buffer(object)) return std::nullopt;
    Py_buffer view;
    if (PyObject_GetBuffer(object, &view, PyBUF_RECORDS_RO) < 0) {
        fetch_exception();
        return std::nullopt;
    }
    struct Release {
        Py_buffer* view;
        ~Release() { PyBuffer_Release(view); }
    } release{&view};
    if (view.ndim != 1 || view.itemsize != sizeof(double) || !is_native_double_format(view.format))
        return std::nullopt;

    const auto count = static_cast<std::size_t>(view.shape[0]);
    const auto* bytes = static_cast<const char*>(view.buf);
    std::vector<double> sample;
    const bool aligned = reinterpret_cast<std::uintptr_t>(bytes) % alignof(double) == 0;
    if (view.strides[0] == static_cast<Py_ssize_t>(sizeof(double)) && aligned) {
        const auto* first = reinterpret_cast<const double*>(bytes);
        sample.assign(first, first + count);
    } else {
        sample.resize(count);
        for (std::size_t i = 0; i < count; ++i)
            std::memcpy(&sample[i], bytes + static_cast<Py_ssize_t>(i) * view.strides[0], sizeof(double));
    }
    return sample;
}

}  // namespace

std::vector<double> to_sample(PyObject* object) {
    if (PyUnicode_Check(object)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(object))
        raise_format(PyExc_TypeError, "'%U' object cannot be converted to 'Sequence'",
                     type_qualname(object).get());
    if (auto sample = read_double_buffer(object)) return std::move(*sample);

    std::vector<double> sample;
    const Py_ssize_t length = PySequence_Size(object);
    if (length < 0) {
        fetch_exception();  // discarded, unless it is a panic coming back
    } else {
        // A length is only a hint: an object may claim far more items than it
        // yields, so the up-front reservation is capped.
        constexpr Py_ssize_t reservation_cap = Py_ssize_t{1} << 24;
        sample.reserve(static_cast<std::size_t>(std::min(length, reservation_cap)));
    }
    if (PyList_CheckExact(object)) {
        // What iterating an exact list does, without the iterator: the size
        // is read afresh each step since an item's __float__ may change it.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(object); ++i) {
            PyObject* item = PyList_GET_ITEM(object, i);
            if (PyFloat_CheckExact(item)) {
                sample.push_back(PyFloat_AS_DOUBLE(item));
            } else {
                Ref owned = Ref::borrow(item);
                sample.push_back(to_double(item));
            }
        }
        return sample;
    }
    Ref iterator = checked(PyObject_GetIter(object));
    while (PyObject* item = PyIter_Next(iterator.get())) {
        Ref owned = Ref::steal(item);
        sample.push_back(to_double(item));
    }
    if (PyErr_Occurred()) throw PythonError{};
    return sample;
}

}  // namespace mirabund_py
