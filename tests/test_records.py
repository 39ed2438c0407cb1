"""tests/test_records.py: module surface, job and execution records, their dict forms, timestamp text."""

from __future__ import annotations

import asyncio
import calendar
import copy
import dataclasses
import inspect
import json
import logging
import math
import pickle
import random
import re
import time
import typing
import uuid
from collections import OrderedDict, defaultdict
from dataclasses import dataclass, field
from datetime import datetime
from enum import Enum
from pathlib import Path
from typing import Any, Awaitable, Callable

import pytest

import tarvel.config
from tarvel.core import scheduler

# The plain-Python twins of the records: the module must be indistinguishable from them.
from scheduler_twin import JobExecution as TwinExecution
from scheduler_twin import JobState, JobType
from scheduler_twin import ScheduledJob as TwinJob
from scheduler_twin import _format_timestamp as twin_format


def outcome(fn, *args):
    try:
        value = fn(*args)
    except Exception as exc:  # noqa: BLE001 - the exception type is the result here
        return type(exc)
    return value


JOB_KEYS = ["id", "name", "description", "job_type", "schedule", "interval_seconds", "prompt",
            "model_key", "spawn_worker", "state", "created_at", "last_run", "next_run", "run_count",
            "max_runs", "next_run_human", "last_run_human"]
EXECUTION_KEYS = ["job_id", "job_name", "started_at", "started_at_human", "completed_at", "duration",
                  "success", "result", "error", "model_used", "worker_id"]


# --- module surface ---------------------------------------------------------------------

def test_module_binds_its_names_in_order():
    expected = ["asyncio", "json", "logging", "time", "uuid", "dataclass", "field", "datetime",
                "timedelta", "Enum", "Path", "Any", "Callable", "Awaitable", "tarvel_dir", "logger",
                "DURABLE_WRITES", "JobType", "JobState", "ScheduledJob", "JobExecution", "CronExpression",
                "JobFireCallback", "_format_timestamp"]
    bound = [name for name in vars(scheduler) if name in expected]
    assert bound == expected
    assert scheduler.__doc__.startswith("Scheduler — persistent cron-based task scheduling for Tarvel.")


def test_module_names_are_the_standard_objects():
    import datetime as datetime_module
    for name, obj in [("asyncio", asyncio), ("json", json), ("logging", logging), ("time", time),
                      ("uuid", uuid), ("dataclass", dataclass), ("field", field), ("Enum", Enum),
                      ("datetime", datetime), ("timedelta", datetime_module.timedelta), ("Path", Path),
                      ("Any", Any), ("Callable", Callable), ("Awaitable", Awaitable),
                      ("tarvel_dir", tarvel.config.tarvel_dir)]:
        assert getattr(scheduler, name) is obj, name
    assert scheduler.logger is logging.getLogger("tarvel.scheduler")
    assert scheduler.JobFireCallback == Callable[[scheduler.ScheduledJob], Awaitable[str]]


@pytest.mark.parametrize("name", ["JobType", "JobState", "ScheduledJob", "JobExecution",
                                  "CronExpression", "_format_timestamp"])
def test_public_objects_belong_to_the_module(name):
    obj = getattr(scheduler, name)
    assert obj.__module__ == "tarvel.core.scheduler"
    assert obj.__qualname__ == obj.__name__ == name


def test_format_timestamp_surface():
    assert scheduler._format_timestamp.__doc__ == "Format a Unix timestamp as a human-readable string."
    assert str(inspect.signature(scheduler._format_timestamp)) == "(ts: 'float') -> 'str'"


# --- enumerations -------------------------------------------------------------------------

@pytest.mark.parametrize("real, twin", [(scheduler.JobType, JobType), (scheduler.JobState, JobState)])
def test_enumerations_behave_like_plain_str_enums(real, twin):
    assert real.__bases__ == (str, Enum)
    assert [c.__name__ for c in real.__mro__] == [c.__name__ for c in twin.__mro__]
    assert real.__doc__ == twin.__doc__
    assert [(m.name, m.value) for m in real] == [(m.name, m.value) for m in twin]
    for member, twin_member in zip(real, twin):
        assert member == member.value and hash(member) == hash(member.value)
        assert real(member.value) is member and real[member.name] is member
        assert (repr(member), str(member), format(member)) == (repr(twin_member), str(twin_member),
                                                               format(twin_member))
        assert json.dumps(member) == json.dumps(member.value)
        assert pickle.loads(pickle.dumps(member)) is member
        assert copy.deepcopy(member) is member
    with pytest.raises(ValueError) as real_error:
        real("weekly")
    with pytest.raises(ValueError) as twin_error:
        twin("weekly")
    assert str(real_error.value) == str(twin_error.value)


