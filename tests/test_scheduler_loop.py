"""tests/test_scheduler_loop.py: the scheduler's loop, start and stop, and the firing of jobs on a real event loop."""

from __future__ import annotations

import asyncio
import gc
import inspect
import traceback
import weakref
from datetime import datetime

import pytest
from conftest import saved, state_path

from tarvel.core import scheduler

Scheduler, ScheduledJob, JobExecution = scheduler.Scheduler, scheduler.ScheduledJob, scheduler.JobExecution
JobType, JobState = scheduler.JobType, scheduler.JobState
REAL_WAIT_FOR = asyncio.wait_for
T0 = 1_800_000_000.0  # the fake clock's start, Unix seconds, on a whole minute


class Clockwork:
    """Stands in for the system clock and for the loop's 30-second wait.

    A wait ends as a time-out when the test lets the next pass run (`passes`), or at once when
    the stop event is set; each ended wait moves the clock on by `tick` seconds.
    """

    def __init__(self, monkeypatch):
        self.now, self.tick, self.waits, self._go = T0, 30.0, [], None
        clock = self

        class Now(datetime):
            @classmethod
            def now(cls, tz=None):
                return datetime.fromtimestamp(clock.now)

        monkeypatch.setattr(scheduler.time, "time", lambda: self.now)
        monkeypatch.setattr(scheduler, "datetime", Now)
        monkeypatch.setattr(scheduler.asyncio, "wait_for", self.wait_for)

    def advance(self, timeout, timed_out):
        """Moves the clock on as a wait ends (timed_out is None when the wait itself was cancelled)."""
        self.now += self.tick

    async def wait_for(self, aw, timeout):
        self.waits.append(timeout)
        self._go = go = asyncio.get_running_loop().create_future()
        waiter = asyncio.ensure_future(aw)
        timed_out = None
        try:
            await asyncio.wait([waiter, go], return_when=asyncio.FIRST_COMPLETED)
            timed_out = not (waiter.done() and not waiter.cancelled())
        finally:
            waiter.cancel()
            self.advance(timeout, timed_out)
        if not timed_out:
            return waiter.result()
        raise asyncio.TimeoutError

    async def passes(self, total):
        """Lets the loop run until it has done `total` passes, then lets the firings begin."""
        for _ in range(2000):
            if len(self.waits) >= total:
                break
            if self._go is not None and not self._go.done():
                self._go.set_result(None)
            await asyncio.sleep(0)
        assert len(self.waits) == total
        await settle()


async def settle(rounds=50):
    for _ in range(rounds):
        await asyncio.sleep(0)


@pytest.fixture
def clock(monkeypatch):
    return Clockwork(monkeypatch)


@pytest.fixture
def path(request, tmp_path):
    return state_path(request, tmp_path)


def interval(job_id="iv", **fields):
    fields.setdefault("next_run", T0)
    return ScheduledJob(id=job_id, name="n-" + job_id, job_type=JobType.INTERVAL, interval_seconds=60, **fields)


def once(job_id="o", **fields):
    return ScheduledJob(id=job_id, job_type=JobType.ONCE, **fields)


def run(sch, passes=1, body=None, clock=None):
    """Starts `sch`, lets its loop do `passes` passes, awaits `body()`, then stops it."""
    async def main():
        await sch.start()
        await clock.passes(passes)
        if body:
            await body()
        await sch.stop()
        await settle()
    asyncio.run(main())


# --- coroutines and tasks -----------------------------------------------------------------------

