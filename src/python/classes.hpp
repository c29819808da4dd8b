// The module's classes as the registration routine sees them.
//
// Each class is defined in the file of its concept and hands out one
// ClassRegistration: its Python name, its PyType_Spec and the cell
// in which its type object is published (frame.hpp's `type_object`).  The
// module (module.cpp) creates the type objects once per process and
// registers the classes in this order, which is also the order of
// `quorvel.__all__`.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>

namespace quorvel::python {

struct ClassRegistration {
    const char* python_name;
    PyType_Spec* spec;
    std::atomic<PyTypeObject*>* type;
};

struct ElasticTwin;
struct FunnelTwin;

ClassRegistration elastic_options_class() noexcept;
ClassRegistration funnel_options_class() noexcept;
template <class Twin>
ClassRegistration map_class() noexcept;
// keys, values, items
template <class Twin>
std::array<ClassRegistration, 3> view_classes() noexcept;
// key, value, item iterators
template <class Twin>
std::array<ClassRegistration, 3> iterator_classes() noexcept;

}  // namespace quorvel::python
