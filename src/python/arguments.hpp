// Argument parsing and conversions.
//
// A Signature is plain data: the function's name as shown in messages and
// its parameters in order, of which the first `required` have no default
// and the first `positional` may be passed by position (the rest are
// keyword-only).  Parsing fills one borrowed pointer per parameter, nullptr
// for a parameter not given, and raises the interpreter's usual TypeErrors
// for missing, unexpected, duplicated or surplus arguments.
//
// Conversions turn one parsed argument into a C++ value.  A conversion that
// fails with TypeError is re-raised as
//     TypeError("argument '<name>': <original message>")
// keeping the original's __cause__; any other failure (OverflowError for a
// negative size, for example) propagates unchanged.  Conversions throw
// PythonError; they run inside an entry point.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>

namespace quorvel::python {

struct Signature {
    const char* name;
    std::array<const char*, 3> parameters;
    std::uint8_t count;
    std::uint8_t required;
    std::uint8_t positional;
};

// Vectorcall convention.  Returns false with a TypeError set.
bool parse_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** out) noexcept;
// Tuple-and-dict convention (tp_new); `kwargs` may be null.
bool parse_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                     PyObject** out) noexcept;

// Unsigned size: any integer index in [0, 2^32 - 1].  Negative values raise
// the interpreter's OverflowError, larger ones OverflowError "out of range
// integral type conversion attempted" (the maps count in 32 bits).
std::uint32_t to_size(PyObject* value, const char* parameter);
// The interpreter's float conversion (integers are accepted).
double to_double(PyObject* value, const char* parameter);
// None (or absent) means "not given".
std::optional<double> to_optional_double(PyObject* value, const char* parameter);
std::optional<std::uint32_t> to_optional_size(PyObject* value, const char* parameter);

// The instance-check conversion: TypeError "'<type>' object cannot be
// converted to '<class_name>'" (with the argument prefix) unless `value` has
// exactly the type `type`.
void check_instance(PyObject* value, PyTypeObject* type, const char* class_name,
                    const char* parameter);

// Sets TypeError "'<type of value>' object cannot be converted to '<class_name>'".
void set_conversion_error(PyObject* value, const char* class_name) noexcept;

}  // namespace quorvel::python
