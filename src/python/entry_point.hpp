// Entry points: what every Python-callable function of the module does
// around its own work, written once.
//
// An implementation function is a plain function `R impl(Object<C>&, args...)`
// of a class C (object.hpp).  `EntryPoint<frame, &impl>` turns it into the C
// function the interpreter calls (type slot, getter, method), running these
// steps in order:
//
//   1. argument parsing (methods with a Signature, arguments.hpp);
//   2. receiver check: a method raises the conversion TypeError, an operator
//      slot returns NotImplemented;
//   3. thread affinity (thread-bound classes, thread.hpp): PanicException
//      "quorvel::python::<native name> is unsendable, but sent to another thread";
//   4. borrow of the receiver (borrow.hpp), shared or exclusive, released on
//      every exit; a refusal raises RuntimeError, PanicException or returns
//      NotImplemented as the frame says;
//   5. the implementation, inside the one try/catch that turns C++ failures
//      into Python exceptions (errors.hpp).  Nothing escapes into the
//      interpreter.
//
// The Frame names the choices of steps 2 to 4; the entry point is a template
// over it, so that each slot is compiled with only the steps it takes.
//
// An implementation reports failure either by throwing or by returning the
// slot's error value (null OwnedRef, -1) with a Python exception set; hot
// paths use the second form so that a KeyError costs no C++ unwinding.  A
// null OwnedRef with no exception set is also how `next()` signals
// exhaustion.
#pragma once

#include <cstdint>
#include <type_traits>
#include <utility>

#include "python/arguments.hpp"
#include "python/borrow.hpp"
#include "python/errors.hpp"
#include "python/object.hpp"
#include "python/owned_ref.hpp"

namespace quorvel::python {

enum class Receiver : std::uint8_t { method, operand };
enum class Refusal : std::uint8_t { runtime_error, panic, not_implemented };

// Steps 2 to 4 of one entry point.
struct Frame {
    Access access = Access::none;              // the receiver's borrow
    Refusal refusal = Refusal::runtime_error;  // what a refused borrow gives
    Receiver receiver = Receiver::method;      // what a foreign receiver gives
    bool thread_check = true;                  // false where a later use checks it
};

inline constexpr Frame SHARED{.access = Access::shared};
inline constexpr Frame EXCLUSIVE{.access = Access::exclusive};
inline constexpr Frame UNBORROWED{.access = Access::none};

// How an implementation's result becomes the slot's C result.
template <class R>
struct SlotResult;
template <>
struct SlotResult<OwnedRef> {
    using type = PyObject*;
    static PyObject* out(OwnedRef&& result) noexcept { return result.release(); }
    static PyObject* error() noexcept { return nullptr; }
    static PyObject* not_implemented() noexcept { return Py_NewRef(Py_NotImplemented); }
};
template <>
struct SlotResult<int> {
    using type = int;
    static int out(int result) noexcept { return result; }
    static int error() noexcept { return -1; }
};
template <>
struct SlotResult<Py_ssize_t> {
    using type = Py_ssize_t;
    static Py_ssize_t out(Py_ssize_t result) noexcept { return result; }
    static Py_ssize_t error() noexcept { return -1; }
};

// Steps 2 to 5 around `body`, the implementation bound to its arguments.
template <class Class, Frame F, class Body>
auto run(PyObject* self, Body&& body) noexcept {
    using Result = SlotResult<std::invoke_result_t<Body&, Object<Class>&>>;
    if (!Object<Class>::check(self)) {
        if constexpr (F.receiver == Receiver::operand) {
            return Result::not_implemented();
        } else {
            set_conversion_error(self, Class::python_name);
            return Result::error();
        }
    }
    auto& object = Object<Class>::from(self);
    if constexpr (F.thread_check) {
        if (!object.check_thread()) return Result::error();
    }
    Borrow borrow(object.header.borrow, F.access);
    if (!borrow) {
        if constexpr (F.refusal == Refusal::not_implemented) {
            return Result::not_implemented();
        } else {
            if constexpr (F.refusal == Refusal::panic) set_borrow_refused_panic(F.access);
            else set_borrow_refused(F.access);
            return Result::error();
        }
    }
    try {
        return Result::out(body(object));
    } catch (...) {
        translate_exception();
        return Result::error();
    }
}

// EntryPoint<frame, &impl>: the C entry points of one implementation function.
template <Frame F, auto Impl>
struct EntryPoint;

template <Frame F, class R, class Class, class... Args, R (*Impl)(Object<Class>&, Args...)>
struct EntryPoint<F, Impl> {
    using CResult = typename SlotResult<R>::type;