# --- dataclass introspection --------------------------------------------------------------

@pytest.mark.parametrize("real, twin, doc", [
    (scheduler.ScheduledJob, TwinJob, "Definition of a scheduled job."),
    (scheduler.JobExecution, TwinExecution, "Record of a single job execution."),
])
def test_records_are_plain_dataclasses(real, twin, doc):
    assert dataclasses.is_dataclass(real) and real.__doc__ == doc
    assert real.__bases__ == (object,)
    attrs = ("name", "type", "init", "repr", "hash", "compare", "kw_only")
    for mine, theirs in zip(dataclasses.fields(real), dataclasses.fields(twin), strict=True):
        assert [getattr(mine, a) for a in attrs] == [getattr(theirs, a) for a in attrs]
        assert repr(mine.default) == repr(theirs.default)
        assert type(mine.default).__name__ == type(theirs.default).__name__
        assert (mine.default_factory is dataclasses.MISSING) == (theirs.default_factory is dataclasses.MISSING)
    assert real.__annotations__ == twin.__annotations__
    for f in dataclasses.fields(twin):  # class attributes hold the plain defaults only
        assert repr(getattr(real, f.name, "<none>")) == repr(getattr(twin, f.name, "<none>"))
    assert str(inspect.signature(real.__init__)) == str(inspect.signature(twin.__init__))
    assert real.__match_args__ == twin.__match_args__
    params = real.__dataclass_params__
    assert (params.init, params.repr, params.eq, params.order, params.unsafe_hash, params.frozen) == (
        True, True, True, False, False, False)
    assert real.__hash__ is None


def test_type_hints_resolve_against_the_module():
    hints = typing.get_type_hints(scheduler.ScheduledJob)
    assert hints == {"id": str, "name": str, "description": str, "job_type": scheduler.JobType,
                     "schedule": str, "interval_seconds": int, "prompt": str, "model_key": str | None,
                     "spawn_worker": bool, "state": scheduler.JobState, "created_at": float,
                     "last_run": float, "next_run": float, "run_count": int, "max_runs": int,
                     "metadata": dict[str, Any]}
    assert typing.get_type_hints(scheduler.JobExecution) == typing.get_type_hints(TwinExecution)


@pytest.mark.parametrize("method, text", [
    (scheduler.ScheduledJob.to_dict, "(self) -> 'dict[str, Any]'"),
    (scheduler.ScheduledJob.from_dict, "(data: 'dict[str, Any]') -> 'ScheduledJob'"),
    (scheduler.JobExecution.to_dict, "(self) -> 'dict[str, Any]'"),
])
def test_method_signatures(method, text):
    assert str(inspect.signature(method)) == text


def test_from_dict_is_a_classmethod():
    assert isinstance(inspect.getattr_static(scheduler.ScheduledJob, "from_dict"), classmethod)


def test_generated_methods_follow_the_dataclass_rules():
    job = scheduler.ScheduledJob(id="abc", created_at=1.0)
    same = scheduler.ScheduledJob(id="abc", created_at=1.0)
    assert job == same and job != dataclasses.replace(same, run_count=1)
    assert job.__eq__(TwinJob(id="abc", created_at=1.0)) is NotImplemented
    assert repr(job) == "ScheduledJob(" + ", ".join(
        f"{f.name}={getattr(job, f.name)!r}" for f in dataclasses.fields(job)) + ")"
    job.metadata["self"] = job
    assert "metadata={'self': ...})" in repr(job)
    with pytest.raises(TypeError, match="unhashable"):
        hash(job)
    positional = scheduler.ScheduledJob("x1", "n", "d", scheduler.JobType.ONCE)
    assert (positional.id, positional.name, positional.job_type) == ("x1", "n", scheduler.JobType.ONCE)
    with pytest.raises(TypeError, match=re.escape(
            "JobExecution.__init__() missing 3 required positional arguments: "
            "'job_id', 'job_name', and 'started_at'")):
        scheduler.JobExecution()
    with pytest.raises(TypeError, match=r"ScheduledJob\.__init__\(\) got an unexpected keyword argument 'x'"):
        scheduler.ScheduledJob(x=1)


