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
// The texts belong to the scheduler (glue/PyKeptTexts); a save that finds them in use (another
// thread's save, or a save started from code this one runs) takes the whole path too.
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/scheduler/PyScheduler.hpp"
#include "glue/PyJson.hpp"
#include "glue/PyJsonKept.hpp"
#include "glue/PyKeptTexts.hpp"

namespace tarvel::scheduler {

namespace {

// Records nested deeper than this are left to the whole path, whose recursion limits count the
// document's own two levels.
constexpr std::size_t kDeepestKept = 64;

using py::KeptText;
// Thrown (as an empty exception) when the save must take the whole path.
using py::WholePath;

// The kinds of record among a scheduler's kept texts.
constexpr std::size_t kJobs = 0, kExecutions = 1;

py::Ref global_or_whole(PyObject* globals, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(globals, name);
    if (value == nullptr) {
        if (PyErr_Occurred()) throw py::Error();
        throw WholePath{};
    }
    return py::Ref::borrow(value);
}

struct Classes {
    py::Ref job;
    py::Ref execution;
    py::Ref job_type;
    py::Ref job_state;
};

PyTypeObject* type_of(const py::Ref& cls) {
    return reinterpret_cast<PyTypeObject*>(cls.get());
}

py::Ref class_of(py::Ref obj) {
    if (!PyType_Check(obj.get())) throw WholePath{};
    return obj;
}

// One save's use of the kept texts: what they depend on besides the records' fields (the names
// to_dict and the record's layout read, the classes and their to_dict, and the local time zone),
// checked first; every kept text is dropped when any of it changed.
struct Save {
    PyObject* globals;
    PyObject* json;
    py::KeptTexts& texts;
    Classes classes;
    std::uint64_t number = 0;

    Save(PyObject* globals_, PyObject* json_, py::KeptTexts& texts_)
        : globals(globals_),
          json(json_),
          texts(texts_),
          classes{class_of(global_or_whole(globals_, TARVEL_NAME("ScheduledJob"))),
                  class_of(global_or_whole(globals_, TARVEL_NAME("JobExecution"))),
                  global_or_whole(globals_, TARVEL_NAME("JobType")),
                  global_or_whole(globals_, TARVEL_NAME("JobState"))} {
        py::Ref time = py::import("time");
        py::Ref zone = py::getattr(time.get(), TARVEL_NAME("tzname"));
        py::Ref round = py::global(globals, TARVEL_NAME("round"));
        std::vector<py::Ref> context{
            classes.job,
            classes.execution,
            classes.job_type,
            classes.job_state,
            py::Ref::borrow(py::type_lookup(type_of(classes.job), TARVEL_NAME("to_dict"))),
            py::Ref::borrow(py::type_lookup(type_of(classes.execution), TARVEL_NAME("to_dict"))),
            global_or_whole(globals, TARVEL_NAME("_format_timestamp")),
            global_or_whole(globals, TARVEL_NAME("datetime")),
            round,
            zone,
        };
        // A class changed since its version tag was given (or with none yet) may read its
        // fields through something other than the instance's __dict__.
        const unsigned int job_tag = type_of(classes.job)->tp_version_tag;
        const unsigned int execution_tag = type_of(classes.execution)->tp_version_tag;
        if (job_tag == 0 || execution_tag == 0) throw WholePath{};
        number = texts.begin(std::move(context), {job_tag, execution_tag});
    }

    bool immutable(PyObject* v) const {
        PyTypeObject* t = Py_TYPE(v);
        return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type ||
               t == &PyBool_Type || v == Py_None ||
               reinterpret_cast<PyObject*>(t) == classes.job_type.get() ||
               reinterpret_cast<PyObject*>(t) == classes.job_state.get();
    }
};

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

py::Ref instance_dict(PyObject* record, const py::Ref& cls) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(record)) != cls.get()) throw WholePath{};
    return py::Ref::steal(PyObject_GenericGetDict(record, nullptr));
}

// The kept text of `job`, written again when its values changed.
KeptText& job_text(Save& save, PyObject* job, std::size_t place) {
    py::Ref dict = instance_dict(job, save.classes.job);
    KeptText& kept = save.texts.records(kJobs).at(job, place, save.number);
    if (!kept.still_valid(dict.get(), save.json)) {
        kept.note(
            dict.get(), "metadata", [&](PyObject* v) { return save.immutable(v); }, save.json);
        const bool reusable = kept.reusable;
        kept.reusable = false;  // until the text is written
        py::Ref record = job_record(save.globals, job, false);
        // metadata that json.dumps refuses is reported by the whole path
        if (kept.nested_at >= 0 && !PyDict_Contains(record.get(), TARVEL_NAME("metadata")))
            throw WholePath{};
        kept.text = indented(py::dumps_indent2(save.json, record.get()).get());
        kept.reusable = reusable;
    }
    return kept;
}

