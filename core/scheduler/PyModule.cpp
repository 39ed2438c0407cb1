// core/scheduler/PyModule.cpp: the module tarvel.core.scheduler: its docstring, imports and names
#include "glue/PyModule.hpp"
#include "core/scheduler/PyLoadedTexts.hpp"
#include "core/scheduler/PyScheduler.hpp"
#include "core/scheduler/PyStateLoad.hpp"
#include "glue/PyFiles.hpp"

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

void build(PyObject* module) {
    PyObject* globals = PyModule_GetDict(module);
    py::remember_stock_logging();
    py::remember_stock_paths();
    for (const char* name : {"asyncio", "json", "logging", "time", "uuid"}) {
        py::bind(module, name, py::import(name));
    }
    // The database store's driver; a Python built without it keeps the JSON store only.
    if (py::Ref sqlite3 = py::Ref::steal_maybe(PyImport_ImportModule("sqlite3"))) {
        py::bind(module, "sqlite3", sqlite3);
    } else {
        PyErr_Clear();
    }
    py::bind(module, "dataclass", py::import_from("dataclasses", "dataclass"));
    py::bind(module, "field", py::import_from("dataclasses", "field"));
    py::bind(module, "datetime", py::import_from("datetime", "datetime"));
    py::bind(module, "timedelta", py::import_from("datetime", "timedelta"));
    py::bind(module, "Enum", py::import_from("enum", "Enum"));
    py::bind(module, "Path", py::import_from("pathlib", "Path"));
    py::bind(module, "Any", py::import_from("typing", "Any"));
    py::bind(module, "Callable", py::import_from("typing", "Callable"));
    py::bind(module, "Awaitable", py::import_from("typing", "Awaitable"));
    py::bind(module, "tarvel_dir", py::import_from("tarvel.config", "tarvel_dir"));
    py::Ref logging = py::global(globals, TARVEL_NAME("logging"));
    py::bind(module, "logger",
             py::call_method(logging.get(), TARVEL_NAME("getLogger"), py::str("tarvel.scheduler")));
    // Saves flush to stable storage before they replace the state file; a
    // host may trade that for speed.
    py::bind(module, "DURABLE_WRITES", py::boolean(true));
    // Where full paths are limited (260 on Windows), a save's temporary file takes a short name.
    py::bind(module, "_MAX_PATH", py::max_path());
    add_records(module);
    add_cron(module);
    py::bind(module, "JobFireCallback", fire_callback_alias(globals));
    add_scheduler(module);
    py::bind(module, "_format_timestamp", make_format_timestamp(module));
#ifdef TARVEL_TEST_HOOKS
    add_loaded_text_hooks(module);
#endif
    remember_own_names(module);
}

}  // namespace

}  // namespace tarvel::scheduler

TARVEL_MODULE(scheduler, "tarvel.core.scheduler", tarvel::scheduler::kDoc, tarvel::scheduler::build)
