// core/scheduler/PyJobChanges.cpp: the changes a scheduler makes to a job, each one step that the
// call makes and that a merge makes again on top of what another process saved
//
// Each registry call and each firing changes a job through make_change(), which also notes the
// change in `self._changes` until the state file holds it (a successful save, or a load). When
// another process saved the file meanwhile, the merge starts from that process's record of the job
// and makes this scheduler's noted changes again in their order, so each job ends as one process
// would have left it had the file's changes come first. A field set on the job object itself, not
// through a call, is noted by comparing the job with what the last noted change left; it is made
// again with the value it has here.
//
// `self._changes` maps a job id to [before, after, changes]: the job's fields before the first
// noted change (None once they are noted as changes of their own), after the last one, and the
// changes as (kind, argument) tuples; None for changes when there were too many to keep, and the
// job is then taken whole from memory.
#include "core/scheduler/PyScheduler.hpp"
#include "glue/PyJson.hpp"

namespace tarvel::scheduler {

namespace {

// Past this many noted changes of one job, the job is taken whole from memory at a merge.
constexpr Py_ssize_t kMostChanges = 64;

py::Ref job_state(PyObject* globals, const char* name) {
    return member(globals, TARVEL_NAME("JobState"), name);
}

bool is_type(PyObject* globals, PyObject* job, const char* name) {
    py::Ref job_type = py::getattr(job, TARVEL_NAME("job_type"));
    return is_member(globals, job_type.get(), TARVEL_NAME("JobType"), name);
}

py::Ref calc_next_run(PyObject* self, PyObject* job) {
    return py::call_method(self, TARVEL_NAME("_calc_next_run"), job);
}

// --- the steps ------------------------------------------------------------------------------

// update_job: the checked (key, value) pairs set where the job has the field, then the next run
// again when the schedule or the interval is among them.
void apply_updates(PyObject* self, PyObject* job, PyObject* items) {
    bool reschedule = false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i) {
        PyObject* item = PyList_GET_ITEM(items, i);
        PyObject* key = PyTuple_GET_ITEM(item, 0);
        if (PyUnicode_Check(key) &&
            (PyUnicode_CompareWithASCIIString(key, "schedule") == 0 ||
             PyUnicode_CompareWithASCIIString(key, "interval_seconds") == 0))
            reschedule = true;
        // hasattr(job, key): only a missing attribute means "no such field".
        py::Ref present = py::Ref::steal_maybe(PyObject_GetAttr(job, key));
        if (!present) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::Error();
            PyErr_Clear();
            continue;
        }
        py::setattr(job, key, PyTuple_GET_ITEM(item, 1));
    }
    if (reschedule) py::setattr(job, TARVEL_NAME("next_run"), calc_next_run(self, job).get());
}

// The following run of a due job, decided before it fires.
void decide_next_run(PyObject* globals, PyObject* self, PyObject* job) {
    py::Ref max_runs = py::getattr(job, TARVEL_NAME("max_runs"));
    py::Ref zero = py::integer(0);
    if (py::compare(max_runs.get(), zero.get(), Py_GT)) {
        py::Ref runs = py::getattr(job, TARVEL_NAME("run_count"));
        py::Ref after_this = py::Ref::steal(PyNumber_Add(runs.get(), py::integer(1).get()));
        if (py::compare(after_this.get(), max_runs.get(), Py_GE)) {
            py::setattr(job, TARVEL_NAME("next_run"), zero.get());
            return;
        }
    }
    if (is_type(globals, job, "ONCE")) {
        py::setattr(job, TARVEL_NAME("next_run"), zero.get());
        return;
    }
    py::setattr(job, TARVEL_NAME("next_run"), calc_next_run(self, job).get());
}

