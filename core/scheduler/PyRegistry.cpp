// core/scheduler/PyRegistry.cpp: the Scheduler class, its constructor and its registry operations
#include <algorithm>
#include <cmath>
#include <vector>

#include "core/scheduler/PyScheduler.hpp"
#include "glue/PyClass.hpp"
#include "glue/PyFunction.hpp"
#include "glue/PyMethods.hpp"

namespace tarvel::scheduler {

namespace {

TARVEL_DECLARATIONS

constexpr const char* kClassDoc =
    "Persistent cron-based task scheduler.\n"
    "\n"
    "    Usage:\n"
    "        scheduler = Scheduler(on_fire=my_callback)\n"
    "        scheduler.add_job(ScheduledJob(\n"
    "            name=\"daily_news\",\n"
    "            schedule=\"0 6 * * *\",\n"
    "            prompt=\"Summarize today's top news\",\n"
    "        ))\n"
    "        await scheduler.start()\n"
    "    ";

py::Ref jobs_of(PyObject* self) {
    return py::getattr(self, TARVEL_NAME("_jobs"));
}

// self._jobs.get(job_id), as Python code would ask the registry.
py::Ref find_job(PyObject* self, PyObject* job_id) {
    py::Ref jobs = jobs_of(self);
    return py::call_method(jobs.get(), TARVEL_NAME("get"), job_id);
}

void save(PyObject* self) {
    py::call_method(self, TARVEL_NAME("_save"));
}

py::Ref calc_next_run(PyObject* self, PyObject* job) {
    return py::call_method(self, TARVEL_NAME("_calc_next_run"), job);
}

py::Ref job_state(PyObject* globals, const char* name) {
    return member(globals, TARVEL_NAME("JobState"), name);
}

// A text or an os.PathLike that is not already a Path: the constructor makes a
// Path of it. Anything else is kept as given.
bool names_a_path(PyObject* globals, PyObject* storage) {
    py::Ref path_class = py::global(globals, TARVEL_NAME("Path"));
    const int is_path = PyObject_IsInstance(storage, path_class.get());
    py::check(is_path < 0);
    if (is_path) return false;
    if (PyUnicode_Check(storage)) return true;
    py::Ref path_like = py::getattr(py::import("os").get(), TARVEL_NAME("PathLike"));
    const int is_path_like = PyObject_IsInstance(storage, path_like.get());
    py::check(is_path_like < 0);
    return is_path_like != 0;
}

// --- the operating options -----------------------------------------------------

// A number of seconds as Python code would test one: an int or a float, but not a
// bool, which is an int yet no number of seconds.
bool is_number(PyObject* value) {
    return (PyLong_Check(value) && !PyBool_Check(value)) || PyFloat_Check(value);
}

[[noreturn]] void wrong_value(const char* what, const char* expected, PyObject* got) {
    throw py::Error(PyExc_ValueError,
                    py::fstring(what, " must be ", expected, ", not ", got).get());
}

// A callback the loop awaits: None, or anything that can be called.
void check_callback(const char* what, PyObject* value) {
    if (value != Py_None && !PyCallable_Check(value)) {
        py::wrong_type(what, "a callable or None", value);
    }
}

void check_options(PyObject* on_fire, PyObject* on_event, PyObject* poll_interval,
                   PyObject* max_concurrent_firings, PyObject* fire_timeout,
                   PyObject* misfire_grace, PyObject* overlap, PyObject* wake_on_due) {
    check_callback("on_fire", on_fire);
    check_callback("on_event", on_event);
    check_seconds("poll_interval", poll_interval, false, false);
    if (max_concurrent_firings != Py_None) {
        if (!PyLong_Check(max_concurrent_firings) || PyBool_Check(max_concurrent_firings)) {
            py::wrong_type("max_concurrent_firings", "an int or None", max_concurrent_firings);
        }
        if (!py::compare(max_concurrent_firings, py::integer(0).get(), Py_GT)) {
            wrong_value("max_concurrent_firings", "positive", max_concurrent_firings);
        }
    }
    check_seconds("fire_timeout", fire_timeout, true, false);
    check_seconds("misfire_grace", misfire_grace, true, true);
    if (!PyBool_Check(overlap)) py::wrong_type("overlap", "a bool", overlap);
    if (!PyBool_Check(wake_on_due)) py::wrong_type("wake_on_due", "a bool", wake_on_due);
}

TARVEL_METHOD(Scheduler, "__init__", init_impl,
              "self, on_fire: JobFireCallback | None = None, "
              "on_event: Callable[[dict[str, Any]], Awaitable[None]] | None = None, "
              "storage_path: Path | None = None, *, poll_interval: float = 30.0, "
              "max_concurrent_firings: int | None = None, "
              "fire_timeout: float | None = None, misfire_grace: float | None = None, "
              "overlap: bool = True, wake_on_due: bool = False, store: str = 'json'",
              nullptr, nullptr)
(const py::Frame& frame, PyObject* self, PyObject* on_fire, PyObject* on_event,
 PyObject* storage_path, PyObject* poll_interval, PyObject* max_concurrent_firings,
 PyObject* fire_timeout, PyObject* misfire_grace, PyObject* overlap, PyObject* wake_on_due,
 PyObject* store) {
    // before anything is set or read
    check_options(on_fire, on_event, poll_interval, max_concurrent_firings, fire_timeout,
                  misfire_grace, overlap, wake_on_due);
    check_store(store);
    py::setattr(self, TARVEL_NAME("_on_fire"), on_fire);
    py::setattr(self, TARVEL_NAME("_on_event"), on_event);
    py::Ref storage = py::Ref::borrow(storage_path);
    if (!py::truthy(storage.get())) {
        py::Ref tarvel_dir = py::global(frame.globals, TARVEL_NAME("tarvel_dir"));
        py::Ref dir = py::call(tarvel_dir.get());
        py::Ref name = py::str(default_state_name(store));
        storage = py::Ref::steal(PyNumber_TrueDivide(dir.get(), name.get()));
    } else if (names_a_path(frame.globals, storage.get())) {
        storage = py::call(py::global(frame.globals, TARVEL_NAME("Path")).get(), storage);
    }
    py::setattr(self, TARVEL_NAME("_storage_path"), storage.get());
    py::setattr(self, TARVEL_NAME("_jobs"), py::Ref::steal(PyDict_New()).get());
    py::setattr(self, TARVEL_NAME("_executions"), py::Ref::steal(PyList_New(0)).get());
    py::setattr(self, TARVEL_NAME("_task"), Py_None);
    py::Ref asyncio = py::global(frame.globals, TARVEL_NAME("asyncio"));
    py::setattr(self, TARVEL_NAME("_stop_event"),
                py::call_method(asyncio.get(), TARVEL_NAME("Event")).get());
    // Firing tasks are held here until they finish: the event loop keeps only
    // weak references to tasks, and a firing must not be lost to the collector.
    py::setattr(self, TARVEL_NAME("_firing_tasks"), py::Ref::steal(PySet_New(nullptr)).get());
    // The version of the state file last read or written, and the changes made to jobs
    // since, to merge what another process saves; the loop's lock on the file while it runs.
    py::setattr(self, TARVEL_NAME("_file_version"), Py_None);
    py::setattr(self, TARVEL_NAME("_changes"), py::Ref::steal(PyDict_New()).get());
    py::setattr(self, TARVEL_NAME("_loop_lock"), Py_None);
    // The operating options, read by the loop at each pass and by each firing.
    py::setattr(self, TARVEL_NAME("_poll_interval"), poll_interval);
    py::setattr(self, TARVEL_NAME("_max_concurrent_firings"), max_concurrent_firings);
    py::setattr(self, TARVEL_NAME("_fire_timeout"), fire_timeout);
    py::setattr(self, TARVEL_NAME("_misfire_grace"), misfire_grace);
    py::setattr(self, TARVEL_NAME("_overlap"), overlap);
    py::setattr(self, TARVEL_NAME("_wake_on_due"), wake_on_due);
    // Where the state is kept: "json" (the state file) or "sqlite" (a database, opened at need).
    py::setattr(self, TARVEL_NAME("_store"), store);
    py::setattr(self, TARVEL_NAME("_database"), Py_None);
    // Due jobs a pass left for a later one, under max_concurrent_firings or while they still
    // fire without overlap, by id, with the next run they were due at: they were found in time,
    // so misfire_grace spares them.
    py::setattr(self, TARVEL_NAME("_held_back"), py::Ref::steal(PyDict_New()).get());
    // Tasks sending "scheduler_job_missed" events, held as firing tasks are.
    py::setattr(self, TARVEL_NAME("_event_tasks"), py::Ref::steal(PySet_New(nullptr)).get());
    // The time each job decided for firing was due at, by id, until its firing takes it; and the
    // firing tasks a stop with a time-out cancelled, while they record their runs.
    py::setattr(self, TARVEL_NAME("_due_times"), py::Ref::steal(PyDict_New()).get());
    py::setattr(self, TARVEL_NAME("_cancelled_at_shutdown"),
                py::Ref::steal(PySet_New(nullptr)).get());
    // With wake_on_due, the time the loop's present wait ends at and the future that ends it
    // sooner, set by a registry call that makes a job due before then; None between waits.
    py::setattr(self, TARVEL_NAME("_wake_at"), Py_None);
    py::setattr(self, TARVEL_NAME("_wake_future"), Py_None);
    // The order of next runs is built at its first use (a pass, upcoming): a start reads no job
    // twice.
    py::call_method(self, TARVEL_NAME("_load"));
    return py::none();
}

TARVEL_PROPERTY(Scheduler, "running", running_impl, "bool")
(const py::Frame&, PyObject* self) {
    py::Ref task = py::getattr(self, TARVEL_NAME("_task"));
    if (task.get() == Py_None) return py::boolean(false);
    py::Ref done = py::call_method(task.get(), TARVEL_NAME("done"));
    return py::boolean(!py::truthy(done.get()));
}

// A job_type or state as the member of the enumeration it names, as from_dict reads
// them: a member stays, a text is looked up (a text that names no member raises the
// enumeration's own ValueError) and anything else is refused with a TypeError.
py::Ref as_member(PyObject* globals, PyObject* enum_name, const char* field, const char* expected,
                  PyObject* value) {
    py::Ref enumeration = py::global(globals, enum_name);
    const int is_member = PyObject_IsInstance(value, enumeration.get());
    py::check(is_member < 0);
    if (is_member) return py::Ref::borrow(value);
    if (!PyUnicode_Check(value)) py::wrong_type(field, expected, value);
    return py::call(enumeration.get(), value);
}

py::Ref as_job_type(PyObject* globals, PyObject* value) {
    return as_member(globals, TARVEL_NAME("JobType"), "job_type", "a JobType or a str", value);
}

py::Ref as_job_state(PyObject* globals, PyObject* value) {
    return as_member(globals, TARVEL_NAME("JobState"), "state", "a JobState or a str", value);
}

// Sets `name` only when the value is another object, so a member given as such is left alone.
void replace_attr(PyObject* obj, PyObject* name, const py::Ref& old, const py::Ref& value) {
    if (value.get() != old.get()) py::setattr(obj, name, value.get());
}

bool is_type(PyObject* globals, PyObject* job_type, const char* name) {
    return is_member(globals, job_type, TARVEL_NAME("JobType"), name);
}

// WARNING "Job <name> (<id>) can never fire: <why>" for an interval job whose interval is not
// above 0 and a one-time job without a time to run. A one-time job whose time has passed fires.
void warn_if_never_due(PyObject* globals, PyObject* job, PyObject* name, PyObject* id) {
    py::Ref job_type = py::getattr(job, TARVEL_NAME("job_type"));
    py::Ref why;
    if (is_type(globals, job_type.get(), "INTERVAL")) {
        py::Ref interval = py::getattr(job, TARVEL_NAME("interval_seconds"));
        if (py::compare(interval.get(), py::integer(0).get(), Py_GT)) return;
        why = py::fstring("its interval is ", interval, " seconds");
    } else if (is_type(globals, job_type.get(), "ONCE")) {
        if (py::truthy(py::getattr(job, TARVEL_NAME("next_run")).get())) return;
        why = py::str("a one-time job with no time to run");
    } else {
        return;
    }
    log(globals, "warning", py::fstring("Job ", name, " (", id, ") can never fire: ", why));
}

TARVEL_METHOD(Scheduler, "add_job", add_job_impl, "self, job: ScheduledJob", "ScheduledJob",
              "Add a new scheduled job.")
(const py::Frame& frame, PyObject* self, PyObject* job) {
    py::Ref job_class = py::global(frame.globals, TARVEL_NAME("ScheduledJob"));
    const int is_job = PyObject_IsInstance(job, job_class.get());
    py::check(is_job < 0);
    if (!is_job) py::wrong_type("job", "a ScheduledJob", job);
    // A field of the wrong type would fail every later save, or the next load: a job_type or
    // state given as text is read as its member, and every field is checked, before any is set.
    py::Ref job_type = py::getattr(job, TARVEL_NAME("job_type"));
    py::Ref state = py::getattr(job, TARVEL_NAME("state"));
    py::Ref type_member = as_job_type(frame.globals, job_type.get());
    py::Ref state_member = as_job_state(frame.globals, state.get());
    check_job_fields(frame.globals, job, nullptr, type_member.get(), state_member.get());
    replace_attr(job, TARVEL_NAME("job_type"), job_type, type_member);
    replace_attr(job, TARVEL_NAME("state"), state, state_member);
    py::setattr(job, TARVEL_NAME("next_run"), calc_next_run(self, job).get());
    py::Ref id = py::getattr(job, TARVEL_NAME("id"));
    py::Ref registry = jobs_of(self);
    py::Ref replaced = registry_get(registry.get(), id.get());
    py::check(PyObject_SetItem(registry.get(), id.get(), job) < 0);
    index_added(frame.globals, self, id.get(), job, replaced.get());
    save(self);
    py::Ref name = py::getattr(job, TARVEL_NAME("name"));
    py::Ref next_run = py::getattr(job, TARVEL_NAME("next_run"));
    py::Ref when = format_timestamp(frame.globals, next_run.get());
    log(frame.globals, "info",
        py::fstring("Job added: ", name, " (", id, ") \xe2\x80\x94 next run: ", when));
    warn_if_never_due(frame.globals, job, name.get(), id.get());
    wake_if_sooner(frame.globals, self, job);
    return py::Ref::borrow(job);
}

// The fields update_job checks besides job_type and state: a value of another type
// there would make every later save fail. Other attributes are set as given.
constexpr const char* kTextFields[] = {
    "id", "name", "description", "schedule", "prompt",
};
constexpr const char* kNumberFields[] = {
    "interval_seconds", "created_at", "last_run", "next_run", "run_count", "max_runs",
};
constexpr const char* kTimeFields[] = {"interval_seconds", "created_at", "last_run", "next_run"};

bool named(PyObject* key, const char* name) {
    return PyUnicode_CompareWithASCIIString(key, name) == 0;
}

// The value update_job sets for `key`: a job_type or state as its member, anything
// else unchanged; a value of the wrong type raises TypeError.
py::Ref checked_update(PyObject* globals, PyObject* key, PyObject* value) {
    if (!PyUnicode_Check(key)) return py::Ref::borrow(value);
    if (named(key, "job_type")) return as_job_type(globals, value);
    if (named(key, "state")) return as_job_state(globals, value);
    for (const char* field : kTextFields) {
        if (named(key, field) && !PyUnicode_Check(value)) py::wrong_type(field, "a str", value);
    }
    for (const char* field : kNumberFields) {  // bool counts, being an int
        if (named(key, field) && !PyLong_Check(value) && !PyFloat_Check(value)) {
            py::wrong_type(field, "an int or a float", value);
        }
    }
    // A time that is not finite is saved as JSON's Infinity or NaN, which the load refuses:
    // the job would be dropped at the next start. add_job refuses it in the same words.
    for (const char* field : kTimeFields) {
        if (named(key, field) && PyFloat_Check(value) && !std::isfinite(PyFloat_AS_DOUBLE(value))) {
            py::Ref shown = py::Ref::steal(PyObject_Repr(value));
            throw py::Error(PyExc_TypeError,
                            py::fstring(field, " must be a finite number, not ", shown).get());
        }
    }
    return py::Ref::borrow(value);
}

TARVEL_METHOD(Scheduler, "update_job", update_job_impl,
              "self, job_id: str, updates: dict[str, Any]", "ScheduledJob | None",
              "Update an existing job.")
(const py::Frame& frame, PyObject* self, PyObject* job_id, PyObject* updates) {
    py::require_str(job_id, "job_id");
    if (!PyDict_CheckExact(updates)) py::wrong_type("updates", "a dict", updates);
    py::Ref job = find_job(self, job_id);
    if (job.get() == Py_None) return job;
    py::Ref items = py::Ref::steal(PyDict_Items(updates));
    // Every value is checked before the first is set: a refused update changes nothing.
    py::Ref checked = py::Ref::steal(PyList_New(PyList_GET_SIZE(items.get())));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        PyObject* key = PyTuple_GET_ITEM(item, 0);
        py::Ref value = checked_update(frame.globals, key, PyTuple_GET_ITEM(item, 1));
        PyList_SET_ITEM(checked.get(), i, PyTuple_Pack(2, key, value.get()));
        py::check(PyList_GET_ITEM(checked.get(), i) == nullptr);
    }
    make_change(frame.globals, self, job.get(), Change::Update, checked.get());
    save(self);
    wake_if_sooner(frame.globals, self, job.get());
    return job;
}

TARVEL_METHOD(Scheduler, "remove_job", remove_job_impl, "self, job_id: str", "bool",
              "Remove a scheduled job.")
(const py::Frame& frame, PyObject* self, PyObject* job_id) {
    py::require_str(job_id, "job_id");
    py::Ref jobs = jobs_of(self);
    const int present = PySequence_Contains(jobs.get(), job_id);
    py::check(present < 0);
    if (!present) return py::boolean(false);
    py::Ref removed = registry_get(jobs.get(), job_id);
    py::check(PyObject_DelItem(jobs.get(), job_id) < 0);
    if (removed) index_removed(self, removed.get());
    save(self);
    log(frame.globals, "info", py::fstring("Job removed: ", job_id));
    return py::boolean(true);
}

// pause_job, resume_job and request_run: False for an unknown id; else the change made to the job
// (with the argument `arg` gives, asked once the job is found) and saved.
template <class Arg>
py::Ref change_job(PyObject* globals, PyObject* self, PyObject* job_id, Change kind,
                   const Arg& arg) {
    py::require_str(job_id, "job_id");
    py::Ref job = find_job(self, job_id);
    if (job.get() == Py_None) return py::boolean(false);
    py::Ref value = arg();
    make_change(globals, self, job.get(), kind, value.get());
    save(self);
    if (kind != Change::Pause) wake_if_sooner(globals, self, job.get());
    return py::boolean(true);
}

py::Ref no_argument() {
    return {};
}

TARVEL_METHOD(Scheduler, "pause_job", pause_job_impl, "self, job_id: str", "bool", "Pause a job.")
(const py::Frame& frame, PyObject* self, PyObject* job_id) {
    return change_job(frame.globals, self, job_id, Change::Pause, no_argument);
}

TARVEL_METHOD(Scheduler, "resume_job", resume_job_impl, "self, job_id: str", "bool",
              "Resume a paused job.")
(const py::Frame& frame, PyObject* self, PyObject* job_id) {
    return change_job(frame.globals, self, job_id, Change::Resume, no_argument);
}

// The job becomes due now, in whatever state it is: a loop, in this process or in another that
// takes in the save, fires it at its next pass if it is active.
TARVEL_METHOD(Scheduler, "request_run", request_run_impl, "self, job_id: str", "bool",
              "Ask the process whose loop runs to fire a job at its next pass.")
(const py::Frame& frame, PyObject* self, PyObject* job_id) {
    return change_job(frame.globals, self, job_id, Change::Request, [&] {
        py::Ref time = py::global(frame.globals, TARVEL_NAME("time"));
        return py::call_method(time.get(), TARVEL_NAME("time"));
    });
}

TARVEL_METHOD(Scheduler, "get_job", get_job_impl, "self, job_id: str", "ScheduledJob | None",
              nullptr)
(const py::Frame&, PyObject* self, PyObject* job_id) {
    py::require_str(job_id, "job_id");
    return find_job(self, job_id);
}

py::Ref values_of(PyObject* self) {
    py::Ref jobs = jobs_of(self);
    py::Ref values = py::call_method(jobs.get(), TARVEL_NAME("values"));
    return py::Ref::steal(PySequence_List(values.get()));
}

py::Ref to_dicts(PyObject* records) {
    const Py_ssize_t n = PyList_GET_SIZE(records);
    py::Ref out = py::Ref::steal(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyList_SET_ITEM(
            out.get(), i,
            py::call_method(PyList_GET_ITEM(records, i), TARVEL_NAME("to_dict")).release());
    }
    return out;
}

// Sorted by next run; unscheduled jobs last, each group in registry order.
TARVEL_METHOD(Scheduler, "list_jobs", list_jobs_impl, "self", "list[dict[str, Any]]",
              "List all jobs with their status.")
(const py::Frame&, PyObject* self) {
    py::Ref jobs = values_of(self);
    const Py_ssize_t n = PyList_GET_SIZE(jobs.get());
    std::vector<std::pair<py::Ref, py::Ref>> keyed;  // (next_run or inf, job)
    keyed.reserve(static_cast<std::size_t>(n));
    py::Ref infinity = py::Ref::steal(PyFloat_FromDouble(Py_HUGE_VAL));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* job = PyList_GET_ITEM(jobs.get(), i);
        py::Ref next_run = py::getattr(job, TARVEL_NAME("next_run"));
        if (!py::truthy(next_run.get())) next_run = infinity;
        keyed.emplace_back(std::move(next_run), py::Ref::borrow(job));
    }
    // Python's sort compares with "<" only; any stable sort gives its order.
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
        const int less = PyObject_RichCompareBool(a.first.get(), b.first.get(), Py_LT);
        py::check(less < 0);
        return less != 0;
    });
    py::Ref sorted = py::Ref::steal(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyList_SET_ITEM(sorted.get(), i, keyed[static_cast<std::size_t>(i)].second.release());
    }
    return to_dicts(sorted.get());
}

