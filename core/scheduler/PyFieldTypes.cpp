// core/scheduler/PyFieldTypes.cpp: the types a job's and an execution's fields must have, checked
// at the load and by add_job
#include <cmath>

#include "core/scheduler/PyScheduler.hpp"

namespace tarvel::scheduler {

namespace {

enum class Kind { Text, Number, Time, JobTypeMember, JobStateMember };

struct FieldRule {
    const char* name;
    Kind kind;
};

constexpr FieldRule kJobRules[] = {
    {"id", Kind::Text},          {"name", Kind::Text},
    {"description", Kind::Text}, {"job_type", Kind::JobTypeMember},
    {"schedule", Kind::Text},    {"interval_seconds", Kind::Time},
    {"prompt", Kind::Text},      {"state", Kind::JobStateMember},
    {"created_at", Kind::Time},  {"last_run", Kind::Time},
    {"next_run", Kind::Time},    {"run_count", Kind::Number},
    {"max_runs", Kind::Number},
};

constexpr FieldRule kExecutionRules[] = {
    {"job_id", Kind::Text},       {"job_name", Kind::Text},   {"started_at", Kind::Time},
    {"completed_at", Kind::Time}, {"duration", Kind::Time},   {"result", Kind::Text},
    {"error", Kind::Text},        {"model_used", Kind::Text}, {"worker_id", Kind::Text},
};

// What a field of kind `kind` must be, or null when `value` is one.
const char* expected_of(PyObject* globals, Kind kind, PyObject* value) {
    switch (kind) {
        case Kind::Text:
            return PyUnicode_Check(value) ? nullptr : "a str";
        case Kind::Number:
            return PyLong_Check(value) || PyFloat_Check(value) ? nullptr : "a number";
        case Kind::Time:
            if (PyLong_Check(value)) return nullptr;
            return PyFloat_Check(value) && std::isfinite(PyFloat_AS_DOUBLE(value))
                       ? nullptr
                       : "a finite number";
        case Kind::JobTypeMember:
        case Kind::JobStateMember: {
            const bool type = kind == Kind::JobTypeMember;
            py::Ref cls =
                py::global(globals, type ? TARVEL_NAME("JobType") : TARVEL_NAME("JobState"));
            const int member = PyObject_IsInstance(value, cls.get());
            py::check(member < 0);
            return member ? nullptr : type ? "a JobType" : "a JobState";
        }
    }
    return nullptr;
}

// The value checked for `rule`: the record's field, or the member standing for it.
py::Ref value_of(PyObject* record, const FieldRule& rule, PyObject* job_type, PyObject* state) {
    if (rule.kind == Kind::JobTypeMember && job_type != nullptr) return py::Ref::borrow(job_type);
    if (rule.kind == Kind::JobStateMember && state != nullptr) return py::Ref::borrow(state);
    return py::Ref::steal(PyObject_GetAttrString(record, rule.name));
}

// TypeError "<field> of <what> must be <kind>, not <value>" ("<field> must be ..." without
// `what`) for the first field of `record` that does not have its kind. A float is shown by
// its repr, anything else by its type's name.
template <std::size_t N>
void check_fields(PyObject* globals, PyObject* record, const FieldRule (&rules)[N], PyObject* what,
                  PyObject* job_type = nullptr, PyObject* state = nullptr) {
    for (const FieldRule& rule : rules) {
        py::Ref value = value_of(record, rule, job_type, state);
        const char* expected = expected_of(globals, rule.kind, value.get());
        if (expected == nullptr) continue;
        py::Ref shown = PyFloat_Check(value.get())
                            ? py::Ref::steal(PyObject_Repr(value.get()))
                            : py::Ref::steal(PyType_GetName(Py_TYPE(value.get())));
        py::Ref field = what == nullptr ? py::str(rule.name) : py::fstring(rule.name, " of ", what);
        py::Ref message = py::fstring(field, " must be ", expected, ", not ", shown);
        throw py::Error(PyExc_TypeError, message.get());
    }
}

}  // namespace

void check_job_fields(PyObject* globals, PyObject* job, PyObject* what, PyObject* job_type,
                      PyObject* state) {
    check_fields(globals, job, kJobRules, what, job_type, state);
}

void check_execution_fields(PyObject* globals, PyObject* execution, PyObject* what) {
    check_fields(globals, execution, kExecutionRules, what);
}

}  // namespace tarvel::scheduler