// A finished firing that started at `started`: the run counted, then the job completed or its
// following run decided.
void count_run(PyObject* globals, PyObject* self, PyObject* job, PyObject* started) {
    py::setattr(job, TARVEL_NAME("last_run"), started);
    py::Ref runs = py::getattr(job, TARVEL_NAME("run_count"));
    py::setattr(job, TARVEL_NAME("run_count"),
                py::Ref::steal(PyNumber_InPlaceAdd(runs.get(), py::integer(1).get())).get());
    py::Ref zero = py::integer(0);
    py::Ref max_runs = py::getattr(job, TARVEL_NAME("max_runs"));
    const bool finished =
        (py::compare(max_runs.get(), zero.get(), Py_GT) &&
         py::compare(py::getattr(job, TARVEL_NAME("run_count")).get(), max_runs.get(), Py_GE)) ||
        is_type(globals, job, "ONCE");
    if (finished) {
        py::setattr(job, TARVEL_NAME("state"), job_state(globals, "COMPLETED").get());
        py::setattr(job, TARVEL_NAME("next_run"), zero.get());
    } else {
        py::setattr(job, TARVEL_NAME("next_run"), calc_next_run(self, job).get());
    }
}

// A firing cancelled when the scheduler stopped, `arg` being (the time it started, the time it was
// due): the run counted as any cancelled run; a one-time job keeps its state (an active one stays
// active), due again at that time, so that it fires at the next start.
void count_cancelled_run(PyObject* globals, PyObject* self, PyObject* job, PyObject* arg) {
    PyObject* started = PyTuple_GET_ITEM(arg, 0);
    if (!is_type(globals, job, "ONCE")) {
        count_run(globals, self, job, started);
        return;
    }
    py::setattr(job, TARVEL_NAME("last_run"), started);
    py::Ref runs = py::getattr(job, TARVEL_NAME("run_count"));
    py::setattr(job, TARVEL_NAME("run_count"),
                py::Ref::steal(PyNumber_InPlaceAdd(runs.get(), py::integer(1).get())).get());
    py::setattr(job, TARVEL_NAME("next_run"), PyTuple_GET_ITEM(arg, 1));
}

// A run missed at `now`: the following run decided from then (a one-time job is completed);
// run_count stays.
void miss_run(PyObject* globals, PyObject* self, PyObject* job, PyObject* now) {
    py::Ref zero = py::integer(0);
    if (is_type(globals, job, "ONCE")) {
        py::setattr(job, TARVEL_NAME("state"), job_state(globals, "COMPLETED").get());
        py::setattr(job, TARVEL_NAME("next_run"), zero.get());
    } else if (is_type(globals, job, "INTERVAL")) {
        py::Ref interval = py::getattr(job, TARVEL_NAME("interval_seconds"));
        py::Ref next = py::compare(interval.get(), zero.get(), Py_GT)
                           ? py::Ref::steal(PyNumber_Add(now, interval.get()))
                           : zero;
        py::setattr(job, TARVEL_NAME("next_run"), next.get());
    } else {  // a cron job's next occurrence after the present moment
        py::setattr(job, TARVEL_NAME("next_run"), calc_next_run(self, job).get());
    }
}

// Sets each field of the dict `fields` on `job`.
void set_fields(PyObject* job, PyObject* fields) {
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(fields, &pos, &name, &value)) {
        py::Ref held_name = py::Ref::borrow(name), held_value = py::Ref::borrow(value);
        py::setattr(job, held_name.get(), held_value.get());
    }
}

void apply(PyObject* globals, PyObject* self, PyObject* job, Change kind, PyObject* arg) {
    switch (kind) {
        case Change::Set:
            set_fields(job, arg);
            return;
        case Change::Update:
            apply_updates(self, job, arg);
            return;
        case Change::Pause:
            py::setattr(job, TARVEL_NAME("state"), job_state(globals, "PAUSED").get());
            return;
        case Change::Resume:
            py::setattr(job, TARVEL_NAME("state"), job_state(globals, "ACTIVE").get());
            py::setattr(job, TARVEL_NAME("next_run"), calc_next_run(self, job).get());
            return;
        case Change::Decide:
            decide_next_run(globals, self, job);
            return;
        case Change::Fire:
            count_run(globals, self, job, arg);
            return;
        case Change::Miss:
            miss_run(globals, self, job, arg);
            return;
        case Change::Request:
            py::setattr(job, TARVEL_NAME("next_run"), arg);
            return;
        case Change::Shutdown:
            count_cancelled_run(globals, self, job, arg);
            return;
    }
}

// --- what a job holds -------------------------------------------------------------------------

