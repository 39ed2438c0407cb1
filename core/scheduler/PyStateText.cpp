// core/scheduler/PyStateText.cpp: the state file's text from the records' texts kept between
// saves
//
// The state file is {"jobs": {name: job, ...}, "executions": [execution, ...]}: the registry's
// jobs under their names, and the last executions. The kept texts (glue/PyKeptTexts.hpp, whose
// header says when a text holds) keep each job's and each execution's text; this file says which
// records the document holds, what each is written from (a job's record with its metadata, an
// execution's to_dict) and which field values cannot change.
//
// Only records of the module's own classes, with their own to_dict and fields of the types those
// give, are kept; any other record, an error, a patched json or a patched name that the text
// depends on sends the save down the whole path, which does and reports everything as before.
#include <cstdint>
#include <utility>
#include <vector>

#include "core/scheduler/PyLoadedTexts.hpp"
#include "core/scheduler/PyScheduler.hpp"
#include "glue/PyJson.hpp"
#include "glue/PyJsonKept.hpp"
#include "glue/PyKeptTexts.hpp"

namespace tarvel::scheduler {

namespace {

using py::KeptText;
// Thrown (as an empty exception) when the save must take the whole path.
using py::WholePath;

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

// What a save's kept texts depend on besides the records' fields: the names to_dict and the
// record's layout read, the classes and their to_dict, and the local time zone. Every kept text is
// dropped when any of it changed.
struct Save {
    PyObject* globals;
    Classes classes;

    explicit Save(PyObject* globals_)
        : globals(globals_),
          classes{class_of(global_or_whole(globals_, TARVEL_NAME("ScheduledJob"))),
                  class_of(global_or_whole(globals_, TARVEL_NAME("JobExecution"))),
                  global_or_whole(globals_, TARVEL_NAME("JobType")),
                  global_or_whole(globals_, TARVEL_NAME("JobState"))} {}

    std::vector<py::Ref> context() const {
        py::Ref time = py::import("time");
        py::Ref zone = py::getattr(time.get(), TARVEL_NAME("tzname"));
        py::Ref round = py::global(globals, TARVEL_NAME("round"));
        return {
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
    }

    // The records' classes' version tags. A class changed since its version tag was given (or
    // with none yet) may read its fields through something other than the instance's __dict__.
    std::pair<unsigned int, unsigned int> tags() const {
        const unsigned int job_tag = type_of(classes.job)->tp_version_tag;
        const unsigned int execution_tag = type_of(classes.execution)->tp_version_tag;
        if (job_tag == 0 || execution_tag == 0) throw WholePath{};
        return {job_tag, execution_tag};
    }

    bool immutable(PyObject* v) const {
        PyTypeObject* t = Py_TYPE(v);
        return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type ||
               t == &PyBool_Type || v == Py_None ||
               reinterpret_cast<PyObject*>(t) == classes.job_type.get() ||
               reinterpret_cast<PyObject*>(t) == classes.job_state.get();
    }
};

// What json.dumps writes for `job`, whose fields `kept` has noted.
py::Ref job_value(const Save& save, PyObject* job, const KeptText& kept) {
    py::Ref record = job_record(save.globals, job, false);
    // metadata that json.dumps refuses is reported by the whole path
    if (kept.nested_at >= 0 && !PyDict_Contains(record.get(), TARVEL_NAME("metadata")))
        throw WholePath{};
    return record;
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

void add_jobs(const Save& save, const std::vector<py::Ref>& held, py::KeptItems& jobs) {
    const auto immutable = [&](PyObject* v) { return save.immutable(v); };
    // the texts a load left are told by the present fields
    LoadedJobCheck loaded(save.globals, save.classes.job_type.get(), save.classes.job_state.get());
    for (std::size_t i = 0; i < held.size(); i += 2) {
        PyObject* job = held[i + 1].get();
        py::Ref fields = py::record_fields(job, save.classes.job.get());
        jobs.add(
            held[i].get(), job, fields.get(), immutable,
            [&](const KeptText& kept) { return job_value(save, job, kept); },
            [&](std::string_view text, std::size_t depth) {
                return loaded(fields.get(), text, depth);
            });
    }
}

void add_executions(const Save& save, PyObject* tail, py::KeptItems& history) {
    const auto immutable = [&](PyObject* v) { return save.immutable(v); };
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(tail); ++i) {
        PyObject* execution = PyList_GET_ITEM(tail, i);
        py::Ref fields = py::record_fields(execution, save.classes.execution.get());
        history.add(execution, fields.get(), immutable, [&](const KeptText&) {
            return py::call_method(execution, TARVEL_NAME("to_dict"));
        });
    }
}

py::Ref kept_text(PyObject* globals, PyObject* self) {
    py::Ref json = global_or_whole(globals, TARVEL_NAME("json"));
    if (!py::dumps_is_native(json.get())) return {};
    // One save at a time uses the texts; another meanwhile (a thread, or code this one runs)
    // takes the whole path.
    py::KeptTextsInUse texts(self, TARVEL_NAME("_kept_texts"));
    if (!texts) return {};
    Save save(globals);
    std::vector<py::Ref> context = save.context();
    const auto [job_tag, execution_tag] = save.tags();
    py::KeptSave kept(*texts, json.get(), std::move(context), {job_tag, execution_tag});

    py::Ref registry = py::getattr(self, TARVEL_NAME("_jobs"));
    py::Ref executions = py::getattr(self, TARVEL_NAME("_executions"));
    if (!PyDict_CheckExact(registry.get()) || !PyList_CheckExact(executions.get())) return {};
    const std::vector<py::Ref> held = held_records(registry.get());
    const Py_ssize_t count = PyList_GET_SIZE(executions.get());
    const Py_ssize_t first = count > kSavedExecutions ? count - kSavedExecutions : 0;
    py::Ref tail = py::Ref::steal(PyList_GetSlice(executions.get(), first, count));

    py::KeptItems jobs(kept, kKeptJobs, py::KeptItems::kDict, 1, "metadata");
    add_jobs(save, held, jobs);
    // an execution given a metadata field is written again at every save
    py::KeptItems history(kept, kKeptExecutions, py::KeptItems::kList, 1, "metadata",
                          py::KeptItems::kWriteNested);
    add_executions(save, tail.get(), history);
    return kept.assemble({{R"("jobs")", &jobs}, {R"("executions")", &history}});
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
