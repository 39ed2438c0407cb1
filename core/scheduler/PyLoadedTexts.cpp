// core/scheduler/PyLoadedTexts.cpp: the texts of the records a load built, kept for the next save
//
// A load hands over where each job's text lies in the file's text; they stay views into that
// text (which the scheduler remembers anyway as the base of its merges) until the next save, which
// keeps a text only where it is exactly what it would write for the job at its place
// (LoadedJobCheck): a file from another program, another time zone or a hand's edit is written
// again where it differs. Executions (at most the last hundred) are written again at that save.
#include "core/scheduler/PyLoadedTexts.hpp"

#include <cstdint>
#include <limits>

#include "core/scheduler/PyScheduler.hpp"
#include "glue/PyFunction.hpp"
#include "glue/PyJsonMatch.hpp"
#include "glue/PyKeptTexts.hpp"
#include "glue/PyModule.hpp"

namespace tarvel::scheduler {

namespace {

// The text of a record within `document` from `begin` to `end` (its "{" to its "}"), where
// `end` is that "}" (as a load gives it) or the position after it.
std::optional<std::pair<std::size_t, std::size_t>> record_range(std::string_view document,
                                                                std::size_t begin,
                                                                std::size_t end) {
    if (begin >= document.size() || end > document.size() || end <= begin ||
        document[begin] != '{') {
        return std::nullopt;
    }
    if (end < document.size() && document[end] == '}') return std::pair{begin, end + 1 - begin};
    if (document[end - 1] == '}') return std::pair{begin, end - begin};
    return std::nullopt;
}

}  // namespace

void keep_loaded_texts(PyObject* /*globals*/, PyObject* self, PyObject* text,
                       const std::vector<LoadedRecord>& jobs,
                       const std::vector<LoadedRecord>& /*executions*/) {
    const auto document = py::ascii_view(text);
    if (!document || document->size() > std::numeric_limits<std::uint32_t>::max()) return;
    std::vector<py::LoadedText> loaded;
    loaded.reserve(jobs.size());
    for (const LoadedRecord& job : jobs) {
        const auto range = record_range(*document, job.begin, job.end);
        if (!range || job.record == nullptr) continue;
        loaded.push_back({job.record, static_cast<std::uint32_t>(range->first),
                          static_cast<std::uint32_t>(range->second)});
    }
    try {
        // One save or load at a time uses the texts; another meanwhile keeps none.
        py::KeptTextsInUse texts(self, TARVEL_NAME("_kept_texts"));
        if (texts) texts->load(py::Ref::borrow(text), kKeptJobs, std::move(loaded));
    } catch (py::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;  // the next save writes every record
    }
}

void LoadedJobCheck::prepare() {
    prepared_ = true;
    for (PyObject* cls : {job_type_, job_state_}) {
        for (const py::Ref& member : py::iterate(cls))
            values_.emplace_back(member, py::getattr(member.get(), TARVEL_NAME("value")));
    }
}

PyObject* LoadedJobCheck::value_of(PyObject* member) const {
    for (const auto& [known, value] : values_) {
        if (known.get() == member) return value.get();
    }
    return nullptr;
}

namespace {

// A job's text read against its fields, member by member, in the order to_dict writes them.
struct JobText {
    py::JsonMatch match;
    PyObject* fields;
    std::size_t depth;
    bool first = true;

