// core/scheduler/PyStateFile.cpp: _save and _load, the scheduler's JSON state file
#include "core/scheduler/PyScheduler.hpp"
#include "core/scheduler/PyStateLoad.hpp"
#include "glue/PyFiles.hpp"
#include "glue/PyFunction.hpp"
#include "glue/PyJson.hpp"
#include "glue/PyMethods.hpp"

namespace tarvel::scheduler {

namespace {

TARVEL_DECLARATIONS

// Whether json can encode `metadata`; a job whose metadata it cannot is saved without it.
bool encodable(PyObject* globals, PyObject* job, PyObject* metadata, bool report) {
    if (PyDict_CheckExact(metadata) && PyDict_GET_SIZE(metadata) == 0) return true;
    try {
        py::Ref json = py::global(globals, TARVEL_NAME("json"));
        py::call_method(json.get(), TARVEL_NAME("dumps"), metadata);
        return true;
    } catch (py::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        if (report) {
            py::Ref id = py::getattr(job, TARVEL_NAME("id"));
            log(globals, "error",
                py::fstring("Failed to save metadata of job ", id, ": ", e.value()));
        }
        return false;
    }
}

// --- saving -----------------------------------------------------------------

// How a record is named in the log when it cannot be saved: its field, or
// `fallback` when even that cannot be read.
py::Ref name_of(PyObject* record, PyObject* field, PyObject* fallback) {
    py::Ref value = py::Ref::steal_maybe(PyObject_GetAttr(record, field));
    if (!value) {
        PyErr_Clear();
        return py::Ref::borrow(fallback);
    }
    return value;
}

struct Document {
    py::Ref jobs;        // registry key -> job record
    py::Ref job_ids;     // registry key -> the job's id, for the log
    py::Ref history;     // execution dicts, oldest first
    py::Ref history_of;  // the job id of each, for the log
};

// The records of the document, each built on its own: one that cannot be
// built is left out with an ERROR naming it.
Document build_document(PyObject* globals, PyObject* self) {
    Document doc{py::Ref::steal(PyDict_New()), py::Ref::steal(PyDict_New()),
                 py::Ref::steal(PyList_New(0)), py::Ref::steal(PyList_New(0))};
    py::Ref jobs = py::getattr(self, TARVEL_NAME("_jobs"));
    py::Ref items = py::Ref::steal(PyMapping_Items(jobs.get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* key = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 0);
        PyObject* job = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 1);
        py::Ref id = name_of(job, TARVEL_NAME("id"), key);
        try {
            py::Ref record = job_record(globals, job, true);
            py::check(PyObject_SetItem(doc.jobs.get(), key, record.get()) < 0);
            py::check(PyObject_SetItem(doc.job_ids.get(), key, id.get()) < 0);
        } catch (py::Error& e) {
            if (!e.matches(PyExc_Exception)) throw;
            log(globals, "error", py::fstring("Failed to save job ", id, ": ", e.value()));
        }
    }
    py::Ref executions = py::getattr(self, TARVEL_NAME("_executions"));
    py::Ref newest =
        py::Ref::steal(PySlice_New(py::integer(-kSavedExecutions).get(), nullptr, nullptr));
    py::Ref tail = py::Ref::steal(PyObject_GetItem(executions.get(), newest.get()));
    py::Ref tail_list = py::Ref::steal(PySequence_List(tail.get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(tail_list.get()); ++i) {
        PyObject* execution = PyList_GET_ITEM(tail_list.get(), i);
        py::Ref job_id = name_of(execution, TARVEL_NAME("job_id"), Py_None);
        try {
            py::Ref d = py::call_method(execution, TARVEL_NAME("to_dict"));
            py::check(PyList_Append(doc.history.get(), d.get()) < 0);
            py::check(PyList_Append(doc.history_of.get(), job_id.get()) < 0);
        } catch (py::Error& e) {
            if (!e.matches(PyExc_Exception)) throw;
            log(globals, "error",
                py::fstring("Failed to save execution of job ", job_id, ": ", e.value()));
        }
    }
    return doc;
}

py::Ref document_of(const Document& doc) {
    py::Ref document = py::Ref::steal(PyDict_New());
    py::dict_set(document.get(), "jobs", doc.jobs.get());
    py::dict_set(document.get(), "executions", doc.history.get());
    return document;
}

// Whether json encodes `value` alone; if not, the ERROR `what` + its name + the error.
bool encodes_alone(PyObject* globals, PyObject* json, PyObject* value, const char* what,
                   PyObject* name) {
    try {
        py::dumps_indent2(json, value);
        return true;
    } catch (py::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        log(globals, "error", py::fstring(what, name, ": ", e.value()));
        return false;
    }
}

// The text of the document. When JSON cannot encode it whole, each record that
// it cannot encode on its own is left out with an ERROR naming it.
py::Ref encode_document(PyObject* globals, PyObject* json, Document& doc) {
    try {
        return py::dumps_indent2(json, document_of(doc).get());
    } catch (py::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
    py::Ref kept_jobs = py::Ref::steal(PyDict_New());
    py::Ref items = py::Ref::steal(PyDict_Items(doc.jobs.get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* key = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 0);
        PyObject* record = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 1);
        py::Ref alone = py::Ref::steal(PyDict_New());
        py::dict_set(alone.get(), key, record);
        py::Ref id = py::dict_get(doc.job_ids.get(), key);
        if (encodes_alone(globals, json, alone.get(), "Failed to save job ", id.get()))
            py::dict_set(kept_jobs.get(), key, record);
    }
    py::Ref kept_history = py::Ref::steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(doc.history.get()); ++i) {
        PyObject* record = PyList_GET_ITEM(doc.history.get(), i);
        if (encodes_alone(globals, json, record, "Failed to save execution of job ",
                          PyList_GET_ITEM(doc.history_of.get(), i))) {
            py::check(PyList_Append(kept_history.get(), record) < 0);
        }
    }
    doc.jobs = kept_jobs;
    doc.history = kept_history;
    return py::dumps_indent2(json, document_of(doc).get());
}

// Builds, encodes and writes the document, merging first what another process saved.
void save_under_lock(PyObject* globals, PyObject* self, PyObject* path) {
    merge_from_file(globals, self);
    py::Ref text = state_text(globals, self);
    py::replace_file(globals, path, text.get());
    remember_file(self, path, file_signature(path).get(), text.get());
    forget_changes(self);  // the file holds them now
}

TARVEL_METHOD(Scheduler, "_save", save_impl, "self", "None", "Save jobs to disk.")
(const py::Frame& frame, PyObject* self) {
    try {
        if (uses_database(self)) {
            save_to_database(frame.globals, self);
            return py::none();
        }
        py::Ref path = py::getattr(self, TARVEL_NAME("_storage_path"));
        py::Ref parent = py::getattr(path.get(), TARVEL_NAME("parent"));
        py::Ref mkdir = py::getattr(parent.get(), TARVEL_NAME("mkdir"));
        py::call_kw(mkdir.get(), {}, {{"parents", Py_True}, {"exist_ok", Py_True}});
        py::Ref lock = take_save_lock(frame.globals, path.get());
        try {
            save_under_lock(frame.globals, self, path.get());
        } catch (py::Error&) {
            release_lock(lock.get());
            throw;
        }
        release_lock(lock.get());
    } catch (py::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        log(frame.globals, "error", py::fstring("Failed to save scheduler state: ", e.value()));
    }
    return py::none();
}

// --- loading ----------------------------------------------------------------

// attr of `value`, or a null Ref when it has none (AttributeError); other errors are thrown.
py::Ref attribute_or_null(PyObject* value, PyObject* attr) {
    py::Ref found = py::Ref::steal_maybe(PyObject_GetAttr(value, attr));
    if (!found) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::Error();
        PyErr_Clear();
    }
    return found;
}

}  // namespace

