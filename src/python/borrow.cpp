// The messages of a refused borrow (see borrow.hpp).
#include "python/borrow.hpp"

#include "python/errors.hpp"

namespace quorvel::python {

void set_borrow_refused(Access access) noexcept {
    PyErr_SetString(PyExc_RuntimeError,
                    access == Access::exclusive ? "Already borrowed" : "Already mutably borrowed");
}

void set_borrow_refused_panic(Access access) noexcept {
    set_panic(access == Access::exclusive ? "Already borrowed: BorrowMutError"
                                          : "Already mutably borrowed: BorrowError");
}

}  // namespace quorvel::python
