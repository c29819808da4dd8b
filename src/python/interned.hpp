// Attribute names the module looks up on objects it is given, interned once.
//
// The C API's *String lookups make a new str for the name on every call.
// Besides the allocation, each of those objects takes an entry of its own in
// the interpreter's type attribute cache, which keeps a reference to the
// name: every `update` or `==` with a new kind of object would push another
// copy of "keys" there.  One interned object per name avoids both.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>

namespace quorvel::python {

// "keys", borrowed and alive for the process; nullptr with MemoryError set
// when it cannot be made.
inline PyObject* keys_name() noexcept {
    static std::atomic<PyObject*> name{nullptr};
    if (PyObject* made = name.load(std::memory_order_acquire)) return made;
    PyObject* fresh = PyUnicode_InternFromString("keys");
    if (fresh == nullptr) return nullptr;
    PyObject* expected = nullptr;
    if (name.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) return fresh;  // kept for ever
    Py_DECREF(fresh);  // another thread made it first
    return expected;
}

}  // namespace quorvel::python
