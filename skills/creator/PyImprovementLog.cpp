// skills/creator/PyImprovementLog.cpp: the improvement log in memory and in improvement_log.json
// (which the creators of several processes share), and the statistics over it
#include <cstring>
#include <vector>

#include "glue/PyJsonRead.hpp"
#include "glue/PyLoadProblems.hpp"
#include "glue/PyLocks.hpp"
#include "glue/PyMethods.hpp"
#include "skills/creator/PyCreator.hpp"

namespace tarvel::creator {

namespace {

TARVEL_DECLARATIONS

py::Ref log_of(PyObject* self) {
    return py::getattr(self, TARVEL_NAME("_improvement_log"));
}

TARVEL_METHOD(SkillCreator, "_log_improvement", log_improvement_impl,
              "self, entry: ImprovementEntry", nullptr, "Add an entry to the improvement log.")
(const py::Frame&, PyObject* self, PyObject* entry) {
    py::call_method(log_of(self).get(), TARVEL_NAME("append"), entry);
    py::call_method(self, TARVEL_NAME("_save_improvement_log"));
    return py::none();
}

TARVEL_METHOD(SkillCreator, "log_learning", log_learning_impl,
              "self, skill_name: str, reason: str, details: dict | None = None", nullptr,
              "Log a learning event (e.g., skill worked well, or needs improvement).")
(const py::Frame& frame, PyObject* self, PyObject* skill_name, PyObject* reason,
 PyObject* details) {
    require_str(skill_name, "skill_name");
    require_str(reason, "reason");
    if (details != Py_None && !PyDict_CheckExact(details))
        py::wrong_type("details", "a dict or None", details);
    py::Ref kept = PyDict_CheckExact(details) && PyDict_GET_SIZE(details) > 0
                       ? py::Ref::borrow(details)
                       : py::Ref::steal(PyDict_New());
    py::Ref timestamp = local_time(frame.globals);
    log_improvement(frame.globals, self,
                    {{"timestamp", timestamp.get()},
                     {"action", py::str("learned").get()},
                     {"skill_name", skill_name},
                     {"reason", reason},
                     {"details", kept.get()}});
    return py::none();
}

py::Ref to_dicts(PyObject* entries) {
    py::Ref out = py::Ref::steal(PyList_New(0));
    py::Ref iter = py::Ref::steal(PyObject_GetIter(entries));
    while (py::Ref entry = py::Ref::steal_maybe(PyIter_Next(iter.get()))) {
        py::Ref d = py::call_method(entry.get(), TARVEL_NAME("to_dict"));
        py::check(PyList_Append(out.get(), d.get()) < 0);
    }
    py::check(PyErr_Occurred() != nullptr);
    return out;
}

TARVEL_METHOD(SkillCreator, "get_improvement_log", get_improvement_log_impl,
              "self, limit: int = 50", "list[dict]", "Get recent improvement log entries.")
(const py::Frame&, PyObject* self, PyObject* limit) {
    if (!PyLong_CheckExact(limit)) py::wrong_type("limit", "an int", limit);
    // log[-limit:]: the newest `limit` entries; all of them for 0.
    py::Ref start = py::Ref::steal(PyNumber_Negative(limit));
    py::Ref window = py::Ref::steal(PySlice_New(start.get(), Py_None, Py_None));
    py::Ref tail = py::Ref::steal(PyObject_GetItem(log_of(self).get(), window.get()));
    return to_dicts(tail.get());
}

// How many entries are "created", "updated", "deleted" and "learned", as == tells: each entry's
// action is read once, with getattr. An exact str equals at most one of the four words, all seven
// ASCII letters long; anything else is asked with == for each.
class ActionCounts {
  public:
    long long counts[4] = {0, 0, 0, 0};

    void count_all(PyObject* entries) {
        if (!PyList_CheckExact(entries)) {
            for (const py::Ref& entry : py::iterate(entries))
                count(entry.get());
            return;
        }
        // as a list's iterator walks it: the length is read again at every step; each entry is
        // held, as reading its action may run code
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries); ++i)
            count(py::Ref::borrow(PyList_GET_ITEM(entries, i)).get());
    }

