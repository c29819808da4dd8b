// OwnedRef: the one owner of a strong reference to a Python object.
//
// Every PyObject* the binding layer keeps beyond a single call is held in an
// OwnedRef, so that each reference has exactly one owner and is released on
// every exit path by a destructor instead of a hand-written Py_DECREF.  The
// type is move-only: a second reference is taken only on purpose, with
// `OwnedRef::from_borrowed` or `dup()`.
//
// Convention for the rest of the layer: a raw `PyObject*` parameter or local
// is always a borrowed reference; anything owned is an OwnedRef.
//
// Every OwnedRef is released on a thread attached to the interpreter (the
// binding layer only runs inside calls from Python), so the release never
// needs to be deferred.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quorvel::python {

class OwnedRef {
public:
    OwnedRef() noexcept = default;

    // Takes over a new reference as returned by most C API calls (may be null,
    // which means the call failed and an exception is set).
    static OwnedRef steal(PyObject* object) noexcept { return OwnedRef(object); }
    // Takes a second strong reference to a borrowed object (may be null).
    static OwnedRef from_borrowed(PyObject* object) noexcept { return OwnedRef(Py_XNewRef(object)); }

    OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        OwnedRef old(std::exchange(object_, std::exchange(other.object_, nullptr)));
        return *this;  // `old` releases the previous object last, after *this is consistent
    }
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    ~OwnedRef() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Hands the reference to the caller (for returning it to the interpreter).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    OwnedRef dup() const noexcept { return from_borrowed(object_); }

private:
    explicit OwnedRef(PyObject* object) noexcept : object_(object) {}

    PyObject* object_ = nullptr;
};

}  // namespace quorvel::python
