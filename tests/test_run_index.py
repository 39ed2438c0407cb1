"""tests/test_run_index.py: the active jobs ordered by next run, which the loop, its wake time and the agenda
read: changes made around the registry calls are seen in time, and what fires and what is listed stays as a walk
over every job gives it, on a controlled clock."""

from __future__ import annotations

import asyncio
import copy
import pickle
import random

import pytest
from conftest import state_path, xfail_with_database

from tarvel.core import scheduler
from test_scheduler_loop import T0, settle
from test_scheduler_operation import DueClock, cron, every, once

Scheduler, JobState = scheduler.Scheduler, scheduler.JobState


@pytest.fixture
def path(request, tmp_path):
    return state_path(request, tmp_path)


@pytest.fixture
def due_clock(monkeypatch):
    return DueClock(monkeypatch)


def run_with_change(sch, clock, change, passes):
    """Starts `sch`, lets one pass run, makes `change(sch)` while the loop waits, then lets it run on
    until it has made `passes` passes in all."""
    async def main():
        await sch.start()
        await clock.passes(1)
        change(sch)
        await clock.passes(passes)
        await sch.stop()
        await settle()
    asyncio.run(main())


def set_next_run(sch):
    sch._jobs["x"].next_run = T0 + 1


def add_directly(sch):
    sch._jobs["x"] = once("x", next_run=T0 + 1)


def replace_directly(sch):
    sch._jobs["x"] = once("x", next_run=T0 + 1)  # the key held a job due much later


def replace_dict(sch):
    sch._jobs = dict(sch._jobs, x=once("x", next_run=T0 + 1))


def ticks(sch):
    """One-time jobs due every 5 s: with wake_on_due the loop's passes come that close together."""
    sch._jobs.update((f"t{k}", once(f"t{k}", next_run=T0 + 5 * k)) for k in range(1, 13))


# The passes 5 s apart do not read every job each time: the index's checks find the change, within
# poll_interval (30 s) of it.
@pytest.mark.parametrize("change, x_before, by", [
    (set_next_run, T0 + 1000, T0 + 30),
    (add_directly, None, T0 + 5),  # another size of the registry: at the next pass
    (replace_directly, T0 + 1000, T0 + 30),
    (replace_dict, None, T0 + 5),  # another registry: at the next pass
], ids=["next_run set", "entry added", "entry replaced", "dict replaced"])
def test_a_change_made_around_the_registry_calls_fires_within_one_poll_interval(path, store, due_clock, change,
                                                                                   x_before, by):
    sch = Scheduler(storage_path=path, wake_on_due=True, store=store)
    ticks(sch)
    if x_before is not None:
        sch._jobs["x"] = once("x", next_run=x_before)
    run_with_change(sch, due_clock, change, 9)
    fired = [e.started_at for e in sch._executions if e.job_id == "x"]
    assert len(fired) == 1 and T0 + 1 <= fired[0] <= by
    assert set(due_clock.waits) == {5.0}  # the ticks' passes, none sooner: the change woke nothing


def pause_by_attribute(sch):
    sch._jobs["x"].state = JobState.PAUSED


def move_by_attribute(sch):
    sch._jobs["x"].next_run = T0 + 22


def replace_with_one_not_due(sch):
    sch._jobs["x"] = once("x", next_run=T0 + 1000)


# x is due at T0 + 10 until the change, made at T0.
@pytest.mark.parametrize("change, fired", [
    (pause_by_attribute, []),
    (move_by_attribute, [T0 + 22]),  # at its own time, between two ticks
    (replace_with_one_not_due, []),
])
def test_a_job_changed_around_the_registry_calls_fires_as_it_now_stands(path, store, due_clock, change, fired):
    sch = Scheduler(storage_path=path, wake_on_due=True, store=store)
    ticks(sch)
    sch._jobs["x"] = once("x", next_run=T0 + 10)
    run_with_change(sch, due_clock, change, 9)
    assert due_clock.now >= T0 + 35
    assert [e.started_at for e in sch._executions if e.job_id == "x"] == fired
    ticked = [(e.job_id, e.started_at) for e in sch._executions if e.job_id != "x"]
    assert ticked == [(f"t{k}", T0 + 5 * k) for k in range(1, 13) if T0 + 5 * k <= due_clock.now]


