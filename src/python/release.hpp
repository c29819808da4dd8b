// Releasing objects without unbounded recursion.
//
// The module's classes take no part in cyclic garbage collection, so the
// interpreter's own guard against deep deallocation (which only covers
// collected containers) never sees them.  Releasing a map releases its
// values; a value that is itself a map (or a view or iterator holding one)
// is released right there, one C stack frame deeper.  A chain of a million
// maps nested through their values would need a million nested
// deallocations and overflow the stack.
//
// `release_bounded` caps that nesting per thread:
//
//     depth < MAX_NESTED_RELEASES   release the object now, one level deeper
//     depth = MAX_NESTED_RELEASES   set it aside on this thread's pending list
//
// and the outermost release on the thread drains the pending list before it
// returns, releasing each object set aside as if it were the outermost.  An
// object set aside has reached a reference count of zero: nothing can reach
// it any more, so releasing it a little later changes nothing a program can
// observe, except that its contents go after those of its parents' siblings.
//
// The pending list lives as long as the thread and is empty whenever no
// release is running on it.  If it cannot grow (out of memory), the object
// is released at once, recursing as before rather than leaking.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quorvel::python {

// How deep releases of the module's objects may nest on one thread.  Small
// enough that the frames in between - interpreter containers, other
// extension types - never exhaust the stack.
inline constexpr int MAX_NESTED_RELEASES = 64;

// Runs `release(object)` now or, when this thread is already
// MAX_NESTED_RELEASES releases deep, after the outermost release returns.
void release_bounded(PyObject* object, void (*release)(PyObject*)) noexcept;

}  // namespace quorvel::python