@pytest.mark.parametrize("name, signature, doc", [
    ("start", "(self) -> 'None'", "Start the scheduler loop."),
    ("stop", "(self, timeout: 'float | None' = None) -> 'None'", "Stop the scheduler loop."),
    ("_loop", "(self) -> 'None'", "Main scheduler loop \u2014 checks every 30 seconds for due jobs."),
    ("_fire_job", "(self, job: 'ScheduledJob') -> 'None'", "Execute a scheduled job."),
])
def test_methods_are_coroutine_functions(path, name, signature, doc):
    method = getattr(Scheduler, name)
    assert inspect.iscoroutinefunction(method) and method.__qualname__ == "Scheduler." + name
    assert (str(inspect.signature(method)), method.__doc__) == (signature, doc)
    coro = getattr(Scheduler(storage_path=path), name)(*([once()] if name == "_fire_job" else []))
    assert asyncio.iscoroutine(coro) and inspect.isawaitable(coro)
    coro.close()


def test_tasks_are_named_and_fired_in_registry_order(path, store, clock):
    sch, seen = Scheduler(storage_path=path, store=store), []

    async def on_fire(job):
        seen.append((asyncio.current_task().get_name(), job is sch._jobs.get(job.id)))

    sch._on_fire = on_fire
    for job_id in ("b", "a", "c"):
        sch._jobs[job_id] = interval(job_id)

    async def body():
        assert sch._task.get_name() == "scheduler" and "Scheduler._loop" in repr(sch._task) and sch.running
        assert asyncio.create_task(sch._fire_job(once("x")), name="own")

    run(sch, 1, body, clock)
    assert seen == [("job-b", True), ("job-a", True), ("job-c", True), ("own", False)]
    assert clock.waits == [30.0] and type(clock.waits[0]) is float


def test_start_twice_gives_one_loop(path, store, log, clock):
    sch = Scheduler(storage_path=path, store=store)
    sch._jobs = {"p": interval(state=JobState.PAUSED), "c": interval(state=JobState.COMPLETED)}

    async def main():
        await sch.start()
        task = sch._task
        await sch.start()
        assert sch._task is task
        await clock.passes(1)
        await sch.stop()
        assert task.done() and not task.cancelled() and sch._task is None and not sch.running

    asyncio.run(main())
    assert log() == [("INFO", "Scheduler started with 2 jobs"), ("DEBUG", "Scheduler loop cancelled"),
                     ("INFO", "Scheduler stopped")]


def test_stop_without_start_only_logs(path, log):
    sch = Scheduler(storage_path=path)
    asyncio.run(sch.stop())
    assert sch._task is None and sch._stop_event.is_set() and log() == [("INFO", "Scheduler stopped")]


@pytest.mark.parametrize("rounds", range(7))
def test_stop_always_ends_the_loop_through_cancellation(path, store, log, rounds):
    sch = Scheduler(storage_path=path, store=store)  # the real 30-second wait; stop() sets the event, then cancels

    async def main():
        await sch.start()
        task = sch._task
        await settle(rounds)
        await sch.stop()
        return task

    task = asyncio.run(main())
    if rounds == 0:  # cancelled before it began: nothing ran, nothing to log
        assert task.cancelled() and log()[1:] == [("INFO", "Scheduler stopped")]
    else:
        assert not task.cancelled() and task.exception() is None
        assert log()[1:] == [("DEBUG", "Scheduler loop cancelled"), ("INFO", "Scheduler stopped")]


@pytest.mark.parametrize("wake", [False, True])
@pytest.mark.parametrize("end", ["stop event", "cancel"])
def test_the_loop_ends_at_once_and_without_error(path, store, log, end, wake):
    sch = Scheduler(storage_path=path, wake_on_due=wake, store=store)  # the real 30-second wait

    async def main():
        await sch.start()
        await settle()
        started = asyncio.get_running_loop().time()
        sch._stop_event.set() if end == "stop event" else sch._task.cancel()
        await asyncio.wait([sch._task], timeout=2)
        assert asyncio.get_running_loop().time() - started < 1 and not sch._task.cancelled()
        assert sch._task.result() is None and not sch.running
        await settle()
        assert asyncio.all_tasks() == {asyncio.current_task()} and sch._wake_future is None

    asyncio.run(main())
    assert log()[1:] == [("DEBUG", "Scheduler loop cancelled")] * (end == "cancel")


