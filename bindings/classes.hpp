// The shape shared by every class the module exposes, written once.
//
// A class is described by a specialisation of ClassTraits for its native
// value type. The traits always give `name` and `doc`; what else they give
// selects the protocol:
//   - `members` (member names in value order): an enumeration class;
//   - `properties` (null-terminated getter table) and optionally `repr`:
//     a result class, or, with a `constructor` declaration and a `methods`
//     table (entries.hpp), a stateful one.
// Instances are final, without __dict__ or weak references, and hold the
// native value beside a borrow counter.
#pragma once

#include <Python.h>

#include <functional>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "bindings/errors.hpp"
#include "bindings/ref.hpp"

namespace mirabund_py {

template <class Native>
struct ClassTraits;

template <class Native>
concept EnumerationNative = std::is_enum_v<Native> && requires { ClassTraits<Native>::members; };

// The Python name of an enumeration member.
template <EnumerationNative E>
const char* member_name(E value) {
    return ClassTraits<E>::members[static_cast<std::size_t>(value)];
}

template <class Native>
struct Instance {
    PyObject_HEAD
    Native value;
    Py_ssize_t borrow;  // 0 free, n > 0 shared borrows, -1 one exclusive borrow
};

// Borrows of self for the length of one call. The interpreter lock serialises
// them; they exist to refuse re-entrant access, not to guard against threads.
class SharedBorrow {
public:
    explicit SharedBorrow(Py_ssize_t& counter) : counter_(counter) {
        if (counter_ == -1) raise(PyExc_RuntimeError, "Already mutably borrowed");
        ++counter_;
    }
    ~SharedBorrow() { --counter_; }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    Py_ssize_t& counter_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(Py_ssize_t& counter) : counter_(counter) {
        if (counter_ != 0) raise(PyExc_RuntimeError, "Already borrowed");
        counter_ = -1;
    }
    ~ExclusiveBorrow() { counter_ = 0; }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

private:
    Py_ssize_t& counter_;
};

template <class Native>
PyTypeObject* type_object();

// `object` as an instance of the class, or TypeError naming both types. Used
// for self and for enumeration arguments alike.
template <class Native>
Instance<Native>& instance_of(PyObject* object) {
    if (!PyObject_TypeCheck(object, type_object<Native>()))
        raise_format(PyExc_TypeError, "'%U' object cannot be converted to '%s'",
                     type_qualname(object).get(), ClassTraits<Native>::name);
    return *reinterpret_cast<Instance<Native>*>(object);
}

// A new instance of `type`, a subtype of the class of `Native` or the class.
template <class Native>
Ref new_instance(Native value, PyTypeObject* type) {
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) throw PythonError{};
    auto* instance = reinterpret_cast<Instance<Native>*>(object);
    new (&instance->value) Native(std::move(value));
    instance->borrow = 0;
    return Ref::steal(object);
}

template <class Native>
Ref new_instance(Native value) {
    return new_instance(std::move(value), type_object<Native>());
}

// Enumeration argument converter: members of the named class only.
template <EnumerationNative E>
E to_member(PyObject* object) {
    return instance_of<E>(object).value;
}

// Conversions of native field values into new Python objects.
inline Ref to_python(double value) { return checked(PyFloat_FromDouble(value)); }
inline Ref to_python(bool value) { return Ref::borrow(value ? Py_True : Py_False); }
inline Ref to_python(std::uint64_t value) { return checked(PyLong_FromUnsignedLongLong(value)); }
inline Ref to_python(const std::optional<double>& value) {
    return value ? to_python(*value) : Ref::borrow(Py_None);
}
template <EnumerationNative E>
Ref to_python(E value) {
    return new_instance(value);
}
// A new list of new items; takes vectors, and views of doubles.
template <class Sequence>
    requires requires(const Sequence& s) { s.size(); s[0]; typename Sequence::value_type; }
Ref to_python(const Sequence& values) {
    using Item = typename Sequence::value_type;
    const auto size = static_cast<Py_ssize_t>(values.size());
    Ref list = checked(PyList_New(size));
    // The work is counted a stretch at a time, not item by item.
    mirabund_core::InterruptCheck interrupt = signal_checks();
    auto value = values.begin();
    for (Py_ssize_t i = 0; i < size;) {
        const Py_ssize_t end = std::min(size, i + conversion_stretch);
        for (; i < end; ++i, ++value) PyList_SET_ITEM(list.get(), i, to_python(static_cast<Item>(*value)).release());
        interrupt.add(conversion_stretch * item_conversion_work);
    }
    return list;
}

namespace detail {

template <class Member>
struct owner_of;
template <class T, class C>
struct owner_of<T C::*> {
    using type = C;
};

template <class Native, auto Read>
PyObject* property_get(PyObject* self, void*) {
    return guard<PyObject*>([&] {
        auto& instance = instance_of<Native>(self);
        SharedBorrow borrow(instance.borrow);
        return to_python(std::invoke(Read, std::as_const(instance.value))).release();
    });
}

template <EnumerationNative E>
std::string enumeration_repr(E value) {
    return std::string(ClassTraits<E>::name) + "." + member_name(value);
}

template <class Native>
PyObject* repr_slot(PyObject* self) {
    return guard<PyObject*>([&] {
        auto& instance = instance_of<Native>(self);
        SharedBorrow borrow(instance.borrow);
        std::string text;
        if constexpr (EnumerationNative<Native>)
            text = enumeration_repr(instance.value);
        else
            text = ClassTraits<Native>::repr(instance.value);
        return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())))
            .release();
    });
}