TARVEL_METHOD(Scheduler, "list_executions", list_executions_impl,
              "self, limit: int = 50, job_id: str | None = None", "list[dict[str, Any]]",
              "List recent job executions.")
(const py::Frame&, PyObject* self, PyObject* limit, PyObject* job_id) {
    if (!PyLong_CheckExact(limit)) py::wrong_type("limit", "an int", limit);
    if (job_id != Py_None) py::require_str(job_id, "job_id");
    py::Ref executions = py::getattr(self, TARVEL_NAME("_executions"));
    py::Ref records = py::Ref::steal(PySequence_List(executions.get()));
    if (job_id != Py_None && PyUnicode_GET_LENGTH(job_id) > 0) {
        py::Ref kept = py::Ref::steal(PyList_New(0));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(records.get()); ++i) {
            PyObject* record = PyList_GET_ITEM(records.get(), i);
            py::Ref of = py::getattr(record, TARVEL_NAME("job_id"));
            if (py::compare(of.get(), job_id, Py_EQ))
                py::check(PyList_Append(kept.get(), record) < 0);
        }
        records = kept;
    }
    // records[-limit:]: the last `limit` records, all of them for 0.
    py::Ref start = py::Ref::steal(PyNumber_Negative(limit));
    py::Ref window = py::Ref::steal(PySlice_New(start.get(), Py_None, Py_None));
    py::Ref tail = py::Ref::steal(PyObject_GetItem(records.get(), window.get()));
    return to_dicts(tail.get());
}

