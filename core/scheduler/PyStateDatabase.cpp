// core/scheduler/PyStateDatabase.cpp: the database store (store="sqlite"): the state kept in an
// SQLite database through the module's sqlite3, one row a record
//
// The database holds two tables: jobs (id: the job's key in the registry, next_run, record) and
// executions (seq, job_id, record), the newest kSavedExecutions of the history. A record is the
// very text the state file holds for it, indented for its place there, so the document of the
// state file is the rows joined in order (jobs by rowid, executions by seq): a load reads that
// document as it reads the state file, its records built natively.
//
// A save writes, in one transaction, only the rows that changed (PyDatabaseRows).
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/scheduler/PyDatabase.hpp"
#include "glue/PyCollector.hpp"
#include "glue/PyFunction.hpp"
#include "glue/PyJson.hpp"
#include "glue/PyJsonKept.hpp"
#include "glue/PyMethods.hpp"

#include <string>

namespace tarvel::scheduler {

namespace db {

py::Ref attribute_or_none(PyObject* obj, PyObject* name) {
    py::Ref value = py::Ref::steal_maybe(PyObject_GetAttr(obj, name));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::Error();
        PyErr_Clear();
        return py::none();
    }
    return value;
}

py::Ref execute(PyObject* connection, const char* sql) {
    return py::call_method(connection, TARVEL_NAME("execute"), py::str(sql));
}

py::Ref fetch_all(PyObject* connection, const char* sql) {
    py::Ref cursor = execute(connection, sql);
    return py::call_method(cursor.get(), TARVEL_NAME("fetchall"));
}

void append(PyObject* list, py::Ref item) {
    py::check(!item || PyList_Append(list, item.get()) < 0);
}

py::Ref placed_text(PyObject* json, PyObject* value) {
    py::Ref text = py::dumps_indent2(json, value);
    return py::Ref::steal(
        PyUnicode_Replace(text.get(), py::str("\n").get(), py::str("\n    ").get(), -1));
}

constexpr const char* kTables[] = {
    "CREATE TABLE IF NOT EXISTS jobs (id TEXT PRIMARY KEY, next_run REAL, record TEXT NOT NULL, "
    "changed INTEGER NOT NULL DEFAULT 0)",
    "CREATE INDEX IF NOT EXISTS jobs_next_run ON jobs (next_run)",
    "CREATE INDEX IF NOT EXISTS jobs_changed ON jobs (changed)",
    "CREATE TABLE IF NOT EXISTS removed (id TEXT PRIMARY KEY, changed INTEGER NOT NULL)",
    "CREATE TABLE IF NOT EXISTS executions "
    "(seq INTEGER PRIMARY KEY, job_id TEXT, record TEXT NOT NULL)",
};

py::Ref connection(PyObject* globals, PyObject* self) {
    py::Ref opened = attribute_or_none(self, TARVEL_NAME("_database"));
    if (opened.get() != Py_None) return opened;
    py::Ref path = py::getattr(self, TARVEL_NAME("_storage_path"));
    py::Ref parent = py::getattr(path.get(), TARVEL_NAME("parent"));
    py::Ref mkdir = py::getattr(parent.get(), TARVEL_NAME("mkdir"));
    py::call_kw(mkdir.get(), {}, {{"parents", Py_True}, {"exist_ok", Py_True}});
    py::Ref sqlite3 = py::global(globals, TARVEL_NAME("sqlite3"));
    py::Ref connect = py::getattr(sqlite3.get(), TARVEL_NAME("connect"));
    // transactions are begun and ended here; the loop's firings may save from other threads
    opened = py::call_kw(connect.get(), {path.get()},
                         {{"isolation_level", Py_None}, {"check_same_thread", Py_False}});
    check_tables(globals, opened.get());
    execute(opened.get(), "PRAGMA journal_mode=WAL");
    for (const char* sql : kTables)
        execute(opened.get(), sql);
    py::setattr(self, TARVEL_NAME("_database"), opened.get());
    return opened;
}

void end_transaction(PyObject* connection) {
    try {
        execute(connection, "ROLLBACK");
    } catch (py::Error&) {  // the error that ended the transaction is the one told
    }
}

namespace {

// A row's key as the document holds it, with what comes before its record: `,\n    "id": `.
// An id of printable ASCII without quotes or backslashes is written as json.dumps writes it;
// any other goes through json.dumps.
std::optional<std::string_view> plain_id(PyObject* key) {
    const auto plain = py::ascii_view(key);
    if (plain && std::all_of(plain->begin(), plain->end(),
                             [](char c) { return c >= ' ' && c <= '~' && c != '"' && c != '\\'; }))
        return plain;
    return std::nullopt;
}

py::Ref key_text(PyObject* json, PyObject* key, bool first) {
    std::string text = first ? "\n    " : ",\n    ";
    if (const auto plain = plain_id(key)) {
        text.append("\"").append(*plain).append("\": ");
        return py::Ref::steal(
            PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    }
    py::Ref dumped = py::call_method(json, TARVEL_NAME("dumps"), key);
    return py::fstring(text.c_str(), dumped, ": ");
}

// The document of plain ids and ASCII records written into one ASCII str: its pieces measured,
// then copied; null when an id or a record is not so.
py::Ref ascii_document(PyObject* jobs, PyObject* executions) {
    const Py_ssize_t job_count = PyList_GET_SIZE(jobs),
                     execution_count = PyList_GET_SIZE(executions);
    std::vector<std::string_view> pieces;
    pieces.reserve(static_cast<std::size_t>(job_count * 4 + execution_count * 2 + 3));
    pieces.emplace_back("{\n  \"jobs\": {");
    for (Py_ssize_t i = 0; i < job_count; ++i) {
        PyObject* row = PyList_GET_ITEM(jobs, i);
        const auto id = plain_id(PyTuple_GET_ITEM(row, 0));
        const auto record = py::ascii_view(PyTuple_GET_ITEM(row, 1));
        if (!id || !record) return {};
        pieces.insert(pieces.end(), {i == 0 ? "\n    \"" : ",\n    \"", *id, "\": ", *record});
    }
    pieces.emplace_back(job_count > 0 ? "\n  },\n  \"executions\": [" : "},\n  \"executions\": [");
    for (Py_ssize_t i = 0; i < execution_count; ++i) {
        const auto record = py::ascii_view(PyTuple_GET_ITEM(PyList_GET_ITEM(executions, i), 0));
        if (!record) return {};
        pieces.insert(pieces.end(), {i == 0 ? "\n    " : ",\n    ", *record});
    }
    pieces.emplace_back(execution_count > 0 ? "\n  ]\n}" : "]\n}");
    std::size_t size = 0;
    for (const std::string_view piece : pieces)
        size += piece.size();
    py::Ref text = py::Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(size), 127));
    auto* out = static_cast<char*>(PyUnicode_DATA(text.get()));
    for (const std::string_view piece : pieces) {
        std::memcpy(out, piece.data(), piece.size());
        out += piece.size();
    }
    return text;
}

}  // namespace