  private:
    void count(PyObject* entry) {
        py::Ref action = py::getattr(entry, TARVEL_NAME("action"));
        if (PyUnicode_CheckExact(action.get())) return count_str(action.get());
        for (int i = 0; i < 4; ++i)
            counts[i] += py::compare(action.get(), words_[i], Py_EQ) ? 1 : 0;
    }

    void count_str(PyObject* a) {
        for (int i = 0; i < 4; ++i) {
            if (a == words_[i]) return void(++counts[i]);
        }
        if (!PyUnicode_IS_ASCII(a) || PyUnicode_GET_LENGTH(a) != 7) return;
        for (int i = 0; i < 4; ++i) {
            if (std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(words_[i]), 7) == 0)
                return void(++counts[i]);
        }
    }

    PyObject* const words_[4] = {TARVEL_NAME("created"), TARVEL_NAME("updated"),
                                 TARVEL_NAME("deleted"), TARVEL_NAME("learned")};
};

// list(set(s["category"] for s in skills))
py::Ref categories_of(PyObject* skills) {
    py::Ref categories = py::Ref::steal(PySet_New(nullptr));
    for (const py::Ref& skill : py::iterate(skills)) {
        py::Ref category = py::Ref::steal(PyObject_GetItem(skill.get(), TARVEL_NAME("category")));
        py::check(PySet_Add(categories.get(), category.get()) < 0);
    }
    return py::Ref::steal(PySequence_List(categories.get()));
}

TARVEL_METHOD(SkillCreator, "get_improvement_stats", get_improvement_stats_impl, "self", "dict",
              "Get statistics about self-improvement.")
(const py::Frame&, PyObject* self) {
    py::Ref entries = log_of(self);
    const Py_ssize_t total = PyObject_Length(entries.get());
    py::check(total < 0);
    ActionCounts actions;
    actions.count_all(entries.get());
    py::Ref skills = py::call_method(self, TARVEL_NAME("list_saved_skills"));
    const Py_ssize_t active = PyObject_Length(skills.get());
    py::check(active < 0);
    py::Ref categories = categories_of(skills.get());
    py::Ref stats = py::Ref::steal(PyDict_New());
    const auto put = [&](PyObject* key, long long value) {
        py::dict_set(stats.get(), key, py::integer(value).get());
    };
    put(TARVEL_NAME("total_improvements"), total);
    put(TARVEL_NAME("skills_created"), actions.counts[0]);
    put(TARVEL_NAME("skills_updated"), actions.counts[1]);
    put(TARVEL_NAME("skills_deleted"), actions.counts[2]);
    put(TARVEL_NAME("learnings_recorded"), actions.counts[3]);
    put(TARVEL_NAME("active_custom_skills"), active);
    py::dict_set(stats.get(), TARVEL_NAME("categories_covered"), categories.get());
    return stats;
}

// ImprovementEntry(**element), with the TypeError Python gives for a non-mapping.
py::Ref entry_from(PyObject* entry_class, PyObject* element) {
    py::Ref kwargs;
    if (PyDict_Check(element)) {
        kwargs = py::Ref::borrow(element);
    } else if (PyObject_HasAttr(element, TARVEL_NAME("keys"))) {
        kwargs = py::Ref::steal(PyDict_New());
        py::check(PyDict_Merge(kwargs.get(), element, 1) < 0);
    } else {
        py::Ref module = py::getattr(entry_class, TARVEL_NAME("__module__"));
        py::Ref qualname = py::getattr(entry_class, TARVEL_NAME("__qualname__"));
        py::Ref type_name = py::Ref::steal(PyType_GetName(Py_TYPE(element)));
        PyErr_Format(PyExc_TypeError, "%U.%U() argument after ** must be a mapping, not %U",
                     module.get(), qualname.get(), type_name.get());
        throw py::Error();
    }
    py::Ref no_args = py::Ref::steal(PyTuple_New(0));
    return py::Ref::steal(PyObject_Call(entry_class, no_args.get(), kwargs.get()));
}

