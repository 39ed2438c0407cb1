// core/scheduler/PyDatabaseRows.cpp: which rows a save of the database store writes: the jobs
// noted as changed, new, or whose fields are no longer those their row was written from; the
// keys gone from the registry; the executions after the last one saved
//
// The scheduler remembers, for each row, the text it holds and the job's fields as they were
// when it was written (`_database_rows`: key -> [fields, text]; a job's metadata in the fields
// as its JSON text): a job noted as changed (PyJobChanges), or whose fields are no longer those,
// has its record written again when its text differs from the row's. The history's rows follow
// the last execution written (`_database_last`).
#include "core/scheduler/PyDatabase.hpp"
#include "glue/PyJson.hpp"

namespace tarvel::scheduler::db {

py::Ref fields_of(PyObject* json, PyObject* job) {
    try {
        py::Ref fields = py::getattr(job, TARVEL_NAME("__dict__"));
        if (!PyDict_Check(fields.get())) return py::none();
        py::Ref copy = py::Ref::steal(PyDict_Copy(fields.get()));
        py::Ref metadata = py::dict_get(copy.get(), TARVEL_NAME("metadata"));
        if (metadata) {
            py::dict_set(copy.get(), TARVEL_NAME("metadata"),
                         py::dumps_indent2(json, metadata.get()).get());
        }
        return copy;
    } catch (py::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return py::none();
    }
}

py::Ref pair_list(PyObject* first, PyObject* second) {
    py::Ref list = py::Ref::steal(PyList_New(2));
    py::check(!list);
    PyList_SET_ITEM(list.get(), 0, Py_NewRef(first));
    PyList_SET_ITEM(list.get(), 1, Py_NewRef(second));
    return list;
}

py::Ref rows_of(PyObject* self) {
    py::Ref rows = attribute_or_none(self, TARVEL_NAME("_database_rows"));
    if (PyDict_Check(rows.get())) return rows;
    rows = py::Ref::steal(PyDict_New());
    py::setattr(self, TARVEL_NAME("_database_rows"), rows.get());
    return rows;
}

namespace {

// Whether the job at `key` is to be looked at again: noted as changed, new, or its fields
// not those its row was written from.
bool maybe_changed(PyObject* changes, PyObject* row, PyObject* key, PyObject* fields) {
    if (!row || fields == Py_None) return true;
    if (PyDict_Check(changes)) {
        const int noted = PyDict_Contains(changes, key);
        py::check(noted < 0);
        if (noted) return true;
    }
    py::Ref then = py::Ref::borrow(PyList_GET_ITEM(row, 0));
    return then.get() == Py_None || !py::compare(then.get(), fields, Py_EQ);
}

// `watched`: the job is one the dict watch told of, looked at without its fields.
void collect_job(PyObject* globals, PyObject* json, PyObject* changes, PyObject* rows,
                 PyObject* key, PyObject* job, Batch& batch, bool watched) {
    py::Ref fields = watched ? py::none() : fields_of(json, job);
    py::Ref row = py::dict_get(rows, key);
    if (!watched && !maybe_changed(changes, row.get(), key, fields.get())) return;
    py::Ref text;
    try {
        text = placed_text(json, job_record(globals, job, true).get());
    } catch (py::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        py::Ref id = attribute_or_none(job, TARVEL_NAME("id"));
        log(globals, "error", py::fstring("Failed to save job ", id, ": ", e.value()));
        return;
    }
    py::Ref remembered = pair_list(fields.get(), text.get());
    py::dict_set(batch.remembered.get(), key, remembered.get());
    py::Ref written = row ? py::Ref::borrow(PyList_GET_ITEM(row.get(), 1)) : py::Ref();
    if (written && py::compare(written.get(), text.get(), Py_EQ)) return;
    py::Ref next_run = py::getattr(job, TARVEL_NAME("next_run"));
    append(batch.upserts.get(), py::Ref::steal(PyTuple_Pack(3, key, next_run.get(), text.get())));
}

}  // namespace

// The keys of the set `keys`, all in `registry`, in the registry's order: read from its end,
// where new keys are.
py::Ref in_registry_order(PyObject* registry, PyObject* keys) {
    py::Ref ordered = py::Ref::steal(PyList_New(0));
    Py_ssize_t left = PySet_GET_SIZE(keys);
    if (left == 0) return ordered;
    py::Ref backwards = py::call_method(registry, TARVEL_NAME("__reversed__"));
    while (left > 0) {
        py::Ref key = py::Ref::steal_maybe(PyIter_Next(backwards.get()));
        if (!key) break;
        const int wanted = PySet_Contains(keys, key.get());
        py::check(wanted < 0);
        if (!wanted) continue;
        append(ordered.get(), key);
        --left;
    }
    py::check(PyErr_Occurred() != nullptr);
    py::check(PyList_Reverse(ordered.get()) < 0);
    return ordered;
}

// The jobs the dict watch tells of: each written when its text changed, deleted when gone.
void collect_watched(PyObject* globals, PyObject* self, PyObject* json, PyObject* keys,
                     Batch& batch) {
    py::Ref registry = py::getattr(self, TARVEL_NAME("_jobs"));
    py::Ref changes = attribute_or_none(self, TARVEL_NAME("_changes"));
    py::Ref rows = rows_of(self);
    py::Ref listed = py::Ref::steal(PySequence_List(keys));
    py::Ref fresh = py::Ref::steal(PySet_New(nullptr));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(listed.get()); ++i) {
        PyObject* key = PyList_GET_ITEM(listed.get(), i);
        py::Ref job = py::dict_get(registry.get(), key);
        const int has_row = PyDict_Contains(rows.get(), key);
        py::check(has_row < 0);
        if (job && has_row) {
            collect_job(globals, json, changes.get(), rows.get(), key, job.get(), batch, true);
        } else if (job) {
            py::check(PySet_Add(fresh.get(), key) < 0);
        } else if (has_row) {
            append(batch.deletes.get(), py::Ref::steal(PyTuple_Pack(1, key)));
        }
    }
    // new rows in the registry's order, so that a load gives the jobs in that order
    py::Ref added = in_registry_order(registry.get(), fresh.get());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(added.get()); ++i) {
        PyObject* key = PyList_GET_ITEM(added.get(), i);
        py::Ref job = py::dict_get(registry.get(), key);
        if (job) collect_job(globals, json, changes.get(), rows.get(), key, job.get(), batch, true);
    }
    // watched again as they are now; a change from now on is told by their dicts
    watch_jobs(self, listed.get());
}

