// core/scheduler/PyStateText.cpp: the state file's text built from the records' texts kept
// between saves
//
// json.dumps(document, indent=2) writes each record of the document as it writes the record
// alone, with its lines indented to the record's depth (ensure_ascii leaves no newline inside a
// string). So each job's and each execution's text is kept with the values it was written from,
// and a save encodes again only the records whose values are no longer those: the same objects
// (which, for the immutable types a record of the module's own holds, means the same values), and
// for `metadata`, which can change in place, the same encoded text.
//
// Only records of the module's own classes, with their own to_dict and fields of the types those
// give, are kept; any other record, an error, a patched json or a patched name that the text
// depends on sends the save down the whole path, which does and reports everything as before.
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/scheduler/PyScheduler.hpp"
#include "glue/PyJson.hpp"
#include "glue/PyJsonKept.hpp"

namespace tarvel::scheduler {

namespace {

// Records nested deeper than this are left to the whole path, whose recursion limits count the
// document's own two levels.
constexpr std::size_t kDeepestKept = 64;

// The text of one record, with what it was written from.
struct Kept : py::KeptFields {
    std::string text;           // the record, indented for its place in the document
    py::Ref key;                // jobs: the registry key the record was last saved under ...
    std::string key_text;       // ... and its text
    PyObject* owner = nullptr;  // the record object (not held: the fields decide)
    std::uint64_t used = 0;     // the last save that wrote the record ...
    std::uint64_t keyed = 0;    // ... and that gave it `key`
};

struct Cache {
    std::vector<PyObject*> context;  // what the texts depend on, compared by identity
    std::vector<py::Ref> held;       // the references behind `context`
    unsigned int job_tag = 0;
    unsigned int execution_tag = 0;
    std::unordered_map<PyObject*, Kept> jobs;
    std::unordered_map<PyObject*, Kept> executions;
    // The records of the last save in its order: most are found again at the same place.
    std::vector<Kept*> job_order;
    std::vector<Kept*> execution_order;
    std::uint64_t generation = 0;

