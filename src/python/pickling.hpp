// Copying and pickling the module's objects.
//
// `copy.copy`, `copy.deepcopy` and `pickle` all ask an object for its
// `__reduce__` (through `object.__reduce_ex__`).  Each class answers in its
// own file:
//
//   maps      (class, (), None, None, iterator over (key, value) items):
//             rebuilt as `cls()` followed by `m[k] = v` per item, so the
//             result is a new map with default options owned by the thread
//             that rebuilds it.  The map exists (and is memoised) before its
//             items are rebuilt, so a map reachable from its own items
//             pickles and deep-copies as a dict does instead of recursing
//             without end.  `__copy__` is m.copy(): no key is hashed again.
//   options   (class, (constructor arguments...)).
//   views,    refused with the TypeError the interpreter raises for any
//   iterators object it cannot pickle, at every protocol.  Without it,
//             protocols 0 and 1 would write a stream that fails only when
//             loaded (the default reduction names object.__new__, which a
//             class that forbids instantiation refuses).
//
// This header holds the refusal, shared by the six views and the six
// iterators.
#pragma once

#include "python/entry_point.hpp"

namespace quorvel::python {

// __reduce__ of an object that cannot be pickled or copied.
template <class Class>
OwnedRef refuse_pickling(Object<Class>& self) {
    PyErr_Format(PyExc_TypeError, "cannot pickle '%s' object", Py_TYPE(self.py())->tp_name);
    return {};
}

// The method table of a class whose only method is that refusal.
template <class Class>
inline PyMethodDef unpicklable_methods[2] = {
    {"__reduce__", as_cfunction(&EntryPoint<UNBORROWED, &refuse_pickling<Class>>::noargs), METH_NOARGS, nullptr},
    {},
};

}  // namespace quorvel::python