py::Ref field_names(PyObject* cls) {
    py::Ref dataclasses = py::import("dataclasses");
    py::Ref fields = py::call_method(dataclasses.get(), TARVEL_NAME("fields"), cls);
    py::Ref names = py::Ref::steal(PySet_New(nullptr));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fields.get()); ++i) {
        py::Ref name = py::getattr(PyTuple_GET_ITEM(fields.get(), i), TARVEL_NAME("name"));
        py::check(PySet_Add(names.get(), name.get()) < 0);
    }
    return names;
}

namespace {

py::Ref execution_from(PyObject* cls, PyObject* names, PyObject* record) {
    if (!PyDict_Check(record)) py::wrong_type("an execution record", "a dict", record);
    py::Ref kwargs = py::Ref::steal(PyDict_New());
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(record, &pos, &key, &value)) {
        const int known = PySet_Contains(names, key);
        py::check(known < 0);
        if (known) py::dict_set(kwargs.get(), key, value);
    }
    py::Ref no_args = py::Ref::steal(PyTuple_New(0));
    return py::Ref::steal(PyObject_Call(cls, no_args.get(), kwargs.get()));
}

void log_loaded(PyObject* globals, PyObject* registry) {
    const Py_ssize_t count = PyObject_Length(registry);
    py::check(count < 0);
    log(globals, "info", py::fstring("Loaded ", py::integer(count), " scheduled jobs"));
}

