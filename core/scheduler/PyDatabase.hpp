// core/scheduler/PyDatabase.hpp: the pieces of the database store (store="sqlite") its files
// share: the connection's calls, the rows a save writes and what the scheduler remembers of them
#pragma once

#include "core/scheduler/PyScheduler.hpp"

namespace tarvel::scheduler::db {

// getattr(obj, name, None).
py::Ref attribute_or_none(PyObject* obj, PyObject* name);
// connection.execute(sql) and connection.execute(sql).fetchall().
py::Ref execute(PyObject* connection, const char* sql);
py::Ref fetch_all(PyObject* connection, const char* sql);
// list.append(item); `item` may be null when the call that made it failed.
void append(PyObject* list, py::Ref item);
// json.dumps(value, indent=2) indented for a record's place in the state file.
py::Ref placed_text(PyObject* json, PyObject* value);
// What a job's row was written from: its fields, metadata as its JSON text; None when they
// cannot be read so, and the job's record is then compared at every save.
py::Ref fields_of(PyObject* json, PyObject* job);
// [first, second], as a row of `_database_rows`.
py::Ref pair_list(PyObject* first, PyObject* second);
// `_database_rows` (key -> [fields, text]), made empty when missing.
py::Ref rows_of(PyObject* self);

// The rows one save writes, and what the scheduler remembers of them once they are committed.
struct Batch {
    py::Ref upserts = py::Ref::steal(PyList_New(0));     // (id, next_run, record)
    py::Ref deletes = py::Ref::steal(PyList_New(0));     // (id,)
    py::Ref remembered = py::Ref::steal(PyDict_New());   // id -> [fields, record]
    py::Ref executions = py::Ref::steal(PyList_New(0));  // (job_id, record)
    bool rewrite_history = false;
    py::Ref last = py::none();  // the newest execution saved
};

// The jobs whose rows are to be written or deleted, and the executions to append.
void collect_jobs(PyObject* globals, PyObject* self, PyObject* json, Batch& batch);
void collect_executions(PyObject* globals, PyObject* self, PyObject* json, Batch& batch);
// What the committed save wrote, remembered for the next one.
void remember_batch(PyObject* self, const Batch& batch);
// The watch of the jobs' dicts (PyDatabaseWatch), where the interpreter has dict watchers:
// puts into the set `out` the keys a save is to look at (noted as changed by a dict event, in
// `changes`, or unsure) and returns true; false, with nothing done, where nothing is watched.
bool watched_candidates(PyObject* self, PyObject* registry, PyObject* rows, PyObject* changes,
                        PyObject* out);
// Watches again the jobs under `keys` (an iterable) as they are now; forgets keys not in `_jobs`.
void watch_jobs(PyObject* self, PyObject* keys);
// After a load: every job of `_jobs` watched; false when nothing is watched.
bool watch_loaded(PyObject* self, PyObject* rows);
// The keys the last save looked at are in the database now.
void saved(PyObject* self);
// The job under `key` (every job for null) looked at again at the next save.
void look_again(PyObject* self, PyObject* key);

// A row another process wrote, taken into the registry: `text` is what the row holds now (null
// for a row it deleted); the job under `key` is looked at again at the next save.
void row_taken_in(PyObject* self, PyObject* key, PyObject* text);

}  // namespace tarvel::scheduler::db
