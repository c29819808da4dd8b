// The quorvel extension module: definition, multi-phase initialisation and
// class registration.
//
// PyInit_quorvel only hands the definition to the interpreter.  The exec
// slot makes the type objects - once per process, under a lock, so that
// threads importing the module at the same time (or a second module
// object) end up with the same classes - and registers them in a fixed
// order: each class's name is appended to `__all__` and the class is set as
// a module attribute.  The first failing registration stops the exec slot
// with its exception; classes registered before it stay.
//
// The module declares Py_MOD_GIL_NOT_USED: every object it creates either
// is bound to the thread that created it or never changes.
#include <array>

#include "python/errors.hpp"
#include "python/owned_ref.hpp"
#include "python/registration.hpp"

namespace quorvel::python {

namespace {

// The order of registration and of __all__.
std::array<ClassRegistration, 16> registrations() noexcept {
    const auto elastic_views = view_registrations<ElasticFamily>();
    const auto elastic_iterators = iterator_registrations<ElasticFamily>();
    const auto funnel_views = view_registrations<FunnelFamily>();
    const auto funnel_iterators = iterator_registrations<FunnelFamily>();
    return {
        map_registration<ElasticFamily>(), map_registration<FunnelFamily>(),
        elastic_options_registration(),    funnel_options_registration(),
        elastic_views[0],                  elastic_views[1],                  elastic_views[2],
        elastic_iterators[0],              elastic_iterators[1],              elastic_iterators[2],
        funnel_views[0],                   funnel_views[1],                   funnel_views[2],
        funnel_iterators[0],               funnel_iterators[1],               funnel_iterators[2],
    };
}

PyMutex types_lock{};

// The class's type object, created on first use.  Creation runs under a
// PyMutex (which detaches a waiting thread from the interpreter, so racing
// imports cannot deadlock) and is published with release order; readers
// (type_of) load with acquire.  Type objects live for the process.
PyTypeObject* ensure_type(const ClassRegistration& registration) noexcept {
    if (PyTypeObject* type = registration.type->load(std::memory_order_acquire)) return type;
    PyMutex_Lock(&types_lock);
    PyTypeObject* type = registration.type->load(std::memory_order_acquire);
    if (type == nullptr) {
        type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(registration.type_spec));
        if (type != nullptr) registration.type->store(type, std::memory_order_release);
    }
    PyMutex_Unlock(&types_lock);
    return type;
}

// Appends `name` to the module's __all__, creating the list when needed.
bool append_to_all(PyObject* module, const char* name) noexcept {
    OwnedRef all;
    {
        PyObject* found = nullptr;
        if (PyObject_GetOptionalAttrString(module, "__all__", &found) < 0) return false;
        all = OwnedRef::steal(found);
    }
    if (!all) {
        all = OwnedRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    OwnedRef text = OwnedRef::steal(PyUnicode_FromString(name));
    if (!text || !PyList_Check(all.get()) || PyList_Append(all.get(), text.get()) < 0) {
        PyErr_Clear();
        set_panic("could not append __name__ to __all__");
        return false;
    }
    return true;
}

int register_class(PyObject* module, const ClassRegistration& registration) noexcept {
    PyTypeObject* type = ensure_type(registration);
    if (type == nullptr) return -1;
    if (!append_to_all(module, registration.python_name)) return -1;
    return PyObject_SetAttrString(module, registration.python_name, reinterpret_cast<PyObject*>(type));
}

int quorvel_exec(PyObject* module) noexcept {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "quorvel's exec slot expects a module object");
        return -1;
    }
    for (const ClassRegistration& registration : registrations()) {
        if (register_class(module, registration) < 0) return -1;
    }
    return 0;
}

PyModuleDef_Slot quorvel_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&quorvel_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef quorvel_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "quorvel",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = quorvel_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace quorvel::python

PyMODINIT_FUNC PyInit_quorvel() { return PyModuleDef_Init(&quorvel::python::quorvel_module); }