// The records of a document read natively put into the registry and the history, as read_state
// puts those of json.loads; their texts are kept for the next save.
bool install_state(PyObject* globals, PyObject* self, PyObject* text, const ReadDocument& document,
                   py::LoadProblems& problems) {
    py::Ref registry = py::getattr(self, TARVEL_NAME("_jobs"));
    bool complete = install_jobs(globals, document, registry.get(), problems);
    log_loaded(globals, registry.get());
    py::Ref history = py::getattr(self, TARVEL_NAME("_executions"));
    complete = install_executions(globals, document, history.get(), problems) && complete;
    keep_texts_of(globals, self, text, document);
    return complete;
}

// Reads the state file at `path` into the registry and the history; false when a record was
// skipped. `stage` and `text` tell how far it came, for the sentence of a failure.
bool read_state(PyObject* globals, PyObject* self, PyObject* path, py::LoadProblems& problems,
                py::LoadProblems::Stage& stage, py::Ref& text) {
    stage = py::LoadProblems::Stage::Read;
    py::Ref signature = file_signature(path);
    text = py::read_text(path);
    remember_file(self, path, signature.get(), text.get());
    return read_state_text(globals, self, text.get(), problems, stage);
}

}  // namespace

bool read_state_text(PyObject* globals, PyObject* self, PyObject* text, py::LoadProblems& problems,
                     py::LoadProblems::Stage& stage) {
    py::Ref json = py::global(globals, TARVEL_NAME("json"));
    stage = py::LoadProblems::Stage::Parse;
    if (std::optional<ReadDocument> document = read_natively(globals, text)) {
        stage = py::LoadProblems::Stage::Document;
        return install_state(globals, self, text, *document, problems);
    }
    py::Ref data = py::call_method(json.get(), TARVEL_NAME("loads"), text);
    stage = py::LoadProblems::Stage::Document;
    py::Ref registry = py::getattr(self, TARVEL_NAME("_jobs"));
    bool complete = read_jobs(globals, data.get(), registry.get(), problems);
    log_loaded(globals, registry.get());
    py::Ref history = py::getattr(self, TARVEL_NAME("_executions"));
    return read_executions(globals, data.get(), history.get(), problems) && complete;
}

namespace {

TARVEL_METHOD(Scheduler, "_load", load_impl, "self", "None", "Load jobs from disk.")
(const py::Frame& frame, PyObject* self) {
    PyObject* globals = frame.globals;
    py::Ref path = py::getattr(self, TARVEL_NAME("_storage_path"));
    // What this load finds wrong, for a program to see; empty while the file loads whole.
    py::LoadProblems problems(path.get());
    py::setattr(self, TARVEL_NAME("load_problems"), problems.list());
    forget_changes(self);
    if (uses_database(self)) {
        load_from_database(globals, self, problems);
        return py::none();
    }
    // Unguarded: a storage path that is not a Path fails the constructor here.
    if (!py::truthy(py::call_method(path.get(), TARVEL_NAME("exists")).get())) {
        remember_file(self, path.get(), file_signature(path.get()).get(), Py_None);
        return py::none();
    }
    bool complete = true;
    auto stage = py::LoadProblems::Stage::Read;
    py::Ref text;
    // A file that cannot be parsed while another process holds the save lock is being written
    // in place: it is read again once that save is done.
    for (bool first = true;; first = false) {
        try {
            complete = read_state(globals, self, path.get(), problems, stage, text);
            break;
        } catch (py::Error& e) {
            if (!e.matches(PyExc_Exception)) throw;
            if (first && stage == py::LoadProblems::Stage::Parse &&
                py::waited_for_holder(globals, path.get(), ".save-lock")) {
                continue;
            }
            load_failure(globals, e);
            problems.failed(stage, text.get(), e);
            complete = false;
            break;
        }
    }
    if (!complete) problems.keep_copy(globals, "error", "scheduler state");
    return py::none();
}

}  // namespace

py::Ref state_text(PyObject* globals, PyObject* self) {
    py::Ref text = state_text_from_kept(globals, self);
    if (text) return text;
    Document doc = build_document(globals, self);
    py::Ref json = py::global(globals, TARVEL_NAME("json"));
    return encode_document(globals, json.get(), doc);
}

void load_failure(PyObject* globals, const py::Error& e) {
    log(globals, "error", py::fstring("Failed to load scheduler state: ", e.value()));
}

