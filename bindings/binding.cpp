#include "bindings/binding.hpp"

#include <algorithm>
#include <cstring>
#include <type_traits>

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

std::optional<std::uint64_t> to_seed(PyObject* object) { return or_none<to_u64>(object); }

namespace {

// Exact types whose items, read by iteration, are exactly the values their
// buffer holds; subclasses may iterate differently and are not trusted. They
// are known by identity, never by name, since a class defined in Python may
// take any name and any place: array.array as the machinery starts,
// numpy.ndarray once numpy is first found loaded (it is a static type, which
// a class defined in Python never is).
PyTypeObject* array_type = nullptr;
PyTypeObject* ndarray_type = nullptr;

PyTypeObject* find_ndarray_type() {
    Ref numpy = Ref::steal(PyImport_GetModule(checked(PyUnicode_FromString("numpy")).get()));
    Ref type = Ref::steal(numpy ? PyObject_GetAttrString(numpy.get(), "ndarray") : nullptr);
    if (PyErr_Occurred()) fetch_exception();  // not there: not loaded yet
    if (!type || !PyType_Check(type.get()) ||
        PyType_HasFeature(reinterpret_cast<PyTypeObject*>(type.get()), Py_TPFLAGS_HEAPTYPE))
        return nullptr;
    return reinterpret_cast<PyTypeObject*>(type.release());  // kept for the process
}

bool has_trusted_buffer(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    if (type == &PyMemoryView_Type || (array_type != nullptr && type == array_type)) return true;
    if (ndarray_type == nullptr && PyObject_CheckBuffer(object)) ndarray_type = find_ndarray_type();
    return ndarray_type != nullptr && type == ndarray_type;
}

// A native format code, alone or after '@': the spellings a memoryview can
// also iterate.
bool is_native_format(const char* format, const char* codes) {
    if (format == nullptr) return false;
    if (format[0] == '@') ++format;
    return format[0] != '\0' && format[1] == '\0' && std::strchr(codes, format[0]) != nullptr;
}

// Copies a one-dimensional buffer of native items of Item's size whose
// format code is one of `codes`, without making a Python object per item;
// anything else returns nothing and is iterated instead. `signed_codes` names
// the codes whose items are read as signed, a negative one refused like the
// negative int it iterates as.
template <class Item>
std::optional<std::vector<Item>> read_buffer(PyObject* object, const char* codes, const char* signed_codes = "") {
    if (!has_trusted_buffer(object)) return std::nullopt;
    Py_buffer view;
    if (PyObject_GetBuffer(object, &view, PyBUF_RECORDS_RO) < 0) {
        fetch_exception();
        return std::nullopt;
    }
    struct Release {
        Py_buffer* view;
        ~Release() { PyBuffer_Release(view); }
    } release{&view};
    if (view.ndim != 1 || view.itemsize != sizeof(Item) || !is_native_format(view.format, codes))
        return std::nullopt;

    const auto count = static_cast<std::size_t>(view.shape[0]);
    const auto* bytes = static_cast<const char*>(view.buf);
    std::vector<Item> items;
    const bool aligned = reinterpret_cast<std::uintptr_t>(bytes) % alignof(Item) == 0;
    if (view.strides[0] == static_cast<Py_ssize_t>(sizeof(Item)) && aligned) {
        const auto* first = reinterpret_cast<const Item*>(bytes);
        items.assign(first, first + count);
    } else {
        items.resize(count);
        for (std::size_t i = 0; i < count; ++i)
            std::memcpy(&items[i], bytes + static_cast<Py_ssize_t>(i) * view.strides[0], sizeof(Item));
    }
    if constexpr (std::is_integral_v<Item>) {
        if (is_native_format(view.format, signed_codes))
            for (const Item item : items)
                if (static_cast<std::make_signed_t<Item>>(item) < 0)
                    raise(PyExc_OverflowError, "can't convert negative int to unsigned");
    }
    return items;
}

// The items of a sequence, each through `convert`: from the buffer when
// `read` can take it, else by iteration. `is_plain` tells the items whose
// conversion runs no Python code and so cannot change the sequence.
template <class Item, Item (*convert)(PyObject*), bool (*is_plain)(PyObject*),
          std::optional<std::vector<Item>> (*read)(PyObject*)>
std::vector<Item> convert_items(PyObject* object) {
    if (PyUnicode_Check(object)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(object))
        raise_format(PyExc_TypeError, "'%U' object cannot be converted to 'Sequence'",
                     type_qualname(object).get());
    if (auto items = read(object)) return std::move(*items);

    std::vector<Item> items;
    const Py_ssize_t length = PySequence_Size(object);
    if (length < 0) {
        fetch_exception();  // discarded, unless it is a panic coming back
    } else {
        // A length is only a hint: an object may claim far more items than it
        // yields, so the up-front reservation is capped.
        constexpr Py_ssize_t reservation_cap = Py_ssize_t{1} << 24;
        items.reserve(static_cast<std::size_t>(std::min(length, reservation_cap)));
    }
    mirabund_core::InterruptCheck interrupt = signal_checks();
    if (PyList_CheckExact(object)) {
        // What iterating an exact list does, without the iterator. Only an
        // item that is not plain runs Python code (its conversion, a __del__
        // as it is let go), which may change the list: the size is read
        // afresh after each such item. The work is counted a stretch at a
        // time, so that a list of plain items is read as fast as without.
        Py_ssize_t i = 0;
        while (i < PyList_GET_SIZE(object)) {
            const Py_ssize_t stretch_end = i + conversion_stretch;
            Py_ssize_t end = std::min(stretch_end, PyList_GET_SIZE(object));
            for (; i < end; ++i) {
                PyObject* item = PyList_GET_ITEM(object, i);
                if (is_plain(item)) [[likely]] {
                    items.push_back(convert(item));
                } else {
                    {
                        Ref owned = Ref::borrow(item);
                        items.push_back(convert(item));
                    }
                    end = std::min(stretch_end, PyList_GET_SIZE(object));
                }
            }
            interrupt.add(conversion_stretch * item_conversion_work);
        }
        return items;
    }
    Ref iterator = checked(PyObject_GetIter(object));
    Py_ssize_t stretch_left = conversion_stretch;
    while (PyObject* item = PyIter_Next(iterator.get())) {
        Ref owned = Ref::steal(item);
        items.push_back(convert(item));
        Py_DECREF(owned.release());  // on this ordinary way out, no need to ask what Ref asks
        if (--stretch_left == 0) {
            interrupt.add(conversion_stretch * item_conversion_work);
            stretch_left = conversion_stretch;
        }
    }
    if (PyErr_Occurred()) throw PythonError{};
    return items;
}

bool is_exact_float(PyObject* object) { return PyFloat_CheckExact(object); }
bool is_exact_int(PyObject* object) { return PyLong_CheckExact(object); }

std::optional<std::vector<double>> read_double_buffer(PyObject* object) { return read_buffer<double>(object, "d"); }

// int64 and uint64 under each of their native codes.
std::optional<std::vector<std::uint64_t>> read_u64_buffer(PyObject* object) {
    return read_buffer<std::uint64_t>(object, "qlnQLN", "qln");
}

}  // namespace

void capture_buffer_types() {
    if (array_type != nullptr) return;
    Ref module = Ref::steal(PyImport_ImportModule("array"));
    Ref type = Ref::steal(module ? PyObject_GetAttrString(module.get(), "array") : nullptr);
    if (PyErr_Occurred()) fetch_exception();  // no array module: its arrays are iterated
    if (type && PyType_Check(type.get())) array_type = reinterpret_cast<PyTypeObject*>(type.release());
}

std::vector<double> to_sample(PyObject* object) {
    return convert_items<double, to_double, is_exact_float, read_double_buffer>(object);
}

std::vector<std::uint64_t> to_u64_sequence(PyObject* object) {
    return convert_items<std::uint64_t, to_u64, is_exact_int, read_u64_buffer>(object);
}

}  // namespace mirabund_py
