// Thread identity: which thread an object belongs to.
//
// Maps, views and iterators are bound to the thread that made them: only
// that thread may call them, so their state is never touched by two threads
// at once, even under the free-threaded interpreter, and needs no lock.
// Every entry point of such an object compares the calling thread with the
// object's owner before it borrows the object (entry_point.hpp); an object
// released on a foreign thread is reported and leaked instead (object.hpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quorvel::python {

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

}  // namespace quorvel::python