py::Ref count_state(PyObject* jobs, PyObject* state) {
    long long count = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(jobs); ++i) {
        py::Ref of = py::getattr(PyList_GET_ITEM(jobs, i), TARVEL_NAME("state"));
        if (py::compare(of.get(), state, Py_EQ)) ++count;
    }
    return py::integer(count);
}

TARVEL_METHOD(Scheduler, "stats", stats_impl, "self", "dict[str, Any]", "Get scheduler statistics.")
(const py::Frame& frame, PyObject* self) {
    py::Ref d = py::Ref::steal(PyDict_New());
    py::dict_set(d.get(), "running", py::getattr(self, TARVEL_NAME("running")).get());
    py::Ref jobs = values_of(self);
    py::dict_set(d.get(), "total_jobs", py::integer(PyList_GET_SIZE(jobs.get())).get());
    py::dict_set(d.get(), "active_jobs",
                 count_state(jobs.get(), job_state(frame.globals, "ACTIVE").get()).get());
    py::dict_set(d.get(), "paused_jobs",
                 count_state(jobs.get(), job_state(frame.globals, "PAUSED").get()).get());
    py::Ref total = py::integer(0);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(jobs.get()); ++i) {
        py::Ref runs = py::getattr(PyList_GET_ITEM(jobs.get(), i), TARVEL_NAME("run_count"));
        total = py::Ref::steal(PyNumber_Add(total.get(), runs.get()));
    }
    py::dict_set(d.get(), "total_executions", total.get());
    py::Ref executions = py::getattr(self, TARVEL_NAME("_executions"));
    const Py_ssize_t recent = PyObject_Length(executions.get());
    py::check(recent < 0);
    py::dict_set(d.get(), "recent_executions", py::integer(recent).get());
    return d;
}

