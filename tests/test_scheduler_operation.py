"""tests/test_scheduler_operation.py: the scheduler's operating options (poll interval, firing cap, fire time-out,
misfire grace), on a real event loop with a controlled clock."""

from __future__ import annotations

import asyncio
import inspect
import math
from datetime import datetime

import pytest

from tarvel.core import scheduler
from test_scheduler_loop import T0, Clockwork, run, saved, settle

Scheduler, ScheduledJob = scheduler.Scheduler, scheduler.ScheduledJob
JobType, JobState = scheduler.JobType, scheduler.JobState
OPTIONS = ["_poll_interval", "_max_concurrent_firings", "_fire_timeout", "_misfire_grace"]


@pytest.fixture
def clock(monkeypatch):
    return Clockwork(monkeypatch)


def every(job_id, seconds=60, **fields):
    fields.setdefault("next_run", T0)
    return ScheduledJob(id=job_id, name="n", job_type=JobType.INTERVAL, interval_seconds=seconds, **fields)


def cron(job_id, schedule="*/5 * * * *", **fields):
    return ScheduledJob(id=job_id, name="n", schedule=schedule, **fields)


def once(job_id, **fields):
    return ScheduledJob(id=job_id, name="n", job_type=JobType.ONCE, **fields)


def until(clock, end):
    """A loop body that lets passes run until the clock reaches `end`."""
    async def body():
        while clock.now < end:
            await clock.passes(len(clock.waits) + 1)
    return body


# --- options --------------------------------------------------------------------------------------

@pytest.mark.parametrize("options, kept", [
    ({}, [30.0, None, None, None]),
    ({"poll_interval": 5, "max_concurrent_firings": 3, "fire_timeout": 1.5, "misfire_grace": 0}, [5, 3, 1.5, 0]),
])
def test_options_are_kept_after_the_other_attributes(path, options, kept):
    sch = Scheduler(storage_path=path, **options)
    names = list(vars(sch))
    assert [getattr(sch, name) for name in OPTIONS] == kept and names.index(OPTIONS[0]) > names.index("_loop_lock")


@pytest.mark.parametrize("options, error", [
    ({"poll_interval": 0}, ValueError("poll_interval must be positive, not 0")),
    ({"poll_interval": -0.5}, ValueError("poll_interval must be positive, not -0.5")),
    ({"poll_interval": math.nan}, ValueError("poll_interval must be positive, not nan")),
    ({"poll_interval": math.inf}, ValueError("poll_interval must be finite, not inf")),
    ({"poll_interval": None}, TypeError("poll_interval must be a number, not NoneType")),
    ({"poll_interval": True}, TypeError("poll_interval must be a number, not bool")),
    ({"max_concurrent_firings": 0}, ValueError("max_concurrent_firings must be positive, not 0")),
    ({"max_concurrent_firings": 2.0}, TypeError("max_concurrent_firings must be an int or None, not float")),
    ({"max_concurrent_firings": True}, TypeError("max_concurrent_firings must be an int or None, not bool")),
    ({"fire_timeout": 0.0}, ValueError("fire_timeout must be positive, not 0.0")),
    ({"fire_timeout": 10**400}, ValueError(f"fire_timeout must be finite, not {10**400}")),
    ({"fire_timeout": "5"}, TypeError("fire_timeout must be a number or None, not str")),
    ({"misfire_grace": -1}, ValueError("misfire_grace must be 0 or more, not -1")),
    ({"misfire_grace": False}, TypeError("misfire_grace must be a number or None, not bool")),
])
def test_options_are_checked_before_anything_is_done(monkeypatch, options, error):
    monkeypatch.setattr(scheduler, "tarvel_dir", lambda: pytest.fail("tarvel_dir was called"))
    with pytest.raises(type(error)) as raised:
        Scheduler(**options)
    assert str(raised.value) == str(error)


# --- poll interval ------------------------------------------------------------------------------

def test_a_short_poll_interval_fires_a_one_second_job_about_once_a_second(path, clock):
    clock.tick = 0.01
    sch = Scheduler(storage_path=path, poll_interval=0.01)
    sch.add_job(every("s", 1))  # first due at T0 + 1
    run(sch, 1, until(clock, T0 + 3.5), clock)
    starts = [e.started_at for e in sch._executions]
    assert set(clock.waits) == {0.01} and len(starts) == 3
    assert all(1 <= later - earlier < 1.02 for earlier, later in zip([T0, *starts], starts))