py::Ref document_text(PyObject* json, PyObject* jobs, PyObject* executions) {
    if (py::Ref text = ascii_document(jobs, executions)) return text;
    py::Ref parts = py::Ref::steal(PyList_New(0));
    append(parts.get(), py::str("{\n  \"jobs\": {"));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(jobs); ++i) {
        PyObject* row = PyList_GET_ITEM(jobs, i);
        append(parts.get(), key_text(json, PyTuple_GET_ITEM(row, 0), i == 0));
        append(parts.get(), py::Ref::borrow(PyTuple_GET_ITEM(row, 1)));
    }
    append(parts.get(), py::str(PyList_GET_SIZE(jobs) > 0 ? "\n  },\n  \"executions\": ["
                                                          : "},\n  \"executions\": ["));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(executions); ++i) {
        append(parts.get(), py::str(i == 0 ? "\n    " : ",\n    "));
        append(parts.get(), py::Ref::borrow(PyTuple_GET_ITEM(PyList_GET_ITEM(executions, i), 0)));
    }
    append(parts.get(), py::str(PyList_GET_SIZE(executions) > 0 ? "\n  ]\n}" : "]\n}"));
    return py::Ref::steal(PyUnicode_Join(py::str("").get(), parts.get()));
}

}  // namespace db

