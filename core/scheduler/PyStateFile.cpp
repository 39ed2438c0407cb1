// core/scheduler/PyStateFile.cpp: _save and _load, the scheduler's JSON state file
#include "core/scheduler/PyScheduler.hpp"
#include "glue/PyFiles.hpp"
#include "glue/PyFunction.hpp"
#include "glue/PyJson.hpp"

namespace tarvel::scheduler {

namespace {

constexpr Py_ssize_t kSavedExecutions = 100;  // the newest records go to the file

// Whether json can encode `metadata`; a job whose metadata it cannot is saved without it.
bool encodable(PyObject* globals, PyObject* job, PyObject* metadata) {
    if (PyDict_CheckExact(metadata) && PyDict_GET_SIZE(metadata) == 0) return true;
    try {
        py::Ref json = py::global(globals, TARVEL_NAME("json"));
        py::call_method(json.get(), TARVEL_NAME("dumps"), metadata);
        return true;
    } catch (py::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        py::Ref id = py::getattr(job, TARVEL_NAME("id"));
        log(globals, "error", py::fstring("Failed to save metadata of job ", id, ": ", e.value()));
        return false;
    }
}

// A job's record in the file: its dictionary with the whole prompt, then its metadata.
py::Ref job_record(PyObject* globals, PyObject* job) {
    py::Ref record = py::call_method(job, TARVEL_NAME("to_dict"));
    py::Ref prompt = py::getattr(job, TARVEL_NAME("prompt"));
    py::check(PyObject_SetItem(record.get(), TARVEL_NAME("prompt"), prompt.get()) < 0);
    py::Ref metadata = py::getattr(job, TARVEL_NAME("metadata"));
    if (encodable(globals, job, metadata.get())) {
        py::check(PyObject_SetItem(record.get(), TARVEL_NAME("metadata"), metadata.get()) < 0);
    }
    return record;
}

py::Ref state_document(PyObject* globals, PyObject* self) {
    py::Ref jobs = py::getattr(self, TARVEL_NAME("_jobs"));
    py::Ref items = py::Ref::steal(PyMapping_Items(jobs.get()));
    py::Ref records = py::Ref::steal(PyDict_New());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        py::Ref record = job_record(globals, PyTuple_GET_ITEM(item, 1));
        py::check(PyObject_SetItem(records.get(), PyTuple_GET_ITEM(item, 0), record.get()) < 0);
    }
    py::Ref executions = py::getattr(self, TARVEL_NAME("_executions"));
    py::Ref newest =
        py::Ref::steal(PySlice_New(py::integer(-kSavedExecutions).get(), nullptr, nullptr));
    py::Ref tail = py::Ref::steal(PyObject_GetItem(executions.get(), newest.get()));
    py::Ref tail_list = py::Ref::steal(PySequence_List(tail.get()));
    py::Ref history = py::Ref::steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(tail_list.get()); ++i) {
        py::Ref d = py::call_method(PyList_GET_ITEM(tail_list.get(), i), TARVEL_NAME("to_dict"));
        py::check(PyList_Append(history.get(), d.get()) < 0);
    }
    py::Ref document = py::Ref::steal(PyDict_New());
    py::dict_set(document.get(), "jobs", records.get());
    py::dict_set(document.get(), "executions", history.get());
    return document;
}

py::Ref save_impl(const py::Frame& frame) {
    PyObject* self = frame.args[0];
    try {
        py::Ref document = state_document(frame.globals, self);
        py::Ref path = py::getattr(self, TARVEL_NAME("_storage_path"));
        py::Ref parent = py::getattr(path.get(), TARVEL_NAME("parent"));
        py::Ref mkdir = py::getattr(parent.get(), TARVEL_NAME("mkdir"));
        py::call_kw(mkdir.get(), {}, {{"parents", Py_True}, {"exist_ok", Py_True}});
        py::Ref json = py::global(frame.globals, TARVEL_NAME("json"));
        py::Ref text = py::dumps_indent2(json.get(), document.get());
        py::replace_file(frame.globals, path.get(), text.get());
    } catch (py::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        log(frame.globals, "error", py::fstring("Failed to save scheduler state: ", e.value()));
    }
    return py::none();
}

// --- loading ----------------------------------------------------------------

void load_failure(PyObject* globals, const py::Error& e) {
    log(globals, "error", py::fstring("Failed to load scheduler state: ", e.value()));
}

