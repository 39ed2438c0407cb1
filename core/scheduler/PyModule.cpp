// core/scheduler/PyModule.cpp: the module tarvel.core.scheduler: its docstring, imports and names
#include "core/scheduler/PyScheduler.hpp"

namespace tarvel::scheduler {

namespace {

constexpr const char* kDoc =
    "Scheduler \xe2\x80\x94 persistent cron-based task scheduling for Tarvel.\n"
    "\n"
    "Supports:\n"
    "- Cron expressions (e.g. \"0 6 * * *\" for daily at 6 AM)\n"
    "- Interval-based scheduling (every N seconds)\n"
    "- One-time scheduled tasks (run once at a specific time)\n"
    "\n"
    "Jobs persist to ~/.tarvel/scheduler.json and survive restarts.\n"
    "Each job fires by sending a prompt to the agent or spawning a worker.\n";

void bind(PyObject* module, const char* name, const py::Ref& value) {
    py::check(PyModule_AddObjectRef(module, name, value.get()) < 0);
}

// JobFireCallback = Callable[[ScheduledJob], Awaitable[str]]
py::Ref fire_callback_alias(PyObject* globals) {
    py::Ref callable = py::global(globals, TARVEL_NAME("Callable"));
    py::Ref awaitable = py::global(globals, TARVEL_NAME("Awaitable"));
    py::Ref job = py::global(globals, TARVEL_NAME("ScheduledJob"));
    py::Ref awaitable_str = py::Ref::steal(
        PyObject_GetItem(awaitable.get(), reinterpret_cast<PyObject*>(&PyUnicode_Type)));
    py::Ref params = py::Ref::steal(PyList_New(1));
    PyList_SET_ITEM(params.get(), 0, py::Ref(job).release());
    py::Ref args = py::Ref::steal(PyTuple_Pack(2, params.get(), awaitable_str.get()));
    return py::Ref::steal(PyObject_GetItem(callable.get(), args.get()));
}

int exec_module(PyObject* module) {
    PyObject* result = py::guard([&] {
        PyObject* globals = PyModule_GetDict(module);
        for (const char* name : {"asyncio", "json", "logging", "time", "uuid"}) {
            bind(module, name, py::import(name));
        }
        bind(module, "dataclass", py::import_from("dataclasses", "dataclass"));
        bind(module, "field", py::import_from("dataclasses", "field"));
        bind(module, "datetime", py::import_from("datetime", "datetime"));
        bind(module, "timedelta", py::import_from("datetime", "timedelta"));
        bind(module, "Enum", py::import_from("enum", "Enum"));
        bind(module, "Path", py::import_from("pathlib", "Path"));
        bind(module, "Any", py::import_from("typing", "Any"));
        bind(module, "Callable", py::import_from("typing", "Callable"));
        bind(module, "Awaitable", py::import_from("typing", "Awaitable"));
        bind(module, "tarvel_dir", py::import_from("tarvel.config", "tarvel_dir"));
        py::Ref logging = py::global(globals, TARVEL_NAME("logging"));
        bind(module, "logger",
             py::call_method(logging.get(), TARVEL_NAME("getLogger"), py::str("tarvel.scheduler")));
        add_records(module);
        add_cron(module);
        bind(module, "JobFireCallback", fire_callback_alias(globals));
        add_scheduler(module);
        bind(module, "_format_timestamp", make_format_timestamp(module));
        return py::none();
    });
    if (result == nullptr) return -1;
    Py_DECREF(result);
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // Native types and caches are shared by the whole process.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tarvel.core.scheduler",
    kDoc,
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace tarvel::scheduler

PyMODINIT_FUNC PyInit_scheduler() {
    return PyModuleDef_Init(&tarvel::scheduler::module_def);
}
