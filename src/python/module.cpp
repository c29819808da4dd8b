// The quorvel extension module: definition and multi-phase initialisation.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

int quorvel_exec(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "quorvel: exec slot expects a module");
        return -1;
    }
    PyObject* all = PyList_New(0);
    if (all == nullptr) return -1;
    return PyModule_Add(module, "__all__", all);
}

PyModuleDef_Slot quorvel_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(quorvel_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef quorvel_module = {
    PyModuleDef_HEAD_INIT, "quorvel", nullptr, 0, nullptr, quorvel_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_quorvel() { return PyModuleDef_Init(&quorvel_module); }
