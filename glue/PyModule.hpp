// glue/PyModule.hpp: the module definition both extension modules share (multi-phase init)
#pragma once

#include "glue/PyRef.hpp"

namespace tarvel::py {

// module.<name> = value
inline void bind(PyObject* module, const char* name, const Ref& value) {
    check(PyModule_AddObjectRef(module, name, value.get()) < 0);
}

// Runs a module's body at import (Py_mod_exec): 0, or -1 with the error set.
template <void (*Body)(PyObject*)>
int exec_module(PyObject* module) noexcept {
    PyObject* result = guard([&] {
        Body(module);
        return none();
    });
    if (result == nullptr) return -1;
    Py_DECREF(result);
    return 0;
}

}  // namespace tarvel::py

#if PY_VERSION_HEX >= 0x030C0000
// Native types and caches are shared by the whole process.
#define TARVEL_MODULE_INTERPRETERS_SLOT \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define TARVEL_MODULE_INTERPRETERS_SLOT
#endif

// PyInit_<short_name> for the module `full_name`, whose import runs `body(module)`.
#define TARVEL_MODULE(short_name, full_name, doc, body)                          \
    namespace {                                                                  \
    PyModuleDef_Slot short_name##_slots[] = {                                    \
        {Py_mod_exec, reinterpret_cast<void*>(::tarvel::py::exec_module<body>)}, \
        TARVEL_MODULE_INTERPRETERS_SLOT{0, nullptr},                             \
    };                                                                           \
    PyModuleDef short_name##_def = {                                             \
        PyModuleDef_HEAD_INIT, full_name, doc,     0,       nullptr,             \
        short_name##_slots,    nullptr,   nullptr, nullptr,                      \
    };                                                                           \
    }                                                                            \
    PyMODINIT_FUNC PyInit_##short_name() {                                       \
        return PyModuleDef_Init(&short_name##_def);                              \
    }
