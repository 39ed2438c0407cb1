// core/scheduler/PyDatabaseDamage.cpp: a damaged database (store="sqlite") kept aside as a
// ".bad-" copy, with its "-wal" and "-shm" files, as a damaged state file is
//
// A load that finds the database damaged (not a database, a damaged page, a table missing or of
// another shape, a record that cannot be read) copies its files to "<name>.bad-<time>" (and
// "<name>.bad-<time>-wal", "-shm"), closes the connection and removes the damaged files, so that
// the next save makes a fresh database where they were. Nothing is removed without its copy. A
// load that skipped records keeps the copy and the database. What only stopped the read (the
// database busy, a file that cannot be opened) leaves everything where it is.
#include "core/scheduler/PyDatabase.hpp"
#include "glue/PyLocks.hpp"

namespace tarvel::scheduler::db {

namespace {

constexpr std::initializer_list<const char*> kCompanions = {"-wal", "-shm"};

// SQLite's primary result codes that say the database's content is wrong: SQLITE_ERROR (a table
// or a column missing), SQLITE_CORRUPT, SQLITE_MISMATCH, SQLITE_FORMAT and SQLITE_NOTADB.
bool damage_code(long code) {
    switch (code & 0xff) {
        case 1:
        case 11:
        case 20:
        case 24:
        case 26:
            return true;
        default:
            return false;
    }
}

py::Ref sqlite3_class(PyObject* globals, PyObject* name) {
    py::Ref sqlite3 = py::global(globals, TARVEL_NAME("sqlite3"));
    return py::getattr(sqlite3.get(), name);
}

void close_database(PyObject* self) {
    py::Ref connection = attribute_or_none(self, TARVEL_NAME("_database"));
    if (connection.get() == Py_None) return;
    py::setattr(self, TARVEL_NAME("_database"), Py_None);
    try {
        py::call_method(connection.get(), TARVEL_NAME("close"));
    } catch (py::Error& e) {  // the damage already told is what matters
        if (!e.matches(PyExc_Exception)) throw;
    }
}

// The database's files removed, its companions first: a "-wal" left beside a fresh database
// would be taken for its own.
void remove_files(PyObject* path) {
    py::Ref name = py::getattr(path, TARVEL_NAME("name"));
    for (const char* suffix : {"-wal", "-shm", ""}) {
        py::Ref file = py::call_method(path, TARVEL_NAME("with_name"), py::fstring(name, suffix));
        py::Ref unlink = py::getattr(file.get(), TARVEL_NAME("unlink"));
        py::call_kw(unlink.get(), {}, {{"missing_ok", Py_True}});
    }
}

}  // namespace

void check_tables(PyObject* globals, PyObject* connection) {
    py::Ref rows = fetch_all(connection, "SELECT name FROM sqlite_master WHERE type = 'table'");
    if (PyList_GET_SIZE(rows.get()) == 0) return;  // a new database
    for (const char* table : {"jobs", "removed", "executions"}) {
        bool found = false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.get()) && !found; ++i) {
            PyObject* name = PyTuple_GET_ITEM(PyList_GET_ITEM(rows.get(), i), 0);
            found = PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, table) == 0;
        }
        if (found) continue;
        py::Ref error = sqlite3_class(globals, TARVEL_NAME("DatabaseError"));
        throw py::Error(error.get(), py::fstring("no such table: ", table).get());
    }
}

bool is_damage(PyObject* globals, const py::Error& error) {
    // a record whose text is not one, or not JSON
    if (error.matches(PyExc_TypeError) || error.matches(PyExc_ValueError)) return true;
    py::Ref database_error = sqlite3_class(globals, TARVEL_NAME("DatabaseError"));
    if (!error.matches(database_error.get())) return false;
    py::Ref programming = sqlite3_class(globals, TARVEL_NAME("ProgrammingError"));
    if (error.matches(programming.get())) return false;
    py::Ref code = attribute_or_none(error.value(), TARVEL_NAME("sqlite_errorcode"));
    if (!PyLong_Check(code.get())) return true;  // sqlite3's own: a text it cannot decode
    const long value = PyLong_AsLong(code.get());
    py::check(value == -1 && PyErr_Occurred());
    return damage_code(value);
}

void set_aside(PyObject* globals, PyObject* self, py::LoadProblems& problems) {
    try {
        py::Ref path = py::getattr(self, TARVEL_NAME("_storage_path"));
        // no save of this or another process writes while the files are copied and removed
        py::HeldLock lock(take_save_lock(globals, path.get()));
        // without its copy, the damaged database stays as it is, and so does the connection
        if (!problems.keep_copy(globals, "error", "scheduler state", kCompanions)) return;
        close_database(self);
        remove_files(path.get());
    } catch (py::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        log(globals, "error", py::fstring("Failed to set the damaged database aside: ", e.value()));
    }
}

void keep_database_copy(PyObject* globals, PyObject* self, py::LoadProblems& problems) {
    try {
        py::Ref path = py::getattr(self, TARVEL_NAME("_storage_path"));
        py::HeldLock lock(take_save_lock(globals, path.get()));
        problems.keep_copy(globals, "error", "scheduler state", kCompanions);
    } catch (py::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        log(globals, "error", py::fstring("Failed to keep a copy of the database: ", e.value()));
    }
}

}  // namespace tarvel::scheduler::db