def test_jobs_survive_copy_pickle_replace_and_asdict():
    job = scheduler.ScheduledJob(name="n", job_type=scheduler.JobType.INTERVAL,
                                 state=scheduler.JobState.PAUSED, metadata={"k": [1, 2]})
    for clone in (copy.deepcopy(job), pickle.loads(pickle.dumps(job)), copy.copy(job)):
        assert clone == job and type(clone) is scheduler.ScheduledJob
        assert clone.job_type is scheduler.JobType.INTERVAL and clone.state is scheduler.JobState.PAUSED
    assert copy.deepcopy(job).metadata is not job.metadata
    assert dataclasses.replace(job, name="m").name == "m"
    assert dataclasses.asdict(job)["metadata"] == {"k": [1, 2]}
    execution = scheduler.JobExecution("a", "b", 1.5, success=True)
    assert pickle.loads(pickle.dumps(execution)) == execution


# --- defaults -----------------------------------------------------------------------------

def test_default_job():
    before = time.time()
    first, second = scheduler.ScheduledJob(), scheduler.ScheduledJob()
    after = time.time()
    assert re.fullmatch(r"[0-9a-f]{10}", first.id) and first.id != second.id
    assert before <= first.created_at <= after and type(first.created_at) is float
    assert first.metadata == {} and first.metadata is not second.metadata
    assert first.job_type is scheduler.JobType.CRON and first.state is scheduler.JobState.ACTIVE
    assert first.spawn_worker is True and first.model_key is None
    assert (first.last_run, first.next_run, first.run_count, first.max_runs) == (0.0, 0.0, 0, 0)
    assert scheduler.ScheduledJob(id=[1], interval_seconds="x").id == [1]  # nothing is checked


def test_defaults_look_up_time_and_uuid_through_the_module(monkeypatch):
    monkeypatch.setattr(scheduler.time, "time", lambda: 123.0)
    monkeypatch.setattr(scheduler.uuid, "uuid4", lambda: uuid.UUID("ABCDEF01-2345-4678-9abc-def012345678"))
    for job in (scheduler.ScheduledJob(), scheduler.ScheduledJob.from_dict({})):
        assert (job.id, job.created_at) == ("abcdef0123", 123.0)


# --- to_dict --------------------------------------------------------------------------------

def test_job_dictionary_keys_and_values():
    job = scheduler.ScheduledJob(id="j", name="n", description="d", job_type=scheduler.JobType.ONCE,
                                 schedule="s", interval_seconds=7, prompt="p", model_key="m",
                                 spawn_worker=False, state=scheduler.JobState.DISABLED, created_at=5,
                                 run_count=3, max_runs=4, metadata={"x": 1})
    d = job.to_dict()
    assert list(d) == JOB_KEYS and d is not job.to_dict()
    assert d == {"id": "j", "name": "n", "description": "d", "job_type": "once", "schedule": "s",
                 "interval_seconds": 7, "prompt": "p", "model_key": "m", "spawn_worker": False,
                 "state": "disabled", "created_at": 5, "last_run": 0.0, "next_run": 0.0,
                 "run_count": 3, "max_runs": 4, "next_run_human": "Not scheduled", "last_run_human": "Never"}
    assert type(d["job_type"]) is str and type(d["state"]) is str and type(d["created_at"]) is int
    marker = object()
    assert scheduler.ScheduledJob(name=marker).to_dict()["name"] is marker


@pytest.mark.parametrize("prompt, expected", [
    ("a" * 300, "a" * 300),
    ("a" * 301, "a" * 300 + "..."),
    ("\U0001F600" * 300, "\U0001F600" * 300),
    ("\U0001F600" * 301, "\U0001F600" * 300 + "..."),
    ("é" * 299 + "\U0001F600\U0001F601", "é" * 299 + "\U0001F600..."),
    ("", ""),
])
def test_prompt_is_cut_at_300_code_points(prompt, expected):
    assert scheduler.ScheduledJob(prompt=prompt).to_dict()["prompt"] == expected