// Reads "executions" back into the history; a malformed member or record is skipped.
bool load_executions(PyObject* globals, PyObject* self, PyObject* data) {
    py::Ref records = py::dict_get(data, TARVEL_NAME("executions"));
    if (!records) return true;  // a file without a history
    bool complete = true;
    try {
        if (!PyList_Check(records.get())) {
            PyErr_Format(PyExc_TypeError, "\"executions\" must be a list, not %s",
                         Py_TYPE(records.get())->tp_name);
            throw py::Error();
        }
        py::Ref cls = py::global(globals, TARVEL_NAME("JobExecution"));
        py::Ref dataclasses = py::import("dataclasses");
        py::Ref fields = py::call_method(dataclasses.get(), TARVEL_NAME("fields"), cls);
        py::Ref names = py::Ref::steal(PySet_New(nullptr));
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fields.get()); ++i) {
            py::Ref name = py::getattr(PyTuple_GET_ITEM(fields.get(), i), TARVEL_NAME("name"));
            py::check(PySet_Add(names.get(), name.get()) < 0);
        }
        py::Ref history = py::getattr(self, TARVEL_NAME("_executions"));
        py::Ref no_args = py::Ref::steal(PyTuple_New(0));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(records.get()); ++i) {
            PyObject* record = PyList_GET_ITEM(records.get(), i);
            try {
                if (!PyDict_Check(record)) py::wrong_type("an execution record", "a dict", record);
                py::Ref kwargs = py::Ref::steal(PyDict_New());
                Py_ssize_t pos = 0;
                PyObject *key, *value;
                while (PyDict_Next(record, &pos, &key, &value)) {
                    const int known = PySet_Contains(names.get(), key);
                    py::check(known < 0);
                    if (known) py::dict_set(kwargs.get(), key, value);
                }
                py::Ref execution =
                    py::Ref::steal(PyObject_Call(cls.get(), no_args.get(), kwargs.get()));
                py::call_method(history.get(), TARVEL_NAME("append"), execution);
            } catch (py::Error& e) {
                if (!e.matches(PyExc_Exception)) throw;
                load_failure(globals, e);
                complete = false;
            }
        }
    } catch (py::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        load_failure(globals, e);
        complete = false;
    }
    return complete;
}

py::Ref load_impl(const py::Frame& frame) {
    PyObject* self = frame.args[0];
    PyObject* globals = frame.globals;
    py::Ref path = py::getattr(self, TARVEL_NAME("_storage_path"));
    // Unguarded: a storage path that is not a Path fails the constructor here.
    if (!py::truthy(py::call_method(path.get(), TARVEL_NAME("exists")).get())) return py::none();
    bool complete = true;
    try {
        py::Ref text = py::call_method(path.get(), TARVEL_NAME("read_text"));
        py::Ref json = py::global(globals, TARVEL_NAME("json"));
        py::Ref data = py::call_method(json.get(), TARVEL_NAME("loads"), text);
        py::Ref jobs_record = py::call_method(data.get(), TARVEL_NAME("get"), py::str("jobs"),
                                              py::Ref::steal(PyDict_New()));
        py::Ref items = py::call_method(jobs_record.get(), TARVEL_NAME("items"));
        py::Ref iter = py::Ref::steal(PyObject_GetIter(items.get()));
        py::Ref job_class = py::global(globals, TARVEL_NAME("ScheduledJob"));
        py::Ref registry = py::getattr(self, TARVEL_NAME("_jobs"));
        while (py::Ref item = py::Ref::steal_maybe(PyIter_Next(iter.get()))) {
            // One record that cannot be built is skipped; the others still load.
            try {
                PyObject* value = PySequence_GetItem(item.get(), 1);
                py::Ref record = py::Ref::steal(value);
                py::Ref job = py::call_method(job_class.get(), TARVEL_NAME("from_dict"), record);
                // A job that cannot give its dictionary (a hand-edited next_run
                // of the wrong type) would fail every later save.
                py::call_method(job.get(), TARVEL_NAME("to_dict"));
                py::Ref id = py::getattr(job.get(), TARVEL_NAME("id"));
                py::check(PyObject_SetItem(registry.get(), id.get(), job.get()) < 0);
            } catch (py::Error& e) {
                if (!e.matches(PyExc_Exception)) throw;
                load_failure(globals, e);
                complete = false;
            }
        }
        py::check(PyErr_Occurred() != nullptr);
        const Py_ssize_t count = PyObject_Length(registry.get());
        py::check(count < 0);
        log(globals, "info", py::fstring("Loaded ", py::integer(count), " scheduled jobs"));
        complete = load_executions(globals, self, data.get()) && complete;
    } catch (py::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        load_failure(globals, e);
        complete = false;
    }
    if (!complete) py::keep_unreadable(globals, path.get(), "error", "scheduler state");
    return py::none();
}

}  // namespace

void add_state_file_methods(PyObject* module, py::Members& members) {
    members.emplace_back("_save", py::make_function({"_save", "Scheduler._save", "self", "None",
                                                     "Save jobs to disk.", save_impl},
                                                    module));
    members.emplace_back("_load", py::make_function({"_load", "Scheduler._load", "self", "None",
                                                     "Load jobs from disk.", load_impl},
                                                    module));
}

}  // namespace tarvel::scheduler