// A job's fields as (values, metadata text): its __dict__ copied, with the text json gives its
// metadata, so that a change made inside the metadata dict shows too (None when json cannot
// encode it; the dict is then compared by ==).
py::Ref metadata_text(PyObject* globals, PyObject* metadata) {
    if (metadata == nullptr) return py::none();
    try {
        py::Ref json = py::global(globals, TARVEL_NAME("json"));
        return py::dumps_indent2(json.get(), metadata);
    } catch (py::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return py::none();
    }
}

py::Ref fields_of_values(PyObject* globals, py::Ref values) {
    py::Ref metadata = py::dict_get(values.get(), TARVEL_NAME("metadata"));
    py::Ref text = metadata_text(globals, metadata.get());
    return py::Ref::steal(PyTuple_Pack(2, values.get(), text.get()));
}

py::Ref fields_of(PyObject* globals, PyObject* job) {
    py::Ref dict = py::Ref::steal(PyObject_GenericGetDict(job, nullptr));
    return fields_of_values(globals, py::Ref::steal(PyDict_Copy(dict.get())));
}

// The fields a record of the state file gives, as fields_of() gives a job's: the record's
// members but the derived texts. A job_type or state is its value, which its member equals.
py::Ref fields_of_record(PyObject* globals, PyObject* record) {
    py::Ref values = py::Ref::steal(PyDict_Copy(record));
    for (const char* derived : {"next_run_human", "last_run_human"}) {
        if (PyDict_DelItemString(values.get(), derived) < 0) PyErr_Clear();
    }
    return fields_of_values(globals, values);
}

// The fields that differ between two fields_of() results, with their values in `now`; fields
// that only one of them has are left alone.
py::Ref differing(PyObject* then, PyObject* now) {
    PyObject* old_values = PyTuple_GET_ITEM(then, 0);
    PyObject* new_values = PyTuple_GET_ITEM(now, 0);
    py::Ref changed = py::Ref::steal(PyDict_New());
    py::Ref items = py::Ref::steal(PyDict_Items(new_values));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* name = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 0);
        PyObject* value = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 1);
        py::Ref old = py::dict_get(old_values, name);
        if (!old) continue;
        bool same;
        if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "metadata") == 0 &&
            PyTuple_GET_ITEM(then, 1) != Py_None && PyTuple_GET_ITEM(now, 1) != Py_None) {
            same = py::compare(PyTuple_GET_ITEM(then, 1), PyTuple_GET_ITEM(now, 1), Py_EQ);
        } else {
            same = old.get() == value || py::compare(old.get(), value, Py_EQ);
        }
        if (!same) py::dict_set(changed.get(), name, value);
    }
    return changed;
}

py::Ref change_of(Change kind, PyObject* arg) {
    py::Ref code = py::integer(static_cast<long long>(kind));
    return py::Ref::steal(PyTuple_Pack(2, code.get(), arg != nullptr ? arg : Py_None));
}

// Appends the fields set on the job itself since `then` as a change of their own.
void note_fields_set(PyObject* changes, PyObject* then, PyObject* now) {
    py::Ref set = differing(then, now);
    if (PyDict_GET_SIZE(set.get()) == 0) return;
    py::check(PyList_Append(changes, change_of(Change::Set, set.get()).get()) < 0);
}

// fields_of(), or null when the job's fields cannot be read as a __dict__.
py::Ref readable_fields(PyObject* globals, PyObject* job) {
    try {
        return fields_of(globals, job);
    } catch (py::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return {};
    }
}

py::Ref changes_of(PyObject* self) {
    py::Ref changes = py::Ref::steal_maybe(PyObject_GetAttr(self, TARVEL_NAME("_changes")));
    if (changes && PyDict_Check(changes.get())) return changes;
    if (!changes) PyErr_Clear();
    changes = py::Ref::steal(PyDict_New());
    py::setattr(self, TARVEL_NAME("_changes"), changes.get());
    return changes;
}

// The noted entry of `id` when it is one this file writes: a list [before, after, changes].
py::Ref entry_of(PyObject* changes, PyObject* id) {
    py::Ref entry = py::dict_get(changes, id);
    if (entry && PyList_CheckExact(entry.get()) && PyList_GET_SIZE(entry.get()) == 3) return entry;
    return {};
}

}  // namespace

