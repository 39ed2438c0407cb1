// core/scheduler/PyDatabaseMerge.cpp: the rows other processes wrote to the database store since
// this scheduler last read or wrote it, taken into its registry and history
//
// Every transaction that writes rows raises the database's change counter (PRAGMA user_version)
// by one and stamps the job rows it writes, and the ids it deletes (table `removed`), with the new
// count. A scheduler notes the count it last read or wrote (`_database_change`) and the newest
// execution row it knows (`_database_seq`): a loop pass finds in one read whether anything
// changed, and reads only the rows that did. A save takes them in inside its own write
// transaction, before it decides what to write, so its changes stand on the rows as they are:
// the same rule as the state file's merge, one record at a time.
#include "core/scheduler/PyDatabase.hpp"
#include "glue/PyLocks.hpp"

#include <string>

namespace tarvel::scheduler::db {

namespace {

long long integer_of(PyObject* value) {
    const long long n = PyLong_AsLongLong(value);
    py::check(n == -1 && PyErr_Occurred());
    return n;
}

// The first column of the first row `sql` gives (0 when none, or NULL).
long long first_integer(PyObject* connection, const std::string& sql) {
    py::Ref rows = fetch_all(connection, sql.c_str());
    if (PyList_GET_SIZE(rows.get()) == 0) return 0;
    PyObject* value = PyTuple_GET_ITEM(PyList_GET_ITEM(rows.get(), 0), 0);
    return value == Py_None ? 0 : integer_of(value);
}

// The row's record as this scheduler last read or wrote it, parsed; null when it knows none.
py::Ref known_record(PyObject* globals, PyObject* self, PyObject* key) {
    py::Ref text = row_text(self, key);
    if (!text) return {};
    py::Ref json = py::global(globals, TARVEL_NAME("json"));
    return py::call_method(json.get(), TARVEL_NAME("loads"), text);
}

// A row another process wrote: the job here becomes theirs with the changes made here since made
// again on it; a job removed here stays removed; one new there joins. `other` is the row's job
// as built (null when it could not be: the row is then left as it is, here and there).
void take_in_row(PyObject* globals, PyObject* self, PyObject* registry, PyObject* key,
                 PyObject* other, PyObject* text) {
    py::Ref job = registry_get(registry, key);
    if (!other) return;
    py::Ref known = known_record(globals, self, key);
    if (job && known) {
        if (merged_job(globals, self, key, job.get(), known.get(), other)) {
            copy_fields(globals, job.get(), other);
            index_changed(globals, self, job.get());
        }
    } else if (!job && !known) {
        py::check(PyObject_SetItem(registry, key, other) < 0);
        index_added(globals, self, key, other, nullptr);
    }  // else added here under the same key, or removed here: it stays so
    row_taken_in(self, key, text);
}

// A row another process deleted: the job goes, unless it was added here under the same key.
void take_in_removal(PyObject* self, PyObject* registry, PyObject* key) {
    py::Ref job = registry_get(registry, key);
    if (job && row_text(self, key)) {
        py::check(PyObject_DelItem(registry, key) < 0);
        index_removed(self, job.get());
    }
    row_taken_in(self, key, nullptr);
}

// The newest execution is the last one saved when no execution waited to be saved: the history's
// newest after the merge is then saved too.
void take_in_executions(PyObject* self, PyObject* theirs) {
    if (PyList_GET_SIZE(theirs) == 0) return;
    py::Ref history = py::getattr(self, TARVEL_NAME("_executions"));
    const Py_ssize_t count = PyObject_Length(history.get());
    py::check(count < 0);
    py::Ref newest =
        count > 0 ? py::Ref::steal(PySequence_GetItem(history.get(), count - 1)) : py::none();
    py::Ref last = attribute_or_none(self, TARVEL_NAME("_database_last"));
    const bool all_saved = newest.get() == last.get();
    merge_executions(self, theirs);
    if (!all_saved) return;
    history = py::getattr(self, TARVEL_NAME("_executions"));
    const Py_ssize_t merged = PyObject_Length(history.get());
    py::check(merged < 0);
    newest =
        merged > 0 ? py::Ref::steal(PySequence_GetItem(history.get(), merged - 1)) : py::none();
    py::setattr(self, TARVEL_NAME("_database_last"), newest.get());
}

py::Ref rows_since(PyObject* connection, const char* sql, long long since) {
    py::Ref args = py::Ref::steal(Py_BuildValue("(L)", since));
    py::Ref cursor = py::call_method(connection, TARVEL_NAME("execute"), py::str(sql), args);
    return py::call_method(cursor.get(), TARVEL_NAME("fetchall"));
}

// The rows written since the counts noted, built and taken in. What cannot be read is logged and
// joins load_problems, as a damaged state file read at a merge does.
void take_in_rows(PyObject* globals, PyObject* self, PyObject* connection) {
    py::Ref jobs = rows_since(connection, "SELECT id, record FROM jobs WHERE changed > ?",
                              noted(self, TARVEL_NAME("_database_change")));
    py::Ref removed = rows_since(connection, "SELECT id FROM removed WHERE changed > ?",
                                 noted(self, TARVEL_NAME("_database_change")));
    py::Ref executions = rows_since(connection, "SELECT record FROM executions WHERE seq > ?",
                                    noted(self, TARVEL_NAME("_database_seq")));
    py::Ref json = py::global(globals, TARVEL_NAME("json"));
    py::Ref text = document_text(json.get(), jobs.get(), executions.get());
    py::Ref theirs = py::Ref::steal(PyDict_New());
    py::Ref their_history = py::Ref::steal(PyList_New(0));
    py::Ref path = py::getattr(self, TARVEL_NAME("_storage_path"));
    py::LoadProblems problems(path.get());
    auto stage = py::LoadProblems::Stage::Parse;
    try {
        read_saved_records(globals, text.get(), theirs.get(), their_history.get(), problems, stage);
    } catch (py::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        load_failure(globals, e);
        problems.failed(stage, nullptr, e);
        problems.append_to(self);
        return;
    }
    py::Ref registry = py::getattr(self, TARVEL_NAME("_jobs"));
    py::Ref written = py::Ref::steal(PySet_New(nullptr));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(jobs.get()); ++i) {
        PyObject* row = PyList_GET_ITEM(jobs.get(), i);
        PyObject* key = PyTuple_GET_ITEM(row, 0);
        py::check(PySet_Add(written.get(), key) < 0);
        py::Ref other = py::dict_get(theirs.get(), key);
        take_in_row(globals, self, registry.get(), key, other.get(), PyTuple_GET_ITEM(row, 1));
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(removed.get()); ++i) {
        PyObject* key = PyTuple_GET_ITEM(PyList_GET_ITEM(removed.get(), i), 0);
        const int again = PySet_Contains(written.get(), key);  // deleted, then written again
        py::check(again < 0);
        if (!again) take_in_removal(self, registry.get(), key);
    }
    take_in_executions(self, their_history.get());
    problems.append_to(self);
}

}  // namespace

