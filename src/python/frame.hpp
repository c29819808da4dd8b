// The entry-point frame: what every Python-callable function of the module
// does around its own work, written once.
//
// A class of the module is described by a small C++ "class" struct:
//
//     struct SomeClass {
//         using Native = ...;                        // the object's own value
//         static constexpr bool thread_bound = ...;  // maps, views, iterators
//         static constexpr const char* python_name = "ElasticHashMap";
//         static constexpr const char* native_name = "PyElasticHashMap";
//         static ... implementation functions taking Object<SomeClass>& ...
//     };
//
// and its instances are laid out as
//
//     Object<SomeClass> { PyObject ob_base; ObjectHeader header; Native value; }
//
// where the header holds `borrow_flag` and, for thread-bound classes,
// `owner_thread`.  The interpreter allocates the memory (tp_alloc, zeroed);
// header and value are constructed in place after allocation and destroyed
// in place by `dealloc`.
//
// An implementation function is a plain function `R impl(Object<C>&, args...)`.
// `Entry<frame, &impl>` turns it into the C function the interpreter calls
// (type slot, getter, method), running these steps in order:
//
//   1. argument parsing (methods with a Signature, arguments.hpp);
//   2. receiver check: a method raises the conversion TypeError, an operator
//      slot returns NotImplemented;
//   3. thread affinity (thread-bound classes): PanicException
//      "quorvel::python::<native name> is unsendable, but sent to another thread";
//   4. borrow of the receiver, shared or exclusive, released on every exit;
//      a refusal raises RuntimeError, PanicException or returns NotImplemented
//      as the frame says;
//   5. the implementation, inside the one try/catch that turns C++ failures
//      into Python exceptions (errors.hpp).  Nothing escapes into the
//      interpreter.
//
// An implementation reports failure either by throwing or by returning the
// slot's error value (null OwnedRef, -1) with a Python exception set; hot
// paths use the second form so that a KeyError costs no C++ unwinding.  A
// null OwnedRef with no exception set is also how `next()` signals
// exhaustion.
//
// Borrows.  `borrow_flag` is 0 when free, n > 0 while n shared borrows are
// held, and all ones while one exclusive borrow is held.  Thread-bound
// objects are only ever borrowed by their owner thread - every entry point
// checks the thread before it borrows - so their flag needs no
// read-modify-write: relaxed loads and stores suffice and cost nothing.
// Objects usable from any thread (the options) use compare-and-swap.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>

#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "python/owned_ref.hpp"
#include "python/release.hpp"

namespace quorvel::python {

// ---------------------------------------------------------------------------
// Borrow flags

enum class Access : std::uint8_t { none, shared, exclusive };

inline constexpr std::uintptr_t EXCLUSIVELY_BORROWED = ~std::uintptr_t{0};

// Every entry point takes and drops a borrow; inlined, a constant Access
// folds them to a load, a compare and a store.
#define QUORVEL_HOT_INLINE [[gnu::always_inline]] inline

// The flag of an object that only its owner thread may touch.
class LocalBorrowFlag {
public:
    QUORVEL_HOT_INLINE bool try_acquire(Access access) noexcept {
        const std::uintptr_t word = word_.load(std::memory_order_relaxed);
        if (access == Access::shared) {
            if (word == EXCLUSIVELY_BORROWED) return false;
            word_.store(word + 1, std::memory_order_relaxed);
        } else if (access == Access::exclusive) {
            if (word != 0) return false;
            word_.store(EXCLUSIVELY_BORROWED, std::memory_order_relaxed);
        }
        return true;
    }
    QUORVEL_HOT_INLINE void release(Access access) noexcept {
        if (access == Access::shared) {
            word_.store(word_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
        } else if (access == Access::exclusive) {
            word_.store(0, std::memory_order_relaxed);
        }
    }

private:
    std::atomic<std::uintptr_t> word_{0};
};

// The flag of an object any thread may use: every change is one atomic
// read-modify-write.
class SharedBorrowFlag {
public:
    bool try_acquire(Access access) noexcept {
        if (access == Access::none) return true;
        std::uintptr_t word = word_.load(std::memory_order_relaxed);
        for (;;) {
            std::uintptr_t next;
            if (access == Access::shared) {
                if (word == EXCLUSIVELY_BORROWED) return false;
                next = word + 1;
            } else {
                if (word != 0) return false;
                next = EXCLUSIVELY_BORROWED;
            }
            if (word_.compare_exchange_weak(word, next, std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
                return true;
            }
        }
    }
    void release(Access access) noexcept {
        if (access == Access::shared) {
            word_.fetch_sub(1, std::memory_order_release);
        } else if (access == Access::exclusive) {
            word_.store(0, std::memory_order_release);
        }
    }

private:
    std::atomic<std::uintptr_t> word_{0};
};

// Holds one borrow for a scope.  `release()` ends it early and `reacquire()`
// takes it again (the set operations drop the map's borrow while they
// iterate a foreign object).
template <class Flag>
class Borrow {
public:
    QUORVEL_HOT_INLINE Borrow(Flag& flag, Access access) noexcept
        : flag_(&flag), access_(access), held_(flag.try_acquire(access)) {}
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    QUORVEL_HOT_INLINE ~Borrow() { release(); }

