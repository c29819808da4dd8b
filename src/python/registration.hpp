// The module's classes as the registration routine sees them.
//
// Each class is defined in the file of its concept and hands out one
// ClassRegistration: its Python name, its PyType_Spec and the cell in which
// its type object is published (object.hpp's `type_object`).  The module
// (module.cpp) creates the type objects once per process and registers the
// classes in its own fixed order, which is also the order of
// `quorvel.__all__`; the declarations below are all it needs to see of them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>

#include "python/object.hpp"

namespace quorvel::python {

struct ClassRegistration {
    const char* python_name;
    PyType_Spec* type_spec;
    std::atomic<PyTypeObject*>* type;
};

// The PyType_Spec of the class that Class describes: instances of one fixed size,
// sizeof(Object<Class>), with no variable part.
template <class Class>
constexpr PyType_Spec type_spec(const char* name, unsigned int flags, PyType_Slot* slots) noexcept {
    return {.name = name, .basicsize = sizeof(Object<Class>), .itemsize = 0, .flags = flags, .slots = slots};
}

// The registration of the class that Class describes, made from its PyType_Spec.
template <class Class>
ClassRegistration registration_of(PyType_Spec& spec) noexcept {
    return {.python_name = Class::python_name, .type_spec = &spec, .type = &type_object<Class>};
}

struct ElasticFamily;
struct FunnelFamily;

ClassRegistration elastic_options_registration() noexcept;
ClassRegistration funnel_options_registration() noexcept;
template <class Family>
ClassRegistration map_registration() noexcept;
// keys, values, items
template <class Family>
std::array<ClassRegistration, 3> view_registrations() noexcept;
// key, value, item iterators
template <class Family>
std::array<ClassRegistration, 3> iterator_registrations() noexcept;

}  // namespace quorvel::python