template <class Native>
void dealloc_slot(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<Instance<Native>*>(self)->value.~Native();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* refuse_construction(PyTypeObject* type, PyObject* args, PyObject* kwargs);

template <EnumerationNative E>
PyObject* enumeration_int(PyObject* self) {
    return guard<PyObject*>([&] {
        auto& instance = instance_of<E>(self);
        SharedBorrow borrow(instance.borrow);
        return checked(PyLong_FromLong(static_cast<long>(instance.value))).release();
    });
}

// Members equal members of the same class with the same value, and integers
// (anything with __index__) equal to that value; everything else is left to
// the interpreter.
template <EnumerationNative E>
PyObject* enumeration_richcompare(PyObject* self, PyObject* other, int op) {
    return guard<PyObject*>([&] {
        auto& instance = instance_of<E>(self);
        SharedBorrow borrow(instance.borrow);
        const long value = static_cast<long>(instance.value);
        long other_value;
        if (PyObject_TypeCheck(other, type_object<E>())) {
            other_value = static_cast<long>(reinterpret_cast<Instance<E>*>(other)->value);
        } else {
            other_value = PyLong_AsLong(other);
            if (other_value == -1 && PyErr_Occurred()) {
                fetch_exception();  // discarded, unless it is a panic coming back
                Py_RETURN_NOTIMPLEMENTED;
            }
        }
        if (op == Py_EQ) return Py_NewRef(value == other_value ? Py_True : Py_False);
        if (op == Py_NE) return Py_NewRef(value != other_value ? Py_True : Py_False);
        Py_RETURN_NOTIMPLEMENTED;
    });
}

// Creates the type object; failures become RuntimeError naming the class.
// Class attributes are made once, when the type is made, from the new type.
using AttributeMaker = Ref (*)(PyTypeObject* type, std::size_t index);

PyTypeObject* create_type(const char* name, const char* doc, int basic_size,
                          std::vector<PyType_Slot> slots,
                          const std::vector<std::pair<const char*, AttributeMaker>>& attributes);

template <EnumerationNative E>
Ref make_member(PyTypeObject* type, std::size_t index) {
    return new_instance(static_cast<E>(index), type);
}

}  // namespace detail

// Made from a constructor's declaration, with the other call entries
// (entries.hpp).
template <const auto& Declaration>
const char* docstring();
template <const auto& Declaration>
PyObject* constructor_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs);

namespace detail {

template <class Native>
PyTypeObject* build_type() {
    using Traits = ClassTraits<Native>;
    std::vector<PyType_Slot> slots;
    std::vector<std::pair<const char*, AttributeMaker>> attributes;
    if constexpr (EnumerationNative<Native>) {
        slots.push_back({Py_tp_repr, reinterpret_cast<void*>(&repr_slot<Native>)});
        slots.push_back({Py_nb_int, reinterpret_cast<void*>(&enumeration_int<Native>)});
        slots.push_back({Py_tp_richcompare, reinterpret_cast<void*>(&enumeration_richcompare<Native>)});
        for (const char* member : Traits::members) attributes.emplace_back(member, &make_member<Native>);
    } else {
        if constexpr (requires(const Native& n) { Traits::repr(n); })
            slots.push_back({Py_tp_repr, reinterpret_cast<void*>(&repr_slot<Native>)});
        slots.push_back({Py_tp_getset, const_cast<PyGetSetDef*>(Traits::properties)});
    }
    if constexpr (requires { Traits::methods; })
        slots.push_back({Py_tp_methods, Traits::methods});
    const char* doc = Traits::doc;
    if constexpr (requires { Traits::constructor; }) {
        slots.push_back({Py_tp_new, reinterpret_cast<void*>(&constructor_entry<Traits::constructor>)});
        doc = docstring<Traits::constructor>();  // headed by the constructor's text signature
    } else {
        slots.push_back({Py_tp_new, reinterpret_cast<void*>(&refuse_construction)});
    }
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_slot<Native>)});
    return create_type(Traits::name, doc, static_cast<int>(sizeof(Instance<Native>)), std::move(slots),
                       attributes);
}

}  // namespace detail

// The class's process-wide type object, created on first request.
template <class Native>
PyTypeObject* type_object() {
    // Not a guarded static: making an enumeration's members needs the type
    // while it is being made, and a failed attempt must be retried later.
    static PyTypeObject* type = nullptr;
    if (type == nullptr) type = detail::build_type<Native>();
    return type;
}

// One getter-only property with an empty docstring. `Read` is a data member
// or a const member function of the native value.
template <auto Read>
constexpr PyGetSetDef property(const char* name) {
    using Native = typename detail::owner_of<decltype(Read)>::type;
    return PyGetSetDef{name, &detail::property_get<Native, Read>, nullptr, "", nullptr};
}

}  // namespace mirabund_py