    void clear() {
        jobs.clear();
        executions.clear();
        job_order.clear();
        execution_order.clear();
    }
};

// Kept for the life of the process, and never destroyed: its references outlive no interpreter.
Cache& cache() {
    static Cache* const c = new Cache;
    return *c;
}

// Thrown (as an empty exception) when the save must take the whole path.
using py::WholePath;

PyObject* global_or_null(PyObject* globals, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(globals, name);
    if (value == nullptr) {
        if (PyErr_Occurred()) throw py::Error();
        throw WholePath{};
    }
    return value;
}

struct Classes {
    PyTypeObject* job;
    PyTypeObject* execution;
    PyObject* job_type;
    PyObject* job_state;
};

PyTypeObject* class_of(PyObject* obj) {
    if (!PyType_Check(obj)) throw WholePath{};
    return reinterpret_cast<PyTypeObject*>(obj);
}

// Checks what the texts depend on besides the records' fields, dropping every kept text when any
// of it changed: the names to_dict and the record's layout read, the classes and their to_dict,
// and the local time zone.
Classes check_context(PyObject* globals) {
    Cache& c = cache();
    Classes classes{class_of(global_or_null(globals, TARVEL_NAME("ScheduledJob"))),
                    class_of(global_or_null(globals, TARVEL_NAME("JobExecution"))),
                    global_or_null(globals, TARVEL_NAME("JobType")),
                    global_or_null(globals, TARVEL_NAME("JobState"))};
    py::Ref time = py::import("time");
    py::Ref zone = py::getattr(time.get(), TARVEL_NAME("tzname"));
    py::Ref round = py::global(globals, TARVEL_NAME("round"));
    std::vector<py::Ref> held{
        py::Ref::borrow(reinterpret_cast<PyObject*>(classes.job)),
        py::Ref::borrow(reinterpret_cast<PyObject*>(classes.execution)),
        py::Ref::borrow(classes.job_type),
        py::Ref::borrow(classes.job_state),
        py::Ref::borrow(py::type_lookup(classes.job, TARVEL_NAME("to_dict"))),
        py::Ref::borrow(py::type_lookup(classes.execution, TARVEL_NAME("to_dict"))),
        py::Ref::borrow(global_or_null(globals, TARVEL_NAME("_format_timestamp"))),
        py::Ref::borrow(global_or_null(globals, TARVEL_NAME("datetime"))),
        round,
        zone,
    };
    // A class changed since its version tag was given (or with none yet) may read its fields
    // through something other than the instance's __dict__.
    const unsigned int job_tag = classes.job->tp_version_tag;
    const unsigned int execution_tag = classes.execution->tp_version_tag;
    if (job_tag == 0 || execution_tag == 0) throw WholePath{};
    bool same =
        c.job_tag == job_tag && c.execution_tag == execution_tag && c.context.size() == held.size();
    for (std::size_t i = 0; same && i < held.size(); ++i)
        same = c.context[i] == held[i].get();
    if (!same) {
        c.clear();
        c.context.clear();
        for (const py::Ref& r : held)
            c.context.push_back(r.get());
        c.held = std::move(held);
        c.job_tag = job_tag;
        c.execution_tag = execution_tag;
    }
    return classes;
}

std::string_view ascii_of(PyObject* text) {
    const auto t = py::ascii_view(text);
    if (!t) throw WholePath{};
    return *t;
}

// A record's text at its place in the document; too deep a record takes the whole path.
std::string indented(PyObject* text) {
    auto out = py::indented(text, 4, 2 * kDeepestKept);
    if (!out) throw WholePath{};
    return std::move(*out);
}

bool immutable(PyObject* v, const Classes& classes) {
    PyTypeObject* t = Py_TYPE(v);
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type ||
           v == Py_None || reinterpret_cast<PyObject*>(t) == classes.job_type ||
           reinterpret_cast<PyObject*>(t) == classes.job_state;
}

py::Ref instance_dict(PyObject* record, PyTypeObject* cls) {
    if (Py_TYPE(record) != cls) throw WholePath{};
    return py::Ref::steal(PyObject_GenericGetDict(record, nullptr));
}

// The kept text of `record`, at `place` in the last save's `order` or else in `map`.
Kept& kept_of(std::unordered_map<PyObject*, Kept>& map, const std::vector<Kept*>& order,
              std::size_t place, PyObject* record) {
    if (place < order.size() && order[place]->owner == record) return *order[place];
    Kept& kept = map[record];
    kept.owner = record;
    return kept;
}

// The kept text of `job`, written again when its values changed.
Kept& job_text(PyObject* globals, PyObject* json, const Classes& classes, PyObject* job,
               std::size_t place) {
    Cache& c = cache();
    py::Ref dict = instance_dict(job, classes.job);
    Kept& kept = kept_of(c.jobs, c.job_order, place, job);
    kept.used = c.generation;
    if (!kept.still_valid(dict.get(), json)) {
        kept.note(dict.get(), "metadata", [&](PyObject* v) { return immutable(v, classes); }, json);
        const bool reusable = kept.reusable;
        kept.reusable = false;  // until the text is written
        py::Ref record = job_record(globals, job, false);
        // metadata that json.dumps refuses is reported by the whole path
        if (kept.nested_at >= 0 && !PyDict_Contains(record.get(), TARVEL_NAME("metadata")))
            throw WholePath{};
        kept.text = indented(py::dumps_indent2(json, record.get()).get());
        kept.reusable = reusable;
    }
    return kept;
}

std::string key_text_of(PyObject* json, PyObject* key) {
    if (!PyUnicode_CheckExact(key)) throw WholePath{};
    return std::string(ascii_of(py::dumps_indent2(json, key).get()));
}

Kept& execution_text(PyObject* json, const Classes& classes, PyObject* execution,
                     std::size_t place) {
    Cache& c = cache();
    py::Ref dict = instance_dict(execution, classes.execution);
    Kept& kept = kept_of(c.executions, c.execution_order, place, execution);
    kept.used = c.generation;
    if (!kept.still_valid(dict.get(), json)) {
        kept.note(dict.get(), "metadata", [&](PyObject* v) { return immutable(v, classes); }, json);
        const bool reusable = kept.reusable && kept.nested_at < 0;
        kept.reusable = false;
        py::Ref record = py::call_method(execution, TARVEL_NAME("to_dict"));
        kept.text = indented(py::dumps_indent2(json, record.get()).get());
        kept.reusable = reusable;
    }
    return kept;
}

// Drops the texts of records no save has used lately.
template <class Map>
void prune(Map& map, std::size_t live) {
    if (map.size() <= 2 * live + 256) return;
    const std::uint64_t now = cache().generation;
    std::erase_if(map, [now](const auto& item) { return item.second.used != now; });
}

using JobText = std::pair<const std::string*, const Kept*>;

// Appends to a buffer of known size: the text is written straight into the str.
struct Out {
    char* at;
    void put(std::string_view t) {
        std::memcpy(at, t.data(), t.size());
        at += t.size();
    }
};

py::Ref assemble(const std::vector<JobText>& jobs, const std::vector<const Kept*>& history) {
    using namespace std::string_view_literals;
    constexpr std::string_view head = "{\n  \"jobs\": "sv, middle = ",\n  \"executions\": "sv;
    constexpr std::string_view first = "\n    "sv, next = ",\n    "sv;
    constexpr std::string_view close_jobs = "\n  }"sv, close_history = "\n  ]"sv;
    std::size_t size = head.size() + middle.size() + 2 + 2 + 2;  // brackets and the last "\n}"
    for (const auto& [key, k] : jobs)
        size += next.size() + key->size() + 2 + k->text.size();
    for (const Kept* k : history)
        size += next.size() + k->text.size();
    if (!jobs.empty()) size += close_jobs.size() - 1;
    if (!history.empty()) size += close_history.size() - 1;
    if (!jobs.empty()) size -= 1;  // the first item has no ","
    if (!history.empty()) size -= 1;
    py::Ref text = py::Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(size), 127));
    Out out{reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get()))};
    out.put(head);
    if (jobs.empty()) {
        out.put("{}");
    } else {
        out.put("{");
        for (std::size_t i = 0; i < jobs.size(); ++i) {
            out.put(i == 0 ? first : next);
            out.put(*jobs[i].first);
            out.put(": ");
            out.put(jobs[i].second->text);
        }
        out.put(close_jobs);
    }
    out.put(middle);
    if (history.empty()) {
        out.put("[]");
    } else {
        out.put("[");
        for (std::size_t i = 0; i < history.size(); ++i) {
            out.put(i == 0 ? first : next);
            out.put(history[i]->text);
        }
        out.put(close_history);
    }
    out.put("\n}");
    if (out.at != reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get())) + size)
        throw py::Error(PyExc_SystemError, "state file text of unexpected size");
    return text;
}