long long noted(PyObject* self, PyObject* name) {
    py::Ref value = attribute_or_none(self, name);
    return PyLong_Check(value.get()) ? integer_of(value.get()) : 0;
}

long long change_count(PyObject* connection) {
    return first_integer(connection, "PRAGMA user_version");
}

long long newest_execution(PyObject* connection) {
    return first_integer(connection, "SELECT max(seq) FROM executions");
}

void note_counts(PyObject* self, long long change, long long seq) {
    py::setattr(self, TARVEL_NAME("_database_change"), py::integer(change).get());
    if (seq >= 0) py::setattr(self, TARVEL_NAME("_database_seq"), py::integer(seq).get());
}

long long take_in_changes(PyObject* globals, PyObject* self, PyObject* connection) {
    const long long change = change_count(connection);
    if (change == noted(self, TARVEL_NAME("_database_change"))) return change;
    take_in_rows(globals, self, connection);
    note_counts(self, change, newest_execution(connection));
    return change;
}

}  // namespace tarvel::scheduler::db

namespace tarvel::scheduler {

void merge_from_database(PyObject* globals, PyObject* self) {
    try {
        py::Ref path = py::getattr(self, TARVEL_NAME("_storage_path"));
        py::Ref connection = db::attribute_or_none(self, TARVEL_NAME("_database"));
        if (connection.get() == Py_None) {
            // no database yet, unless another process made one since
            if (!py::truthy(py::call_method(path.get(), TARVEL_NAME("exists")).get())) return;
            connection = db::connection(globals, self);
        }
        // the connection is the scheduler's, shared with saves from other threads
        py::HeldLock lock(take_save_lock(globals, path.get()));
        if (db::change_count(connection.get()) ==
            db::noted(self, TARVEL_NAME("_database_change"))) {
            return;
        }
        db::execute(connection.get(), "BEGIN");
        try {
            db::take_in_changes(globals, self, connection.get());
            db::execute(connection.get(), "COMMIT");
        } catch (py::Error&) {
            db::end_transaction(connection.get());
            throw;
        }
    } catch (py::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        load_failure(globals, e);
    }
}

}  // namespace tarvel::scheduler
