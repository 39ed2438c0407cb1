// core/scheduler/PyLoop.cpp: start, stop, _loop and _fire_job, the scheduler's coroutines
#include <exception>

#include "core/scheduler/PyScheduler.hpp"
#include "glue/PyCoroutine.hpp"
#include "glue/PyFunction.hpp"

namespace tarvel::scheduler {

namespace {

py::Ref asyncio_name(PyObject* globals, PyObject* name) {
    py::Ref asyncio = py::global(globals, TARVEL_NAME("asyncio"));
    return py::getattr(asyncio.get(), name);
}

py::Ref member(PyObject* globals, PyObject* enum_name, const char* name) {
    py::Ref enumeration = py::global(globals, enum_name);
    return py::Ref::steal(PyObject_GetAttrString(enumeration.get(), name));
}

// logger.error(message, exc_info=...) with the traceback of `error`.
void log_failure(PyObject* globals, const py::Ref& message, const py::Error& error) {
    py::Ref exc_info = py::exc_info_tuple(error);
    py::log(globals, "error", message, exc_info.get());
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

py::Async stop_body(py::Ref self, py::Ref globals_ref) {
    PyObject* globals = globals_ref.get();
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
    py::setattr(self.get(), TARVEL_NAME("_task"), Py_None);
    release_loop_lock(self.get());
    log(globals, "info", py::str("Scheduler stopped"));
    co_return py::none();
}

// --- the loop ---------------------------------------------------------------------

// The following run of a due job, decided before it fires.
void decide_next_run(PyObject* globals, PyObject* self, PyObject* job) {
    py::Ref max_runs = py::getattr(job, TARVEL_NAME("max_runs"));
    py::Ref zero = py::integer(0);
    if (py::compare(max_runs.get(), zero.get(), Py_GT)) {
        py::Ref runs = py::getattr(job, TARVEL_NAME("run_count"));
        py::Ref after_this = py::Ref::steal(PyNumber_Add(runs.get(), py::integer(1).get()));
        if (py::compare(after_this.get(), max_runs.get(), Py_GE)) {
            py::setattr(job, TARVEL_NAME("next_run"), zero.get());
            return;
        }
    }
    py::Ref job_type = py::getattr(job, TARVEL_NAME("job_type"));
    py::Ref once = member(globals, TARVEL_NAME("JobType"), "ONCE");
    if (py::compare(job_type.get(), once.get(), Py_EQ)) {
        py::setattr(job, TARVEL_NAME("next_run"), zero.get());
        return;
    }
    py::Ref next = py::call_method(self, TARVEL_NAME("_calc_next_run"), job);
    py::setattr(job, TARVEL_NAME("next_run"), next.get());
}

// Whether `job` is due at `now`; if so its following run is decided.
bool take_if_due(PyObject* globals, PyObject* self, PyObject* job, PyObject* now) {
    py::Ref state = py::getattr(job, TARVEL_NAME("state"));
    py::Ref active = member(globals, TARVEL_NAME("JobState"), "ACTIVE");
    if (!py::compare(state.get(), active.get(), Py_EQ)) return false;
    py::Ref next_run = py::getattr(job, TARVEL_NAME("next_run"));
    if (!py::truthy(next_run.get()) || !py::compare(now, next_run.get(), Py_GE)) return false;
    decide_next_run(globals, self, job);
    return true;
}

// A task firing `job`, held by the scheduler until it finishes: the event loop
// keeps only weak references to tasks.
void start_firing(PyObject* globals, PyObject* self, PyObject* job) {
    py::Ref coro = py::call_method(self, TARVEL_NAME("_fire_job"), job);
    py::Ref id = py::getattr(job, TARVEL_NAME("id"));
    py::Ref create_task = asyncio_name(globals, TARVEL_NAME("create_task"));
    py::Ref task =
        py::call_kw(create_task.get(), {coro.get()}, {{"name", py::fstring("job-", id).get()}});
    py::Ref firing = py::getattr(self, TARVEL_NAME("_firing_tasks"));
    py::call_method(firing.get(), TARVEL_NAME("add"), task);
    py::Ref discard = py::getattr(firing.get(), TARVEL_NAME("discard"));
    py::call_method(task.get(), TARVEL_NAME("add_done_callback"), discard);
}

// One pass: every active job whose next run has come is fired in its own task.
// A job that cannot be handled is logged and unscheduled; the pass goes on.
void run_pass(PyObject* globals, PyObject* self) {
    merge_from_file(globals, self);  // jobs another process saved meanwhile
    py::Ref time = py::global(globals, TARVEL_NAME("time"));
    py::Ref now = py::call_method(time.get(), TARVEL_NAME("time"));
    py::Ref jobs = py::getattr(self, TARVEL_NAME("_jobs"));
    py::Ref values = py::call_method(jobs.get(), TARVEL_NAME("values"));
    py::Ref snapshot = py::Ref::steal(PySequence_List(values.get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.get()); ++i) {
        PyObject* job = PyList_GET_ITEM(snapshot.get(), i);
        try {
            if (take_if_due(globals, self, job, now.get())) start_firing(globals, self, job);
        } catch (py::Error& e) {
            if (!e.matches(PyExc_Exception)) throw;
            py::Ref id = py::getattr(job, TARVEL_NAME("id"));
            log_failure(globals, py::fstring("Failed to schedule job ", id, ": ", e.value()), e);
            py::setattr(job, TARVEL_NAME("next_run"), py::integer(0).get());
        }
    }
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

py::Async loop_body(py::Ref self, py::Ref globals_ref) {
    PyObject* globals = globals_ref.get();
    py::Ref cancelled = asyncio_name(globals, TARVEL_NAME("CancelledError"));
    try {
        for (;;) {
            py::Ref event = py::getattr(self.get(), TARVEL_NAME("_stop_event"));
            if (py::truthy(py::call_method(event.get(), TARVEL_NAME("is_set")).get())) break;
            run_pass(globals, self.get());
            // Wait for the stop event, at most poll_interval; both are read at each
            // pass, so that a host or test can change the wait.
            py::Ref wait_for = asyncio_name(globals, TARVEL_NAME("wait_for"));
            py::Ref timeout_error = asyncio_name(globals, TARVEL_NAME("TimeoutError"));
            py::Ref waiter = py::call_method(event.get(), TARVEL_NAME("wait"));
            py::Ref interval = py::getattr(self.get(), TARVEL_NAME("_poll_interval"));
            py::Ref waiting =
                py::call_kw(wait_for.get(), {waiter.get()}, {{"timeout", interval.get()}});
            bool timed_out = false;
            try {
                co_await py::await_(waiting);
            } catch (py::Error& e) {
                if (!e.matches(timeout_error.get())) throw;
                timed_out = true;
            }
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

// The final steps of a firing: they run after success, after a handled
// failure and on cancellation, with no await among them.
void finish_firing(PyObject* globals, PyObject* self, PyObject* job, PyObject* execution) {
    py::Ref time = py::global(globals, TARVEL_NAME("time"));
    set(execution, TARVEL_NAME("completed_at"),
        py::call_method(time.get(), TARVEL_NAME("time")).get());
    py::Ref completed = py::getattr(execution, TARVEL_NAME("completed_at"));
    py::Ref started = py::getattr(execution, TARVEL_NAME("started_at"));
    set(execution, TARVEL_NAME("duration"),
        py::Ref::steal(PyNumber_Subtract(completed.get(), started.get())).get());

    set(job, TARVEL_NAME("last_run"), started.get());
    py::Ref runs = py::getattr(job, TARVEL_NAME("run_count"));
    set(job, TARVEL_NAME("run_count"),
        py::Ref::steal(PyNumber_InPlaceAdd(runs.get(), py::integer(1).get())).get());

    py::Ref zero = py::integer(0);
    py::Ref max_runs = py::getattr(job, TARVEL_NAME("max_runs"));
    bool finished =
        py::compare(max_runs.get(), zero.get(), Py_GT) &&
        py::compare(py::getattr(job, TARVEL_NAME("run_count")).get(), max_runs.get(), Py_GE);
    if (!finished) {
        py::Ref job_type = py::getattr(job, TARVEL_NAME("job_type"));
        finished = py::compare(job_type.get(),
                               member(globals, TARVEL_NAME("JobType"), "ONCE").get(), Py_EQ);
    }
    if (finished) {
        set(job, TARVEL_NAME("state"), member(globals, TARVEL_NAME("JobState"), "COMPLETED").get());
        set(job, TARVEL_NAME("next_run"), zero.get());
    } else {
        set(job, TARVEL_NAME("next_run"),
            py::call_method(self, TARVEL_NAME("_calc_next_run"), job).get());
    }

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

py::Ref event_of(const char* type, const char* key, PyObject* value) {
    py::Ref event = py::Ref::steal(PyDict_New());
    py::dict_set(event.get(), "type", py::str(type).get());
    py::dict_set(event.get(), key, value);
    return event;
}

py::Async fire_body(py::Ref self, py::Ref job, py::Ref globals_ref) {
    PyObject* globals = globals_ref.get();
    py::Ref id = py::getattr(job.get(), TARVEL_NAME("id"));
    py::Ref name = py::getattr(job.get(), TARVEL_NAME("name"));
    log(globals, "info", py::fstring("Firing job: ", name, " (", id, ")"));
    py::Ref time = py::global(globals, TARVEL_NAME("time"));
    py::Ref started = py::call_method(time.get(), TARVEL_NAME("time"));
    py::Ref record_class = py::global(globals, TARVEL_NAME("JobExecution"));
    py::Ref execution = py::call_kw(
        record_class.get(), {},
        {{"job_id", id.get()}, {"job_name", name.get()}, {"started_at", started.get()}});

    py::Ref on_event = py::getattr(self.get(), TARVEL_NAME("_on_event"));
    if (py::truthy(on_event.get())) {
        py::Ref fired = event_of("scheduler_job_fired", "job",
                                 py::call_method(job.get(), TARVEL_NAME("to_dict")).get());
        co_await py::await_(py::call(on_event.get(), fired));
    }

    std::exception_ptr failure;
    try {
        py::Ref result = py::str("");
        py::Ref on_fire = py::getattr(self.get(), TARVEL_NAME("_on_fire"));
        if (py::truthy(on_fire.get())) {
            result = co_await py::await_(py::call(on_fire.get(), job));
        }
        // A result that is not text is kept as its text: the record must stay savable.
        if (!py::truthy(result.get())) {
            result = py::str("Completed");
        } else if (!PyUnicode_Check(result.get())) {
            result = py::Ref::steal(PyObject_Str(result.get()));
        }
        set(execution.get(), TARVEL_NAME("success"), Py_True);
        set(execution.get(), TARVEL_NAME("result"), result.get());
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        // except Exception: the run is recorded as failed and logged with its traceback.
        try {
            std::rethrow_exception(failure);
        } catch (py::Error& e) {
            if (e.matches(PyExc_Exception)) {
                failure = nullptr;
                try {
                    set(execution.get(), TARVEL_NAME("success"), Py_False);
                    py::Ref text = py::Ref::steal(PyObject_Str(e.value()));
                    set(execution.get(), TARVEL_NAME("error"), text.get());
                    log_failure(globals, py::fstring("Job ", id, " failed: ", text), e);
                } catch (...) {
                    failure = std::current_exception();
                }
            }
        } catch (...) {
        }
    }
    // As a Python `finally:` that awaits: the run is recorded and the completed event
    // sent after a cancellation too, and only then does the cancellation go on.
    finish_firing(globals, self.get(), job.get(), execution.get());
    on_event = py::getattr(self.get(), TARVEL_NAME("_on_event"));
    if (py::truthy(on_event.get())) {
        py::Ref completed =
            event_of("scheduler_job_completed", "execution",
                     py::call_method(execution.get(), TARVEL_NAME("to_dict")).get());
        co_await py::await_(py::call(on_event.get(), completed));
    }
    if (failure) std::rethrow_exception(failure);
    co_return py::none();
}

py::Ref globals_of(const py::Frame& frame) {
    return py::Ref::borrow(frame.globals);
}

py::Ref start_impl(const py::Frame& frame) {
    return py::make_coroutine(start_body(py::Ref::borrow(frame.args[0]), globals_of(frame)),
                              frame.function);
}
py::Ref stop_impl(const py::Frame& frame) {
    return py::make_coroutine(stop_body(py::Ref::borrow(frame.args[0]), globals_of(frame)),
                              frame.function);
}
py::Ref loop_impl(const py::Frame& frame) {
    return py::make_coroutine(loop_body(py::Ref::borrow(frame.args[0]), globals_of(frame)),
                              frame.function);
}
py::Ref fire_impl(const py::Frame& frame) {
    return py::make_coroutine(fire_body(py::Ref::borrow(frame.args[0]),
                                        py::Ref::borrow(frame.args[1]), globals_of(frame)),
                              frame.function);
}

py::Ref coroutine(PyObject* module, const char* name, const char* qualname, const char* params,
                  const char* doc, py::Impl impl) {
    return py::make_function({name, qualname, params, "None", doc, impl, true}, module);
}

}  // namespace

void add_loop_methods(PyObject* module, py::Members& members) {
    members.emplace_back("start", coroutine(module, "start", "Scheduler.start", "self",
                                            "Start the scheduler loop.", start_impl));
    members.emplace_back("stop", coroutine(module, "stop", "Scheduler.stop", "self",
                                           "Stop the scheduler loop.", stop_impl));
    members.emplace_back(
        "_loop", coroutine(module, "_loop", "Scheduler._loop", "self",
                           "Main scheduler loop \xe2\x80\x94 checks every 30 seconds for due jobs.",
                           loop_impl));
    members.emplace_back(
        "_fire_job", coroutine(module, "_fire_job", "Scheduler._fire_job",
                               "self, job: ScheduledJob", "Execute a scheduled job.", fire_impl));
}

}  // namespace tarvel::scheduler
