// Call entries: the functions the interpreter calls for a module function, a
// method and a constructor, each made from one declaration of the callable
// (its name, its parameters, its body and its docstring). The binder, the
// typed arguments handed to the body and the docstring's text signature all
// come from that one declaration.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <exception>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>

#include "core/interrupt.hpp"
#include "bindings/binding.hpp"
#include "bindings/classes.hpp"
#include "bindings/errors.hpp"

namespace mirabund_py {

// A module function. The body takes the converted arguments in declaration
// order and returns the call's result.
template <class... Values>
struct Function {
    const char* name;
    Parameters<Values...> parameters;
    Ref (*body)(Values...);
    const char* doc;  // without the signature header, which is generated
};

template <class... Values>
Function(const char*, Parameters<Values...>, Ref (*)(Values...), const char*) -> Function<Values...>;

// A method of the instances of the class whose native value is `Native`. It
// has exclusive access to self for the whole call, taken before its
// arguments are converted, as a method that changes its object needs.
template <class Native, class... Values>
struct Method {
    using Self = Native;
    const char* name;
    Parameters<Values...> parameters;
    Ref (*body)(Native& self, Values...);
    const char* doc;
};

template <class Native, class... Values>
Method(const char*, Parameters<Values...>, Ref (*)(Native&, Values...), const char*) -> Method<Native, Values...>;

// The constructor of a class; its docstring is the class's.
template <class Native, class... Values>
struct Constructor {
    Parameters<Values...> parameters;
    Native (*body)(Values...);
};

template <class Native, class... Values>
Constructor(Parameters<Values...>, Native (*)(Values...)) -> Constructor<Native, Values...>;

namespace detail {

template <class... Values>
constexpr void write_display_name(TextWriter& out, const Function<Values...>& function) {
    out << function.name << "()";
}
template <class Native, class... Values>
constexpr void write_display_name(TextWriter& out, const Method<Native, Values...>& method) {
    out << ClassTraits<Native>::name << "." << method.name << "()";
}
template <class Native, class... Values>
constexpr void write_display_name(TextWriter& out, const Constructor<Native, Values...>&) {
    out << ClassTraits<Native>::name << ".__new__()";
}

// The signature header the interpreter reads __text_signature__ from, then
// the docstring proper.
template <class... Values>
constexpr void write_docstring(TextWriter& out, const Function<Values...>& function) {
    out << function.name;
    write_parameter_list(out, function.parameters, false);
    out << "\n--\n\n" << function.doc;
}
template <class Native, class... Values>
constexpr void write_docstring(TextWriter& out, const Method<Native, Values...>& method) {
    out << method.name;
    write_parameter_list(out, method.parameters, true);
    out << "\n--\n\n" << method.doc;
}
template <class Native, class... Values>
constexpr void write_docstring(TextWriter& out, const Constructor<Native, Values...>& constructor) {
    out << ClassTraits<Native>::name;
    write_parameter_list(out, constructor.parameters, false);
    out << "\n--\n\n" << ClassTraits<Native>::doc;
}

template <const auto& Declaration>
constexpr void write_display_name_of(TextWriter& out) {
    write_display_name(out, Declaration);
}
template <const auto& Declaration>
constexpr void write_docstring_of(TextWriter& out) {
    write_docstring(out, Declaration);
}

// A text written at compile time: one pass to measure it, one to fill it.
template <void (*Write)(TextWriter&)>
inline constexpr auto constant_text = [] {
    constexpr std::size_t size = [] {
        TextWriter counter;
        Write(counter);
        return counter.size();
    }();
    std::array<char, size + 1> text{};
    TextWriter writer(text.data());
    Write(writer);
    return text;
}();

template <const auto& Declaration>
inline constexpr auto parameter_names_of = parameter_names(Declaration.parameters);

template <const auto& Declaration>
inline constexpr Signature signature_of{constant_text<&write_display_name_of<Declaration>>.data(),
                                        parameter_names_of<Declaration>};

template <class Entry>
PyCFunction as_method_pointer(Entry entry) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

}  // namespace detail

template <const auto& Declaration>
const char* docstring() {
    return detail::constant_text<&detail::write_docstring_of<Declaration>>.data();
}

template <const auto& Declaration>
PyObject* function_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard<PyObject*>([&] {
        const BoundArguments bound = bind(detail::signature_of<Declaration>, args, nargs, kwnames);
        return std::apply(Declaration.body, bound.convert(Declaration.parameters)).release();
    });
}

template <const auto& Declaration>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    using Native = typename std::remove_cvref_t<decltype(Declaration)>::Self;
    return guard<PyObject*>([&] {
        const BoundArguments bound = bind(detail::signature_of<Declaration>, args, nargs, kwnames);
        auto& instance = instance_of<Native>(self);
        ExclusiveBorrow borrow(instance.borrow);
        return std::apply(Declaration.body,
                          std::tuple_cat(std::tie(instance.value), bound.convert(Declaration.parameters)))
            .release();
    });
}

template <const auto& Declaration>
PyObject* constructor_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard<PyObject*>([&] {
        const BoundArguments bound = bind(detail::signature_of<Declaration>, args, kwargs);
        return new_instance(std::apply(Declaration.body, bound.convert(Declaration.parameters)), type).release();
    });
}

// Runs `work` with the interpreter lock released, so that other threads run
// meanwhile; `work` must touch no Python object, and so must not be handed
// signal_checks() either (signal handlers run under the lock). Its
// exceptions reach the caller once the lock is held again.
template <class Work>
auto without_gil(Work&& work) {
    std::optional<std::invoke_result_t<Work&>> result;
    std::exception_ptr failure;
    PyThreadState* saved = PyEval_SaveThread();
    try {
        result.emplace(work());
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(saved);
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
}

namespace detail {

// The interrupt hook of interruptible_without_gil: takes the lock back just
// long enough to run the signal handlers, and ends the work with the
// exception one of them raised (KeyboardInterrupt for Ctrl-C).
inline void check_signals_without_gil(void* thread_state) {
    PyEval_RestoreThread(static_cast<PyThreadState*>(thread_state));
    const int failed = PyErr_CheckSignals();
    PyEval_SaveThread();
    if (failed != 0) throw PythonError{};
}

}  // namespace detail

// without_gil for library work that offers its caller an interrupt hook:
// `work` is handed the hook to pass on, so that Ctrl-C ends it.
template <class Work>
auto interruptible_without_gil(Work&& work) {
    PyThreadState* thread_state = PyThreadState_Get();
    return without_gil([&] {
        return work(mirabund_core::InterruptCheck(&detail::check_signals_without_gil, thread_state));
    });
}

// The definition a module function object is made from; it lives as long as
// the function object.
template <const auto& Declaration>
inline PyMethodDef function_definition{Declaration.name, detail::as_method_pointer(&function_entry<Declaration>),
                                       METH_FASTCALL | METH_KEYWORDS, docstring<Declaration>()};

// A class's method table: the declared methods, then the terminating entry.
template <const auto&... Declarations>
inline PyMethodDef method_table[] = {
    {Declarations.name, detail::as_method_pointer(&method_entry<Declarations>), METH_FASTCALL | METH_KEYWORDS,
     docstring<Declarations>()}...,
    {},
};

}  // namespace mirabund_py
