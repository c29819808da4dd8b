// The frame's messages (see frame.hpp).
#include "python/frame.hpp"

namespace quorvel::python {

void set_borrow_refused(Access access) noexcept {
    PyErr_SetString(PyExc_RuntimeError,
                    access == Access::exclusive ? "Already borrowed" : "Already mutably borrowed");
}

void set_borrow_refused_panic(Access access) noexcept {
    set_panic(access == Access::exclusive ? "Already borrowed: BorrowMutError"
                                          : "Already mutably borrowed: BorrowError");
}

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

void set_receiver_error(PyObject* receiver, const char* python_name) noexcept {
    set_conversion_error(receiver, python_name);
}

}  // namespace quorvel::python
