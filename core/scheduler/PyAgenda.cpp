// core/scheduler/PyAgenda.cpp: Scheduler.upcoming, the agenda of the runs the loop will fire
#include <algorithm>
#include <climits>
#include <cstdint>
#include <queue>
#include <utility>
#include <vector>

#include "core/scheduler/PyScheduler.hpp"
#include "glue/PyFunction.hpp"
#include "glue/PyMethods.hpp"

namespace tarvel::scheduler {

namespace {

TARVEL_DECLARATIONS

enum class Kind { Cron, Interval, Single };

// One job's runs as the loop will fire them, listed one at a time.
struct Runs {
    py::Ref job;
    Kind kind = Kind::Single;
    py::Ref cron;      // the job's CronExpression; null when its schedule cannot be read
    py::Ref interval;  // interval_seconds
    long long left = 0;
    py::Ref at;  // the next run to list, in Unix seconds
    double key = 0.0;
    std::uint64_t order = 0;  // the job's place in the registry
};

long long as_count(PyObject* value) {
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
    py::check(n == -1 && PyErr_Occurred());
    if (overflow != 0) return overflow > 0 ? LLONG_MAX : 0;
    return n;
}

// The run that follows one at `at`, as a firing at `at` decides it; null for none. A cron
// job's is never earlier than `at`, across a repeated daylight-saving hour too.
py::Ref following(PyObject* globals, const Runs& runs, PyObject* at) {
    try {
        if (runs.kind == Kind::Cron && runs.cron) {
            py::Ref datetime = py::global(globals, TARVEL_NAME("datetime"));
            py::Ref after = py::call_method(datetime.get(), TARVEL_NAME("fromtimestamp"), at);
            return later_occurrence(runs.cron.get(), after.get(), at);
        }
        if (runs.kind == Kind::Interval &&
            py::compare(runs.interval.get(), py::integer(0).get(), Py_GT)) {
            return py::Ref::steal(PyNumber_Add(at, runs.interval.get()));
        }
    } catch (py::Error& e) {  // no occurrence left: the loop would unschedule the job
        if (!e.matches(PyExc_Exception)) throw;
    }
    return {};
}

bool set_at(Runs& runs, py::Ref at) {
    if (!at) return false;
    runs.key = PyFloat_AsDouble(at.get());
    py::check(runs.key == -1.0 && PyErr_Occurred());
    runs.at = std::move(at);
    return true;
}

// The runs of an active, scheduled job from `now` on, at most `count`; false for none. A job
// overdue fires at the next pass, so at `now`, unless misfire_grace makes the loop skip it.
bool first_runs(PyObject* globals, PyObject* self, PyObject* job, PyObject* now, long long count,
                Runs& runs) {
    py::Ref state = py::getattr(job, TARVEL_NAME("state"));
    if (!is_member(globals, state.get(), TARVEL_NAME("JobState"), "ACTIVE")) return false;
    py::Ref next_run = py::getattr(job, TARVEL_NAME("next_run"));
    if (!py::truthy(next_run.get())) return false;
    runs.job = py::Ref::borrow(job);
    py::Ref job_type = py::getattr(job, TARVEL_NAME("job_type"));
    if (is_member(globals, job_type.get(), TARVEL_NAME("JobType"), "CRON")) {
        runs.kind = Kind::Cron;
        try {
            py::Ref cron_class = py::global(globals, TARVEL_NAME("CronExpression"));
            runs.cron = py::call(cron_class.get(), py::getattr(job, TARVEL_NAME("schedule")));
        } catch (py::Error& e) {  // the run already due still fires; none follows it
            if (!e.matches(PyExc_Exception)) throw;
        }
    } else if (is_member(globals, job_type.get(), TARVEL_NAME("JobType"), "INTERVAL")) {
        runs.kind = Kind::Interval;
        runs.interval = py::getattr(job, TARVEL_NAME("interval_seconds"));
    }
    // The runs max_runs leaves; a job at its limit still fires the run it is due for.
    runs.left = count;
    py::Ref max_runs = py::getattr(job, TARVEL_NAME("max_runs"));
    py::Ref zero = py::integer(0);
    if (py::compare(max_runs.get(), zero.get(), Py_GT)) {
        py::Ref done = py::getattr(job, TARVEL_NAME("run_count"));
        py::Ref remaining = py::Ref::steal(PyNumber_Subtract(max_runs.get(), done.get()));
        py::Ref whole = py::Ref::steal(PyNumber_Long(remaining.get()));
        runs.left = std::min(count, std::max(1LL, as_count(whole.get())));
    }
    if (py::compare(next_run.get(), now, Py_GT)) return set_at(runs, next_run);
    if (past_grace(self, job, now)) return set_at(runs, following(globals, runs, now));
    return set_at(runs, py::Ref::borrow(now));
}

py::Ref entry(PyObject* globals, const Runs& runs) {
    py::Ref d = py::Ref::steal(PyDict_New());
    py::dict_set(d.get(), "job_id", py::getattr(runs.job.get(), TARVEL_NAME("id")).get());
    py::dict_set(d.get(), "job_name", py::getattr(runs.job.get(), TARVEL_NAME("name")).get());
    py::dict_set(d.get(), "next_run", runs.at.get());
    py::dict_set(d.get(), "next_run_human", format_timestamp(globals, runs.at.get()).get());
    return d;
}

// Adds the run `runs` stands at to `agenda`. A time the platform cannot convert (Windows stops at
// the year 3000) is left out, with the runs after it: false then.
bool list_run(PyObject* globals, PyObject* agenda, const Runs& runs) {
    py::Ref listed = entry(globals, runs);
    PyObject* human = PyDict_GetItemString(listed.get(), "next_run_human");
    if (human != nullptr && PyUnicode_Check(human) &&
        PyUnicode_CompareWithASCIIString(human, "Invalid") == 0) {
        return false;
    }
    py::check(PyList_Append(agenda, listed.get()) < 0);
    return true;
}

// The count the arguments ask for, checked as the method's signature promises.
long long checked_count(PyObject* count_arg, PyObject* job_id) {
    if (!PyLong_Check(count_arg) || PyBool_Check(count_arg)) {
        py::wrong_type("count", "an int", count_arg);
    }
    if (job_id != Py_None && !PyUnicode_CheckExact(job_id)) {
        py::wrong_type("job_id", "a str or None", job_id);
    }
    if (py::compare(count_arg, py::integer(0).get(), Py_LT)) {
        throw py::Error(PyExc_ValueError,
                        py::fstring("count must be 0 or more, not ", count_arg).get());
    }
    return as_count(count_arg);
}

// The runs of `job` (at `order` in the registry) added to `all` when it will fire.
void add_first_runs(PyObject* globals, PyObject* self, PyObject* job, std::uint64_t order,
                    PyObject* now, long long count, std::vector<Runs>& all) {
    Runs runs;
    runs.order = order;
    try {
        if (first_runs(globals, self, job, now, count, runs)) all.push_back(std::move(runs));
    } catch (py::Error& e) {  // a job the loop cannot handle either: it never fires
        if (!e.matches(PyExc_Exception)) throw;
    }
}

// The runs of the jobs the agenda starts from: the one job named `job_id` (none when it is
// unknown), or every job of the index due by `now`; the others join from the index as the agenda
// reaches their first runs.
std::vector<Runs> starting_runs(PyObject* globals, PyObject* self, PyObject* job_id, PyObject* now,
                                long long count) {
    std::vector<Runs> all;
    if (job_id != Py_None) {
        py::Ref registry = py::getattr(self, TARVEL_NAME("_jobs"));
        py::Ref job = py::call_method(registry.get(), TARVEL_NAME("get"), job_id);
        if (job.get() != Py_None) add_first_runs(globals, self, job.get(), 0, now, count, all);
        return all;
    }
    for (const IndexedJob& due : due_jobs(globals, self, now))
        add_first_runs(globals, self, due.job.get(), due.order, now, count, all);
    return all;
}

// The next `count` runs of the active jobs (or of the one job), soonest first; equal times
// in registry order. The jobs come from the index in next-run order, each job's runs one at a
// time, so the work grows with `count`, not with the number of jobs.
TARVEL_METHOD(Scheduler, "upcoming", upcoming_impl,
              "self, count: int = 10, job_id: str | None = None", "list[dict[str, Any]]",
              "List the next runs of the active jobs (or of one job), soonest first.")
(const py::Frame& frame, PyObject* self, PyObject* count, PyObject* job_id) {
    const long long wanted = checked_count(count, job_id);
    py::Ref agenda = py::Ref::steal(PyList_New(0));
    if (wanted == 0) return agenda;

    py::Ref time = py::global(frame.globals, TARVEL_NAME("time"));
    py::Ref now = py::call_method(time.get(), TARVEL_NAME("time"));
    std::vector<Runs> all = starting_runs(frame.globals, self, job_id, now.get(), wanted);
    auto later = [&all](std::size_t a, std::size_t b) {
        return all[a].key != all[b].key ? all[a].key > all[b].key : all[a].order > all[b].order;
    };
    std::priority_queue<std::size_t, std::vector<std::size_t>, decltype(later)> soonest(later);
    for (std::size_t i = 0; i < all.size(); ++i)
        soonest.push(i);
    // The next job of the index not yet read, after those due by now.
    IndexedJob next{{}, {}, PyFloat_AsDouble(now.get()), UINT64_MAX};
    py::check(next.at == -1.0 && PyErr_Occurred());
    bool more = job_id == Py_None && next_indexed(frame.globals, self, next);
    while (PyList_GET_SIZE(agenda.get()) < wanted) {
        // A job whose place comes after the soonest run to list has no run before it.
        while (more && (soonest.empty() ||
                        std::pair(next.at, next.order) <
                            std::pair(all[soonest.top()].key, all[soonest.top()].order))) {
            const std::size_t before = all.size();
            add_first_runs(frame.globals, self, next.job.get(), next.order, now.get(), wanted, all);
            if (all.size() > before) soonest.push(before);
            more = next_indexed(frame.globals, self, next);
        }
        if (soonest.empty()) break;
        const std::size_t i = soonest.top();
        soonest.pop();
        if (!list_run(frame.globals, agenda.get(), all[i])) continue;
        Runs& runs = all[i];
        if (--runs.left > 0 && set_at(runs, following(frame.globals, runs, runs.at.get()))) {
            soonest.push(i);
        }
    }
    return agenda;
}

}  // namespace

void add_agenda_methods(PyObject* module, py::Members& members) {
    declarations().add_to(module, "Scheduler", members);
}

}  // namespace tarvel::scheduler