TARVEL_METHOD(Scheduler, "_calc_next_run", calc_next_run_impl, "self, job: ScheduledJob", "float",
              "Calculate the next run time for a job.")
(const py::Frame& frame, PyObject* /*self*/, PyObject* job) {
    py::Ref datetime = py::global(frame.globals, TARVEL_NAME("datetime"));
    py::Ref now = py::call_method(datetime.get(), TARVEL_NAME("now"));
    py::Ref job_type = py::getattr(job, TARVEL_NAME("job_type"));
    if (is_type(frame.globals, job_type.get(), "CRON")) {
        try {
            py::Ref cron_class = py::global(frame.globals, TARVEL_NAME("CronExpression"));
            py::Ref schedule = py::getattr(job, TARVEL_NAME("schedule"));
            py::Ref cron = py::call(cron_class.get(), schedule);
            py::Ref present = py::call_method(now.get(), TARVEL_NAME("timestamp"));
            py::Ref next_run = later_occurrence(cron.get(), now.get(), present.get());
            if (next_run) return next_run;
            py::Ref id = py::getattr(job, TARVEL_NAME("id"));
            log(frame.globals, "error",
                py::fstring("Found no run of job ", id, " later than now; it stays unscheduled"));
            return py::integer(0);
        } catch (py::Error& e) {
            if (!e.matches(PyExc_ValueError)) throw;
            py::Ref id = py::getattr(job, TARVEL_NAME("id"));
            log(frame.globals, "error",
                py::fstring("Invalid cron expression for job ", id, ": ", e.value()));
            return py::integer(0);
        }
    }
    if (is_type(frame.globals, job_type.get(), "INTERVAL")) {
        py::Ref interval = py::getattr(job, TARVEL_NAME("interval_seconds"));
        const int positive = PyObject_RichCompareBool(interval.get(), py::integer(0).get(), Py_GT);
        py::check(positive < 0);
        if (!positive) return py::integer(0);
        py::Ref last_run = py::getattr(job, TARVEL_NAME("last_run"));
        if (py::truthy(last_run.get())) {
            return py::Ref::steal(PyNumber_Add(last_run.get(), interval.get()));
        }
        py::Ref time = py::global(frame.globals, TARVEL_NAME("time"));
        py::Ref current = py::call_method(time.get(), TARVEL_NAME("time"));
        return py::Ref::steal(PyNumber_Add(current.get(), interval.get()));
    }
    if (is_type(frame.globals, job_type.get(), "ONCE")) {
        py::Ref next_run = py::getattr(job, TARVEL_NAME("next_run"));
        return py::truthy(next_run.get()) ? next_run : py::integer(0);
    }
    return py::integer(0);
}

}  // namespace