def test_a_scheduler_starts_again_on_a_new_event_loop(path, store, log):
    sch, events = Scheduler(storage_path=path, store=store), []

    async def main():
        await sch.start()
        await settle()  # the first pass runs, then the loop waits on the event, binding it to this loop
        events.append(sch._stop_event)
        await sch.stop()

    for run_number in range(3):
        sch.add_job(once(f"o{run_number}", next_run=1.0))
        asyncio.run(main())
    assert len(set(map(id, events))) == 3 and [j.run_count for j in sch._jobs.values()] == [1, 1, 1]
    assert [m for _, m in log()].count("Scheduler loop cancelled") == 3


# --- which jobs fire ----------------------------------------------------------------------------

def test_interval_job_fires_at_each_pass_it_is_due(path, store, log, clock):
    sch = Scheduler(storage_path=path, store=store)
    job = sch.add_job(interval())  # adding moves next_run to T0 + 60
    job.next_run = T0
    run(sch, 5, clock=clock)
    assert [e.started_at for e in sch._executions] == [T0, T0 + 60, T0 + 120]
    assert (job.run_count, job.last_run, job.next_run, job.state) == (3, T0 + 120, T0 + 180, JobState.ACTIVE)
    assert [m for _, m in log()].count("Firing job: n-iv (iv)") == 3
    assert saved(path)["jobs"]["iv"]["run_count"] == 3 and len(saved(path)["executions"]) == 3


@pytest.mark.parametrize("fields, fires", [
    ({"next_run": T0 - 86_400}, True), ({"next_run": T0}, True), ({"next_run": T0 + 0.001}, False),
    ({"next_run": 0}, False), ({"next_run": 0.0}, False),
    *[({"next_run": T0, "state": state}, False) for state in (JobState.PAUSED, JobState.COMPLETED,
                                                              JobState.DISABLED)],
])
def test_an_active_job_is_due_once_its_next_run_has_come(path, store, clock, fields, fires):
    sch = Scheduler(storage_path=path, store=store)
    sch._jobs["o"] = job = once(**fields)
    before = dict(vars(job))
    run(sch, 1, clock=clock)
    if fires:
        assert (job.run_count, job.state, job.next_run, type(job.next_run)) == (1, JobState.COMPLETED, 0, int)
    else:
        assert vars(job) == before and sch._executions == [] and not path.exists()


@pytest.mark.parametrize("max_runs, run_count", [(1, 0), (3, 2), (2, 5)])
def test_last_run_is_decided_before_firing(path, store, clock, max_runs, run_count):
    sch, seen = Scheduler(storage_path=path, store=store), []
    sch._on_fire = lambda job: asyncio.sleep(0, seen.append((job.next_run, job.state)))
    sch._jobs["m"] = job = interval("m", max_runs=max_runs, run_count=run_count)
    run(sch, 4, clock=clock)
    assert seen == [(0, JobState.ACTIVE)]
    assert (job.run_count, job.state, job.next_run) == (run_count + 1, JobState.COMPLETED, 0)


# --- firing: results, failures, events ----------------------------------------------------------

@pytest.mark.parametrize("value, result", [(None, "Completed"), ("", "Completed"), ("done", "done"),
                                           (0, "Completed"), ("absent", "Completed"), ({"pages": 2}, "{'pages': 2}"),
                                           (7, "7")])
def test_fire_result(path, store, clock, value, result):
    sch = Scheduler(on_fire=None if value == "absent" else lambda job: asyncio.sleep(0, value),
                    storage_path=path, store=store)
    sch._jobs["o"] = once(name="once", next_run=T0)
    run(sch, 1, clock=clock)
    [execution] = sch._executions
    assert (execution.success, execution.result, execution.error) == (True, result, "")
    assert (execution.job_id, execution.job_name, execution.completed_at, execution.duration) == (
        "o", "once", T0, 0.0)


