// core/scheduler/PyStateMerge.cpp: what another process saved, merged into this scheduler's
// registry
#include "core/scheduler/PyScheduler.hpp"
#include "core/scheduler/PyStateLoad.hpp"
#include "glue/PyFiles.hpp"
#include "glue/PyJsonRead.hpp"

#include <optional>

namespace tarvel::scheduler {

namespace {

// The job records of the text this scheduler last read or wrote, by member
// name; empty when there is none or it cannot be parsed.
py::Ref records_of(PyObject* globals, PyObject* text) {
    py::Ref empty = py::Ref::steal(PyDict_New());
    if (text == nullptr || !PyUnicode_Check(text)) return empty;
    try {
        py::Ref json = py::global(globals, TARVEL_NAME("json"));
        py::Ref data = py::loads_native(json.get(), text);
        if (!data) data = py::call_method(json.get(), TARVEL_NAME("loads"), text);
        py::Ref jobs =
            PyDict_Check(data.get()) ? py::dict_get(data.get(), TARVEL_NAME("jobs")) : py::Ref();
        return jobs && PyDict_Check(jobs.get()) ? jobs : empty;
    } catch (py::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return empty;
    }
}

// Whether `job`'s record equals `record`; a job whose record cannot be built
// never does.
bool record_is(PyObject* globals, PyObject* job, PyObject* record) {
    try {
        py::Ref mine = job_record(globals, job, false);
        return py::compare(mine.get(), record, Py_EQ);
    } catch (py::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return false;
    }
}

}  // namespace

void copy_fields(PyObject* globals, PyObject* job, PyObject* source) {
    py::Ref cls = py::global(globals, TARVEL_NAME("ScheduledJob"));
    py::Ref dataclasses = py::import("dataclasses");
    py::Ref fields = py::call_method(dataclasses.get(), TARVEL_NAME("fields"), cls);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fields.get()); ++i) {
        py::Ref name = py::getattr(PyTuple_GET_ITEM(fields.get(), i), TARVEL_NAME("name"));
        py::setattr(job, name.get(), py::getattr(source, name.get()).get());
    }
}

bool merged_job(PyObject* globals, PyObject* self, PyObject* key, PyObject* job, PyObject* known,
                PyObject* other) {
    try {
        return replay_changes(globals, self, key, job, known, other) ||
               !record_is(globals, other, known);
    } catch (py::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        log(globals, "error", py::fstring("Failed to merge job ", key, ": ", e.value()));
        return false;
    }
}

namespace {

// Jobs, as if the file's changes had come first and this scheduler's since `base` had been made
// again on top of them: a job removed on either side stays removed, one added here stays as it
// is, one added there joins, and every other job is the file's record with the changes made here
// made again (the objects in the registry stay the same objects).
void merge_jobs(PyObject* globals, PyObject* self, PyObject* base, PyObject* theirs) {
    py::Ref registry = py::getattr(self, TARVEL_NAME("_jobs"));
    py::Ref items = py::Ref::steal(PyMapping_Items(registry.get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* key = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 0);
        PyObject* job = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 1);
        py::Ref known = py::dict_get(base, key);
        if (!known) continue;  // added here
        py::Ref other = py::dict_get(theirs, key);
        if (!other) {
            py::check(PyObject_DelItem(registry.get(), key) < 0);  // removed there
        } else if (merged_job(globals, self, key, job, known.get(), other.get())) {
            copy_fields(globals, job, other.get());  // changed there, or on both sides
        }
    }
    Py_ssize_t pos = 0;
    PyObject *key, *job;
    while (PyDict_Next(theirs, &pos, &key, &job)) {
        const int present = PySequence_Contains(registry.get(), key);
        py::check(present < 0);
        const int removed_here = PyDict_Contains(base, key);
        py::check(removed_here < 0);
        if (!present && !removed_here) py::check(PyObject_SetItem(registry.get(), key, job) < 0);
    }
}

// (job_id, started_at) of an execution record.
py::Ref execution_key(PyObject* execution) {
    py::Ref job_id = py::getattr(execution, TARVEL_NAME("job_id"));
    py::Ref started = py::getattr(execution, TARVEL_NAME("started_at"));
    return py::Ref::steal(PyTuple_Pack(2, job_id.get(), started.get()));
}

}  // namespace