void load_failure(PyObject* globals, const py::Error& e) {
    log(globals, "warning", py::fstring("Failed to load improvement log: ", e.value()));
}

// Builds an entry of each element of `elements` (the parsed log, or the part
// of it to be read) into `entries`. An element that cannot be built is
// skipped with a WARNING, and noted in `problems` when given as "entry <n> skipped: ..." (n its
// place in the file, from 1: the element's item of `positions` when given, else its place in
// `elements`); returns whether every element was built.
bool read_entries(PyObject* globals, PyObject* elements, PyObject* entries,
                  py::LoadProblems* problems = nullptr, PyObject* positions = nullptr) {
    bool complete = true;
    py::Ref entry_class = py::global(globals, TARVEL_NAME("ImprovementEntry"));
    py::Ref iter = py::Ref::steal(PyObject_GetIter(elements));
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref element = py::Ref::steal_maybe(PyIter_Next(iter.get()));
        if (!element) break;
        try {
            py::Ref entry = entry_from(entry_class.get(), element.get());
            py::check(PyList_Append(entries, entry.get()) < 0);
        } catch (py::Error& e) {
            if (!is_exception(e)) throw;
            load_failure(globals, e);
            complete = false;
            if (problems == nullptr) continue;
            py::Ref position = positions != nullptr && i < PyList_GET_SIZE(positions)
                                   ? py::Ref::borrow(PyList_GET_ITEM(positions, i))
                                   : py::integer(i + 1);
            problems->skipped(py::fstring("entry ", position), e);
        }
    }
    py::check(PyErr_Occurred() != nullptr);
    return complete;
}

// Notes in `problems` what went wrong in a read of the log that failed with `e` at `stage`, or
// (`e` null) that left entries out: for a file whose document is no list, that it is none, in
// place of the entries that could not be built of it.
void note_failure(py::LoadProblems& problems, py::LoadProblems::Stage stage, PyObject* text,
                  PyObject* data, const py::Error* e) {
    if (stage == py::LoadProblems::Stage::Document && data != nullptr && !PyList_Check(data)) {
        problems.shape("the top level", "a list", data);
    } else if (e != nullptr) {
        problems.failed(stage, text, *e);
    }
}

// --- the version of the file this creator knows ------------------------------------------------

// Notes the version of the log at `path` this creator last read or wrote, with
// its text (None when it has none).
void remember_file(PyObject* self, PyObject* path, PyObject* signature, PyObject* text) {
    py::Ref version = py::Ref::steal(PyTuple_Pack(3, path, signature, text));
    py::setattr(self, TARVEL_NAME("_log_file_version"), version.get());
}

// (path, signature, text) as remembered; null when this creator never read or
// wrote the log, or did for another path than the present one.
py::Ref version_seen(PyObject* self, PyObject* path) {
    py::Ref seen = py::Ref::steal_maybe(PyObject_GetAttr(self, TARVEL_NAME("_log_file_version")));
    if (!seen) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::Error();
        PyErr_Clear();
        return {};
    }
    if (!PyTuple_Check(seen.get()) || PyTuple_GET_SIZE(seen.get()) != 3) return {};
    if (!py::compare(PyTuple_GET_ITEM(seen.get(), 0), path, Py_EQ)) return {};
    return seen;
}

// A cheap key under which equal elements of the file meet: the timestamp,
// action, skill name and reason of an entry, or the repr of anything else.
py::Ref element_key(PyObject* element) {
    if (PyDict_Check(element)) {
        py::Ref key = py::Ref::steal(PyTuple_New(4));
        PyObject* const fields[] = {TARVEL_NAME("timestamp"), TARVEL_NAME("action"),
                                    TARVEL_NAME("skill_name"), TARVEL_NAME("reason")};
        for (Py_ssize_t i = 0; i < 4; ++i) {
            py::Ref value = py::dict_get(element, fields[i]);
            PyTuple_SET_ITEM(key.get(), i, (value ? value : py::none()).release());
        }
        if (PyObject_Hash(key.get()) != -1) return key;
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::Error();
        PyErr_Clear();  // a hand-edited member that cannot be hashed
    }
    return py::Ref::steal(PyObject_Repr(element));
}