namespace {

using namespace db;

TARVEL_DECLARATIONS

void execute_many(PyObject* connection, const char* sql, PyObject* rows) {
    if (PyList_GET_SIZE(rows) == 0) return;
    py::call_method(connection, TARVEL_NAME("executemany"), py::str(sql), rows);
}

bool empty(const Batch& batch) {
    return PyList_GET_SIZE(batch.upserts.get()) == 0 && PyList_GET_SIZE(batch.deletes.get()) == 0 &&
           PyList_GET_SIZE(batch.executions.get()) == 0 && !batch.rewrite_history;
}

// The batch's rows written, the jobs' rows and the deleted ids stamped with `change`, the
// database's change counter after it.
void write_batch(PyObject* connection, const Batch& batch, long long change) {
    const std::string stamp = std::to_string(change);
    const std::string upsert =
        "INSERT INTO jobs (id, next_run, record, changed) VALUES (?, ?, ?, " + stamp +
        ") ON CONFLICT (id) DO UPDATE SET next_run = excluded.next_run, "
        "record = excluded.record, changed = excluded.changed";
    execute_many(connection, upsert.c_str(), batch.upserts.get());
    execute_many(connection, "DELETE FROM jobs WHERE id = ?", batch.deletes.get());
    const std::string removed =
        "INSERT OR REPLACE INTO removed (id, changed) VALUES (?, " + stamp + ")";
    execute_many(connection, removed.c_str(), batch.deletes.get());
    if (batch.rewrite_history) execute(connection, "DELETE FROM executions");
    execute_many(connection, "INSERT INTO executions (job_id, record) VALUES (?, ?)",
                 batch.executions.get());
    // the newest kSavedExecutions stay, as in the state file
    static_assert(kSavedExecutions == 100, "the statement below keeps 100");
    execute(connection,
            "DELETE FROM executions WHERE seq <= (SELECT max(seq) FROM executions) - 100");
    execute(connection, ("PRAGMA user_version = " + stamp).c_str());
}

// --- loading ---------------------------------------------------------------------------------

// Whether the registry a load built lists the keys of the rows `jobs`, in their order. A load
// keys each record by its own id, and a later record with an id already taken replaces the
// earlier one in its place: only then does each row hold the record of the job under its key.
bool rows_are_the_registry(PyObject* registry, PyObject* jobs) {
    py::Ref keys = py::Ref::steal(PySequence_List(registry));
    if (PyList_GET_SIZE(keys.get()) != PyList_GET_SIZE(jobs)) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(jobs); ++i) {
        py::Ref key = py::Ref::borrow(PyList_GET_ITEM(keys.get(), i));
        py::Ref row_key = py::Ref::borrow(PyTuple_GET_ITEM(PyList_GET_ITEM(jobs, i), 0));
        const int same = PyObject_RichCompareBool(key.get(), row_key.get(), Py_EQ);
        py::check(same < 0);
        if (same == 0) return false;
    }
    return true;
}