    PyObject* field(PyObject* name) {
        PyObject* value = PyDict_GetItemWithError(fields, name);
        if (value == nullptr) PyErr_Clear();
        return value;
    }
    bool member(const char* key) { return match.member(key, depth, std::exchange(first, false)); }
    // A field written as it is.
    bool plain(const char* key, PyObject* name) {
        PyObject* value = field(name);
        return value != nullptr && member(key) && match.value(value, depth + 1);
    }
    // A field written as `value_of` its value (an enumeration's member), when it has one.
    template <class ValueOf>
    bool enumerated(const char* key, PyObject* name, const ValueOf& value_of) {
        PyObject* value = field(name);
        PyObject* shown = value != nullptr ? value_of(value) : nullptr;
        return shown != nullptr && member(key) && match.value(shown, depth + 1);
    }
    // A time field's human text: `otherwise` for 0, else the local time.
    bool human(PyObject* globals, const char* key, PyObject* name, std::string_view otherwise) {
        PyObject* ts = field(name);
        if (ts == nullptr || (!PyFloat_CheckExact(ts) && !PyLong_CheckExact(ts))) return false;
        if (!member(key) || !match.literal("\"")) return false;
        const int truth = PyObject_IsTrue(ts);  // a number's: no Python code
        if (truth == 0) return match.literal(otherwise) && match.literal("\"");
        const auto shown = timestamp_text(globals, ts);
        return truth > 0 && shown && match.literal(*shown) && match.literal("\"");
    }
};

}  // namespace

bool LoadedJobCheck::operator()(PyObject* fields, std::string_view text, std::size_t depth) {
    // Python code runs here only, before the job's fields are read.
    if (!prepared_) prepare();
    JobText job{py::JsonMatch(text), fields, depth};
    PyObject* prompt = job.field(TARVEL_NAME("prompt"));
    PyObject* metadata = job.field(TARVEL_NAME("metadata"));
    if (prompt == nullptr || !PyUnicode_CheckExact(prompt) || metadata == nullptr ||
        !PyDict_CheckExact(metadata)) {
        return false;
    }
    const auto value_of = [&](PyObject* member) { return this->value_of(member); };
    // to_dict's members, its prompt replaced by the whole prompt, then the metadata
    return job.match.literal("{") && job.plain(R"("id")", TARVEL_NAME("id")) &&
           job.plain(R"("name")", TARVEL_NAME("name")) &&
           job.plain(R"("description")", TARVEL_NAME("description")) &&
           job.enumerated(R"("job_type")", TARVEL_NAME("job_type"), value_of) &&
           job.plain(R"("schedule")", TARVEL_NAME("schedule")) &&
           job.plain(R"("interval_seconds")", TARVEL_NAME("interval_seconds")) &&
           job.plain(R"("prompt")", TARVEL_NAME("prompt")) &&
           job.plain(R"("model_key")", TARVEL_NAME("model_key")) &&
           job.plain(R"("spawn_worker")", TARVEL_NAME("spawn_worker")) &&
           job.enumerated(R"("state")", TARVEL_NAME("state"), value_of) &&
           job.plain(R"("created_at")", TARVEL_NAME("created_at")) &&
           job.plain(R"("last_run")", TARVEL_NAME("last_run")) &&
           job.plain(R"("next_run")", TARVEL_NAME("next_run")) &&
           job.plain(R"("run_count")", TARVEL_NAME("run_count")) &&
           job.plain(R"("max_runs")", TARVEL_NAME("max_runs")) &&
           job.human(globals_, R"("next_run_human")", TARVEL_NAME("next_run"), "Not scheduled") &&
           job.human(globals_, R"("last_run_human")", TARVEL_NAME("last_run"), "Never") &&
           job.plain(R"("metadata")", TARVEL_NAME("metadata")) && job.match.close('}', depth) &&
           job.match.done();
}

#ifdef TARVEL_TEST_HOOKS
namespace {

// _keep_loaded_texts(scheduler, text, jobs): keep_loaded_texts with `jobs` as (key, job, begin,
// end) tuples, as a native load hands them over.
py::Ref keep_hook(const py::Frame& frame, PyObject* self, PyObject* text, PyObject* jobs) {
    const py::Ref list = py::Ref::steal(PySequence_List(jobs));
    std::vector<LoadedRecord> records;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(list.get(), i);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 4)
            throw py::Error(PyExc_TypeError, "jobs are (key, job, begin, end)");
        const std::size_t begin = PyLong_AsSize_t(PyTuple_GET_ITEM(item, 2));
        const std::size_t end = PyLong_AsSize_t(PyTuple_GET_ITEM(item, 3));
        py::check(PyErr_Occurred() != nullptr);
        records.push_back({PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1), begin, end});
    }
    keep_loaded_texts(frame.globals, self, text, records, {});
    return py::none();
}

// _kept_jobs_written(scheduler): how many jobs its last save wrote again rather than kept.
py::Ref written_hook(const py::Frame&, PyObject* self) {
    py::KeptTextsInUse texts(self, TARVEL_NAME("_kept_texts"));
    if (!texts) return py::none();
    return py::integer(static_cast<long long>(texts->records(kKeptJobs).written()));
}

}  // namespace

void add_loaded_text_hooks(PyObject* module) {
    py::bind(module, "_keep_loaded_texts",
             py::make_function({"_keep_loaded_texts", "_keep_loaded_texts", "scheduler, text, jobs",
                                "None", nullptr, py::unpacked<keep_hook>},
                               module));
    py::bind(module, "_kept_jobs_written",
             py::make_function({"_kept_jobs_written", "_kept_jobs_written", "scheduler",
                                "int | None", nullptr, py::unpacked<written_hook>},
                               module));
}
#endif

}  // namespace tarvel::scheduler