// The elements of the text this creator last read or wrote, by
// element_key(): key -> list of elements. Empty when there is no such text or
// it cannot be parsed.
py::Ref known_elements(PyObject* globals, PyObject* text) {
    py::Ref known = py::Ref::steal(PyDict_New());
    if (!PyUnicode_Check(text)) return known;
    try {
        py::Ref json = py::global(globals, TARVEL_NAME("json"));
        py::Ref data = py::loads(json.get(), text);
        if (!PyList_Check(data.get())) return known;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(data.get()); ++i) {
            PyObject* element = PyList_GET_ITEM(data.get(), i);
            py::Ref key = element_key(element);
            py::Ref same = py::dict_get(known.get(), key.get());
            if (!same) {
                same = py::Ref::steal(PyList_New(0));
                py::dict_set(known.get(), key.get(), same.get());
            }
            py::check(PyList_Append(same.get(), element) < 0);
        }
    } catch (py::Error& e) {
        if (!is_exception(e)) throw;
        PyDict_Clear(known.get());
    }
    return known;
}

// The elements of `data` (the log as another process saved it) that are not
// among the `known` ones, in file order; their places in the file (from 1) go to `positions`.
// Each known element accounts for one equal element of the file: the same lesson logged twice
// is two entries.
py::Ref new_elements(PyObject* data, PyObject* known, PyObject* positions) {
    py::Ref fresh = py::Ref::steal(PyList_New(0));
    py::Ref iter = py::Ref::steal(PyObject_GetIter(data));
    for (long long place = 1;; ++place) {
        py::Ref element = py::Ref::steal_maybe(PyIter_Next(iter.get()));
        if (!element) break;
        py::Ref same = py::dict_get(known, element_key(element.get()).get());
        bool seen = false;
        for (Py_ssize_t i = 0; same && !seen && i < PyList_GET_SIZE(same.get()); ++i) {
            seen = py::compare(PyList_GET_ITEM(same.get(), i), element.get(), Py_EQ);
            if (seen) py::check(PyList_SetSlice(same.get(), i, i + 1, nullptr) < 0);
        }
        if (seen) continue;
        py::check(PyList_Append(fresh.get(), element.get()) < 0);
        py::check(PyList_Append(positions, py::integer(place).get()) < 0);
    }
    py::check(PyErr_Occurred() != nullptr);
    return fresh;
}

// How many elements of each key (element_key) the version this creator knows holds.
py::Ref known_counts(PyObject* known) {
    py::Ref counts = py::Ref::steal(PyDict_New());
    PyObject *key = nullptr, *same = nullptr;
    for (Py_ssize_t at = 0; PyDict_Next(known, &at, &key, &same);)
        py::dict_set(counts.get(), key, py::integer(PyList_GET_SIZE(same)).get());
    return counts;
}

// element_key() of an entry in memory, as its element in the file gives it; null when it has
// none that can be hashed.
py::Ref entry_key(PyObject* entry) {
    py::Ref key = py::Ref::steal(PyTuple_New(4));
    PyObject* const fields[] = {TARVEL_NAME("timestamp"), TARVEL_NAME("action"),
                                TARVEL_NAME("skill_name"), TARVEL_NAME("reason")};
    for (Py_ssize_t i = 0; i < 4; ++i) {
        py::Ref value = py::Ref::steal_maybe(PyObject_GetAttr(entry, fields[i]));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::Error();
            PyErr_Clear();
            return {};
        }
        PyTuple_SET_ITEM(key.get(), i, value.release());
    }
    if (PyObject_Hash(key.get()) != -1) return key;
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::Error();
    PyErr_Clear();
    return {};
}

