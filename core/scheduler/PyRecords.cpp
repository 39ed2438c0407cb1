// core/scheduler/PyRecords.cpp: JobType, JobState, ScheduledJob and JobExecution with their dict
// forms
#include "core/scheduler/PyScheduler.hpp"
#include "glue/PyClass.hpp"
#include "glue/PyFunction.hpp"
#include "glue/PyMethods.hpp"

namespace tarvel::scheduler {

namespace {

TARVEL_DECLARATIONS

constexpr Py_ssize_t kPromptLimit = 300;  // longer prompts are shown shortened, with "..."
constexpr Py_ssize_t kResultLimit = 200;  // longer results are cut without a marker

// value[:stop], with the errors Python's slicing gives for values that are not sequences.
py::Ref head(PyObject* value, Py_ssize_t stop) {
    py::Ref bound = py::integer(stop);
    py::Ref slice = py::Ref::steal(PySlice_New(nullptr, bound.get(), nullptr));
    return py::Ref::steal(PyObject_GetItem(value, slice.get()));
}

// Default factories, as `lambda: uuid.uuid4().hex[:10]` and `lambda: time.time()`:
// both read the module's globals when called, so patched clocks and ids count.
py::Ref new_job_id(const py::Frame& frame) {
    py::Ref uuid = py::global(frame.globals, TARVEL_NAME("uuid"));
    py::Ref value = py::call_method(uuid.get(), TARVEL_NAME("uuid4"));
    py::Ref hex = py::getattr(value.get(), TARVEL_NAME("hex"));
    return head(hex.get(), 10);
}

py::Ref current_time(const py::Frame& frame) {
    py::Ref time = py::global(frame.globals, TARVEL_NAME("time"));
    return py::call_method(time.get(), TARVEL_NAME("time"));
}

void put(PyObject* dict, PyObject* key, const py::Ref& value) {
    py::dict_set(dict, key, value.get());
}

void copy_attr(PyObject* dict, PyObject* self, PyObject* name) {
    put(dict, name, py::getattr(self, name));
}

py::Ref enum_value(PyObject* self, PyObject* name) {
    py::Ref member = py::getattr(self, name);
    return py::getattr(member.get(), TARVEL_NAME("value"));
}

py::Ref shortened_prompt(PyObject* self) {
    py::Ref prompt = py::getattr(self, TARVEL_NAME("prompt"));
    const Py_ssize_t length = PyObject_Length(prompt.get());
    py::check(length < 0);
    if (length <= kPromptLimit) return prompt;
    py::Ref shortened = head(prompt.get(), kPromptLimit);
    return py::Ref::steal(PyNumber_Add(shortened.get(), py::str("...").get()));
}

py::Ref human_time(PyObject* globals, PyObject* self, PyObject* name, const char* otherwise) {
    py::Ref ts = py::getattr(self, name);
    if (py::truthy(ts.get())) return format_timestamp(globals, ts.get());
    return py::str(otherwise);
}

TARVEL_METHOD(ScheduledJob, "to_dict", job_to_dict, "self", "dict[str, Any]", nullptr)
(const py::Frame& frame, PyObject* self) {
    py::Ref d = py::Ref::steal(PyDict_New());
    copy_attr(d.get(), self, TARVEL_NAME("id"));
    copy_attr(d.get(), self, TARVEL_NAME("name"));
    copy_attr(d.get(), self, TARVEL_NAME("description"));
    put(d.get(), TARVEL_NAME("job_type"), enum_value(self, TARVEL_NAME("job_type")));
    copy_attr(d.get(), self, TARVEL_NAME("schedule"));
    copy_attr(d.get(), self, TARVEL_NAME("interval_seconds"));
    put(d.get(), TARVEL_NAME("prompt"), shortened_prompt(self));
    copy_attr(d.get(), self, TARVEL_NAME("model_key"));
    copy_attr(d.get(), self, TARVEL_NAME("spawn_worker"));
    put(d.get(), TARVEL_NAME("state"), enum_value(self, TARVEL_NAME("state")));
    copy_attr(d.get(), self, TARVEL_NAME("created_at"));
    copy_attr(d.get(), self, TARVEL_NAME("last_run"));
    copy_attr(d.get(), self, TARVEL_NAME("next_run"));
    copy_attr(d.get(), self, TARVEL_NAME("run_count"));
    copy_attr(d.get(), self, TARVEL_NAME("max_runs"));
    put(d.get(), TARVEL_NAME("next_run_human"),
        human_time(frame.globals, self, TARVEL_NAME("next_run"), "Not scheduled"));
    put(d.get(), TARVEL_NAME("last_run_human"),
        human_time(frame.globals, self, TARVEL_NAME("last_run"), "Never"));
    return d;
}

// A string value under `key` becomes the member of the enumeration named `enum_name`.
void to_member(PyObject* globals, PyObject* data, PyObject* key, PyObject* enum_name) {
    py::Ref value = py::dict_get(data, key);
    if (!value || !PyUnicode_Check(value.get())) return;
    py::Ref enumeration = py::global(globals, enum_name);
    put(data, key, py::call(enumeration.get(), value));
}

TARVEL_CLASSMETHOD(ScheduledJob, "from_dict", job_from_dict, "cls, data: dict[str, Any]",
                   "ScheduledJob", nullptr)
(const py::Frame& frame, PyObject* cls, PyObject* data) {
    if (!PyDict_CheckExact(data)) py::wrong_type("data", "a dict", data);
    py::Ref copy = py::Ref::steal(PyDict_Copy(data));
    for (PyObject* derived : {TARVEL_NAME("next_run_human"), TARVEL_NAME("last_run_human")}) {
        if (PyDict_DelItem(copy.get(), derived) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw py::Error();
            PyErr_Clear();
        }
    }
    to_member(frame.globals, copy.get(), TARVEL_NAME("job_type"), TARVEL_NAME("JobType"));
    to_member(frame.globals, copy.get(), TARVEL_NAME("state"), TARVEL_NAME("JobState"));

    py::Ref dataclasses = py::import("dataclasses");
    py::Ref fields = py::call_method(dataclasses.get(), TARVEL_NAME("fields"), cls);
    py::Ref names = py::Ref::steal(PySet_New(nullptr));
    for (const py::Ref& f : py::iterate(fields.get())) {
        py::check(PySet_Add(names.get(), py::getattr(f.get(), TARVEL_NAME("name")).get()) < 0);
    }

    py::Ref kwargs = py::Ref::steal(PyDict_New());
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(copy.get(), &pos, &key, &value)) {
        const int known = PySet_Contains(names.get(), key);
        py::check(known < 0);
        if (known) py::dict_set(kwargs.get(), key, value);
    }
    py::Ref no_args = py::Ref::steal(PyTuple_New(0));
    return py::Ref::steal(PyObject_Call(cls, no_args.get(), kwargs.get()));
}

TARVEL_METHOD(JobExecution, "to_dict", execution_to_dict, "self", "dict[str, Any]", nullptr)
(const py::Frame& frame, PyObject* self) {
    py::Ref d = py::Ref::steal(PyDict_New());
    copy_attr(d.get(), self, TARVEL_NAME("job_id"));
    copy_attr(d.get(), self, TARVEL_NAME("job_name"));
    py::Ref started = py::getattr(self, TARVEL_NAME("started_at"));
    put(d.get(), TARVEL_NAME("started_at"), started);
    put(d.get(), TARVEL_NAME("started_at_human"), format_timestamp(frame.globals, started.get()));
    copy_attr(d.get(), self, TARVEL_NAME("completed_at"));
    py::Ref round = py::global(frame.globals, TARVEL_NAME("round"));
    py::Ref duration = py::getattr(self, TARVEL_NAME("duration"));
    put(d.get(), TARVEL_NAME("duration"), py::call(round.get(), duration, py::integer(2)));
    copy_attr(d.get(), self, TARVEL_NAME("success"));
    py::Ref result = py::getattr(self, TARVEL_NAME("result"));
    put(d.get(), TARVEL_NAME("result"), head(result.get(), kResultLimit));
    copy_attr(d.get(), self, TARVEL_NAME("error"));
    copy_attr(d.get(), self, TARVEL_NAME("model_used"));
    copy_attr(d.get(), self, TARVEL_NAME("worker_id"));
    return d;
}

py::FieldSpec with_default(const char* name, const char* annotation, py::Ref value) {
    return {name, annotation, std::move(value), {}};
}

py::FieldSpec with_factory(const char* name, const char* annotation, py::Ref factory) {
    return {name, annotation, {}, std::move(factory)};
}

py::Ref lambda(PyObject* module, const char* qualname, py::Impl impl) {
    return py::make_function({"<lambda>", qualname, "", nullptr, nullptr, impl}, module);
}

void add_scheduled_job(PyObject* module) {
    PyObject* globals = PyModule_GetDict(module);
    py::Ref zero_f = py::Ref::steal(PyFloat_FromDouble(0.0));
    std::vector<py::FieldSpec> fields;
    fields.push_back(
        with_factory("id", "str", lambda(module, "ScheduledJob.<lambda>", new_job_id)));
    fields.push_back(with_default("name", "str", py::str("")));
    fields.push_back(with_default("description", "str", py::str("")));
    fields.push_back(
        with_default("job_type", "JobType", member(globals, TARVEL_NAME("JobType"), "CRON")));
    fields.push_back(with_default("schedule", "str", py::str("")));
    fields.push_back(with_default("interval_seconds", "int", py::integer(0)));
    fields.push_back(with_default("prompt", "str", py::str("")));
    fields.push_back(with_default("model_key", "str | None", py::none()));
    fields.push_back(with_default("spawn_worker", "bool", py::boolean(true)));
    fields.push_back(
        with_default("state", "JobState", member(globals, TARVEL_NAME("JobState"), "ACTIVE")));
    fields.push_back(
        with_factory("created_at", "float", lambda(module, "ScheduledJob.<lambda>", current_time)));
    fields.push_back(with_default("last_run", "float", zero_f));
    fields.push_back(with_default("next_run", "float", zero_f));
    fields.push_back(with_default("run_count", "int", py::integer(0)));
    fields.push_back(with_default("max_runs", "int", py::integer(0)));
    fields.push_back(with_factory("metadata", "dict[str, Any]",
                                  py::Ref::borrow(reinterpret_cast<PyObject*>(&PyDict_Type))));

    declarations().add_dataclass(module, "ScheduledJob", "Definition of a scheduled job.", fields);
}

void add_job_execution(PyObject* module) {
    py::Ref zero_f = py::Ref::steal(PyFloat_FromDouble(0.0));
    std::vector<py::FieldSpec> fields;
    fields.push_back({"job_id", "str", {}, {}});
    fields.push_back({"job_name", "str", {}, {}});
    fields.push_back({"started_at", "float", {}, {}});
    fields.push_back(with_default("completed_at", "float", zero_f));
    fields.push_back(with_default("duration", "float", zero_f));
    fields.push_back(with_default("success", "bool", py::boolean(false)));
    fields.push_back(with_default("result", "str", py::str("")));
    fields.push_back(with_default("error", "str", py::str("")));
    fields.push_back(with_default("model_used", "str", py::str("")));
    fields.push_back(with_default("worker_id", "str", py::str("")));
    declarations().add_dataclass(module, "JobExecution", "Record of a single job execution.",
                                 fields);
}

}  // namespace

void add_records(PyObject* module) {
    py::Ref job_type = py::make_str_enum(
        module, "JobType", {{"CRON", "cron"}, {"INTERVAL", "interval"}, {"ONCE", "once"}});
    py::check(PyModule_AddObjectRef(module, "JobType", job_type.get()) < 0);
    py::Ref job_state = py::make_str_enum(module, "JobState",
                                          {{"ACTIVE", "active"},
                                           {"PAUSED", "paused"},
                                           {"COMPLETED", "completed"},
                                           {"DISABLED", "disabled"}});
    py::check(PyModule_AddObjectRef(module, "JobState", job_state.get()) < 0);
    add_scheduled_job(module);
    add_job_execution(module);
}

py::Ref member(PyObject* globals, PyObject* enum_name, const char* name) {
    py::Ref enumeration = py::global(globals, enum_name);
    return py::Ref::steal(PyObject_GetAttrString(enumeration.get(), name));
}

bool is_member(PyObject* globals, PyObject* value, PyObject* enum_name, const char* name) {
    return py::compare(value, member(globals, enum_name, name).get(), Py_EQ);
}

}  // namespace tarvel::scheduler