// After a load: each row remembered, and the jobs watched (PyDatabaseWatch). When a row's record
// carries another id than the row (the job's id was updated), or lost to a later one with its id,
// every job is looked at again at the next save, which writes each whose row holds another text
// and deletes the rows of keys the registry lacks. Where jobs cannot be watched, each row is
// remembered with the fields of the job the registry holds under its key when the rows are the
// registry's, with none (every job looked at) when not.
void remember_rows(PyObject* globals, PyObject* self, PyObject* jobs) {
    py::Ref registry = py::getattr(self, TARVEL_NAME("_jobs"));
    const bool trusted = rows_are_the_registry(registry.get(), jobs);
    py::Ref rows = py::Ref::steal(PyDict_New());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(jobs); ++i) {
        PyObject* row = PyList_GET_ITEM(jobs, i);
        py::dict_set(rows.get(), PyTuple_GET_ITEM(row, 0),
                     pair_list(Py_None, PyTuple_GET_ITEM(row, 1)).get());
    }
    py::setattr(self, TARVEL_NAME("_database_rows"), rows.get());
    if (watch_loaded(self, rows.get())) {
        if (!trusted) look_again(self, nullptr);
    } else if (trusted) {
        py::Ref json = py::global(globals, TARVEL_NAME("json"));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(jobs); ++i) {
            PyObject* key = PyTuple_GET_ITEM(PyList_GET_ITEM(jobs, i), 0);
            py::Ref job = registry_get(registry.get(), key);
            py::Ref row = py::dict_get(rows.get(), key);
            if (!job || !row) continue;
            py::check(PyList_SetItem(row.get(), 0, fields_of(json.get(), job.get()).release()) < 0);
        }
    }
    py::Ref history = py::getattr(self, TARVEL_NAME("_executions"));
    const Py_ssize_t count = PyObject_Length(history.get());
    py::check(count < 0);
    py::Ref last =
        count > 0 ? py::Ref::steal(PySequence_GetItem(history.get(), count - 1)) : py::none();
    py::setattr(self, TARVEL_NAME("_database_last"), last.get());
}

// False when a record was skipped.
bool read_database(PyObject* globals, PyObject* self, py::LoadProblems& problems,
                   py::LoadProblems::Stage& stage) {
    py::Ref connection = db::connection(globals, self);
    py::CollectorPaused paused;
    py::Ref jobs, executions;
    execute(connection.get(), "BEGIN");  // the rows and the counts of one version
    try {
        jobs = fetch_all(connection.get(), "SELECT id, record FROM jobs ORDER BY rowid");
        executions = fetch_all(connection.get(), "SELECT record FROM executions ORDER BY seq");
        note_counts(self, change_count(connection.get()), newest_execution(connection.get()));
        execute(connection.get(), "COMMIT");
    } catch (py::Error&) {
        end_transaction(connection.get());
        throw;
    }
    py::Ref json = py::global(globals, TARVEL_NAME("json"));
    py::Ref text = document_text(json.get(), jobs.get(), executions.get());
    const bool complete = read_state_text(globals, self, text.get(), problems, stage);
    remember_rows(globals, self, jobs.get());
    return complete;
}

// A new database takes in the state file of its folder, when there is one, and that file is
// renamed "scheduler.json.imported" so that no JSON store writes on beside the database.
void import_state_file(PyObject* globals, PyObject* self, py::LoadProblems& problems,
                       py::LoadProblems::Stage& stage) {
    py::Ref path = py::getattr(self, TARVEL_NAME("_storage_path"));
    py::Ref parent = py::getattr(path.get(), TARVEL_NAME("parent"));
    py::Ref file =
        py::Ref::steal(PyNumber_TrueDivide(parent.get(), py::str("scheduler.json").get()));
    if (!py::truthy(py::call_method(file.get(), TARVEL_NAME("exists")).get())) return;
    log(globals, "info", py::fstring("Importing scheduler state from ", file, " into ", path));
    py::Ref text = py::read_text(file.get());
    read_state_text(globals, self, text.get(), problems, stage);
    save_to_database(globals, self);
    py::Ref imported =
        py::call_method(file.get(), TARVEL_NAME("with_name"), py::str("scheduler.json.imported"));
    try {
        py::call_method(file.get(), TARVEL_NAME("replace"), imported);
    } catch (py::Error& e) {
        // another process that imported the same file at the same time renamed it first
        if (!e.matches(PyExc_FileNotFoundError)) throw;
    }
}

TARVEL_METHOD(Scheduler, "export_state", export_state_impl, "self, path: str | os.PathLike[str]",
              "None", "Write the jobs and the history to a JSON file as the JSON store keeps them.")