// Which of the entries in memory (`mine`) this creator has not saved yet: those the version it
// knows does not account for (`counts`, from known_counts, taken down as entries are accounted
// for). The entries it saved reached the file before another process's new ones; its unsaved
// ones reach it after them.
std::vector<bool> unsaved_entries(PyObject* mine, PyObject* counts) {
    std::vector<bool> unsaved;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(mine); ++i) {
        py::Ref key = entry_key(PyList_GET_ITEM(mine, i));
        py::Ref left = key ? py::dict_get(counts, key.get()) : py::Ref();
        const long count = left ? PyLong_AsLong(left.get()) : 0;
        unsaved.push_back(count <= 0);
        if (count > 0) py::dict_set(counts, key.get(), py::integer(count - 1).get());
    }
    return unsaved;
}

// Whether another process's entry `theirs` goes before this creator's `mine`: their timestamps
// compared as text (the writers' "%Y-%m-%d %H:%M:%S" sorts by time), and on equal ones the
// order they reached the file in (before `mine` when that is not saved yet); never for other
// values.
bool logged_before(PyObject* theirs, PyObject* mine, bool mine_unsaved) {
    py::Ref first = py::getattr(theirs, TARVEL_NAME("timestamp"));
    py::Ref second = py::getattr(mine, TARVEL_NAME("timestamp"));
    if (!PyUnicode_CheckExact(first.get()) || !PyUnicode_CheckExact(second.get())) return false;
    const int order = PyUnicode_Compare(first.get(), second.get());
    return order < 0 || (order == 0 && mine_unsaved);
}

// The entries in memory with `theirs` merged in by time; each list keeps its own order. `counts`
// tells which of them this creator saved (see unsaved_entries).
void merge_entries(PyObject* self, PyObject* theirs, PyObject* counts) {
    py::Ref entries = log_of(self);
    py::Ref mine = py::Ref::steal(PySequence_List(entries.get()));
    const std::vector<bool> unsaved = unsaved_entries(mine.get(), counts);
    py::Ref merged = py::Ref::steal(PyList_New(0));
    const Py_ssize_t mine_count = PyList_GET_SIZE(mine.get());
    const Py_ssize_t their_count = PyList_GET_SIZE(theirs);
    Py_ssize_t i = 0, j = 0;
    while (i < mine_count || j < their_count) {
        const bool take_theirs =
            i == mine_count ||
            (j < their_count &&
             logged_before(PyList_GET_ITEM(theirs, j), PyList_GET_ITEM(mine.get(), i),
                           unsaved[static_cast<std::size_t>(i)]));
        PyObject* next =
            take_theirs ? PyList_GET_ITEM(theirs, j++) : PyList_GET_ITEM(mine.get(), i++);
        py::check(PyList_Append(merged.get(), next) < 0);
    }
    // In place, so whoever holds the list sees the other process's entries too.
    if (PyList_CheckExact(entries.get())) {
        py::check(PyList_SetSlice(entries.get(), 0, PY_SSIZE_T_MAX, merged.get()) < 0);
    } else {
        py::setattr(self, TARVEL_NAME("_improvement_log"), merged.get());
    }
}