py::Ref job_record(PyObject* globals, PyObject* job, bool report) {
    py::Ref record = py::call_method(job, TARVEL_NAME("to_dict"));
    py::Ref prompt = py::getattr(job, TARVEL_NAME("prompt"));
    py::check(PyObject_SetItem(record.get(), TARVEL_NAME("prompt"), prompt.get()) < 0);
    py::Ref metadata = py::getattr(job, TARVEL_NAME("metadata"));
    if (encodable(globals, job, metadata.get(), report)) {
        py::check(PyObject_SetItem(record.get(), TARVEL_NAME("metadata"), metadata.get()) < 0);
    }
    return record;
}

bool read_jobs(PyObject* globals, PyObject* data, PyObject* jobs, py::LoadProblems& problems) {
    // data.get("jobs", {}).items(), with a sentence for a document of the wrong shape
    py::Ref get = attribute_or_null(data, TARVEL_NAME("get"));
    if (!get) py::wrong_shape("the top level", "an object", data);
    py::Ref jobs_record = py::call(get.get(), py::str("jobs"), py::Ref::steal(PyDict_New()));
    py::Ref items_of = attribute_or_null(jobs_record.get(), TARVEL_NAME("items"));
    if (!items_of) py::wrong_shape("\"jobs\"", "an object", jobs_record.get());
    py::Ref items = py::call(items_of.get());
    py::Ref iter = py::Ref::steal(PyObject_GetIter(items.get()));
    py::Ref job_class = py::global(globals, TARVEL_NAME("ScheduledJob"));
    bool complete = true;
    while (py::Ref item = py::Ref::steal_maybe(PyIter_Next(iter.get()))) {
        complete = read_job(globals, job_class.get(), item.get(), jobs, problems) && complete;
    }
    py::check(PyErr_Occurred() != nullptr);
    return complete;
}

bool read_job(PyObject* globals, PyObject* job_class, PyObject* item, PyObject* jobs,
              py::LoadProblems& problems) {
    // One record that cannot be built is skipped; the others still load.
    py::Ref key;
    try {
        key = py::Ref::steal(PySequence_GetItem(item, 0));
        py::Ref record = py::Ref::steal(PySequence_GetItem(item, 1));
        py::Ref job = py::call_method(job_class, TARVEL_NAME("from_dict"), record);
        py::Ref id = py::getattr(job.get(), TARVEL_NAME("id"));
        // A field of the wrong type, or a job that cannot give its
        // dictionary, would fail every later save.
        check_job_fields(globals, job.get(), py::fstring("job ", id).get());
        py::call_method(job.get(), TARVEL_NAME("to_dict"));
        py::check(PyObject_SetItem(jobs, id.get(), job.get()) < 0);
        return true;
    } catch (py::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        load_failure(globals, e);
        problems.skipped(key ? py::fstring("job ", key) : py::str("a job record"), e);
        return false;
    }
}

bool read_executions(PyObject* globals, PyObject* data, PyObject* history,
                     py::LoadProblems& problems) {
    py::Ref records = py::dict_get(data, TARVEL_NAME("executions"));
    if (!records) return true;  // a file without a history
    bool complete = true;
    try {
        if (!PyList_Check(records.get()))
            py::wrong_shape("\"executions\"", "a list", records.get());
        py::Ref cls = py::global(globals, TARVEL_NAME("JobExecution"));
        py::Ref names = field_names(cls.get());
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(records.get()); ++i) {
            py::Ref record = py::Ref::borrow(PyList_GET_ITEM(records.get(), i));
            complete = read_execution(globals, cls.get(), names.get(), i + 1, record.get(), history,
                                      problems) &&
                       complete;
        }
    } catch (py::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        load_failure(globals, e);
        problems.failed(py::LoadProblems::Stage::Document, nullptr, e);
        complete = false;
    }
    return complete;
}

bool read_execution(PyObject* globals, PyObject* cls, PyObject* names, Py_ssize_t number,
                    PyObject* record, PyObject* history, py::LoadProblems& problems) {
    try {
        py::Ref execution = execution_from(cls, names, record);
        py::Ref job_id = py::getattr(execution.get(), TARVEL_NAME("job_id"));
        check_execution_fields(globals, execution.get(),
                               py::fstring("an execution of job ", job_id).get());
        py::call_method(history, TARVEL_NAME("append"), execution);
        return true;
    } catch (py::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        load_failure(globals, e);
        problems.skipped(py::fstring("execution record ", py::integer(number)), e);
        return false;
    }
}

void add_state_file_methods(PyObject* module, py::Members& members) {
    declarations().add_to(module, "Scheduler", members);
}

}  // namespace tarvel::scheduler
