// The Python side of key equality (see hashed_any.hpp).
#include "python/hashed_any.hpp"

#include "python/errors.hpp"

namespace quorvel::python {

bool HashedAny::python_equal(const HashedAny& stored, const HashedAny& probe) {
    const int equal = PyObject_RichCompareBool(stored.object(), probe.object(), Py_EQ);
    if (equal >= 0) return equal == 1;
    absorb_or_throw();
    return false;
}

}  // namespace quorvel::python