// Reads the log as another process saved it and merges that process's new
// entries (those not in the version `seen`) into the entries in memory. What the read finds
// wrong is logged and noted in `problems`.
void merge_changed_file(PyObject* globals, PyObject* self, PyObject* path, PyObject* seen,
                        PyObject* signature, py::LoadProblems& problems) {
    py::Ref text;
    try {
        text = py::read_text(path);
    } catch (py::Error& e) {
        if (!is_exception(e)) throw;
        load_failure(globals, e);
        problems.failed(py::LoadProblems::Stage::Read, nullptr, e);
        remember_file(self, path, signature, Py_None);
        return;
    }
    // From here on this version is the one known, whether or not the write succeeds.
    remember_file(self, path, signature, text.get());
    py::Ref json = py::global(globals, TARVEL_NAME("json"));
    py::Ref theirs = py::Ref::steal(PyList_New(0));
    py::Ref counts = py::Ref::steal(PyDict_New());
    bool complete = true;
    auto stage = py::LoadProblems::Stage::Parse;
    py::Ref data;
    try {
        data = py::loads(json.get(), text.get());
        stage = py::LoadProblems::Stage::Document;
        py::Ref known = known_elements(globals, PyTuple_GET_ITEM(seen, 2));
        counts = known_counts(known.get());  // before new_elements takes the found ones out
        py::Ref positions = py::Ref::steal(PyList_New(0));
        py::Ref fresh = new_elements(data.get(), known.get(), positions.get());
        const bool listed = PyList_Check(data.get());
        complete = read_entries(globals, fresh.get(), theirs.get(), listed ? &problems : nullptr,
                                positions.get());
        if (!complete) note_failure(problems, stage, text.get(), data.get(), nullptr);
    } catch (py::Error& e) {
        if (!is_exception(e)) throw;
        load_failure(globals, e);
        note_failure(problems, stage, text.get(), data.get(), &e);
        complete = false;
    }
    if (!complete) problems.keep_copy(globals, "warning", "improvement log");
    if (PyList_GET_SIZE(theirs.get()) > 0) merge_entries(self, theirs.get(), counts.get());
}

// When another process saved the log since this creator last read or wrote
// it, keeps that process's new entries: they join the entries in memory, in
// time order. Runs under the log's lock, just before a save. What the read finds wrong joins
// load_problems: the log was damaged after this creator loaded it.
void merge_from_file(PyObject* globals, PyObject* self, PyObject* path) {
    py::LoadProblems problems(path);
    try {
        py::Ref seen = version_seen(self, path);
        if (!seen) return;
        py::Ref signature = py::file_signature(path);
        if (PyTuple_GET_SIZE(signature.get()) == 0 ||
            py::compare(signature.get(), PyTuple_GET_ITEM(seen.get(), 1), Py_EQ)) {
            return;  // no file, or the one this creator knows
        }
        merge_changed_file(globals, self, path, seen.get(), signature.get(), problems);
    } catch (py::Error& e) {
        if (!is_exception(e)) throw;
        load_failure(globals, e);
    }
    problems.append_to(self);
}

// Reads the log at `path` into the creator's _improvement_log; false when an entry was skipped.
// `stage`, `text` and `data` tell how far it came, for the sentence of a failure.
bool read_log(PyObject* globals, PyObject* self, PyObject* path, PyObject* signature,
              py::LoadProblems& problems, py::LoadProblems::Stage& stage, py::Ref& text,
              py::Ref& data) {
    text = py::read_text(path);
    remember_file(self, path, signature, text.get());
    py::Ref json = py::global(globals, TARVEL_NAME("json"));
    stage = py::LoadProblems::Stage::Parse;
    data = py::loads(json.get(), text.get());
    stage = py::LoadProblems::Stage::Document;
    py::Ref entries = py::Ref::steal(PyList_New(0));
    // An element that cannot be built is skipped; the others are kept.
    const bool listed = PyList_Check(data.get());
    const bool complete =
        read_entries(globals, data.get(), entries.get(), listed ? &problems : nullptr);
    py::setattr(self, TARVEL_NAME("_improvement_log"), entries.get());
    if (!complete) note_failure(problems, stage, text.get(), data.get(), nullptr);
    return complete;
}

TARVEL_METHOD(SkillCreator, "_load_improvement_log", load_impl, "self", nullptr,
              "Load the improvement log from disk.")