// An int too large for a float counts as infinite.
void check_seconds(const char* what, PyObject* value, bool none_allowed, bool zero_allowed) {
    if (none_allowed && value == Py_None) return;
    if (!is_number(value))
        py::wrong_type(what, none_allowed ? "a number or None" : "a number", value);
    const double seconds = PyFloat_AsDouble(value);
    if (seconds == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw py::Error();
        PyErr_Clear();
        wrong_value(what, "finite", value);
    }
    if (std::isinf(seconds)) wrong_value(what, "finite", value);
    const bool fits = zero_allowed ? seconds >= 0.0 : seconds > 0.0;  // false for NaN
    if (!fits) wrong_value(what, zero_allowed ? "0 or more" : "positive", value);
}

// How many occurrences a cron job's next run is searched from before the search
// gives up: more than a day of minutes, the most a clock has ever been set back.
constexpr int kLaterSearches = 1500;

// A wall-clock time is read as local time; inside an hour the clock repeats, its later
// instance (fold=1) is taken when the earlier one has passed, and when both have passed
// the search goes on from that occurrence. So a job added in the second pass of a
// repeated hour is never due at once, and the first pass's times are not repeated in
// the second.
py::Ref later_occurrence(PyObject* cron, PyObject* after_time, PyObject* present) {
    py::Ref after = py::Ref::borrow(after_time);
    py::Ref one = py::integer(1);
    for (int search = 0; search < kLaterSearches; ++search) {
        py::Ref next = py::call_method(cron, TARVEL_NAME("next_occurrence"), after);
        py::Ref when = py::call_method(next.get(), TARVEL_NAME("timestamp"));
        if (py::compare(when.get(), present, Py_GT)) return when;
        py::Ref replace = py::getattr(next.get(), TARVEL_NAME("replace"));
        py::Ref second = py::call_kw(replace.get(), {}, {{"fold", one.get()}});
        when = py::call_method(second.get(), TARVEL_NAME("timestamp"));
        if (py::compare(when.get(), present, Py_GT)) return when;
        after = next;
    }
    return py::Ref();
}

void add_scheduler(PyObject* module) {
    py::Members members;
    declarations().add_to(module, "Scheduler", members);
    add_loop_methods(module, members);
    add_agenda_methods(module, members);
    add_state_file_methods(module, members);
    add_database_methods(module, members);
    py::Ref cls = py::make_class(module, "Scheduler", kClassDoc, members);
    py::check(PyModule_AddObjectRef(module, "Scheduler", cls.get()) < 0);
}

}  // namespace tarvel::scheduler
