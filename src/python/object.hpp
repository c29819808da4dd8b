// The module's objects: how an instance is laid out, where its class's type
// object is found, and how an instance is made and released.
//
// A class of the module is described by a small C++ class description:
//
//     struct SomeClass {
//         using Native = ...;                        // the object's own value
//         static constexpr bool thread_bound = ...;  // maps, views, iterators
//         static constexpr const char* python_name = "ElasticHashMap";
//         static constexpr const char* native_name = "PyElasticHashMap";
//     };
//
// which may also hold the class's implementation functions and type tables
// (entry_point.hpp).  Its instances are laid out as
//
//     Object<SomeClass> { PyObject ob_base; ObjectHeader header; Native value; }
//
// where the header holds the borrow flag (borrow.hpp) and, for thread-bound
// classes, the owner thread (thread.hpp).  The interpreter allocates the
// memory (tp_alloc, zeroed); header and value are constructed in place after
// allocation and destroyed in place by `dealloc`, so a native value is an
// ordinary C++ object whose destructor releases what it owns.
//
// The type objects are heap types, made once per process by the module's
// exec slot (module.cpp) and kept in one cell per class (`type_object`), so
// that a receiver check or a new instance finds its type without any module
// state.
#pragma once

#include <atomic>
#include <memory>
#include <type_traits>
#include <utility>

#include "python/borrow.hpp"
#include "python/errors.hpp"
#include "python/owned_ref.hpp"
#include "python/release.hpp"
#include "python/thread.hpp"

namespace quorvel::python {

template <bool ThreadBound>
struct ObjectHeader {
    LocalBorrowFlag borrow;
    ThreadId owner = current_thread();
};
template <>
struct ObjectHeader<false> {
    SharedBorrowFlag borrow;
};

// The type object of a class, published by the exec slot before any
// instance can exist.
template <class Class>
inline std::atomic<PyTypeObject*> type_object{nullptr};

template <class Class>
PyTypeObject* type_of() noexcept {
    return type_object<Class>.load(std::memory_order_acquire);
}

template <class Class>
struct Object {
    PyObject ob_base;
    ObjectHeader<Class::thread_bound> header;
    typename Class::Native value;

    PyObject* py() noexcept { return &ob_base; }

    // The classes are not subclassable, so an instance has exactly the type.
    static bool check(PyObject* object) noexcept { return Py_IS_TYPE(object, type_of<Class>()); }
    static Object& from(PyObject* object) noexcept { return *reinterpret_cast<Object*>(object); }

    bool on_owner_thread() const noexcept {
        if constexpr (Class::thread_bound) return header.owner == current_thread();
        return true;
    }
    // The thread check of an entry point (PanicException set on failure).
    bool check_thread() const noexcept {
        if (on_owner_thread()) return true;
        if constexpr (Class::thread_bound) set_wrong_thread(Class::native_name, header.owner);
        return false;
    }
};

// A new instance of Class holding `value`, owned by the calling thread.
template <class Class>
OwnedRef make_object(typename Class::Native&& value) {
    static_assert(std::is_nothrow_move_constructible_v<typename Class::Native>);
    PyTypeObject* type = type_of<Class>();
    OwnedRef object = checked(type->tp_alloc(type, 0));
    auto& instance = Object<Class>::from(object.get());
    std::construct_at(&instance.header);
    std::construct_at(&instance.value, std::move(value));
    return object;
}

// Whether a class's instances must keep their memory when they are dropped
// on a foreign thread: true for those that their owner thread's objects
// point to (Class::pinned_when_leaked).
template <class Class>
constexpr bool pinned_when_leaked() noexcept {
    if constexpr (requires { Class::pinned_when_leaked; }) return Class::pinned_when_leaked;
    return false;
}

// The release of one instance.  On a foreign thread a thread-bound value is
// leaked, not released: its owner thread may be using what it refers to
// (and an instance pinned_when_leaked keeps its memory too).
template <class Class>
void release_object(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    auto& instance = Object<Class>::from(self);
    if (instance.on_owner_thread()) {
        std::destroy_at(&instance.value);
    } else {
        report_foreign_drop(Class::native_name);
        if constexpr (pinned_when_leaked<Class>()) return;
    }
    std::destroy_at(&instance.header);
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

// tp_dealloc of every class: the release, with nesting bounded per thread
// (release.hpp), so that maps nested a million deep through their values
// do not overflow the stack.
template <class Class>
void dealloc(PyObject* self) noexcept {
    release_bounded(self, &release_object<Class>);
}

}  // namespace quorvel::python