// The registry's keys and jobs, in turn, held in case writing one changes the registry.
std::vector<py::Ref> held_records(PyObject* registry) {
    std::vector<py::Ref> held;
    held.reserve(2 * static_cast<std::size_t>(PyDict_GET_SIZE(registry)));
    Py_ssize_t pos = 0;
    PyObject *key, *job;
    while (PyDict_Next(registry, &pos, &key, &job)) {
        held.push_back(py::Ref::borrow(key));
        held.push_back(py::Ref::borrow(job));
    }
    return held;
}

// The jobs' kept texts of one save, in registry order. Kept texts stay where they are:
// unordered_map keeps its elements in place while it grows.
struct JobTexts {
    std::vector<JobText> texts;
    std::vector<Kept*> order;
    std::deque<std::string> other_keys;  // a job saved under a second key in this save
};

void collect_job_texts(PyObject* globals, PyObject* json, const Classes& classes,
                       const std::vector<py::Ref>& held, JobTexts& jobs) {
    Cache& c = cache();
    jobs.texts.reserve(held.size() / 2);
    jobs.order.reserve(held.size() / 2);
    for (std::size_t i = 0; i < held.size(); i += 2) {
        PyObject* name = held[i].get();
        Kept& kept = job_text(globals, json, classes, held[i + 1].get(), jobs.texts.size());
        const std::string* shown = &kept.key_text;
        if (kept.key.get() != name) {
            if (kept.keyed == c.generation) {
                shown = &jobs.other_keys.emplace_back(key_text_of(json, name));
            } else {
                kept.key_text = key_text_of(json, name);
                kept.key = py::Ref::borrow(name);
            }
        }
        kept.keyed = c.generation;
        jobs.texts.emplace_back(shown, &kept);
        jobs.order.push_back(&kept);
    }
}

py::Ref kept_text(PyObject* globals, PyObject* self) {
    PyObject* json = global_or_null(globals, TARVEL_NAME("json"));
    if (!py::dumps_is_native(json)) return {};
    const Classes classes = check_context(globals);
    Cache& c = cache();
    ++c.generation;

    py::Ref registry = py::getattr(self, TARVEL_NAME("_jobs"));
    py::Ref executions = py::getattr(self, TARVEL_NAME("_executions"));
    if (!PyDict_CheckExact(registry.get()) || !PyList_CheckExact(executions.get())) return {};
    const std::vector<py::Ref> held = held_records(registry.get());
    const Py_ssize_t count = PyList_GET_SIZE(executions.get());
    const Py_ssize_t first = count > kSavedExecutions ? count - kSavedExecutions : 0;
    py::Ref tail = py::Ref::steal(PyList_GetSlice(executions.get(), first, count));

    JobTexts jobs;
    collect_job_texts(globals, json, classes, held, jobs);
    std::vector<const Kept*> history;
    std::vector<Kept*> execution_order;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(tail.get()); ++i) {
        Kept& kept = execution_text(json, classes, PyList_GET_ITEM(tail.get(), i), history.size());
        history.push_back(&kept);
        execution_order.push_back(&kept);
    }
    py::Ref text = assemble(jobs.texts, history);
    c.job_order.clear();  // before pruning, which may drop what they point to
    c.execution_order.clear();
    prune(c.jobs, jobs.texts.size());
    prune(c.executions, history.size());
    c.job_order = std::move(jobs.order);
    c.execution_order = std::move(execution_order);
    return text;
}

}  // namespace

py::Ref state_text_from_kept(PyObject* globals, PyObject* self) {
    try {
        return kept_text(globals, self);
    } catch (WholePath&) {
        return {};
    } catch (py::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return {};
    }
}

}  // namespace tarvel::scheduler
