// Failures at the boundary between C++ and the interpreter.
//
// Inside the binding layer a failure travels as a C++ exception and becomes
// a Python exception in exactly one place, the entry-point frame
// (entry_point.hpp), through `translate_exception`:
//
//     PythonError             a Python exception is already set: keep it
//     std::bad_alloc          MemoryError
//     quorvel::InternalError  PanicException carrying the message (this
//                             covers the cores' LayoutError and our own
//                             broken invariants)
//     anything else           PanicException carrying what() if any
//
// PanicException derives directly from BaseException, so `except Exception`
// does not catch it.  It is made once per process, on first use, and is not
// part of the module's namespace.
//
// Absorbing.  Some paths treat a failing Python call as "not equal" or
// "false" (key comparison, map and view equality, membership of values).
// They absorb only ordinary exceptions (subclasses of Exception).  A
// PanicException (its traceback printed first) and every other
// BaseException - KeyboardInterrupt, SystemExit, GeneratorExit - stay
// pending and end the operation, so that a Ctrl-C during a lookup is never
// lost.
#pragma once

#include "python/owned_ref.hpp"

namespace quorvel::python {

// Thrown after a C API call failed; the Python exception is pending.
struct PythonError {};

// A new reference from a C API call, or PythonError when the call failed.
inline OwnedRef checked(PyObject* new_reference) {
    if (new_reference == nullptr) throw PythonError{};
    return OwnedRef::steal(new_reference);
}
// A status from a C API call (negative on failure), or PythonError.
inline int checked_status(int status) {
    if (status < 0) throw PythonError{};
    return status;
}

// The PanicException class (borrowed, lives for the process), or nullptr
// with the creation's exception set.
PyObject* panic_exception_type() noexcept;

// Sets PanicException(message) as the pending exception.
void set_panic(const char* message) noexcept;

// Turns the exception being handled into the pending Python exception.
// Call only from inside a catch block.
void translate_exception() noexcept;

// For paths that count a failed Python call as false: clears the pending
// exception and returns true when it is an ordinary Exception; otherwise
// leaves it pending (printing a PanicException's traceback first) and
// returns false.
bool absorb_exception() noexcept;

// absorb_exception, throwing PythonError when the exception must propagate.
inline void absorb_or_throw() {
    if (!absorb_exception()) throw PythonError{};
}

}  // namespace quorvel::python
