// core/scheduler/PyLoop.cpp: the scheduler's coroutines (start, stop, run_now, _loop, _fire_job,
// _send_event) and the guards on its firings
#include <algorithm>
#include <climits>
#include <exception>
#include <utility>
#include <vector>

#include "core/scheduler/PyScheduler.hpp"
#include "glue/PyCoroutine.hpp"
#include "glue/PyFunction.hpp"
#include "glue/PyMethods.hpp"

namespace tarvel::scheduler {

namespace {

TARVEL_DECLARATIONS

py::Ref asyncio_name(PyObject* globals, PyObject* name) {
    py::Ref asyncio = py::global(globals, TARVEL_NAME("asyncio"));
    return py::getattr(asyncio.get(), name);
}

// logger.error(message, exc_info=...) with the traceback of `error`.
void log_failure(PyObject* globals, const py::Ref& message, const py::Error& error) {
    py::Ref exc_info = py::exc_info_tuple(error);
    py::log(globals, "error", message, exc_info.get());
}

py::Ref event_of(const char* type, const char* key, PyObject* value) {
    py::Ref event = py::Ref::steal(PyDict_New());
    py::dict_set(event.get(), "type", py::str(type).get());
    py::dict_set(event.get(), key, value);
    return event;
}

const char* plural(long long count, const char* one, const char* many) {
    return count == 1 ? one : many;
}

// --- start and stop -------------------------------------------------------------

// Lets go of the loop's lock on the state file, if this scheduler holds it.
void release_loop_lock(PyObject* self) {
    py::Ref held = py::Ref::steal_maybe(PyObject_GetAttr(self, TARVEL_NAME("_loop_lock")));
    if (!held) {
        PyErr_Clear();
        return;
    }
    py::setattr(self, TARVEL_NAME("_loop_lock"), Py_None);
    release_lock(held.get());
}

py::Async start_body(py::Ref self, py::Ref globals_ref) {
    PyObject* globals = globals_ref.get();
    if (py::truthy(py::getattr(self.get(), TARVEL_NAME("running")).get())) co_return py::none();
    // One running loop per state file, in this process or another.
    py::Ref storage = py::getattr(self.get(), TARVEL_NAME("_storage_path"));
    release_loop_lock(self.get());
    py::setattr(self.get(), TARVEL_NAME("_loop_lock"), take_loop_lock(storage.get()).get());
    // An event bound to an earlier event loop (a second asyncio.run) cannot be
    // awaited on this one: start with a fresh one.
    py::Ref asyncio = py::global(globals, TARVEL_NAME("asyncio"));
    py::Ref loop = py::call_method(asyncio.get(), TARVEL_NAME("get_running_loop"));
    py::Ref event = py::getattr(self.get(), TARVEL_NAME("_stop_event"));
    py::Ref bound = py::Ref::steal_maybe(PyObject_GetAttrString(event.get(), "_loop"));
    if (!bound) PyErr_Clear();
    if (bound && bound.get() != Py_None && bound.get() != loop.get()) {
        event = py::call_method(asyncio.get(), TARVEL_NAME("Event"));
        py::setattr(self.get(), TARVEL_NAME("_stop_event"), event.get());
    }
    py::call_method(event.get(), TARVEL_NAME("clear"));
    index_outdated(self.get());  // the first pass reads the registry whole
    py::Ref coro = py::call_method(self.get(), TARVEL_NAME("_loop"));
    py::Ref create_task = py::getattr(asyncio.get(), TARVEL_NAME("create_task"));
    py::Ref task =
        py::call_kw(create_task.get(), {coro.get()}, {{"name", py::str("scheduler").get()}});
    py::setattr(self.get(), TARVEL_NAME("_task"), task.get());
    py::Ref jobs = py::getattr(self.get(), TARVEL_NAME("_jobs"));
    const Py_ssize_t count = PyObject_Length(jobs.get());
    py::check(count < 0);
    log(globals, "info", py::fstring("Scheduler started with ", py::integer(count), " jobs"));
    co_return py::none();
}

// The firing tasks still running, as a set of their own.
py::Ref firings_in_flight(PyObject* self) {
    py::Ref tasks = py::getattr(self, TARVEL_NAME("_firing_tasks"));
    py::Ref running = py::Ref::steal(PySet_New(nullptr));
    for (const py::Ref& task : py::iterate(tasks.get())) {
        if (!py::truthy(py::call_method(task.get(), TARVEL_NAME("done")).get()))
            py::check(PySet_Add(running.get(), task.get()) < 0);
    }
    return running;
}

// Cancels each unfinished task of `tasks`, marked first as cancelled at shutdown until it ends, so
// that its firing records the run as such.
void cancel_at_shutdown(PyObject* self, PyObject* tasks) {
    py::Ref marks = py::getattr(self, TARVEL_NAME("_cancelled_at_shutdown"));
    py::Ref unmark = py::getattr(marks.get(), TARVEL_NAME("discard"));
    for (const py::Ref& task : py::iterate(tasks)) {
        if (py::truthy(py::call_method(task.get(), TARVEL_NAME("done")).get())) continue;
        py::call_method(marks.get(), TARVEL_NAME("add"), task);
        py::call_method(task.get(), TARVEL_NAME("add_done_callback"), unmark);
        py::call_method(task.get(), TARVEL_NAME("cancel"));
    }
}

void log_waiting(PyObject* globals, PyObject* timeout, Py_ssize_t count) {
    log(globals, "info",
        py::fstring("Waiting up to ", timeout, " s for ", py::integer(count),
                    plural(count, " firing", " firings"), " in flight"));
}

// stop itself was cancelled or failed while it waited: the firings still in flight end now,
// each recording its run as cancelled at shutdown when the event loop runs it on.
void cancel_left_running(PyObject* self, PyObject* running) noexcept {
    try {
        cancel_at_shutdown(self, running);
    } catch (...) {
    }
}

py::Async stop_body(py::Ref self, py::Ref timeout, py::Ref globals_ref) {
    PyObject* globals = globals_ref.get();
    check_seconds("timeout", timeout.get(), true, true);  // before anything is done
    py::Ref event = py::getattr(self.get(), TARVEL_NAME("_stop_event"));
    py::call_method(event.get(), TARVEL_NAME("set"));
    py::Ref task = py::getattr(self.get(), TARVEL_NAME("_task"));
    if (py::truthy(task.get()) &&
        !py::truthy(py::call_method(task.get(), TARVEL_NAME("done")).get())) {
        py::call_method(task.get(), TARVEL_NAME("cancel"));
        py::Ref cancelled = asyncio_name(globals, TARVEL_NAME("CancelledError"));
        try {
            co_await py::await_(task);
        } catch (py::Error& e) {
            if (!e.matches(cancelled.get())) throw;
        }
    }
    // With a time-out, the firings in flight may finish for that long; the others are cancelled
    // and awaited while they record their runs. The loop's lock is held until then.
    std::exception_ptr failure;
    py::Ref running;
    if (timeout.get() != Py_None) {
        try {
            running = firings_in_flight(self.get());
            const Py_ssize_t count = PySet_GET_SIZE(running.get());
            if (count > 0) {
                log_waiting(globals, timeout.get(), count);
                py::Ref wait = asyncio_name(globals, TARVEL_NAME("wait"));
                py::Ref waiting =
                    py::call_kw(wait.get(), {running.get()}, {{"timeout", timeout.get()}});
                py::Ref waited = co_await py::await_(std::move(waiting));
                py::Ref pending = py::Ref::steal(PySequence_GetItem(waited.get(), 1));
                if (py::truthy(pending.get())) {
                    cancel_at_shutdown(self.get(), pending.get());
                    co_await py::await_(py::call(wait.get(), pending));
                }
            }
        } catch (...) {
            failure = std::current_exception();
        }
    }
    if (failure && running) cancel_left_running(self.get(), running.get());
    py::setattr(self.get(), TARVEL_NAME("_task"), Py_None);
    release_loop_lock(self.get());
    if (failure) std::rethrow_exception(failure);
    log(globals, "info", py::str("Scheduler stopped"));
    co_return py::none();
}

// --- the loop ---------------------------------------------------------------------

// self.<name>, or null when the scheduler has no such attribute.
py::Ref optional_attr(PyObject* self, PyObject* name) {
    py::Ref value = py::Ref::steal_maybe(PyObject_GetAttr(self, name));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::Error();
        PyErr_Clear();
    }
    return value;
}

// The following run of a due job, decided before it fires, so that no pass fires it meanwhile.
// The time it was due at is kept for the firing: one cancelled at shutdown puts a one-time job
// back to it.
void decide_next_run(PyObject* globals, PyObject* self, PyObject* job) {
    if (py::Ref due_times = optional_attr(self, TARVEL_NAME("_due_times"))) {
        py::Ref id = py::getattr(job, TARVEL_NAME("id"));
        py::Ref due = py::getattr(job, TARVEL_NAME("next_run"));
        py::check(PyObject_SetItem(due_times.get(), id.get(), due.get()) < 0);
    }
    make_change(globals, self, job, Change::Decide);
}

// The time the job `id` was due at when it was decided for firing, taken from the kept ones;
// None when none is kept.
py::Ref take_due_time(PyObject* self, PyObject* id) {
    py::Ref due_times = optional_attr(self, TARVEL_NAME("_due_times"));
    if (!due_times) return py::none();
    return py::call_method(due_times.get(), TARVEL_NAME("pop"), id, Py_None);
}

// Whether `job` is due at `now`: active, scheduled, and its next run has come.
bool is_due(PyObject* globals, PyObject* job, PyObject* now) {
    py::Ref state = py::getattr(job, TARVEL_NAME("state"));
    py::Ref active = member(globals, TARVEL_NAME("JobState"), "ACTIVE");
    if (!py::compare(state.get(), active.get(), Py_EQ)) return false;
    py::Ref next_run = py::getattr(job, TARVEL_NAME("next_run"));
    return py::truthy(next_run.get()) && py::compare(now, next_run.get(), Py_GE);
}

// Starts `coro` in a task named `name`, held in the set `holder` of the scheduler until it
// finishes: the event loop keeps only weak references to tasks.
py::Ref start_held_task(PyObject* globals, PyObject* self, PyObject* holder, const py::Ref& coro,
                        const py::Ref& name) {
    py::Ref create_task = asyncio_name(globals, TARVEL_NAME("create_task"));
    py::Ref task = py::call_kw(create_task.get(), {coro.get()}, {{"name", name.get()}});
    py::Ref tasks = py::getattr(self, holder);
    py::call_method(tasks.get(), TARVEL_NAME("add"), task);
    py::Ref discard = py::getattr(tasks.get(), TARVEL_NAME("discard"));
    py::call_method(task.get(), TARVEL_NAME("add_done_callback"), discard);
    return task;
}

// A task firing `job` through `coro` (self._fire_job(job) unless given), named "job-<id>".
py::Ref start_firing(PyObject* globals, PyObject* self, PyObject* job, py::Ref coro = {}) {
    if (!coro) coro = py::call_method(self, TARVEL_NAME("_fire_job"), job);
    py::Ref id = py::getattr(job, TARVEL_NAME("id"));
    return start_held_task(globals, self, TARVEL_NAME("_firing_tasks"), coro,
                           py::fstring("job-", id));
}

// The firings still running; a finished task may wait a moment for its discard.
long long running_firings(PyObject* self) {
    py::Ref tasks = py::getattr(self, TARVEL_NAME("_firing_tasks"));
    long long running = 0;
    for (const py::Ref& task : py::iterate(tasks.get())) {
        if (!py::truthy(py::call_method(task.get(), TARVEL_NAME("done")).get())) ++running;
    }
    return running;
}

// What a pass does with a job that it cannot handle: logs it with its traceback and
// unschedules it.
void unschedule(PyObject* globals, PyObject* self, PyObject* job, const py::Error& e) {
    py::Ref id = py::getattr(job, TARVEL_NAME("id"));
    log_failure(globals, py::fstring("Failed to schedule job ", id, ": ", e.value()), e);
    py::setattr(job, TARVEL_NAME("next_run"), py::integer(0).get());
    index_changed(globals, self, job);
}

// A due job found later than misfire_grace is not fired: its following run is decided
// from `now` (a one-time job is completed), run_count stays, and the miss is logged and
// sent to on_event from a task of its own, which the pass does not wait for.
void report_missed(PyObject* globals, PyObject* self, PyObject* job, PyObject* now) {
    py::Ref due_at = py::getattr(job, TARVEL_NAME("next_run"));
    make_change(globals, self, job, Change::Miss, now);
    py::Ref id = py::getattr(job, TARVEL_NAME("id"));
    py::Ref name = py::getattr(job, TARVEL_NAME("name"));
    log(globals, "warning",
        py::fstring("Missed job ", name, " (", id, "), due ",
                    format_timestamp(globals, due_at.get())));
    py::Ref on_event = py::getattr(self, TARVEL_NAME("_on_event"));
    if (!py::truthy(on_event.get())) return;
    py::Ref event =
        event_of("scheduler_job_missed", "job", py::call_method(job, TARVEL_NAME("to_dict")).get());
    py::dict_set(event.get(), "due_at", due_at.get());
    py::Ref coro = py::call_method(self, TARVEL_NAME("_send_event"), event);
    start_held_task(globals, self, TARVEL_NAME("_event_tasks"), coro,
                    py::fstring("job-", id, "-missed"));
}

// Under max_concurrent_firings the due jobs fire, the longest due first, while fewer than
// that many firings run; the others stay due, their next runs untouched, for a later pass
// (noted in `held`).
void fire_within_cap(PyObject* globals, PyObject* self, PyObject* cap,
                     std::vector<std::pair<double, py::Ref>>& due, PyObject* held) {
    std::stable_sort(due.begin(), due.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    int overflow = 0;
    const long long most = PyLong_AsLongLongAndOverflow(cap, &overflow);
    py::check(most == -1 && PyErr_Occurred());
    long long free = overflow > 0 ? LLONG_MAX : most - running_firings(self);
    long long left = 0;
    for (auto& [at, job] : due) {
        try {
            if (free <= 0) {
                py::dict_set(held, py::getattr(job.get(), TARVEL_NAME("id")).get(),
                             py::getattr(job.get(), TARVEL_NAME("next_run")).get());
                ++left;
                continue;
            }
            decide_next_run(globals, self, job.get());
            start_firing(globals, self, job.get());
            --free;
        } catch (py::Error& e) {
            if (!e.matches(PyExc_Exception)) throw;
            unschedule(globals, self, job.get(), e);
        }
    }
    if (left == 0) return;
    log(globals, "debug",
        py::fstring("Left ", py::integer(left), plural(left, " due job", " due jobs"),
                    " for a later pass: ", cap, plural(most, " firing is", " firings are"),
                    " running, as many as max_concurrent_firings allows"));
}

// The names of the firing tasks still running ("job-<id>"), as a set.
py::Ref firing_names(PyObject* self) {
    py::Ref names = py::Ref::steal(PySet_New(nullptr));
    py::Ref running = firings_in_flight(self);
    for (const py::Ref& task : py::iterate(running.get())) {
        py::check(
            PySet_Add(names.get(), py::call_method(task.get(), TARVEL_NAME("get_name")).get()) < 0);
    }
    return names;
}

// Without overlap, a due job whose firing still runs is not fired again, nor reported missed: it
// stays due, its next run untouched (one due run, however many passes find it), noted in `held`
// for a later pass. Returns whether it was held back.
bool hold_while_firing(PyObject* globals, PyObject* self, PyObject* firing, PyObject* held,
                       PyObject* job) {
    py::Ref id = py::getattr(job, TARVEL_NAME("id"));
    const int fires = PySet_Contains(firing, py::fstring("job-", id).get());
    py::check(fires < 0);
    if (!fires) return false;
    py::Ref next_run = py::getattr(job, TARVEL_NAME("next_run"));
    const bool already = was_held(self, id.get(), next_run.get());
    py::dict_set(held, id.get(), next_run.get());
    if (!already) {
        py::Ref name = py::getattr(job, TARVEL_NAME("name"));
        log(globals, "debug",
            py::fstring("Left job ", name, " (", id,
                        ") for a later pass: its firing is still running, and overlap is off"));
    }
    return true;
}

// The soonest next run later than `now` among the active jobs, from the index; null when there is
// none. A job a pass held back is due, so never later than now: it does not bring the loop's wake
// time earlier, and the loop never waits for nothing.
py::Ref soonest_next_run(PyObject* globals, PyObject* self, PyObject* now) {
    const double at = PyFloat_AsDouble(now);
    py::check(at == -1.0 && PyErr_Occurred());
    IndexedJob after{{}, {}, at, UINT64_MAX};
    while (next_indexed(globals, self, after)) {
        try {
            if (after.next_run && py::compare(after.next_run.get(), now, Py_GT))
                return after.next_run;
        } catch (py::Error& e) {
            if (!e.matches(PyExc_Exception)) throw;
        }
    }
    return {};
}

// What a pass does with the due `job`: fires it in its own task, reports it missed when it is later
// than misfire_grace, holds it back while its own firing runs without overlap, or, under a cap,
// adds it to `due`. Returns whether it was reported missed.
bool handle_due(PyObject* globals, PyObject* self, PyObject* job, PyObject* now, PyObject* cap,
                PyObject* firing, PyObject* held, std::vector<std::pair<double, py::Ref>>& due) {
    if (!is_due(globals, job, now)) return false;
    // A run due while the job's own firing runs was found in time: it is held, never missed.
    if (firing != nullptr && hold_while_firing(globals, self, firing, held, job)) return false;
    if (past_grace(self, job, now)) {
        report_missed(globals, self, job, now);
        return true;
    }
    if (cap == Py_None) {
        decide_next_run(globals, self, job);
        start_firing(globals, self, job);
        return false;
    }
    py::Ref next_run = py::getattr(job, TARVEL_NAME("next_run"));
    const double at = PyFloat_AsDouble(next_run.get());
    py::check(at == -1.0 && PyErr_Occurred());
    due.emplace_back(at, py::Ref::borrow(job));
    return false;
}

// One pass: every active job whose next run has come (taken from the front of the index, and
// handled in registry order) is fired in its own task, or reported missed when it is later than
// misfire_grace; no other job is read. A job that cannot be handled is logged and unscheduled;
// the pass goes on. With `wake`, returns the soonest next run after the pass (null when none);
// else null.
py::Ref run_pass(PyObject* globals, PyObject* self, bool wake) {
    merge_from_file(globals, self);  // jobs another process saved meanwhile
    py::Ref time = py::global(globals, TARVEL_NAME("time"));
    py::Ref now = py::call_method(time.get(), TARVEL_NAME("time"));
    const std::vector<IndexedJob> listed = due_jobs(globals, self, now.get());
    py::Ref cap = py::getattr(self, TARVEL_NAME("_max_concurrent_firings"));
    const bool overlap = py::truthy(py::getattr(self, TARVEL_NAME("_overlap")).get());
    py::Ref firing = overlap || listed.empty() ? py::Ref() : firing_names(self);
    py::Ref held = py::Ref::steal(PyDict_New());  // id -> the next run it stays due at
    std::vector<std::pair<double, py::Ref>> due;  // under a cap: (next run, job)
    bool missed = false;
    for (const IndexedJob& listed_job : listed) {
        PyObject* job = listed_job.job.get();
        try {
            missed |=
                handle_due(globals, self, job, now.get(), cap.get(), firing.get(), held.get(), due);
        } catch (py::Error& e) {
            if (!e.matches(PyExc_Exception)) throw;
            unschedule(globals, self, job, e);
        }
    }
    if (cap.get() != Py_None) fire_within_cap(globals, self, cap.get(), due, held.get());
    py::setattr(self, TARVEL_NAME("_held_back"), held.get());
    if (missed) py::call_method(self, TARVEL_NAME("_save"));
    return wake ? soonest_next_run(globals, self, now.get()) : py::Ref();
}

// Whether the running task has a cancellation request that nothing consumed:
// on 3.11, wait_for swallows one that arrives together with the stop event.
bool cancel_pending(PyObject* globals) {
    py::Ref task = py::call_method(py::global(globals, TARVEL_NAME("asyncio")).get(),
                                   TARVEL_NAME("current_task"));
    if (task.get() == Py_None) return false;
    py::Ref cancelling =
        py::Ref::steal_maybe(PyObject_CallMethod(task.get(), "cancelling", nullptr));
    if (!cancelling) {
        PyErr_Clear();  // a task type without cancelling()
        return false;
    }
    return py::truthy(cancelling.get());
}

// Whether the loop wakes for the soonest due job: the scheduler's _wake_on_due, read at each pass.
bool wakes_on_due(PyObject* self) {
    py::Ref wake = optional_attr(self, TARVEL_NAME("_wake_on_due"));
    return wake && py::truthy(wake.get());
}

// With wake_on_due, how long the loop waits after a pass: until `soonest` (a next run, or null)
// or for poll_interval, whichever ends first, never less than 0; the time it ends at is kept as
// _wake_at for the registry calls to compare with.
py::Ref wake_timeout(PyObject* globals, PyObject* self, PyObject* interval,
                     const py::Ref& soonest) {
    py::Ref time = py::global(globals, TARVEL_NAME("time"));
    py::Ref now = py::call_method(time.get(), TARVEL_NAME("time"));
    py::Ref timeout = py::Ref::borrow(interval);
    py::Ref wake_at = py::Ref::steal(PyNumber_Add(now.get(), interval));
    if (soonest) {
        py::Ref left = py::Ref::steal(PyNumber_Subtract(soonest.get(), now.get()));
        if (py::compare(left.get(), interval, Py_LT)) {
            wake_at = soonest;
            const double seconds = PyFloat_AsDouble(left.get());
            py::check(seconds == -1.0 && PyErr_Occurred());
            timeout = py::Ref::steal(PyFloat_FromDouble(seconds > 0.0 ? seconds : 0.0));
        }
    }
    py::setattr(self, TARVEL_NAME("_wake_at"), wake_at.get());
    return timeout;
}

// The end of a wait with wake_on_due: the stop event's waiter and the wake future are cancelled,
// and no wait is in progress for the registry calls to end.
void end_wake_wait(PyObject* self, PyObject* stop_waiter, PyObject* wake) noexcept {
    for (PyObject* pending : {stop_waiter, wake}) {
        if (pending == nullptr) continue;
        PyObject* result = PyObject_CallMethod(pending, "cancel", nullptr);
        if (result == nullptr) PyErr_Clear();
        Py_XDECREF(result);
    }
    for (const char* name : {"_wake_future", "_wake_at"}) {
        if (PyObject_SetAttrString(self, name, Py_None) < 0) PyErr_Clear();
    }
}

// With wake_on_due, what the loop awaits after a pass: the first of the stop event's waiter and
// the wake future (set by a registry call that makes a job due sooner), under the module's
// asyncio.wait_for with `timeout`. The waiter and the future are kept in `stop_waiter` and
// `wake_future` for end_wake_wait.
py::Ref wake_wait(PyObject* globals, PyObject* self, PyObject* wait_for, PyObject* event,
                  PyObject* timeout, py::Ref& stop_waiter, py::Ref& wake_future) {
    py::Ref asyncio = py::global(globals, TARVEL_NAME("asyncio"));
    py::Ref loop = py::call_method(asyncio.get(), TARVEL_NAME("get_running_loop"));
    wake_future = py::call_method(loop.get(), TARVEL_NAME("create_future"));
    stop_waiter = py::call_method(asyncio.get(), TARVEL_NAME("ensure_future"),
                                  py::call_method(event, TARVEL_NAME("wait")));
    py::setattr(self, TARVEL_NAME("_wake_future"), wake_future.get());
    py::Ref both = py::Ref::steal(PyList_New(0));
    py::check(PyList_Append(both.get(), stop_waiter.get()) < 0);
    py::check(PyList_Append(both.get(), wake_future.get()) < 0);
    py::Ref first = py::getattr(asyncio.get(), TARVEL_NAME("FIRST_COMPLETED"));
    py::Ref wait = py::getattr(asyncio.get(), TARVEL_NAME("wait"));
    py::Ref waiter = py::call_kw(wait.get(), {both.get()}, {{"return_when", first.get()}});
    return py::call_kw(wait_for, {waiter.get()}, {{"timeout", timeout}});
}

// What the loop awaits after a pass: the stop event under the module's asyncio.wait_for with
// poll_interval, or, with wake_on_due (`soonest` given), the wait of wake_wait.
py::Ref pass_wait(PyObject* globals, PyObject* self, PyObject* event, py::Ref* soonest,
                  py::Ref& stop_waiter, py::Ref& wake_future) {
    py::Ref wait_for = asyncio_name(globals, TARVEL_NAME("wait_for"));
    py::Ref interval = py::getattr(self, TARVEL_NAME("_poll_interval"));
    if (soonest == nullptr) {
        py::Ref waiter = py::call_method(event, TARVEL_NAME("wait"));
        return py::call_kw(wait_for.get(), {waiter.get()}, {{"timeout", interval.get()}});
    }
    try {
        py::Ref timeout = wake_timeout(globals, self, interval.get(), *soonest);
        return wake_wait(globals, self, wait_for.get(), event, timeout.get(), stop_waiter,
                         wake_future);
    } catch (...) {
        end_wake_wait(self, stop_waiter.get(), wake_future.get());
        throw;
    }
}

py::Async loop_body(py::Ref self, py::Ref globals_ref) {
    PyObject* globals = globals_ref.get();
    py::Ref cancelled = asyncio_name(globals, TARVEL_NAME("CancelledError"));
    try {
        for (;;) {
            py::Ref event = py::getattr(self.get(), TARVEL_NAME("_stop_event"));
            if (py::truthy(py::call_method(event.get(), TARVEL_NAME("is_set")).get())) break;
            const bool wake = wakes_on_due(self.get());
            py::Ref soonest = run_pass(globals, self.get(), wake);
            // Wait for the stop event, at most poll_interval (with wake_on_due, at most until the
            // soonest next run, or until a registry call makes a job due sooner); all are read at
            // each pass, so that a host or test can change the wait.
            py::Ref timeout_error = asyncio_name(globals, TARVEL_NAME("TimeoutError"));
            py::Ref stop_waiter, wake_future;
            py::Ref waiting = pass_wait(globals, self.get(), event.get(), wake ? &soonest : nullptr,
                                        stop_waiter, wake_future);
            std::exception_ptr failure;
            bool timed_out = false;
            try {
                co_await py::await_(waiting);
            } catch (py::Error& e) {
                if (e.matches(timeout_error.get())) {
                    timed_out = true;
                } else {
                    failure = std::current_exception();
                }
            } catch (...) {
                failure = std::current_exception();
            }
            if (wake) end_wake_wait(self.get(), stop_waiter.get(), wake_future.get());
            if (failure) std::rethrow_exception(failure);
            if (!timed_out && cancel_pending(globals)) throw py::Error(cancelled.get(), Py_None);
        }
    } catch (py::Error& e) {
        if (!e.matches(cancelled.get())) {
            release_loop_lock(self.get());
            throw;
        }
        log(globals, "debug", py::str("Scheduler loop cancelled"));
    }
    release_loop_lock(self.get());
    co_return py::none();
}

// --- firing -----------------------------------------------------------------------

void set(PyObject* obj, PyObject* name, PyObject* value) {
    py::setattr(obj, name, value);
}

// Without overlap, the next run a pass held the job back at while this firing ran, if the job is
// still due then; else null.
py::Ref held_run(PyObject* self, PyObject* job) {
    if (py::truthy(py::getattr(self, TARVEL_NAME("_overlap")).get())) return {};
    py::Ref id = py::getattr(job, TARVEL_NAME("id"));
    py::Ref next_run = py::getattr(job, TARVEL_NAME("next_run"));
    if (!was_held(self, id.get(), next_run.get())) return {};
    return next_run;
}

// The held run stays due once the firing is counted, when counting it moved the job's next run
// later: it fires at the next pass, and its own following run is decided then.
void keep_held_run(PyObject* globals, PyObject* self, PyObject* job, PyObject* held_at) {
    py::Ref state = py::getattr(job, TARVEL_NAME("state"));
    if (!is_member(globals, state.get(), TARVEL_NAME("JobState"), "ACTIVE")) return;
    py::Ref next_run = py::getattr(job, TARVEL_NAME("next_run"));
    if (!py::compare(next_run.get(), held_at, Py_GT)) return;
    make_change(globals, self, job, Change::Request, held_at);
}

// The final steps of a firing: they run after success, after a handled
// failure and on cancellation, with no await among them. `due_at` is given (the time
// the job was due at, or None) for a firing cancelled at shutdown.
void finish_firing(PyObject* globals, PyObject* self, PyObject* job, PyObject* execution,
                   PyObject* due_at) {
    py::Ref time = py::global(globals, TARVEL_NAME("time"));
    set(execution, TARVEL_NAME("completed_at"),
        py::call_method(time.get(), TARVEL_NAME("time")).get());
    py::Ref completed = py::getattr(execution, TARVEL_NAME("completed_at"));
    py::Ref started = py::getattr(execution, TARVEL_NAME("started_at"));
    set(execution, TARVEL_NAME("duration"),
        py::Ref::steal(PyNumber_Subtract(completed.get(), started.get())).get());

    py::Ref held_at = held_run(self, job);
    if (due_at != nullptr) {
        py::Ref cancelled = py::Ref::steal(
            PyTuple_Pack(2, started.get(), due_at != Py_None ? due_at : started.get()));
        make_change(globals, self, job, Change::Shutdown, cancelled.get());
    } else {
        make_change(globals, self, job, Change::Fire, started.get());
    }
    if (held_at) keep_held_run(globals, self, job, held_at.get());

    py::Ref history = py::getattr(self, TARVEL_NAME("_executions"));
    py::call_method(history.get(), TARVEL_NAME("append"), execution);
    const Py_ssize_t size = PyObject_Length(history.get());
    py::check(size < 0);
    if (size > kHistoryBound) {
        py::Ref newest =
            py::Ref::steal(PySlice_New(py::integer(-kHistoryKept).get(), nullptr, nullptr));
        set(self, TARVEL_NAME("_executions"),
            py::Ref::steal(PyObject_GetItem(history.get(), newest.get())).get());
    }
    py::call_method(self, TARVEL_NAME("_save"));
}

// `await on_fire(job)` under `async with asyncio.timeout(limit)`: a run longer than
// fire_timeout is cancelled and ends in TimeoutError("Timed out after <limit> s"), caused
// by the cancellation that shows where on_fire was waiting. The callback's own
// TimeoutError stays its own.
py::Async within_timeout(py::Ref on_fire, py::Ref job, py::Ref limit, py::Ref globals_ref) {
    PyObject* globals = globals_ref.get();
    py::Ref timeout = py::call_method(py::global(globals, TARVEL_NAME("asyncio")).get(),
                                      TARVEL_NAME("timeout"), limit);
    PyObject* scope = co_await py::keep(std::move(timeout));  // it refers to this task
    co_await py::await_(py::call_method(scope, TARVEL_NAME("__aenter__")));
    py::Ref result;
    std::exception_ptr failure;
    try {
        result = co_await py::await_(py::call(on_fire.get(), job));
    } catch (...) {
        failure = std::current_exception();
    }
    py::Ref exit_args;
    if (failure) {
        try {
            std::rethrow_exception(failure);
        } catch (py::Error& e) {
            exit_args = py::exc_info_tuple(e);
        } catch (...) {
            exit_args = py::Ref();  // not Python's: __aexit__ sees no exception, it goes on below
        }
    }
    if (!exit_args) exit_args = py::Ref::steal(PyTuple_Pack(3, Py_None, Py_None, Py_None));
    py::Ref exit = py::getattr(scope, TARVEL_NAME("__aexit__"));
    py::Ref exiting = py::Ref::steal(PyObject_CallObject(exit.get(), exit_args.get()));
    py::Ref suppressed;
    std::exception_ptr exit_failure;
    try {
        suppressed = co_await py::await_(exiting);
    } catch (...) {
        exit_failure = std::current_exception();
    }
    if (exit_failure) {
        try {
            std::rethrow_exception(exit_failure);
        } catch (py::Error& e) {
            if (!e.matches(PyExc_TimeoutError)) throw;  // only the expired scope raises it
            py::Ref text = py::Ref::steal(PyObject_Str(limit.get()));
            py::Error timed_out(PyExc_TimeoutError,
                                py::fstring("Timed out after ", text, " s").get());
            PyObject* cause = PyException_GetCause(e.value());  // the cancellation
            PyException_SetCause(timed_out.value(), cause ? cause : Py_NewRef(e.value()));
            PyException_SetContext(timed_out.value(), Py_NewRef(e.value()));
            throw timed_out;
        }
    }
    if (failure && !py::truthy(suppressed.get())) std::rethrow_exception(failure);
    co_return failure ? py::none() : result;
}

// The record of a firing that starts now; `record`, a list or None, receives it too.
py::Ref new_execution(PyObject* globals, PyObject* id, PyObject* name, PyObject* record) {
    py::Ref time = py::global(globals, TARVEL_NAME("time"));
    py::Ref started = py::call_method(time.get(), TARVEL_NAME("time"));
    py::Ref record_class = py::global(globals, TARVEL_NAME("JobExecution"));
    py::Ref execution =
        py::call_kw(record_class.get(), {},
                    {{"job_id", id}, {"job_name", name}, {"started_at", started.get()}});
    if (PyList_Check(record)) py::check(PyList_Append(record, execution.get()) < 0);
    return execution;
}

// on_event({"type": type, key: value()}) to await, or null when there is no on_event.
template <class Value>
py::Ref event_call(PyObject* self, const char* type, const char* key, Value value) {
    py::Ref on_event = py::getattr(self, TARVEL_NAME("_on_event"));
    if (!py::truthy(on_event.get())) return {};
    return py::call(on_event.get(), event_of(type, key, value().get()));
}

// on_fire(job) to await, under fire_timeout when one is set; null when there is no on_fire.
py::Ref fire_call(PyObject* self, const py::Ref& job, const py::Ref& globals_ref) {
    py::Ref on_fire = py::getattr(self, TARVEL_NAME("_on_fire"));
    if (!py::truthy(on_fire.get())) return {};
    py::Ref limit = py::getattr(self, TARVEL_NAME("_fire_timeout"));
    if (limit.get() == Py_None) return py::call(on_fire.get(), job);
    return py::make_coroutine(within_timeout(on_fire, job, limit, globals_ref),
                              TARVEL_NAME("Scheduler._fire_job.<locals>.within_timeout"),
                              TARVEL_NAME("within_timeout"));
}

// A successful run's result: "Completed" for a falsy one; one that is not text is kept as
// its text, so that the record stays savable.
void record_success(PyObject* execution, py::Ref result) {
    if (!py::truthy(result.get())) {
        result = py::str("Completed");
    } else if (!PyUnicode_Check(result.get())) {
        result = py::Ref::steal(PyObject_Str(result.get()));
    }
    set(execution, TARVEL_NAME("success"), Py_True);
    set(execution, TARVEL_NAME("result"), result.get());
}

// `except Exception:` of a run: recorded as failed and logged with its traceback. Returns
// what goes on after the final steps: nothing after an Exception; else the failure itself
// (a cancellation, or an error that is not Python's) or an error of recording this one.
std::exception_ptr record_failure(PyObject* globals, PyObject* execution, PyObject* id,
                                  std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (py::Error& e) {
        if (!e.matches(PyExc_Exception)) return failure;
        try {
            set(execution, TARVEL_NAME("success"), Py_False);
            py::Ref text = py::Ref::steal(PyObject_Str(e.value()));
            set(execution, TARVEL_NAME("error"), text.get());
            log_failure(globals, py::fstring("Job ", id, " failed: ", text), e);
            return nullptr;
        } catch (...) {
            return std::current_exception();
        }
    } catch (...) {
        return failure;
    }
}

// Whether `failure` is the cancellation a stop with a time-out gave the running firing task.
bool cancelled_at_shutdown(PyObject* globals, PyObject* self, const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (py::Error& e) {
        if (!e.matches(asyncio_name(globals, TARVEL_NAME("CancelledError")).get())) return false;
    } catch (...) {
        return false;
    }
    py::Ref marks = optional_attr(self, TARVEL_NAME("_cancelled_at_shutdown"));
    if (!marks) return false;
    py::Ref task = py::call_method(py::global(globals, TARVEL_NAME("asyncio")).get(),
                                   TARVEL_NAME("current_task"));
    const int marked = PySequence_Contains(marks.get(), task.get());
    py::check(marked < 0);
    return marked != 0;
}

// A run cancelled at shutdown: recorded as failed with the error "Cancelled at shutdown" and
// logged. Returns what goes on after the final steps: the cancellation, or an error of recording.
std::exception_ptr record_shutdown(PyObject* globals, PyObject* execution, PyObject* id,
                                   std::exception_ptr failure) {
    try {
        set(execution, TARVEL_NAME("success"), Py_False);
        py::Ref text = py::str("Cancelled at shutdown");
        set(execution, TARVEL_NAME("error"), text.get());
        log(globals, "warning", py::fstring("Job ", id, " failed: ", text));
        return failure;
    } catch (...) {
        return std::current_exception();
    }
}

// Fires `job`; `record`, a list or None, receives the execution record once it is made.
py::Async fire_body(py::Ref self, py::Ref job, py::Ref globals_ref, py::Ref record) {
    PyObject* globals = globals_ref.get();
    py::Ref id = py::getattr(job.get(), TARVEL_NAME("id"));
    py::Ref name = py::getattr(job.get(), TARVEL_NAME("name"));
    py::Ref due_at = take_due_time(self.get(), id.get());
    log(globals, "info", py::fstring("Firing job: ", name, " (", id, ")"));
    py::Ref execution = new_execution(globals, id.get(), name.get(), record.get());
    std::exception_ptr failure;
    try {
        if (py::Ref fired = event_call(self.get(), "scheduler_job_fired", "job", [&] {
                return py::call_method(job.get(), TARVEL_NAME("to_dict"));
            })) {
            co_await py::await_(std::move(fired));
        }
    } catch (...) {
        failure = std::current_exception();
    }
    // Any end of the fired event loses the run, but a cancellation at shutdown, recorded below.
    bool at_shutdown = failure && cancelled_at_shutdown(globals, self.get(), failure);
    if (failure && !at_shutdown) std::rethrow_exception(failure);

    if (!failure) {
        try {
            py::Ref result = py::str("");
            if (py::Ref run = fire_call(self.get(), job, globals_ref))
                result = co_await py::await_(std::move(run));
            record_success(execution.get(), result);
        } catch (...) {
            failure = std::current_exception();
        }
        at_shutdown = failure && cancelled_at_shutdown(globals, self.get(), failure);
    }
    if (at_shutdown) {
        failure = record_shutdown(globals, execution.get(), id.get(), failure);
    } else if (failure) {
        failure = record_failure(globals, execution.get(), id.get(), failure);
    }
    // As a Python `finally:` that awaits: the run is recorded and the completed event
    // sent after a cancellation too, and only then does the cancellation go on.
    finish_firing(globals, self.get(), job.get(), execution.get(),
                  at_shutdown ? due_at.get() : nullptr);
    if (py::Ref completed = event_call(self.get(), "scheduler_job_completed", "execution", [&] {
            return py::call_method(execution.get(), TARVEL_NAME("to_dict"));
        })) {
        co_await py::await_(std::move(completed));
    }
    if (!at_shutdown) wake_for_held(globals, self.get());  // its place is free for held jobs
    if (failure) std::rethrow_exception(failure);
    co_return py::none();
}

py::Ref globals_of(const py::Frame& frame) {
    return py::Ref::borrow(frame.globals);
}

TARVEL_COROUTINE(Scheduler, "start", start_impl, "self", "None", "Start the scheduler loop.")
(const py::Frame& frame, PyObject* self) {
    return py::make_coroutine(start_body(py::Ref::borrow(self), globals_of(frame)), frame.function);
}
TARVEL_COROUTINE(Scheduler, "stop", stop_impl, "self, timeout: float | None = None", "None",
                 "Stop the scheduler loop.")
(const py::Frame& frame, PyObject* self, PyObject* timeout) {
    return py::make_coroutine(
        stop_body(py::Ref::borrow(self), py::Ref::borrow(timeout), globals_of(frame)),
        frame.function);
}
TARVEL_COROUTINE(Scheduler, "_loop", loop_impl, "self", "None",
                 "Main scheduler loop \xe2\x80\x94 checks every 30 seconds for due jobs.")
(const py::Frame& frame, PyObject* self) {
    return py::make_coroutine(loop_body(py::Ref::borrow(self), globals_of(frame)), frame.function);
}
TARVEL_COROUTINE(Scheduler, "_fire_job", fire_impl, "self, job: ScheduledJob", "None",
                 "Execute a scheduled job.")
(const py::Frame& frame, PyObject* self, PyObject* job) {
    return py::make_coroutine(
        fire_body(py::Ref::borrow(self), py::Ref::borrow(job), globals_of(frame), py::none()),
        frame.function);
}

// --- firing on request, and events outside a firing -------------------------------

// The newest execution record of the job `id`, as a dictionary, or None.
py::Ref newest_execution(PyObject* self, PyObject* id) {
    py::Ref history = py::getattr(self, TARVEL_NAME("_executions"));
    py::Ref records = py::Ref::steal(PySequence_List(history.get()));
    for (Py_ssize_t i = PyList_GET_SIZE(records.get()); i-- > 0;) {
        PyObject* execution = PyList_GET_ITEM(records.get(), i);
        py::Ref of = py::getattr(execution, TARVEL_NAME("job_id"));
        if (py::compare(of.get(), id, Py_EQ)) {
            return py::call_method(execution, TARVEL_NAME("to_dict"));
        }
    }
    return py::none();
}

py::Async run_now_body(py::Ref self, py::Ref job_id, py::Ref globals_ref) {
    PyObject* globals = globals_ref.get();
    py::require_str(job_id.get(), "job_id");
    py::Ref jobs = py::getattr(self.get(), TARVEL_NAME("_jobs"));
    py::Ref job = py::call_method(jobs.get(), TARVEL_NAME("get"), job_id);
    if (job.get() == Py_None) co_return job;
    // As the loop fires a due job: the following run first, so no pass fires it meanwhile.
    decide_next_run(globals, self.get(), job.get());
    py::Ref record = py::Ref::steal(PyList_New(0));
    py::Ref coro;
    if (py::type_runs(Py_TYPE(self.get()), TARVEL_NAME("_fire_job"), fire_impl)) {
        coro = py::make_coroutine(fire_body(self, job, globals_ref, record),
                                  TARVEL_NAME("Scheduler._fire_job"), TARVEL_NAME("_fire_job"));
    }
    // In a firing task of its own, which max_concurrent_firings counts.
    py::Ref task = start_firing(globals, self.get(), job.get(), coro);
    co_await py::await_(task);
    if (!py::truthy(py::getattr(self.get(), TARVEL_NAME("_on_fire")).get())) {
        // A process without a callback (a command line) only records the run.
        log(globals, "warning",
            py::fstring("Job ", py::getattr(job.get(), TARVEL_NAME("name")), " (", job_id,
                        ") was run without on_fire: nothing was fired; request_run(job_id) asks "
                        "the process whose loop runs to fire it"));
    }
    if (PyList_GET_SIZE(record.get()) == 0) {  // an overriding _fire_job
        co_return newest_execution(self.get(), py::getattr(job.get(), TARVEL_NAME("id")).get());
    }
    co_return py::call_method(PyList_GET_ITEM(record.get(), 0), TARVEL_NAME("to_dict"));
}

py::Async send_event_body(py::Ref self, py::Ref event, py::Ref globals_ref) {
    PyObject* globals = globals_ref.get();
    py::Ref on_event = py::getattr(self.get(), TARVEL_NAME("_on_event"));
    if (!py::truthy(on_event.get())) co_return py::none();
    try {
        co_await py::await_(py::call(on_event.get(), event));
    } catch (py::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        py::Ref type =
            PyDict_Check(event.get()) ? py::dict_get(event.get(), TARVEL_NAME("type")) : py::Ref();
        log_failure(
            globals,
            py::fstring("Failed to send event ", type ? type.get() : Py_None, ": ", e.value()), e);
    }
    co_return py::none();
}

TARVEL_COROUTINE(Scheduler, "run_now", run_now_impl, "self, job_id: str", "dict[str, Any] | None",
                 "Fire a job now, whatever its state, and return its execution.")
(const py::Frame& frame, PyObject* self, PyObject* job_id) {
    return py::make_coroutine(
        run_now_body(py::Ref::borrow(self), py::Ref::borrow(job_id), globals_of(frame)),
        frame.function);
}
TARVEL_COROUTINE(Scheduler, "_send_event", send_event_impl, "self, event: dict[str, Any]", "None",
                 "Send an event to on_event; a failure is logged, not raised.")
(const py::Frame& frame, PyObject* self, PyObject* event) {
    return py::make_coroutine(
        send_event_body(py::Ref::borrow(self), py::Ref::borrow(event), globals_of(frame)),
        frame.function);
}

// Ends the loop's wait on `wake`, its wake future. A future belongs to its event loop's thread:
// a call from another thread hands the wake to that loop (cancelling ends the wait as a result
// does, and may come twice).
void end_wake(PyObject* globals, PyObject* wake) {
    py::Ref loop = py::call_method(wake, TARVEL_NAME("get_loop"));
    py::Ref asyncio = py::global(globals, TARVEL_NAME("asyncio"));
    py::Ref running = py::call_method(asyncio.get(), TARVEL_NAME("_get_running_loop"));
    if (running.get() == loop.get()) {
        py::call_method(wake, TARVEL_NAME("set_result"), Py_None);
    } else {
        py::call_method(loop.get(), TARVEL_NAME("call_soon_threadsafe"),
                        py::getattr(wake, TARVEL_NAME("cancel")));
    }
}

}  // namespace

bool past_grace(PyObject* self, PyObject* job, PyObject* now) {
    py::Ref grace = py::getattr(self, TARVEL_NAME("_misfire_grace"));
    if (grace.get() == Py_None) return false;
    py::Ref next_run = py::getattr(job, TARVEL_NAME("next_run"));
    py::Ref late = py::Ref::steal(PyNumber_Subtract(now, next_run.get()));
    if (!py::compare(late.get(), grace.get(), Py_GT)) return false;
    py::Ref id = py::getattr(job, TARVEL_NAME("id"));
    return !was_held(self, id.get(), next_run.get());
}

bool was_held(PyObject* self, PyObject* id, PyObject* next_run) {
    py::Ref held = py::getattr(self, TARVEL_NAME("_held_back"));
    py::Ref held_at = py::call_method(held.get(), TARVEL_NAME("get"), id);
    return held_at.get() != Py_None && py::compare(held_at.get(), next_run, Py_EQ);
}

void wake_if_sooner(PyObject* globals, PyObject* self, PyObject* job) {
    py::Ref wake = optional_attr(self, TARVEL_NAME("_wake_future"));
    if (!wake || wake.get() == Py_None) return;  // no wait for a due job in progress
    if (py::truthy(py::call_method(wake.get(), TARVEL_NAME("done")).get())) return;
    py::Ref state = py::getattr(job, TARVEL_NAME("state"));
    if (!is_member(globals, state.get(), TARVEL_NAME("JobState"), "ACTIVE")) return;
    py::Ref next_run = py::getattr(job, TARVEL_NAME("next_run"));
    if (!py::truthy(next_run.get())) return;
    py::Ref wake_at = py::getattr(self, TARVEL_NAME("_wake_at"));
    if (wake_at.get() != Py_None && !py::compare(next_run.get(), wake_at.get(), Py_LT)) return;
    py::Ref id = py::getattr(job, TARVEL_NAME("id"));
    if (was_held(self, id.get(), next_run.get())) return;
    end_wake(globals, wake.get());
}

void wake_for_held(PyObject* globals, PyObject* self) {
    try {
        py::Ref held = optional_attr(self, TARVEL_NAME("_held_back"));
        if (!held || !PyDict_Check(held.get()) || PyDict_GET_SIZE(held.get()) == 0) return;
        py::Ref wake = optional_attr(self, TARVEL_NAME("_wake_future"));
        if (!wake || wake.get() == Py_None) return;  // no wait for a due job in progress
        if (py::truthy(py::call_method(wake.get(), TARVEL_NAME("done")).get())) return;
        end_wake(globals, wake.get());
    } catch (py::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        log(globals, "error", py::fstring("Failed to wake the loop: ", e.value()));
    }
}

void add_loop_methods(PyObject* module, py::Members& members) {
    declarations().add_to(module, "Scheduler", members);
}

}  // namespace tarvel::scheduler
