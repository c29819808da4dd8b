// PanicException and the translation of C++ failures (see errors.hpp).
#include "python/errors.hpp"

#include <atomic>
#include <exception>
#include <new>

#include "common/errors.hpp"

namespace quorvel::python {

namespace {

// Published once; readers that see it non-null need no lock.  Creation runs
// under a PyMutex, which detaches the waiting thread from the interpreter,
// so two threads racing here cannot deadlock on the interpreter lock.
std::atomic<PyObject*> panic_type{nullptr};
PyMutex panic_type_lock{};

}  // namespace

PyObject* panic_exception_type() noexcept {
    if (PyObject* type = panic_type.load(std::memory_order_acquire)) return type;
    PyMutex_Lock(&panic_type_lock);
    PyObject* type = panic_type.load(std::memory_order_acquire);
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "quorvel.PanicException",
            "An internal invariant of quorvel failed, or an object was used from a thread "
            "other than the one that created it.",
            PyExc_BaseException, nullptr);
        if (type != nullptr) panic_type.store(type, std::memory_order_release);  // owned for ever
    }
    PyMutex_Unlock(&panic_type_lock);
    return type;
}

void set_panic(const char* message) noexcept {
    if (PyObject* type = panic_exception_type()) PyErr_SetString(type, message);
}

void translate_exception() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) set_panic("a failing call left no exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& failure) {  // InternalError (and LayoutError) included
        set_panic(failure.what());
    } catch (...) {
        set_panic("unknown failure in native code");
    }
}

bool absorb_exception() noexcept {
    if (PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_Clear();
        return true;
    }
    PyObject* panic = panic_type.load(std::memory_order_acquire);
    if (panic != nullptr && PyErr_ExceptionMatches(panic)) {
        PyObject* raised = PyErr_GetRaisedException();
        PyErr_DisplayException(raised);
        PyErr_SetRaisedException(raised);
    }
    return false;
}

}  // namespace quorvel::python