async def broken_callback(job):
    raise ValueError("bad prompt ✗")


def plain_callback(job):
    return "not awaitable"


@pytest.mark.parametrize("callback, text", [(broken_callback, "bad prompt ✗"),
                                            (plain_callback, "object str can't be used in 'await' expression")])
def test_a_failing_callback_is_recorded_and_logged(path, store, log, caplog, clock, callback, text):
    sch = Scheduler(on_fire=callback, storage_path=path, store=store)
    sch._jobs["iv"] = job = interval()
    run(sch, 1, clock=clock)
    [execution] = sch._executions
    assert (execution.success, execution.result, execution.error) == (False, "", text)
    assert (job.run_count, job.last_run, job.next_run, job.state) == (1, T0, T0 + 60, JobState.ACTIVE)
    [record] = [r for r in caplog.records if r.levelname == "ERROR"]
    assert record.getMessage() == f"Job iv failed: {text}" and str(record.exc_info[1]) == text
    if callback is broken_callback:
        assert "broken_callback" in "".join(traceback.format_exception(*record.exc_info))


def test_events_report_the_firing(path, store, clock):
    events, tasks = [], []

    async def on_event(event):
        events.append((event, saved(path)["executions"] if path.exists() else None))
        if event["type"] == "scheduler_job_completed":
            tasks.append(asyncio.current_task())
            raise KeyError("late")  # everything is done and saved by now

    async def on_fire(job):
        assert [e["type"] for e, _ in events] == ["scheduler_job_fired"]
        return "ok"

    sch = Scheduler(on_fire, on_event, path, store=store)
    sch._jobs["iv"] = job = interval(run_count=4, last_run=T0 - 100)
    run(sch, 1, clock=clock)
    (fired, before), (completed, after) = events
    assert list(fired) == ["type", "job"] and fired["type"] == "scheduler_job_fired"
    assert fired["job"]["next_run"] == T0 - 40 and fired["job"]["run_count"] == 4
    assert completed == {"type": "scheduler_job_completed", "execution": sch._executions[0].to_dict()}
    assert before is None and after == [completed["execution"]] and isinstance(tasks[0].exception(), KeyError)
    assert (job.run_count, job.next_run, sch._executions[0].result) == (5, T0 + 60, "ok")


@pytest.mark.parametrize("fault", ["raises", "cancelled"])
def test_a_fired_event_that_fails_loses_the_run(path, store, log, clock, fault):
    tasks = []

    async def on_event(event):
        tasks.append(asyncio.current_task())
        if fault == "raises":
            raise RuntimeError("host down")
        await asyncio.Event().wait()

    sch = Scheduler(lambda job: pytest.fail("fired"), on_event, path, store=store)
    sch._jobs["iv"] = job = interval(last_run=T0 - 10)
    run(sch, 1, lambda: asyncio.sleep(0, tasks[0].cancel()) if fault == "cancelled" else settle(), clock)
    assert tasks[0].cancelled() if fault == "cancelled" else str(tasks[0].exception()) == "host down"
    assert (job.run_count, job.last_run, job.next_run) == (0, T0 - 10, T0 + 50)
    assert sch._executions == [] and not path.exists() and "ERROR" not in dict(log())


# --- firing: cancellation, other faults, overlap, garbage collection ------------------------------

class Halt(BaseException):
    """A fault outside the Exception family."""