void merge_executions(PyObject* self, PyObject* theirs) {
    py::Ref history = py::getattr(self, TARVEL_NAME("_executions"));
    py::Ref merged = py::Ref::steal(PySequence_List(history.get()));
    py::Ref seen = py::Ref::steal(PySet_New(nullptr));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(merged.get()); ++i) {
        py::check(PySet_Add(seen.get(), execution_key(PyList_GET_ITEM(merged.get(), i)).get()) < 0);
    }
    bool added = false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(theirs); ++i) {
        PyObject* execution = PyList_GET_ITEM(theirs, i);
        const int known = PySet_Contains(seen.get(), execution_key(execution).get());
        py::check(known < 0);
        if (known) continue;
        py::check(PyList_Append(merged.get(), execution) < 0);
        added = true;
    }
    if (!added) return;
    py::Ref operator_module = py::import("operator");
    py::Ref by_start =
        py::call_method(operator_module.get(), TARVEL_NAME("attrgetter"), py::str("started_at"));
    py::Ref sort = py::getattr(merged.get(), TARVEL_NAME("sort"));
    py::call_kw(sort.get(), {}, {{"key", by_start.get()}});
    if (PyList_GET_SIZE(merged.get()) > kHistoryBound) {
        merged = py::Ref::steal(PyList_GetSlice(merged.get(),
                                                PyList_GET_SIZE(merged.get()) - kHistoryKept,
                                                PyList_GET_SIZE(merged.get())));
    }
    py::setattr(self, TARVEL_NAME("_executions"), merged.get());
}

namespace {

// The version this scheduler last read or wrote, as (path, signature, text);
// null when it never did, or did for another path than the present one.
py::Ref version_seen(PyObject* self, PyObject* path) {
    py::Ref seen = py::Ref::steal_maybe(PyObject_GetAttr(self, TARVEL_NAME("_file_version")));
    if (!seen) {
        PyErr_Clear();
        return {};
    }
    if (!PyTuple_Check(seen.get()) || PyTuple_GET_SIZE(seen.get()) != 3) return {};
    if (!py::compare(PyTuple_GET_ITEM(seen.get(), 0), path, Py_EQ)) return {};
    return seen;
}

// Reads the file another process saved and merges it; what the read finds wrong is logged and
// noted in `problems`.
void merge_changed_file(PyObject* globals, PyObject* self, PyObject* path, PyObject* seen,
                        PyObject* signature, py::LoadProblems& problems) {
    py::Ref base = records_of(globals, PyTuple_GET_ITEM(seen, 2));
    py::Ref text;
    try {
        text = py::read_text(path);
    } catch (py::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        load_failure(globals, e);
        problems.failed(py::LoadProblems::Stage::Read, nullptr, e);
        remember_file(self, path, signature, Py_None);
        return;
    }
    remember_file(self, path, signature, text.get());
    py::Ref theirs = py::Ref::steal(PyDict_New());
    py::Ref their_history = py::Ref::steal(PyList_New(0));
    bool complete = true;
    auto stage = py::LoadProblems::Stage::Parse;
    try {
        complete = read_saved_records(globals, text.get(), theirs.get(), their_history.get(),
                                      problems, stage);
    } catch (py::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        load_failure(globals, e);
        problems.failed(stage, text.get(), e);
        problems.keep_copy(globals, "error", "scheduler state");
        return;
    }
    if (!complete) problems.keep_copy(globals, "error", "scheduler state");
    index_outdated(self);  // the merged jobs are read whole again at the index's next use
    merge_jobs(globals, self, base.get(), theirs.get());
    merge_executions(self, their_history.get());
}

}  // namespace

bool read_saved_records(PyObject* globals, PyObject* text, PyObject* jobs, PyObject* history,
                        py::LoadProblems& problems, py::LoadProblems::Stage& stage) {
    stage = py::LoadProblems::Stage::Parse;
    if (std::optional<ReadDocument> document = read_natively(globals, text)) {
        stage = py::LoadProblems::Stage::Document;
        const bool complete = install_jobs(globals, *document, jobs, problems);
        return install_executions(globals, *document, history, problems) && complete;
    }
    py::Ref json = py::global(globals, TARVEL_NAME("json"));
    py::Ref data = py::call_method(json.get(), TARVEL_NAME("loads"), text);
    stage = py::LoadProblems::Stage::Document;
    const bool complete = read_jobs(globals, data.get(), jobs, problems);
    return read_executions(globals, data.get(), history, problems) && complete;
}

void remember_file(PyObject* self, PyObject* path, PyObject* signature, PyObject* text) {
    py::Ref version = py::Ref::steal(PyTuple_Pack(3, path, signature, text));
    py::setattr(self, TARVEL_NAME("_file_version"), version.get());
}

void merge_from_file(PyObject* globals, PyObject* self) {
    if (uses_database(self)) {
        merge_from_database(globals, self);
        return;
    }
    // What the read of another process's save finds wrong joins load_problems: the file was
    // damaged after this scheduler loaded it.
    std::optional<py::LoadProblems> problems;
    try {
        py::Ref path = py::getattr(self, TARVEL_NAME("_storage_path"));
        py::Ref seen = version_seen(self, path.get());
        if (!seen) return;
        py::Ref signature = file_signature(path.get());
        if (PyTuple_GET_SIZE(signature.get()) == 0 ||
            py::compare(signature.get(), PyTuple_GET_ITEM(seen.get(), 1), Py_EQ)) {
            return;  // no file, or the one this scheduler knows
        }
        problems.emplace(path.get());
        merge_changed_file(globals, self, path.get(), seen.get(), signature.get(), *problems);
    } catch (py::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        load_failure(globals, e);
    }
    if (problems) problems->append_to(self);
}

}  // namespace tarvel::scheduler