(const py::Frame& frame, PyObject* self) {
    PyObject* globals = frame.globals;
    py::Ref path = py::global(globals, TARVEL_NAME("IMPROVEMENT_LOG"));
    // What this load finds wrong, for a program to see; empty while the log loads whole.
    py::LoadProblems problems(path.get());
    py::setattr(self, TARVEL_NAME("load_problems"), problems.list());
    if (!py::exists(path.get())) {
        remember_file(self, path.get(), py::file_signature(path.get()).get(), Py_None);
        return py::none();
    }
    bool complete = true;
    auto stage = py::LoadProblems::Stage::Read;
    py::Ref text, data;
    // A file that cannot be parsed while another process holds the log's lock is being written
    // in place: it is read again once that save is done.
    for (bool first = true;; first = false) {
        stage = py::LoadProblems::Stage::Read;
        text = data = py::Ref();
        // The signature first: a save of another process between the two makes
        // the next save merge once more, never miss that process's entries.
        py::Ref signature = py::file_signature(path.get());
        remember_file(self, path.get(), signature.get(), Py_None);
        try {
            complete =
                read_log(globals, self, path.get(), signature.get(), problems, stage, text, data);
            break;
        } catch (py::Error& e) {
            if (!is_exception(e)) throw;
            if (first && stage == py::LoadProblems::Stage::Parse &&
                py::waited_for_holder(globals, path.get(), ".lock")) {
                continue;
            }
            load_failure(globals, e);
            py::setattr(self, TARVEL_NAME("_improvement_log"), py::Ref::steal(PyList_New(0)).get());
            note_failure(problems, stage, text.get(), data.get(), &e);
            complete = false;
            break;
        }
    }
    if (!complete) problems.keep_copy(globals, "warning", "improvement log");
    return py::none();
}

// The records JSON can encode, in order; the others are counted in `left_out`.
py::Ref encodable_records(PyObject* globals, PyObject* records, Py_ssize_t& left_out) {
    py::Ref kept = py::Ref::steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(records); ++i) {
        PyObject* record = PyList_GET_ITEM(records, i);
        try {
            json_text(globals, record);
            py::check(PyList_Append(kept.get(), record) < 0);
        } catch (py::Error& e) {
            if (!is_exception(e)) throw;
            ++left_out;
        }
    }
    return kept;
}

// The text of the log's records; one that JSON cannot encode is left out and counted.
py::Ref whole_text(PyObject* globals, PyObject* records, Py_ssize_t& left_out) {
    try {
        return json_text(globals, records);
    } catch (py::Error& e) {
        if (!is_exception(e)) throw;
        // An entry JSON cannot encode (a set among its details) stays in
        // memory, but never keeps the other entries from the file.
        log(globals, "warning", py::fstring("Failed to save improvement log: ", e.value()));
        py::Ref kept = encodable_records(globals, records, left_out);
        return json_text(globals, kept.get());
    }
}

// Merges what another process saved meanwhile, then writes the log whole.
void save_under_lock(PyObject* globals, PyObject* self, PyObject* path) {
    merge_from_file(globals, self, path);
    Py_ssize_t left_out = 0;
    py::Ref text = log_text_from_kept(globals, self, log_of(self).get());
    if (!text) {
        py::Ref records = to_dicts(log_of(self).get());
        text = whole_text(globals, records.get(), left_out);
    }
    py::replace_file(globals, path, text.get());
    remember_file(self, path, py::file_signature(path).get(), text.get());
    if (left_out > 0) {
        log(globals, "warning",
            py::fstring("Saved the improvement log without ", py::integer(left_out),
                        left_out == 1 ? " entry" : " entries", " that JSON cannot encode"));
    }
}

TARVEL_METHOD(SkillCreator, "_save_improvement_log", save_impl, "self", nullptr,
              "Save the improvement log to disk.")
(const py::Frame& frame, PyObject* self) {
    PyObject* globals = frame.globals;
    try {
        py::Ref path = py::global(globals, TARVEL_NAME("IMPROVEMENT_LOG"));
        py::make_dirs(py::parent_of(path.get()).get());
        // Creators of other processes save the same file: one read-merge-write at a time.
        py::HeldLock lock(py::lock_beside(globals, path.get(), ".lock"));
        save_under_lock(globals, self, path.get());
    } catch (py::Error& e) {
        if (!is_exception(e)) throw;
        log(globals, "warning", py::fstring("Failed to save improvement log: ", e.value()));
    }
    return py::none();
}

}  // namespace

void add_log_methods(PyObject* module, py::Members& members) {
    declarations().add_to(module, "SkillCreator", members);
}

}  // namespace tarvel::creator
