// Argument parsing and conversions (see arguments.hpp).
#include "python/arguments.hpp"

#include <cstring>
#include <limits>

#include "python/errors.hpp"

namespace quorvel::python {

namespace {

// Index of the parameter called `name`, or -1.
int find_parameter(const Signature& signature, PyObject* name) noexcept {
    for (int i = 0; i < signature.count; ++i) {
        if (PyUnicode_Check(name) && PyUnicode_EqualToUTF8(name, signature.parameters[i])) return i;
    }
    return -1;
}

bool set_keyword(const Signature& signature, PyObject* name, PyObject* value, PyObject** out) noexcept {
    const int index = find_parameter(signature, name);
    if (index < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", signature.name, name);
        return false;
    }
    if (out[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", signature.name,
                     signature.parameters[index]);
        return false;
    }
    out[index] = value;
    return true;
}

bool take_positional(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject** out) noexcept {
    if (nargs > signature.positional) {
        if (signature.required == signature.positional) {
            PyErr_Format(PyExc_TypeError, "%s() takes %d positional argument%s but %zd %s given",
                         signature.name, int{signature.positional}, signature.positional == 1 ? "" : "s",
                         nargs, nargs == 1 ? "was" : "were");
        } else {
            PyErr_Format(PyExc_TypeError, "%s() takes from %d to %d positional arguments but %zd were given",
                         signature.name, int{signature.required}, int{signature.positional}, nargs);
        }
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    return true;
}

bool check_required(const Signature& signature, PyObject** out) noexcept {
    for (int i = 0; i < signature.required; ++i) {
        if (out[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'",
                         signature.name, signature.parameters[i]);
            return false;
        }
    }
    return true;
}

[[noreturn]] void rethrow_with_argument_prefix(const char* parameter) {
    OwnedRef original = OwnedRef::steal(PyErr_GetRaisedException());
    if (!PyErr_GivenExceptionMatches(original.get(), PyExc_TypeError)) {
        PyErr_SetRaisedException(original.release());
        throw PythonError{};
    }
    OwnedRef message = checked(PyUnicode_FromFormat("argument '%s': %S", parameter, original.get()));
    OwnedRef replacement = checked(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
    PyErr_SetRaisedException(replacement.release());
    throw PythonError{};
}

void set_size_overflow() noexcept {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
}

}  // namespace

bool parse_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** out) noexcept {
    nargs = PyVectorcall_NARGS(nargs);
    if (!take_positional(signature, args, nargs, out)) return false;
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        if (!set_keyword(signature, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out)) return false;
    }
    return check_required(signature, out);
}

bool parse_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                     PyObject** out) noexcept {
    if (!take_positional(signature, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), out)) return false;
    if (kwargs != nullptr) {
        // The keyword dict of a call belongs to that call alone; the critical
        // section only keeps the free-threaded build's rules for PyDict_Next.
        bool ok = true;
        Py_BEGIN_CRITICAL_SECTION(kwargs);
        Py_ssize_t position = 0;
        PyObject* name;
        PyObject* value;
        while (ok && PyDict_Next(kwargs, &position, &name, &value)) {
            ok = set_keyword(signature, name, value, out);
        }
        Py_END_CRITICAL_SECTION();
        if (!ok) return false;
    }
    return check_required(signature, out);
}

std::uint32_t to_size(PyObject* value, const char* parameter) {
    OwnedRef index = OwnedRef::steal(PyNumber_Index(value));
    if (!index) rethrow_with_argument_prefix(parameter);
    const int negative = PyLong_IsNegative(index.get());
    if (negative < 0) throw PythonError{};
    if (negative) {
        // Let the interpreter word its own OverflowError for a negative size.
        (void)PyLong_AsSize_t(index.get());
        throw PythonError{};
    }
    int overflow = 0;
    const long long wide = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (wide == -1 && PyErr_Occurred()) throw PythonError{};
    if (overflow != 0 || wide > std::numeric_limits<std::uint32_t>::max()) {
        set_size_overflow();
        throw PythonError{};
    }
    return static_cast<std::uint32_t>(wide);
}

double to_double(PyObject* value, const char* parameter) {
    const double result = PyFloat_AsDouble(value);
    if (result == -1.0 && PyErr_Occurred()) rethrow_with_argument_prefix(parameter);
    return result;
}

std::optional<double> to_optional_double(PyObject* value, const char* parameter) {
    if (value == nullptr || value == Py_None) return std::nullopt;
    return to_double(value, parameter);
}

std::optional<std::uint32_t> to_optional_size(PyObject* value, const char* parameter) {
    if (value == nullptr || value == Py_None) return std::nullopt;
    return to_size(value, parameter);
}

void set_conversion_error(PyObject* value, const char* class_name) noexcept {
    OwnedRef type_name = OwnedRef::steal(PyType_GetQualName(Py_TYPE(value)));
    if (!type_name) return;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", type_name.get(), class_name);
}

void check_instance(PyObject* value, PyTypeObject* type, const char* class_name,
                    const char* parameter) {
    if (Py_IS_TYPE(value, type)) return;
    set_conversion_error(value, class_name);
    rethrow_with_argument_prefix(parameter);
}

}  // namespace quorvel::python
