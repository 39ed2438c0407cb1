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
// The scheduler's connection, opened (with its folder, the tables and WAL mode) at first use.
py::Ref connection(PyObject* globals, PyObject* self);
// ROLLBACK of the transaction an error ended; an error of the rollback itself is not told.
void end_transaction(PyObject* connection);
// The state file's document joined from rows: {"jobs": {id: record, ...}, "executions":
// [record, ...]} as json.dumps(document, indent=2) writes it; `jobs` holds (id, record) rows,
// `executions` (record,) rows.
py::Ref document_text(PyObject* json, PyObject* jobs, PyObject* executions);
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
// The text the row of `key` holds as this scheduler last read or wrote it; null when none.
py::Ref row_text(PyObject* self, PyObject* key);
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

// --- other processes' rows (PyDatabaseMerge) ---

// The count noted in the scheduler's attribute `name` (`_database_change`, `_database_seq`).
long long noted(PyObject* self, PyObject* name);
// The database's change counter, raised by every transaction that writes rows.
long long change_count(PyObject* connection);
// The seq of the newest execution row (0 when none).
long long newest_execution(PyObject* connection);
// Notes `change`, and `seq` as the newest execution row unless it is negative, as what this
// scheduler last read or wrote (read inside the transaction that read or wrote them).
void note_counts(PyObject* self, long long change, long long seq);
// Inside a transaction: when the counter moved since the count noted, the rows written since are
// taken into the registry and the history; the counter read.
long long take_in_changes(PyObject* globals, PyObject* self, PyObject* connection);

// A damaged database (PyDatabaseDamage): sqlite3.DatabaseError "no such table: <name>" when the
// database holds tables but not the store's (none: a new database); whether an error of a load
// says the database is damaged (rather than busy or out of reach); the damaged database's files
// kept as ".bad-" copies and removed, so that the next save makes a fresh one; the files kept as
// copies of a database whose load skipped records. Both note the copy in `problems`.
void check_tables(PyObject* globals, PyObject* connection);
bool is_damage(PyObject* globals, const py::Error& error);
void set_aside(PyObject* globals, PyObject* self, py::LoadProblems& problems);
void keep_database_copy(PyObject* globals, PyObject* self, py::LoadProblems& problems);

}  // namespace tarvel::scheduler::db