@pytest.mark.parametrize("fault", ["cancel Event().wait()", "cancel future", "Halt"])
def test_an_unhandled_end_of_the_callback_still_records_and_reports_the_run(path, store, log, clock, fault):
    seen, types = {"cancelled": False}, []

    async def on_fire(job):
        seen["task"], seen["future"] = asyncio.current_task(), asyncio.get_running_loop().create_future()
        if fault == "Halt":
            raise Halt()
        try:
            await (seen["future"] if "future" in fault else asyncio.Event().wait())
        except asyncio.CancelledError:
            seen["cancelled"] = True
            raise

    async def on_event(event):
        await asyncio.sleep(0)  # the report awaits with the cancellation in flight
        types.append(event["type"])
        seen["reported"] = event.get("execution")

    sch = Scheduler(on_fire, on_event, path, store=store)
    sch._jobs["iv"] = job = interval()

    async def body():
        clock.now += 4.0
        seen["task"].cancel()
        await asyncio.wait([seen["task"]])

    run(sch, 1, body, clock)
    task, halted = seen["task"], fault == "Halt"
    if halted:
        assert isinstance(task.exception(), Halt) and not seen["cancelled"]
    else:  # the cancellation reached what the callback awaited, then ended the task
        assert task.cancelled() and seen["cancelled"] and seen["future"].cancelled() is ("future" in fault)
    [execution] = sch._executions
    assert (execution.success, execution.error, execution.result) == (False, "", "")
    assert execution.duration == (0.0 if halted else 4.0)
    assert (job.run_count, job.next_run) == (1, T0 + 60) and saved(path)["jobs"]["iv"]["run_count"] == 1
    assert types == ["scheduler_job_fired", "scheduler_job_completed"] and seen["reported"] == execution.to_dict()
    assert "ERROR" not in dict(log())


@pytest.mark.parametrize("kind", ["interval", "cron"])
def test_slow_firing_overlaps_only_for_interval_jobs(path, store, clock, kind):
    gates = []

    async def slow(job):
        gates.append(asyncio.Event())
        await gates[-1].wait()

    sch = Scheduler(slow, None, path, store=store)
    if kind == "interval":  # the following run, last_run + 60, stays past while the firing is pending
        sch._jobs["j"] = job = interval("j", last_run=T0 - 120)
    else:  # the following run is the next minute after now
        sch._jobs["j"] = job = ScheduledJob(id="j", schedule="* * * * *", next_run=T0)

    async def body():
        assert job.run_count == 0 and len(sch._firing_tasks) == len(gates) == (3 if kind == "interval" else 2)
        for gate in gates:
            gate.set()
        await settle()
        assert job.run_count == len(gates) and sch._firing_tasks == set()
        await clock.passes(4)  # T0 + 90: no longer due

    run(sch, 3, body, clock)
    expected = [T0, T0 + 30, T0 + 60] if kind == "interval" else [T0, T0 + 60]
    assert [e.started_at for e in sch._executions] == expected
    assert (job.run_count, job.last_run, job.next_run) == (len(gates), T0 + 60, T0 + 120)


def test_a_pending_firing_survives_garbage_collection(path, store, clock):
    seen = {}

    async def on_fire(job):
        seen["task"] = weakref.ref(asyncio.current_task())
        await asyncio.get_running_loop().create_future()  # held by nothing but this frame

    sch = Scheduler(on_fire, None, path, store=store)
    sch._jobs["iv"] = interval()

    async def body():
        gc.collect()
        task = seen["task"]()
        assert task is not None and not task.done() and sch._firing_tasks == {task}
        task.cancel()
        await settle()
        assert sch._firing_tasks == set()

    run(sch, 1, body, clock)
    assert len(sch._executions) == 1


# --- a pass that meets a broken job ---------------------------------------------------------------

def test_a_broken_job_is_unscheduled_and_the_pass_goes_on(path, store, log, caplog, clock):
    sch = Scheduler(storage_path=path, store=store)
    cron = sch.add_job(ScheduledJob(id="b", schedule="0 6 * * *"))
    cron.next_run = T0
    sch._jobs["b"].schedule = 5
    sch._jobs["a"] = bad_time = interval("a", next_run="soon")
    sch._jobs["c"] = good = interval("c")
    texts = []
    for attempt in (lambda: sch._calc_next_run(cron), lambda: T0 >= "soon"):
        with pytest.raises(TypeError) as error:
            attempt()
        texts.append(str(error.value))

    async def body():
        assert sch.running

    run(sch, 3, body, clock)
    errors = [r for r in caplog.records if r.levelname == "ERROR"]
    assert [r.getMessage() for r in errors] == [f"Failed to schedule job b: {texts[0]}",
                                                f"Failed to schedule job a: {texts[1]}"]
    assert all(isinstance(r.exc_info[1], TypeError) for r in errors)
    assert (cron.next_run, bad_time.next_run, cron.run_count, bad_time.run_count) == (0, 0, 0, 0)
    assert good.run_count == 2