std::string key_text_of(PyObject* json, PyObject* key) {
    if (!PyUnicode_CheckExact(key)) throw WholePath{};
    return std::string(ascii_of(py::dumps_indent2(json, key).get()));
}

KeptText& execution_text(Save& save, PyObject* execution, std::size_t place) {
    py::Ref dict = instance_dict(execution, save.classes.execution);
    KeptText& kept = save.texts.records(kExecutions).at(execution, place, save.number);
    if (!kept.still_valid(dict.get(), save.json)) {
        kept.note(
            dict.get(), "metadata", [&](PyObject* v) { return save.immutable(v); }, save.json);
        const bool reusable = kept.reusable && kept.nested_at < 0;
        kept.reusable = false;
        py::Ref record = py::call_method(execution, TARVEL_NAME("to_dict"));
        kept.text = indented(py::dumps_indent2(save.json, record.get()).get());
        kept.reusable = reusable;
    }
    return kept;
}

using JobText = std::pair<const std::string*, const KeptText*>;

py::Ref assemble(const std::vector<JobText>& jobs, const std::vector<KeptText*>& history) {
    return py::ascii_text([&](auto& out) {
        out.put("{\n  \"jobs\": ");
        py::put_items(out, "{", "}", 1, jobs, [](auto& o, const JobText& job) {
            o.put(*job.first);
            o.put(": ");
            o.put(job.second->text);
        });
        out.put(",\n  \"executions\": ");
        py::put_items(out, "[", "]", 1, history,
                      [](auto& o, const KeptText* k) { o.put(k->text); });
        out.put("\n}");
    });
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

// The jobs' kept texts of one save, in registry order.
struct JobTexts {
    std::vector<JobText> texts;
    std::vector<KeptText*> order;
    std::deque<std::string> other_keys;  // a job saved under a second key in this save
};

void collect_job_texts(Save& save, const std::vector<py::Ref>& held, JobTexts& jobs) {
    jobs.texts.reserve(held.size() / 2);
    jobs.order.reserve(held.size() / 2);
    for (std::size_t i = 0; i < held.size(); i += 2) {
        PyObject* name = held[i].get();
        KeptText& kept = job_text(save, held[i + 1].get(), jobs.texts.size());
        const std::string* shown = &kept.key_text;
        if (kept.key.get() != name) {
            if (kept.keyed == save.number) {
                shown = &jobs.other_keys.emplace_back(key_text_of(save.json, name));
            } else {
                kept.key_text = key_text_of(save.json, name);
                kept.key = py::Ref::borrow(name);
            }
        }
        kept.keyed = save.number;
        jobs.texts.emplace_back(shown, &kept);
        jobs.order.push_back(&kept);
    }
}

py::Ref kept_text(PyObject* globals, PyObject* self) {
    py::Ref json = global_or_whole(globals, TARVEL_NAME("json"));
    if (!py::dumps_is_native(json.get())) return {};
    // One save at a time uses the texts; another meanwhile (a thread, or code this one runs)
    // takes the whole path.
    py::KeptTextsInUse texts(self, TARVEL_NAME("_kept_texts"));
    if (!texts) return {};
    Save save(globals, json.get(), *texts);

    py::Ref registry = py::getattr(self, TARVEL_NAME("_jobs"));
    py::Ref executions = py::getattr(self, TARVEL_NAME("_executions"));
    if (!PyDict_CheckExact(registry.get()) || !PyList_CheckExact(executions.get())) return {};
    const std::vector<py::Ref> held = held_records(registry.get());
    const Py_ssize_t count = PyList_GET_SIZE(executions.get());
    const Py_ssize_t first = count > kSavedExecutions ? count - kSavedExecutions : 0;
    py::Ref tail = py::Ref::steal(PyList_GetSlice(executions.get(), first, count));

    JobTexts jobs;
    collect_job_texts(save, held, jobs);
    std::vector<KeptText*> history;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(tail.get()); ++i)
        history.push_back(&execution_text(save, PyList_GET_ITEM(tail.get(), i), history.size()));
    py::Ref text = assemble(jobs.texts, history);
    texts->records(kJobs).finish(std::move(jobs.order), save.number);
    texts->records(kExecutions).finish(std::move(history), save.number);
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
