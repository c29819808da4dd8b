// The messages of a thread-affinity violation (see thread.hpp).
#include "python/thread.hpp"

#include "python/errors.hpp"
#include "python/owned_ref.hpp"

namespace quorvel::python {

void set_wrong_thread(const char* native_name, ThreadId owner) noexcept {
    OwnedRef message = OwnedRef::steal(PyUnicode_FromFormat(
        "quorvel::python::%s is unsendable, but sent to another thread (created on thread %lu, "
        "called from thread %lu)",
        native_name, owner, current_thread()));
    if (!message) return;
    if (PyObject* panic = panic_exception_type()) PyErr_SetObject(panic, message.get());
}

void report_foreign_drop(const char* native_name) noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    PyErr_Format(PyExc_RuntimeError,
                 "quorvel::python::%s is unsendable, but is being dropped on another thread", native_name);
    PyErr_WriteUnraisable(nullptr);
    PyErr_SetRaisedException(pending);
}

}  // namespace quorvel::python