def test_human_times(tokyo):
    six_am = calendar.timegm((2026, 12, 6, 21, 0, 0))  # 06:00 on 7 December 2026 in Tokyo
    d = scheduler.ScheduledJob(next_run=six_am + 0.75, last_run=six_am - 60).to_dict()
    assert (d["next_run_human"], d["last_run_human"]) == ("2026-12-07 06:00:00", "2026-12-07 05:59:00")
    d = scheduler.ScheduledJob(next_run=None, last_run=0).to_dict()
    assert (d["next_run"], d["next_run_human"], d["last_run_human"]) == (None, "Not scheduled", "Never")
    with pytest.raises(TypeError):
        scheduler.ScheduledJob(next_run="tomorrow").to_dict()


def test_human_times_use_the_module_datetime(monkeypatch):
    class Fixed(datetime):
        @classmethod
        def fromtimestamp(cls, ts, tz=None):
            return datetime(2001, 2, 3, 4, 5, 6)

    monkeypatch.setattr(scheduler, "datetime", Fixed)
    assert scheduler._format_timestamp(99.0) == "2001-02-03 04:05:06"
    assert scheduler.ScheduledJob(last_run=1).to_dict()["last_run_human"] == "2001-02-03 04:05:06"


def test_execution_dictionary():
    d = scheduler.JobExecution("j", "n", 0).to_dict()
    assert list(d) == EXECUTION_KEYS
    assert d == {"job_id": "j", "job_name": "n", "started_at": 0, "started_at_human": "Never",
                 "completed_at": 0.0, "duration": 0.0, "success": False, "result": "", "error": "",
                 "model_used": "", "worker_id": ""}
    assert scheduler.JobExecution("j", "n", 1.0, duration=1.23456).to_dict()["duration"] == 1.23
    assert scheduler.JobExecution("j", "n", 1.0, result="r" * 250).to_dict()["result"] == "r" * 200
    astral = "\U0001F600" * 201
    assert scheduler.JobExecution("j", "n", 1.0, result=astral).to_dict()["result"] == astral[:200]


def _durations():
    rng = random.Random(20240229)
    fixed = [0, 5, 10**30, True, 0.0, -0.0, 0.125, 0.375, 0.625, 2.675, 1.005, -0.125, 1.23456,
             0.005, 1e300, 1e-300, -1e-300, 1e16 + 0.5, math.inf, -math.inf, math.nan]
    return fixed + [rng.uniform(-10, 10) for _ in range(500)] + [
        rng.randint(0, 10**6) / 1000 for _ in range(500)] + [rng.randint(0, 10**6) / 8 for _ in range(200)]


def test_duration_rounds_like_round_2():
    for value in _durations():
        got = scheduler.JobExecution("j", "n", 1.0, duration=value).to_dict()["duration"]
        want = round(value, 2)
        assert (type(got), repr(got)) == (type(want), repr(want)), value


# --- from_dict ------------------------------------------------------------------------------

def test_from_dict_round_trip():
    job = scheduler.ScheduledJob(name="n", job_type=scheduler.JobType.INTERVAL, interval_seconds=60,
                                 state=scheduler.JobState.PAUSED, last_run=17.5, next_run=77.5,
                                 run_count=2, prompt="x" * 301, metadata={"lost": True})
    back = scheduler.ScheduledJob.from_dict(job.to_dict())
    assert back == dataclasses.replace(job, prompt="x" * 300 + "...", metadata={})
    assert back.job_type is scheduler.JobType.INTERVAL and back.state is scheduler.JobState.PAUSED


def test_from_dict_filters_and_keeps_values():
    metadata = {"k": "v"}
    data = {"id": "abc", "job_type": "once", "state": JobState.COMPLETED, "created_at": 3,
            "metadata": metadata, "next_run_human": "x", "bogus": 1, "interval_seconds": "nan"}
    snapshot = dict(data)
    job = scheduler.ScheduledJob.from_dict(data)
    assert data == snapshot and list(data) == list(snapshot)
    assert job.job_type is scheduler.JobType.ONCE and job.state is scheduler.JobState.COMPLETED
    assert job.metadata is metadata and job.created_at == 3 and type(job.created_at) is int
    assert job.interval_seconds == "nan" and not hasattr(job, "bogus")
    empty = scheduler.ScheduledJob.from_dict({})
    assert re.fullmatch(r"[0-9a-f]{10}", empty.id) and empty.metadata == {}