def test_a_job_another_process_changed_fires_at_its_new_time_once_merged(path, store, due_clock):
    sch = Scheduler(storage_path=path, wake_on_due=True, store=store)
    ticks(sch)
    sch._jobs["x"] = once("x", next_run=T0 + 1000)
    sch._save()
    other = Scheduler(storage_path=path, store=store)
    run_with_change(sch, due_clock, lambda sch: other.update_job("x", {"next_run": T0 + 12}), 5)
    assert [e.started_at for e in sch._executions if e.job_id == "x"] == [T0 + 12]


def test_due_jobs_fire_in_next_run_order_each_at_its_time(path, store, due_clock):
    sch = Scheduler(storage_path=path, wake_on_due=True, store=store)
    times = list(range(1, 13))
    random.Random(7).shuffle(times)
    for k, at in enumerate(times):  # registry order unlike next-run order, added both ways
        job = once(f"j{at}", next_run=T0 + at)
        if k % 2:
            sch.add_job(job)
        else:
            sch._jobs[job.id] = job
    sch.pause_job("j4")
    sch.update_job("j9", {"next_run": T0 + 100})
    run_with_change(sch, due_clock, lambda sch: sch.resume_job("j4") and sch.remove_job("j6"), 12)
    expected = [(f"j{at}", T0 + at) for at in range(1, 13) if at not in (6, 9)]
    assert [(e.job_id, e.started_at) for e in sch._executions] == expected


def agenda_by_job(sch, count):
    """upcoming(count) built from each job's own runs, merged by time and then registry order."""
    runs = [(e["next_run"], place, e) for place, job_id in enumerate(sch._jobs) for e in sch.upcoming(count, job_id)]
    return [e for _, _, e in sorted(runs, key=lambda r: r[:2])][:count]


@pytest.mark.parametrize("grace", [None, 10.0])
@pytest.mark.parametrize("count", [1, 7, 60])
def test_upcoming_merges_the_runs_of_every_job_in_time_and_registry_order(path, store, due_clock, grace, count):
    sch = Scheduler(storage_path=path, misfire_grace=grace, store=store)
    jobs = [cron("c1"), cron("c2", "*/10 * * * *"), cron("c3"), cron("m", "*/5 * * * *", run_count=1, max_runs=3),
            cron("bad", "* * * *"), cron("p", state=JobState.PAUSED)]
    for job in jobs:
        sch.add_job(job)
    sch._jobs.update(i=every("i", 300, next_run=T0 + 300), late=once("late", next_run=T0 - 5),
                     later=once("later", next_run=T0 - 50), tie=once("tie", next_run=T0 + 600),
                     o=once("o", next_run=T0 + 3600), zero=once("zero"),
                     done=once("done", next_run=T0 + 60, state=JobState.COMPLETED))
    assert sch.upcoming(count) == agenda_by_job(sch, count)
    sch.pause_job("c1")
    sch.resume_job("c1")  # back at its place in the registry, tied with c3 at each run
    sch.update_job("i", {"interval_seconds": 600})
    assert sch.upcoming(count) == agenda_by_job(sch, count)
    sch._jobs["c3"].state = JobState.PAUSED  # around the calls: seen when its entry is read
    assert sch.upcoming(count) == agenda_by_job(sch, count)


def test_a_copy_and_a_pickle_of_the_scheduler_keep_no_index_of_the_original(request, path, store, due_clock):
    xfail_with_database(request, "a deep copy of a database scheduler copies its open sqlite3 connection, which "
                                 "refuses to be copied or pickled")
    sch = Scheduler(storage_path=path, store=store)
    sch.add_job(once("a", next_run=T0 + 10))
    sch.upcoming()  # the index is built at its first use
    for other in (copy.copy(sch), copy.deepcopy(sch)):
        other._jobs = {"b": once("b", next_run=T0 + 20)}
        assert [e["job_id"] for e in other.upcoming()] == ["b"]
        assert other._run_index is not sch._run_index
    assert [e["job_id"] for e in sch.upcoming()] == ["a"]
    assert pickle.loads(pickle.dumps(sch._run_index)) is None
