// Failure types of the core.
//
// The core never includes Python.h, so it reports failures as C++
// exceptions that the binding layer translates at its boundary:
//   * std::bad_alloc      - the allocator could not supply a table;
//   * InternalError       - a broken invariant or a layout that cannot exist,
//                           carrying the fixed message the user will see.
// Absence of a key is never an error: lookups return an empty optional.
#pragma once

#include <stdexcept>
#include <string>

namespace quorvel {

class InternalError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A table whose byte layout does not fit the platform's largest object.
// The reported text is the message followed by ": LayoutError".
class LayoutError : public InternalError {
public:
    explicit LayoutError(const char* what) : InternalError(std::string(what) + ": LayoutError") {}
};

}  // namespace quorvel