    explicit operator bool() const noexcept { return held_; }
    QUORVEL_HOT_INLINE void release() noexcept {
        if (held_) flag_->release(access_);
        held_ = false;
    }
    bool reacquire() noexcept { return held_ = flag_->try_acquire(access_); }

private:
    Flag* flag_;
    Access access_;
    bool held_;
};

// RuntimeError "Already mutably borrowed" / "Already borrowed".
void set_borrow_refused(Access access) noexcept;
// The same refusal as a PanicException ("Already mutably borrowed: ...").
void set_borrow_refused_panic(Access access) noexcept;

// ---------------------------------------------------------------------------
// Thread affinity

using ThreadId = unsigned long;

// The interpreter's id of the calling thread (threading.get_ident()), which
// is pthread_self().  Every entry point asks for it, so on x86-64 Linux it
// is read where pthread_self() itself reads it - the thread descriptor's
// address, kept at %fs:0 by glibc and musl alike - instead of through two
// calls.
inline ThreadId current_thread() noexcept {
#if defined(__x86_64__) && defined(__linux__)
    ThreadId self;
    __asm__("movq %%fs:0, %0" : "=r"(self));
    return self;
#else
    return PyThread_get_thread_ident();
#endif
}

// PanicException "quorvel::python::<native_name> is unsendable, but sent to
// another thread (...)".
void set_wrong_thread(const char* native_name, ThreadId owner) noexcept;
// Reports a thread-bound object destroyed on a foreign thread through the
// unraisable-exception hook; the pending exception, if any, is kept.
void report_foreign_drop(const char* native_name) noexcept;

// ---------------------------------------------------------------------------
// Object layout and type objects

template <bool ThreadBound>
struct ObjectHeader {
    LocalBorrowFlag borrow;
    ThreadId owner = current_thread();
};
template <>
struct ObjectHeader<false> {
    SharedBorrowFlag borrow;
};

// The type object of a class, created once per process by the module's exec
// slot (module.cpp) and published here before any instance can exist.
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
    // Thread check of step 3 (PanicException set on failure).
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

// ---------------------------------------------------------------------------
// The frame

enum class Receiver : std::uint8_t { method, operand };
enum class Refusal : std::uint8_t { runtime_error, panic, not_implemented };

struct Frame {
    Access access = Access::none;
    Refusal refusal = Refusal::runtime_error;
    Receiver receiver = Receiver::method;
    bool thread_check = true;
};

inline constexpr Frame SHARED{Access::shared};
inline constexpr Frame EXCLUSIVE{Access::exclusive};
inline constexpr Frame UNBORROWED{Access::none};

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

// TypeError "'<type>' object cannot be converted to '<python_name>'".
void set_receiver_error(PyObject* receiver, const char* python_name) noexcept;

template <class Class, Frame F, class Body>
auto run(PyObject* self, Body&& body) noexcept {
    using Result = SlotResult<std::invoke_result_t<Body&, Object<Class>&>>;
    if (!Object<Class>::check(self)) {
        if constexpr (F.receiver == Receiver::operand) {
            return Result::not_implemented();
        } else {
            set_receiver_error(self, Class::python_name);
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

// Entry<frame, &impl>: the C entry points of one implementation function.
template <Frame F, auto Impl>
struct Entry;

template <Frame F, class R, class Class, class... Args, R (*Impl)(Object<Class>&, Args...)>
struct Entry<F, Impl> {
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

// StaticEntry<&impl>: entry points without an instance receiver -
// constructors (tp_new) and class methods.  Only parsing and the failure
// translation apply; `impl(type, args...)` gets the class and one borrowed
// object (or nullptr) per parameter.
template <auto Impl>
struct StaticEntry;

template <class... Args, OwnedRef (*Impl)(PyTypeObject*, Args...)>
struct StaticEntry<Impl> {
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