void collect_jobs(PyObject* globals, PyObject* self, PyObject* json, Batch& batch) {
    py::Ref registry = py::getattr(self, TARVEL_NAME("_jobs"));
    py::Ref changes = attribute_or_none(self, TARVEL_NAME("_changes"));
    py::Ref rows = rows_of(self);
    py::Ref keys = py::Ref::steal(PySet_New(nullptr));
    if (watched_candidates(self, registry.get(), rows.get(), changes.get(), keys.get())) {
        collect_watched(globals, self, json, keys.get(), batch);
        return;
    }
    py::Ref items = py::Ref::steal(PyMapping_Items(registry.get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        collect_job(globals, json, changes.get(), rows.get(), PyTuple_GET_ITEM(item, 0),
                    PyTuple_GET_ITEM(item, 1), batch, false);
    }
    py::Ref known = py::Ref::steal(PyDict_Keys(rows.get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(known.get()); ++i) {
        PyObject* key = PyList_GET_ITEM(known.get(), i);
        const int present = PySequence_Contains(registry.get(), key);
        py::check(present < 0);
        if (!present) append(batch.deletes.get(), py::Ref::steal(PyTuple_Pack(1, key)));
    }
}

// The executions after the last one saved, among the newest kSavedExecutions; all of those,
// replacing the saved ones, when the last one saved is no longer among them.
void collect_executions(PyObject* globals, PyObject* self, PyObject* json, Batch& batch) {
    py::Ref history = py::getattr(self, TARVEL_NAME("_executions"));
    py::Ref all = py::Ref::steal(PySequence_List(history.get()));
    const Py_ssize_t count = PyList_GET_SIZE(all.get());
    const Py_ssize_t first = count > kSavedExecutions ? count - kSavedExecutions : 0;
    py::Ref last = attribute_or_none(self, TARVEL_NAME("_database_last"));
    Py_ssize_t start = first;
    batch.rewrite_history = true;
    for (Py_ssize_t i = count - 1; last.get() != Py_None && i >= first; --i) {
        if (PyList_GET_ITEM(all.get(), i) != last.get()) continue;
        start = i + 1;
        batch.rewrite_history = false;
        break;
    }
    if (count == 0 && last.get() == Py_None) batch.rewrite_history = false;
    for (Py_ssize_t i = start; i < count; ++i) {
        PyObject* execution = PyList_GET_ITEM(all.get(), i);
        py::Ref job_id = attribute_or_none(execution, TARVEL_NAME("job_id"));
        try {
            py::Ref d = py::call_method(execution, TARVEL_NAME("to_dict"));
            py::Ref text = placed_text(json, d.get());
            append(batch.executions.get(),
                   py::Ref::steal(PyTuple_Pack(2, job_id.get(), text.get())));
        } catch (py::Error& e) {
            if (!e.matches(PyExc_Exception)) throw;
            log(globals, "error",
                py::fstring("Failed to save execution of job ", job_id, ": ", e.value()));
        }
    }
    batch.last = count > 0 ? py::Ref::borrow(PyList_GET_ITEM(all.get(), count - 1)) : py::none();
}

void remember_batch(PyObject* self, const Batch& batch) {
    py::Ref rows = rows_of(self);
    py::check(PyDict_Update(rows.get(), batch.remembered.get()) < 0);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(batch.deletes.get()); ++i) {
        PyObject* key = PyTuple_GET_ITEM(PyList_GET_ITEM(batch.deletes.get(), i), 0);
        py::check(PyDict_DelItem(rows.get(), key) < 0);
    }
    py::setattr(self, TARVEL_NAME("_database_last"), batch.last.get());
    saved(self);
    forget_changes(self);  // the database holds them now
}

py::Ref row_text(PyObject* self, PyObject* key) {
    py::Ref row = py::dict_get(rows_of(self).get(), key);
    return row ? py::Ref::borrow(PyList_GET_ITEM(row.get(), 1)) : py::Ref();
}

void row_taken_in(PyObject* self, PyObject* key, PyObject* text) {
    look_again(self, key);
    py::Ref rows = rows_of(self);
    if (text == nullptr) {
        if (PyDict_DelItem(rows.get(), key) < 0) {
            py::check(!PyErr_ExceptionMatches(PyExc_KeyError));
            PyErr_Clear();
        }
        return;
    }
    py::dict_set(rows.get(), key, pair_list(Py_None, text).get());
}

}  // namespace tarvel::scheduler::db