    // A type slot: the receiver, then the slot's own arguments.
    static CResult slot(PyObject* self, Args... args) noexcept {
        return run<Class, F>(self, [&](Object<Class>& object) -> R { return Impl(object, args...); });
    }
    // A property getter.
    static PyObject* getter(PyObject* self, void*) noexcept
        requires(sizeof...(Args) == 0)
    {
        return run<Class, F>(self, [](Object<Class>& object) -> R { return Impl(object); });
    }
    // A METH_NOARGS method (the interpreter rejects arguments itself).
    static PyObject* noargs(PyObject* self, PyObject*) noexcept
        requires(sizeof...(Args) == 0)
    {
        return run<Class, F>(self, [](Object<Class>& object) -> R { return Impl(object); });
    }
    // A METH_FASTCALL | METH_KEYWORDS method; each parameter arrives as a
    // borrowed object, or nullptr when it was not given.
    template <const Signature& Sig>
    static PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
        static_assert(Sig.count == sizeof...(Args), "one parameter per implementation argument");
        PyObject* parsed[sizeof...(Args) + 1] = {};
        if (!parse_arguments(Sig, args, nargs, kwnames, parsed)) return nullptr;
        return run<Class, F>(self, [&](Object<Class>& object) -> R {
            return call_with(object, parsed, std::index_sequence_for<Args...>{});
        });
    }

private:
    template <std::size_t... I>
    static R call_with(Object<Class>& object, PyObject* const* parsed, std::index_sequence<I...>) {
        return Impl(object, parsed[I]...);
    }
};

// StaticEntryPoint<&impl>: entry points without an instance receiver -
// constructors (tp_new) and class methods.  Only parsing and the failure
// translation apply; `impl(type, args...)` gets the class and one borrowed
// object (or nullptr) per parameter.
template <auto Impl>
struct StaticEntryPoint;

template <class... Args, OwnedRef (*Impl)(PyTypeObject*, Args...)>
struct StaticEntryPoint<Impl> {
    template <const Signature& Sig>
    static PyObject* constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
        static_assert(Sig.count == sizeof...(Args), "one parameter per implementation argument");
        PyObject* parsed[sizeof...(Args) + 1] = {};
        if (!parse_arguments(Sig, args, kwargs, parsed)) return nullptr;
        return call(type, parsed, std::index_sequence_for<Args...>{});
    }
    template <const Signature& Sig>
    static PyObject* class_method(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
        static_assert(Sig.count == sizeof...(Args), "one parameter per implementation argument");
        PyObject* parsed[sizeof...(Args) + 1] = {};
        if (!parse_arguments(Sig, args, nargs, kwnames, parsed)) return nullptr;
        return call(reinterpret_cast<PyTypeObject*>(cls), parsed, std::index_sequence_for<Args...>{});
    }

private:
    template <std::size_t... I>
    static PyObject* call(PyTypeObject* type, PyObject* const* parsed, std::index_sequence<I...>) noexcept {
        try {
            return Impl(type, parsed[I]...).release();
        } catch (...) {
            translate_exception();
            return nullptr;
        }
    }
};

// Function-pointer casts for method tables and type slots.
template <class Fn>
PyCFunction as_cfunction(Fn function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}
template <class Fn>
void* as_slot(Fn function) noexcept {
    return reinterpret_cast<void*>(function);
}

}  // namespace quorvel::python