(const py::Frame& frame, PyObject* self, PyObject* path) {
    py::Ref path_class = py::global(frame.globals, TARVEL_NAME("Path"));
    py::Ref target = py::call(path_class.get(), path);
    py::Ref parent = py::getattr(target.get(), TARVEL_NAME("parent"));
    py::Ref mkdir = py::getattr(parent.get(), TARVEL_NAME("mkdir"));
    py::call_kw(mkdir.get(), {}, {{"parents", Py_True}, {"exist_ok", Py_True}});
    py::Ref text = state_text(frame.globals, self);
    py::replace_file(frame.globals, target.get(), text.get());
    return py::none();
}

}  // namespace

void check_store(PyObject* store) {
    if (!PyUnicode_Check(store)) py::wrong_type("store", "a str", store);
    if (PyUnicode_CompareWithASCIIString(store, "json") == 0 ||
        PyUnicode_CompareWithASCIIString(store, "sqlite") == 0) {
        return;
    }
    throw py::Error(PyExc_ValueError,
                    py::fstring("store must be 'json' or 'sqlite', not ", store).get());
}

bool uses_database(PyObject* self) {
    py::Ref store = attribute_or_none(self, TARVEL_NAME("_store"));
    return PyUnicode_Check(store.get()) &&
           PyUnicode_CompareWithASCIIString(store.get(), "sqlite") == 0;
}

const char* default_state_name(PyObject* store) {
    return PyUnicode_CompareWithASCIIString(store, "sqlite") == 0 ? "scheduler.sqlite3"
                                                                  : "scheduler.json";
}

void save_to_database(PyObject* globals, PyObject* self) {
    py::Ref connection = db::connection(globals, self);
    // one save at a time, from any thread or process: each finds what the last one wrote
    py::Ref path = py::getattr(self, TARVEL_NAME("_storage_path"));
    py::HeldLock lock(take_save_lock(globals, path.get()));
    execute(connection.get(),
            py::durable_writes(globals) ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL");
    execute(connection.get(), "BEGIN IMMEDIATE");
    Batch batch;
    long long change = 0;
    long long seq = -1;  // the newest execution row moves only when this save writes executions
    try {
        // what other processes wrote first, so that the changes made here stand on it
        change = take_in_changes(globals, self, connection.get());
        py::Ref json = py::global(globals, TARVEL_NAME("json"));
        collect_jobs(globals, self, json.get(), batch);
        collect_executions(globals, self, json.get(), batch);
        if (!empty(batch)) write_batch(connection.get(), batch, ++change);
        if (PyList_GET_SIZE(batch.executions.get()) > 0 || batch.rewrite_history)
            seq = newest_execution(connection.get());
        execute(connection.get(), "COMMIT");
    } catch (py::Error&) {
        end_transaction(connection.get());
        throw;
    }
    remember_batch(self, batch);
    note_counts(self, change, seq);
}

void load_from_database(PyObject* globals, PyObject* self, py::LoadProblems& problems) {
    py::setattr(self, TARVEL_NAME("_database_rows"), py::Ref::steal(PyDict_New()).get());
    py::setattr(self, TARVEL_NAME("_database_last"), Py_None);
    py::setattr(self, TARVEL_NAME("_database_change"), py::integer(0).get());
    py::setattr(self, TARVEL_NAME("_database_seq"), py::integer(0).get());
    auto stage = py::LoadProblems::Stage::Read;
    bool existed = false;
    bool complete = true;
    try {
        py::Ref path = py::getattr(self, TARVEL_NAME("_storage_path"));
        existed = py::truthy(py::call_method(path.get(), TARVEL_NAME("exists")).get());
        if (existed) {
            complete = read_database(globals, self, problems, stage);
        } else {
            import_state_file(globals, self, problems, stage);
        }
    } catch (py::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        load_failure(globals, e);
        problems.failed(stage, nullptr, e);
        if (existed && is_damage(globals, e)) set_aside(globals, self, problems);
        return;
    }
    if (!complete) keep_database_copy(globals, self, problems);
}

void add_database_methods(PyObject* module, py::Members& members) {
    declarations().add_to(module, "Scheduler", members);
}

}  // namespace tarvel::scheduler