void make_change(PyObject* globals, PyObject* self, PyObject* job, Change kind, PyObject* arg) {
    py::Ref id = py::getattr(job, TARVEL_NAME("id"));
    py::Ref changes = changes_of(self);
    py::Ref entry = entry_of(changes.get(), id.get());
    py::Ref before = readable_fields(globals, job);
    apply(globals, self, job, kind, arg);
    index_changed(globals, self, job);
    py::Ref after = before ? readable_fields(globals, job) : py::Ref();
    if (!after) {
        // a job whose fields cannot be read is taken whole from memory at a merge
        py::Ref whole = py::Ref::steal(Py_BuildValue("[OOO]", Py_None, Py_None, Py_None));
        py::check(PyObject_SetItem(changes.get(), id.get(), whole.get()) < 0);
        return;
    }
    if (!entry) {
        entry =
            py::Ref::steal(Py_BuildValue("[ONN]", before.get(), Py_NewRef(Py_None), PyList_New(0)));
        py::check(PyObject_SetItem(changes.get(), id.get(), entry.get()) < 0);
    }
    py::Ref noted = py::Ref::borrow(PyList_GET_ITEM(entry.get(), 2));
    if (noted.get() != Py_None) {
        PyObject* last = PyList_GET_ITEM(entry.get(), 1);
        if (last != Py_None) note_fields_set(noted.get(), last, before.get());
        py::check(PyList_Append(noted.get(), change_of(kind, arg).get()) < 0);
        if (PyList_GET_SIZE(noted.get()) > kMostChanges)
            py::check(PyList_SetItem(entry.get(), 2, py::none().release()) < 0);
    }
    py::check(PyList_SetItem(entry.get(), 1, after.release()) < 0);
}

void forget_changes(PyObject* self) {
    py::setattr(self, TARVEL_NAME("_changes"), py::Ref::steal(PyDict_New()).get());
}

bool replay_changes(PyObject* globals, PyObject* self, PyObject* key, PyObject* job,
                    PyObject* base_record, PyObject* target) {
    py::Ref changes = changes_of(self);
    py::Ref entry = entry_of(changes.get(), key);
    py::Ref now = fields_of(globals, job);
    py::Ref base = fields_of_record(globals, base_record);
    py::Ref noted = py::Ref::steal(PyList_New(0));
    if (entry && PyList_GET_ITEM(entry.get(), 2) == Py_None) {
        // too many changes to make again: the job as this scheduler holds it
        py::check(PyList_Append(noted.get(),
                                change_of(Change::Set, PyTuple_GET_ITEM(now.get(), 0)).get()) < 0);
    } else if (entry) {
        PyObject* before = PyList_GET_ITEM(entry.get(), 0);
        if (before != Py_None) note_fields_set(noted.get(), base.get(), before);
        py::Ref made = py::Ref::borrow(PyList_GET_ITEM(entry.get(), 2));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(made.get()); ++i)
            py::check(PyList_Append(noted.get(), PyList_GET_ITEM(made.get(), i)) < 0);
        note_fields_set(noted.get(), PyList_GET_ITEM(entry.get(), 1), now.get());
    } else {
        note_fields_set(noted.get(), base.get(), now.get());
    }
    if (PyList_GET_SIZE(noted.get()) == 0) {
        if (entry) py::check(PyDict_DelItem(changes.get(), key) < 0);
        return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(noted.get()); ++i) {
        PyObject* change = PyList_GET_ITEM(noted.get(), i);
        const long kind = PyLong_AsLong(PyTuple_GET_ITEM(change, 0));
        py::check(kind == -1 && PyErr_Occurred());
        apply(globals, self, target, static_cast<Change>(kind), PyTuple_GET_ITEM(change, 1));
    }
    // The file now read is the one the changes stand on: every change made here since is noted,
    // the fields set on the job itself as changes of their own.
    py::Ref rebased = py::Ref::steal(PyList_New(3));
    PyList_SET_ITEM(rebased.get(), 0, py::none().release());
    PyList_SET_ITEM(rebased.get(), 1, fields_of(globals, target).release());
    PyList_SET_ITEM(rebased.get(), 2, noted.release());
    py::check(PyObject_SetItem(changes.get(), key, rebased.get()) < 0);
    return true;
}

}  // namespace tarvel::scheduler
