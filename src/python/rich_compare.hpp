// The rich comparison shared by the maps and the keys and items views.
//
// Only equality is their own: `!=` asks the interpreter for `==` with the
// same operands (so a reflected __eq__ of the other side counts, and unlike
// `==` its failures propagate) and negates it; ordering is not defined.
#pragma once

#include "python/errors.hpp"
#include "common/errors.hpp"
#include "python/owned_ref.hpp"

namespace quorvel::python {

template <class Equal>
OwnedRef rich_compare(PyObject* self, PyObject* other, int op, Equal&& equal) {
    switch (op) {
        case Py_EQ:
            return equal();
        case Py_NE: {
            OwnedRef result = checked(PyObject_RichCompare(self, other, Py_EQ));
            const int truth = checked_status(PyObject_IsTrue(result.get()));
            return OwnedRef::from_borrowed(truth ? Py_False : Py_True);
        }
        case Py_LT:
        case Py_LE:
        case Py_GT:
        case Py_GE:
            return OwnedRef::from_borrowed(Py_NotImplemented);
        default:
            throw InternalError("invalid compareop");
    }
}

}  // namespace quorvel::python