# --- history and restarts -------------------------------------------------------------------------

@pytest.mark.parametrize("prefill, kept", [(499, 500), (500, 250)])
def test_history_is_trimmed_to_the_newest(path, store, clock, prefill, kept):
    sch = Scheduler(storage_path=path, store=store)
    records = [JobExecution(f"old{i}", "n", float(i)) for i in range(prefill)]
    sch._executions = history = list(records)
    sch._jobs["iv"] = interval()
    run(sch, 1, clock=clock)
    assert len(sch._executions) == kept and sch.stats()["recent_executions"] == kept
    assert sch._executions[:-1] == records[-(kept - 1):] and sch._executions[-1].job_id == "iv"
    assert (sch._executions is history) is (kept == 500)


def test_a_new_scheduler_on_the_file_continues(path, store, clock):
    sch = Scheduler(lambda job: asyncio.sleep(0, "r-" + job.id), None, path, store=store)
    sch._jobs["iv"] = interval()
    sch._jobs["o"] = once(next_run=T0 + 30, max_runs=5)
    run(sch, 4, clock=clock)
    again = Scheduler(storage_path=path, store=store)
    assert again.list_jobs() == sch.list_jobs() and again.list_executions() == sch.list_executions()
    assert again.stats() == sch.stats() == {"running": False, "total_jobs": 2, "active_jobs": 1,
                                            "paused_jobs": 0, "total_executions": 3, "recent_executions": 3}


# --- a night the clocks change --------------------------------------------------------------------

@pytest.mark.parametrize("zone, start", [  # the loop starts at this local time
    ("America/New_York", datetime(2026, 11, 1, 0, 0)),
    ("America/New_York", datetime(2026, 11, 1, 1, 5, fold=1)),  # the repeated hour's second 01:05
    ("America/New_York", datetime(2026, 3, 8, 0, 0)),
    ("Australia/Lord_Howe", datetime(2026, 4, 5, 0, 30)),  # the clock goes back 30 minutes at 02:00
    ("Australia/Lord_Howe", datetime(2026, 4, 5, 1, 35, fold=1)),
    ("Australia/Lord_Howe", datetime(2026, 10, 4, 0, 30)),
])
def test_a_quarter_hourly_job_fires_each_wall_clock_quarter_once_across_the_night(path, store, clock, local_zone, zone,
                                                                                  start):
    local_zone(zone)
    clock.now = start.timestamp()
    computed = []  # (clock, next run) of every next run computed, by adding, the loop and the firings

    class Recording(Scheduler):
        def _calc_next_run(self, job):
            computed.append((clock.now, super()._calc_next_run(job)))
            return computed[-1][1]

    sch = Recording(storage_path=path, store=store)
    sch.add_job(ScheduledJob(id="q", schedule="*/15 * * * *"))
    end = clock.now + 3 * 3600

    async def body():
        while clock.now < end:
            await clock.passes(len(clock.waits) + 1)

    run(sch, 1, body, clock)
    expected, last = [], start  # each quarter hour whose wall-clock time is later than the last one fired
    for quarter in range(int(start.timestamp()) // 900 * 900 + 900, int(end) + 1, 900):
        if datetime.fromtimestamp(quarter) > last:
            expected.append(quarter)
            last = datetime.fromtimestamp(quarter)
    assert [e.started_at for e in sch._executions] == expected
    assert len(computed) == 2 * len(expected) + 1 and all(next_run > now for now, next_run in computed)