@pytest.mark.parametrize("value", [3, None, 2.5, [1], b"cron"])
def test_from_dict_leaves_non_string_enum_values_alone(value):
    job = scheduler.ScheduledJob.from_dict({"job_type": value, "state": value})
    assert job.job_type is value and job.state is value


@pytest.mark.parametrize("key, value, twin", [
    ("job_type", "weekly", JobType), ("state", "running", JobState), ("job_type", "CRON", JobType),
    ("job_type", scheduler.JobState.ACTIVE, JobType), ("state", "", JobState),
])
def test_from_dict_rejects_unknown_enum_strings(key, value, twin):
    with pytest.raises(ValueError) as twin_error:
        twin(value)
    with pytest.raises(ValueError) as error:
        scheduler.ScheduledJob.from_dict({key: value})
    assert str(error.value) == str(twin_error.value)


def test_from_dict_on_a_subclass():
    @dataclass
    class Tagged(scheduler.ScheduledJob):
        tag: str = "none"

    job = Tagged.from_dict({"tag": "t", "name": "n", "job_type": "cron"})
    assert type(job) is Tagged and (job.tag, job.name, job.job_type) == ("t", "n", scheduler.JobType.CRON)


@pytest.mark.parametrize("data", [OrderedDict(), defaultdict(int), [("id", "x")], None, "{}"])
def test_from_dict_wants_a_plain_dict(data):
    with pytest.raises(TypeError):
        scheduler.ScheduledJob.from_dict(data)


# --- _format_timestamp ----------------------------------------------------------------------

@pytest.mark.parametrize("ts", [0, 0.0, -0.0, False, True, 1, 1.5, 59.9999999, -1, 1e9, 1796623200,
                                -5e10, -1e12, 1e12, 1e18, 1e20, 2**62, -(2**62), 10**400, math.nan,
                                math.inf, -math.inf, 253402300799, 253402300800])
def test_format_timestamp_matches_python(ts, tokyo):
    assert outcome(scheduler._format_timestamp, ts) == outcome(twin_format, ts)


@pytest.mark.parametrize("zone", ["Asia/Tokyo", "Europe/Berlin", "America/St_Johns", "UTC"])
def test_format_timestamp_matches_python_around_second_edges(zone, monkeypatch):
    """Rounding to microseconds (half to even) can carry into the next second, and local
    time includes daylight saving: random times near whole seconds must agree with Python."""
    monkeypatch.setenv("TZ", zone)
    time.tzset()
    try:
        rng = random.Random(zone)
        for _ in range(3000):
            whole = rng.randrange(-6 * 10**10, 25 * 10**10)
            ts = whole + rng.choice([0.0, 0.5e-6, 1.5e-6, 0.9999995, 0.99999949, -0.5e-6,
                                     rng.random()])
            assert outcome(scheduler._format_timestamp, ts) == outcome(twin_format, ts), ts
    finally:
        monkeypatch.undo()
        time.tzset()


def test_format_timestamp_known_values(tokyo):
    assert scheduler._format_timestamp(calendar.timegm((2026, 12, 6, 21, 0, 0))) == "2026-12-07 06:00:00"
    assert scheduler._format_timestamp(0) == scheduler._format_timestamp(-0.0) == "Never"
    assert scheduler._format_timestamp(math.nan) == "Invalid"
    for bad in (math.inf, 10**400):
        with pytest.raises(OverflowError):
            scheduler._format_timestamp(bad)


@pytest.mark.parametrize("ts", [None, "0", "1700000000", [1], b"1"])
def test_format_timestamp_wants_a_number(ts):
    with pytest.raises(TypeError):
        scheduler._format_timestamp(ts)


@pytest.mark.parametrize("value", [True, 5, None, 2.5])
def test_non_text_results_and_prompts_fail_as_python_slicing_does(value):
    expected = outcome(lambda: value[:200])
    assert outcome(scheduler.JobExecution("j", "n", 1.0, result=value).to_dict) == expected
    if value is not None:  # len() of a prompt comes first, with its own message
        assert outcome(scheduler.ScheduledJob(prompt=value).to_dict) == outcome(lambda: len(value))
