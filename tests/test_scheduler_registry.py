"""tests/test_scheduler_registry.py: Scheduler construction, registry operations, listings, stats, next runs."""

from __future__ import annotations

import asyncio
import inspect
import math
import pydoc
import random
import types
from collections import OrderedDict
from datetime import datetime, timedelta
from decimal import Decimal

import pytest
from conftest import saved, xfail_with_database

from tarvel.core import scheduler
from tarvel.skills import creator

Scheduler, ScheduledJob, JobExecution = scheduler.Scheduler, scheduler.ScheduledJob, scheduler.JobExecution
JobType, JobState = scheduler.JobType, scheduler.JobState
SURFACE = {  # method: (signature, docstring)
    "add_job": ("(self, job: 'ScheduledJob') -> 'ScheduledJob'", "Add a new scheduled job."),
    "update_job": ("(self, job_id: 'str', updates: 'dict[str, Any]') -> 'ScheduledJob | None'",
                   "Update an existing job."),
    "remove_job": ("(self, job_id: 'str') -> 'bool'", "Remove a scheduled job."),
    "pause_job": ("(self, job_id: 'str') -> 'bool'", "Pause a job."),
    "resume_job": ("(self, job_id: 'str') -> 'bool'", "Resume a paused job."),
    "get_job": ("(self, job_id: 'str') -> 'ScheduledJob | None'", None),
    "list_jobs": ("(self) -> 'list[dict[str, Any]]'", "List all jobs with their status."),
    "list_executions": ("(self, limit: 'int' = 50, job_id: 'str | None' = None) -> 'list[dict[str, Any]]'",
                        "List recent job executions."),
    "stats": ("(self) -> 'dict[str, Any]'", "Get scheduler statistics."),
    "_calc_next_run": ("(self, job: 'ScheduledJob') -> 'float'", "Calculate the next run time for a job."),
    "_save": ("(self) -> 'None'", "Save jobs to disk."),
    "_load": ("(self) -> 'None'", "Load jobs from disk."),
}
CONSTRUCTOR = ("(on_fire: 'JobFireCallback | None' = None, "
               "on_event: 'Callable[[dict[str, Any]], Awaitable[None]] | None' = None, "
               "storage_path: 'Path | None' = None, *, poll_interval: 'float' = 30.0, "
               "max_concurrent_firings: 'int | None' = None, fire_timeout: 'float | None' = None, "
               "misfire_grace: 'float | None' = None, overlap: 'bool' = True, wake_on_due: 'bool' = False, "
               "store: 'str' = 'json')")
ATTRIBUTES = ["_on_fire", "_on_event", "_storage_path", "_jobs", "_executions", "_task", "_stop_event"]


def twin_list_jobs(jobs):
    return [j.to_dict() for j in sorted(jobs.values(), key=lambda j: j.next_run or float("inf"))]


def twin_list_executions(executions, limit=50, job_id=None):
    if job_id:
        executions = [e for e in executions if e.job_id == job_id]
    return [e.to_dict() for e in executions[-limit:]]


class Counting(Scheduler):
    """Counts saves instead of writing the state file."""

    saves = 0

    def _save(self):
        self.saves += 1


StrSub, IntSub, DictSub = type("StrSub", (str,), {}), type("IntSub", (int,), {}), type("DictSub", (dict,), {})


@pytest.fixture
def sch(path):
    return Counting(storage_path=path)


def fix_now(monkeypatch, moment):
    """Makes the module's datetime.now() answer `moment`, counting the calls."""
    class Fixed(datetime):
        calls = 0

        @classmethod
        def now(cls, tz=None):
            cls.calls += 1
            return moment

    monkeypatch.setattr(scheduler, "datetime", Fixed)
    return Fixed


def once(job_id="j", **fields):
    return ScheduledJob(id=job_id, job_type=JobType.ONCE, **fields)


# --- class surface ----------------------------------------------------------------------------

class DocumentedTwin:
    """Persistent cron-based task scheduler.

    Usage:
        scheduler = Scheduler(on_fire=my_callback)
        scheduler.add_job(ScheduledJob(
            name="daily_news",
            schedule="0 6 * * *",
            prompt="Summarize today's top news",
        ))
        await scheduler.start()
    """


def test_class_surface():
    # The docstring as this interpreter's compiler keeps one (3.13 removes the indentation).
    assert Scheduler.__doc__ == DocumentedTwin.__doc__
    assert (Scheduler.__module__, Scheduler.__qualname__, Scheduler.__bases__) == (
        "tarvel.core.scheduler", "Scheduler", (object,))
    assert str(inspect.signature(Scheduler)) == CONSTRUCTOR
    assert isinstance(inspect.getattr_static(Scheduler, "running"), property)
    assert Scheduler.running.__doc__ is None


@pytest.mark.parametrize("name", list(SURFACE))
def test_method_signatures_and_docstrings(name):
    method = getattr(Scheduler, name)
    assert (str(inspect.signature(method)), method.__doc__) == SURFACE[name]
    assert method.__qualname__ == "Scheduler." + name


HELP = [
    (scheduler, "Scheduler.run_now", "Fire a job now, whatever its state, and return its execution."),
    (scheduler, "CronExpression._parse_field", "Parse a single cron field into a set of valid values."),
    (scheduler, "_format_timestamp", "Format a Unix timestamp as a human-readable string."),
    (creator, "SkillCreator.validate_blueprint",
     "Validate a skill blueprint before creation.\n\n    Returns (is_valid, list_of_errors)."),
    (creator, "get_skill_creator", "Get the singleton SkillCreator instance."),
]


@pytest.mark.parametrize("module, name, doc", HELP, ids=[name for _, name, _ in HELP])
def test_help_shows_the_docstring(module, name, doc):
    # help() and pydoc read __doc__ through object.__getattribute__, not the instance's getattr.
    obj = module
    for part in name.split("."):
        obj = getattr(obj, part)
    text = pydoc.render_doc(obj, renderer=pydoc.plaintext)
    # pydoc indents the cleaned docstring; whether it indents blank lines too depends on the version
    shown = [line.rstrip() for line in text.splitlines()]
    expected = [("    " + line).rstrip() for line in inspect.cleandoc(doc).splitlines()]
    assert shown[-len(expected):] == expected


# --- construction -----------------------------------------------------------------------------

def test_constructor_sets_its_attributes_in_order(path, store, log, monkeypatch):
    monkeypatch.setattr(scheduler, "tarvel_dir", lambda: pytest.fail("tarvel_dir was called"))

    async def fire(job):
        return ""

    async def event(data):
        pass
    for sch in (Scheduler(fire, event, path, store=store),
                Scheduler(on_event=event, storage_path=path, on_fire=fire, store=store)):
        assert list(vars(sch))[:7] == ATTRIBUTES
        assert sch._on_fire is fire and sch._on_event is event and sch._storage_path is path
        assert (sch._jobs, sch._executions, sch._task) == ({}, [], None)
        assert type(sch._stop_event) is asyncio.Event and not sch._stop_event.is_set()
        assert sch.stats() == {"running": False, "total_jobs": 0, "active_jobs": 0, "paused_jobs": 0,
                               "total_executions": 0, "recent_executions": 0}
    assert not path.parent.exists() and log() == []


@pytest.mark.parametrize("storage_path", [None, "", 0])
def test_default_storage_path_comes_from_tarvel_dir(monkeypatch, tmp_path, storage_path):
    calls = []
    monkeypatch.setattr(scheduler, "tarvel_dir", lambda *a, **k: calls.append((a, k)) or tmp_path / "home")
    sch = Scheduler(storage_path=storage_path)
    assert sch._storage_path == tmp_path / "home" / "scheduler.json" and calls == [((), {})]


@pytest.mark.parametrize("storage_path", [b"scheduler.json", 5])
def test_storage_path_that_is_no_path_fails_the_constructor(storage_path):
    with pytest.raises(AttributeError, match="exists"):
        Scheduler(storage_path=storage_path)


class Fspath:
    def __init__(self, text):
        self.text = text

    def __fspath__(self):
        return self.text


@pytest.mark.parametrize("make", [str, Fspath], ids=["str", "PathLike"])
def test_a_text_or_path_like_storage_path_becomes_the_modules_path(path, store, monkeypatch, make):
    class OwnPath(type(path)):
        pass

    monkeypatch.setattr(scheduler, "Path", OwnPath)
    sch = Scheduler(storage_path=make(str(path)), store=store)
    assert type(sch._storage_path) is OwnPath and sch._storage_path == path
    sch.add_job(once("a", next_run=1.0))
    assert Scheduler(storage_path=make(str(path)), store=store).get_job("a") == sch.get_job("a")


def test_constructor_ends_by_loading(path):
    class Loading(Scheduler):
        def _load(self):
            self.seen = (list(vars(self))[:7], self._storage_path)

    sch = Loading(storage_path=path)
    assert sch.seen == (ATTRIBUTES, path)


# --- adding -----------------------------------------------------------------------------------

@pytest.mark.parametrize("cls", [ScheduledJob, type("OwnJob", (ScheduledJob,), {})])
def test_add_job_registers_the_job_itself(sch, log, monkeypatch, cls):
    monkeypatch.setattr(scheduler.time, "time", lambda: 1_700_000_000.0)
    job = cls(id="abc", name="Café ☕", job_type=JobType.INTERVAL, interval_seconds=90, next_run=5.0)
    assert sch.add_job(job) is job and sch._jobs == {"abc": job} and sch._jobs["abc"] is job
    assert job.next_run == 1_700_000_090.0 and sch.saves == 1
    assert log() == [("INFO", "Job added: Café ☕ (abc) \u2014 next run: "
                      + scheduler._format_timestamp(1_700_000_090.0))]


def test_adding_a_known_id_replaces_the_job(sch, log):
    first, second = once("same", name="first", next_run=10.0), once("same", name="second", next_run=20.0)
    sch.add_job(first)
    sch.add_job(second)
    assert sch._jobs == {"same": second} and sch.saves == 2
    assert [message.split(" (")[0] for _, message in log()] == ["Job added: first", "Job added: second"]


@pytest.mark.parametrize("job, why", [
    (ScheduledJob(id="i", name="n", job_type=JobType.INTERVAL, interval_seconds=0), "its interval is 0 seconds"),
    (ScheduledJob(id="i", name="n", job_type="interval", interval_seconds=-1.5), "its interval is -1.5 seconds"),
    (ScheduledJob(id="i", name="n", job_type=JobType.ONCE, state=JobState.PAUSED),
     "a one-time job with no time to run"),
])
def test_added_job_without_a_next_run_logs_never(sch, log, job, why):
    state = job.state
    sch.add_job(job)
    assert job.next_run == 0 and type(job.next_run) is int and job.state is state and sch._jobs == {"i": job}
    assert log() == [("INFO", "Job added: n (i) \u2014 next run: Never"),
                     ("WARNING", "Job n (i) can never fire: " + why)]


def test_a_one_time_job_whose_time_has_passed_is_added_without_a_warning(sch, log):
    sch.add_job(once("i", name="n", next_run=1.0))
    assert log() == [("INFO", "Job added: n (i) \u2014 next run: " + scheduler._format_timestamp(1.0))]


def test_added_job_with_a_bad_cron_is_kept_unscheduled(sch, log):
    job = sch.add_job(ScheduledJob(id="c", name="n", schedule="* * * *"))
    assert sch.get_job("c") is job and job.next_run == 0 and type(job.next_run) is int
    assert log() == [
        ("ERROR", "Invalid cron expression for job c: Cron expression must have 5 fields "
                  "(min hour dom month dow), got 4: '* * * *'"),
        ("INFO", "Job added: n (c) \u2014 next run: Never")]


# --- updating -----------------------------------------------------------------------------------

class Watched(ScheduledJob):
    """A job that notes every attribute set on it."""

    def __setattr__(self, name, value):
        self.__dict__.setdefault("seen", []).append(name)
        super().__setattr__(name, value)


def test_update_sets_attributes_the_job_has(sch, log):
    job = Watched(id="w", job_type=JobType.ONCE, next_run=50.0)
    sch._jobs["w"] = job
    job.seen.clear()
    value, name = ["unchanged"], StrSub("x")
    updates = {"metadata": value, "bogus": 1, "state": "paused", "from_dict": "shadowed", "name": name,
               "max_runs": True, "job_type": JobType.ONCE}
    assert sch.update_job("w", updates) is job
    assert job.seen == ["metadata", "state", "from_dict", "name", "max_runs", "job_type"]
    assert job.metadata is value and job.state is JobState.PAUSED and job.name is name and job.max_runs is True
    assert job.from_dict == "shadowed" and job.next_run == 50.0 and not hasattr(job, "bogus")
    assert sch.saves == 1 and log() == []


def enum_error(enum, value):
    with pytest.raises(ValueError) as error:
        enum(value)
    return str(error.value)


REFUSED_MEMBERS = [  # (field, value, error): a text that names no member raises the enumeration's own ValueError
    ("job_type", "weekly", ValueError(enum_error(JobType, "weekly"))),
    ("job_type", JobState.ACTIVE, ValueError(enum_error(JobType, JobState.ACTIVE))),
    ("state", "running", ValueError(enum_error(JobState, "running"))),
    ("job_type", 3, TypeError("job_type must be a JobType or a str, not int")),
    ("state", None, TypeError("state must be a JobState or a str, not NoneType")),
]


@pytest.mark.parametrize("fields, stored", [
    ({"job_type": "interval", "state": "paused"}, (JobType.INTERVAL, JobState.PAUSED)),
    ({"job_type": StrSub("once"), "state": JobState.DISABLED}, (JobType.ONCE, JobState.DISABLED)),
])
def test_add_job_stores_a_members_text_as_the_member(sch, fields, stored):
    job = sch.add_job(ScheduledJob(id="t", **fields))
    assert (job.job_type, job.state) == stored and type(job.job_type) is JobType and type(job.state) is JobState


@pytest.mark.parametrize("job, error", [
    ({"id": "d", "name": "n"}, TypeError("job must be a ScheduledJob, not dict")),
    (ScheduledJob(id="d", prompt=None), TypeError("prompt must be a str, not NoneType")),
    (ScheduledJob(id="d", name=42), TypeError("name must be a str, not int")),
    (ScheduledJob(id="d", job_type=JobType.INTERVAL, interval_seconds="60"),
     TypeError("interval_seconds must be a finite number, not str")),
    (ScheduledJob(id="d", job_type="interval", interval_seconds=math.inf),
     TypeError("interval_seconds must be a finite number, not inf")),
    (once("d", next_run=math.nan), TypeError("next_run must be a finite number, not nan")),
    (ScheduledJob(id="d", max_runs="2"), TypeError("max_runs must be a number, not str")),
    (ScheduledJob(id="d", job_type=3), TypeError("job_type must be a JobType or a str, not int")),
    (ScheduledJob(id="d", job_type="weekly"), ValueError(enum_error(JobType, "weekly"))),
])
def test_add_job_refuses_a_field_that_would_break_the_save_or_load_before_any_change(path, store, log, job, error):
    sch = Scheduler(storage_path=path, store=store)
    kept = sch.add_job(once("kept", next_run=4e9))
    logged, state, before = log(), saved(path), repr(job)
    with pytest.raises(type(error)) as raised:
        sch.add_job(job)
    assert str(raised.value) == str(error) and repr(job) == before
    assert sch._jobs == {"kept": kept} and log() == logged and saved(path) == state


@pytest.mark.parametrize("field, value, error", REFUSED_MEMBERS)
def test_add_job_refuses_a_job_type_or_state_that_names_no_member(sch, field, value, error):
    job = ScheduledJob(id="t", **{"job_type": "interval", "state": "paused", field: value})
    before = dict(vars(job))
    with pytest.raises(type(error)) as raised:
        sch.add_job(job)
    assert str(raised.value) == str(error) and vars(job) == before and sch._jobs == {} and sch.saves == 0


@pytest.mark.parametrize("updates, error", [
    *[({field: value}, error) for field, value, error in REFUSED_MEMBERS],
    *[({field: value}, TypeError(f"{field} must be an int or a float, not {type(value).__name__}"))
      for field, value in [("interval_seconds", "60"), ("created_at", None), ("last_run", Decimal(1)),
                           ("next_run", "soon"), ("run_count", [1]), ("max_runs", 2j)]],
    *[({field: value}, TypeError(f"{field} must be a str, not {type(value).__name__}"))
      for field, value in [("id", 5), ("name", object()), ("description", None), ("schedule", b"* * * * *"),
                           ("prompt", ["p"])]],
    ({"name": "first", "state": "paused", "max_runs": "2"}, TypeError("max_runs must be an int or a float, not str")),
    ({"next_run": math.nan}, TypeError("next_run must be a finite number, not nan")),
    ({"interval_seconds": -math.inf}, TypeError("interval_seconds must be a finite number, not -inf")),
])
def test_update_refuses_a_value_that_would_break_the_save_before_any_change(sch, updates, error):
    job = sch.add_job(ScheduledJob(id="u", name="n", schedule="0 6 * * *"))
    before = dict(vars(job))
    with pytest.raises(type(error)) as raised:
        sch.update_job("u", updates)
    assert str(raised.value) == str(error) and vars(job) == before and sch.saves == 1


@pytest.mark.parametrize("case", ["text job_type", "dict result", "refused update"])
def test_one_bad_value_never_stops_the_saves(path, store, case):
    sch = Scheduler(on_fire=lambda job: asyncio.sleep(0, {"pages": 2}), storage_path=path, store=store)
    sch.add_job(once("keep", next_run=4e9))
    if case == "text job_type":
        sch.add_job(ScheduledJob(id="new", job_type="interval", interval_seconds=60))
    elif case == "dict result":
        asyncio.run(sch._fire_job(sch.add_job(once("new", next_run=4e9))))
        assert sch.list_executions()[0]["result"] == "{'pages': 2}"
    else:
        sch.add_job(once("new", next_run=4e9))
        with pytest.raises(TypeError):
            sch.update_job("new", {"state": "paused", "next_run": "soon"})
    sch.add_job(once("later", next_run=4e9))
    assert list(saved(path)["jobs"]) == ["keep", "new", "later"]
    again = Scheduler(storage_path=path, store=store)
    assert again.list_jobs() == sch.list_jobs() and again.list_executions() == sch.list_executions()


@pytest.mark.parametrize("updates, recomputed", [
    ({"schedule": "0 6 * * *"}, True), ({"interval_seconds": 60}, True), ({"schedule": ""}, True),
    ({"job_type": JobType.INTERVAL}, False), ({"next_run": 7.5}, False), ({}, False), ({"nope": 1}, False),
])
def test_update_recomputes_only_for_schedule_keys(sch, updates, recomputed):
    marker = object()
    sch._calc_next_run = lambda job: marker
    job = ScheduledJob(id="j", schedule="0 6 * * *", next_run=1.0)
    sch._jobs["j"] = job
    sch.update_job("j", updates)
    assert (job.next_run is marker) is recomputed and sch.saves == 1
    if not recomputed:
        assert job.next_run == updates.get("next_run", 1.0)


def test_update_of_the_id_keeps_the_registry_key(sch):
    job = sch.add_job(once("old", next_run=3.0))
    sch.update_job("old", {"id": "new"})
    assert job.id == "new" and sch.get_job("old") is job and sch.get_job("new") is None
    assert sch.remove_job("new") is False and sch.remove_job("old") is True


ID_UPDATES = {  # updates of ids after the jobs a, c and d were added
    "moved": [("a", "b"), ("c", "a")],  # a load then keys each job by its new id
    "taken": [("c", "a")],  # two records with the id a: the later one is loaded
}


def with_updated_ids(path, store, updates):
    """A scheduler started on the state of jobs whose ids were updated, with one change saved."""
    sch = Scheduler(storage_path=path, store=store)
    for key in "acd":
        sch.add_job(once(key, next_run=3.0, description=key))
    for old, new in updates:
        sch.update_job(old, {"id": new})
    again = Scheduler(storage_path=path, store=store)
    again.pause_job("d")
    return again


@pytest.mark.parametrize("updates", list(ID_UPDATES.values()), ids=list(ID_UPDATES))
def test_jobs_whose_ids_were_updated_are_saved_as_a_restart_loaded_them(path, store, updates):
    again = with_updated_ids(path, store, updates)
    third = Scheduler(storage_path=path, store=store)
    assert {key: vars(job) for key, job in third._jobs.items()} == {key: vars(job) for key, job in again._jobs.items()}


def test_jobs_whose_ids_were_updated_keep_their_order_across_restarts(request, path, store):
    xfail_with_database(request, "a save updates a row in place under its key, so a job a load put under its "
                                 "new id is written as a new, last row")
    again = with_updated_ids(path, store, ID_UPDATES["moved"])
    assert list(again._jobs) == ["b", "a", "d"]
    assert list(Scheduler(storage_path=path, store=store)._jobs) == ["b", "a", "d"]


# --- removing, pausing, resuming ----------------------------------------------------------------

@pytest.mark.parametrize("name, args, result", [
    ("update_job", ("a", {"name": "x"}), None), ("remove_job", ("a",), False), ("pause_job", ("a",), False),
    ("resume_job", ("a",), False), ("get_job", ("a",), None), ("get_job", ("",), None),
])
def test_unknown_ids_change_nothing(sch, log, name, args, result):
    sch._jobs["A"] = job = once("A", next_run=2.0)
    before = dict(vars(job))
    assert getattr(sch, name)(*args) is result
    assert vars(job) == before and sch.saves == 0 and log() == []


def test_remove_job(sch, log):
    sch.add_job(once("a", next_run=1.0))
    assert sch.remove_job("a") is True and sch._jobs == {} and sch.saves == 2
    assert log()[1:] == [("INFO", "Job removed: a")]


def test_pause_keeps_the_next_run(sch, log):
    job = ScheduledJob(id="p", job_type=JobType.INTERVAL, interval_seconds=5, next_run=42.0)
    sch._jobs["p"] = job
    assert sch.pause_job("p") is True and job.state is JobState.PAUSED and job.next_run == 42.0
    assert sch.saves == 1 and log() == []


@pytest.mark.parametrize("state", list(JobState))
@pytest.mark.parametrize("job, expected", [
    (ScheduledJob(id="r", job_type=JobType.INTERVAL, interval_seconds=10, last_run=100.0, next_run=9e9), 110.0),
    (ScheduledJob(id="r", job_type=JobType.ONCE, next_run=0.0), 0),
    (ScheduledJob(id="r", job_type=JobType.ONCE, next_run=77.0), 77.0),
])
def test_resume_makes_any_job_active_and_recomputes(sch, log, state, job, expected):
    job.state = state
    sch._jobs["r"] = job
    assert sch.resume_job("r") is True and job.state is JobState.ACTIVE and job.next_run == expected
    assert type(job.next_run) is type(expected) and sch.saves == 1 and log() == []


BAD_IDS = [1, None, b"j", StrSub("j"), ["j"]]


@pytest.mark.parametrize("call", [
    *[(name, (bad,)) for name in ("remove_job", "pause_job", "resume_job", "get_job") for bad in BAD_IDS],
    *[("update_job", (bad, {"name": "x"})) for bad in BAD_IDS],
    *[("update_job", ("j", bad)) for bad in (OrderedDict(name="x"), DictSub(name="x"), None, [("name", "x")])],
    *[("list_executions", (bad,)) for bad in (True, False, IntSub(1), 1.0, "5", None)],
    *[("list_executions", (50, bad)) for bad in (1, b"j", StrSub("j"))],
])
def test_argument_types_are_checked_first(sch, call):
    name, args = call
    job = sch.add_job(once("j", name="n", next_run=1.0))
    before = dict(vars(job))
    with pytest.raises(TypeError):
        getattr(sch, name)(*args)
    assert vars(job) == before and sch._jobs == {"j": job} and sch.saves == 1


# --- listings and statistics --------------------------------------------------------------------

def test_list_jobs_sorts_by_next_run_with_unscheduled_last(sch):
    rng = random.Random(7)
    for i in range(60):
        next_run = rng.choice([0, 0.0, 5, 5.0, 1.5, 9e9, -3.0])
        sch._jobs[f"k{i}"] = ScheduledJob(id=f"j{i}", name=str(i), next_run=next_run)
    listed = sch.list_jobs()
    assert listed == twin_list_jobs(sch._jobs)
    assert listed[0] is not sch.list_jobs()[0] and sch.list_jobs() is not listed


def test_list_executions_slices_like_python(sch):
    rng = random.Random(11)
    sch._executions = [JobExecution(rng.choice(["a", "b", ""]), "n", float(i)) for i in range(80)]
    for limit in (50, 0, 1, 3, 79, 80, 81, 500, -1, -5, -79, -80, -200, 10**20, -(10**20)):
        for job_id in (None, "", "a", "b", "zzz"):
            assert sch.list_executions(limit, job_id) == twin_list_executions(sch._executions, limit, job_id)
    assert sch.list_executions() == twin_list_executions(sch._executions)
    assert sch.list_executions(job_id="a", limit=2) == twin_list_executions(sch._executions, 2, "a")


@pytest.mark.parametrize("done, running", [(None, False), (True, False), (False, True), (0, True), ([1], False)])
def test_running_asks_the_task(sch, done, running):
    sch._task = None if done is None else types.SimpleNamespace(done=lambda: done)
    assert sch.running is running and sch.stats()["running"] is running


def test_stats_counts(sch):
    states = [JobState.ACTIVE, JobState.ACTIVE, JobState.PAUSED, JobState.COMPLETED, JobState.DISABLED, "active"]
    for i, state in enumerate(states):
        sch._jobs[str(i)] = ScheduledJob(id=str(i), state=state, run_count=i * 10)
    sch._executions = [JobExecution("0", "n", 1.0)] * 7
    stats = sch.stats()
    assert list(stats) == ["running", "total_jobs", "active_jobs", "paused_jobs", "total_executions",
                           "recent_executions"]
    assert stats == {"running": False, "total_jobs": 6, "active_jobs": 3, "paused_jobs": 1,
                     "total_executions": 150, "recent_executions": 7}
    assert sch.stats() is not stats


def test_replaced_attributes_are_used(sch, path, store):
    job = once("x", next_run=4.0)
    sch._jobs = {"key": job}
    sch._executions = [JobExecution("x", "n", 1.0)]
    assert sch.get_job("key") is job and [d["id"] for d in sch.list_jobs()] == ["x"]
    assert len(sch.list_executions()) == 1 and sch.stats()["total_jobs"] == 1
    assert sch.pause_job("key") and job.state is JobState.PAUSED
    real = Scheduler(storage_path=path, store=store)
    real._storage_path = path.parent / "b" / path.name
    real.add_job(once("y", next_run=4.0))
    assert (path.parent / "b" / path.name).exists() and not path.exists()


# --- next run times -----------------------------------------------------------------------------

@pytest.mark.parametrize("schedule, now, expected", [
    ("0 6 * * *", datetime(2026, 12, 7, 5, 59, 30), datetime(2026, 12, 7, 6, 0)),
    ("0 6 * * *", datetime(2026, 12, 7, 6, 0), datetime(2026, 12, 8, 6, 0)),
    ("  */15 * * * *  ", datetime(2026, 1, 1, 23, 59, 59, 999999), datetime(2026, 1, 2, 0, 0)),
    ("0 0 29 2 *", datetime(2027, 3, 1), datetime(2028, 2, 29)),
])
def test_cron_next_run_is_the_local_timestamp_of_the_next_occurrence(sch, monkeypatch, tokyo, schedule, now,
                                                                     expected):
    clock = fix_now(monkeypatch, now)
    job = ScheduledJob(schedule=schedule, next_run=1.0)
    before = dict(vars(job))
    result = sch._calc_next_run(job)
    assert result == expected.timestamp() and type(result) is float and clock.calls == 1
    assert vars(job) == before and sch.saves == 0


@pytest.mark.parametrize("schedule", ["* * * *", "", "MON * * * *", "*/0 * * * *", "60 * * * *",
                                      "0 0 29 2 *"])
def test_invalid_cron_gives_zero_and_an_error(sch, log, monkeypatch, schedule):
    now = datetime(2024, 2, 29, 0, 0)
    fix_now(monkeypatch, now)
    try:
        scheduler.CronExpression(schedule).next_occurrence(now)
    except ValueError as error:
        text = str(error)
    result = sch._calc_next_run(ScheduledJob(id="bad", schedule=schedule))
    assert result == 0 and type(result) is int
    assert log() == [("ERROR", f"Invalid cron expression for job bad: {text}")]


def test_other_cron_failures_propagate(sch):
    with pytest.raises(TypeError):
        sch._calc_next_run(ScheduledJob(schedule=None))


@pytest.mark.parametrize("interval, last_run, expected", [
    (0, 0.0, 0), (-5, 100.0, 0), (60, 0.0, 1060.0), (60, 0, 1060.0), (60, 100.0, 160.0), (60, 5, 65),
    (1, -1.0, 0.0), (2.5, 0.0, 1002.5),
])
def test_interval_next_run(sch, monkeypatch, interval, last_run, expected):
    monkeypatch.setattr(scheduler.time, "time", lambda: 1000.0)
    clock = fix_now(monkeypatch, datetime(2030, 1, 1))
    job = ScheduledJob(job_type=JobType.INTERVAL, interval_seconds=interval, last_run=last_run)
    result = sch._calc_next_run(job)
    assert result == expected and type(result) is type(expected) and clock.calls == 1


@pytest.mark.parametrize("job_type, next_run, expected", [
    (JobType.ONCE, 1234.5, 1234.5), (JobType.ONCE, 0.0, 0), (JobType.ONCE, None, 0), ("once", 7, 7),
    ("weekly", 1234.5, 0), (None, 1234.5, 0), (3, 1.0, 0),
])
def test_once_and_other_next_runs(sch, monkeypatch, job_type, next_run, expected):
    clock = fix_now(monkeypatch, datetime(2030, 1, 1))
    job = ScheduledJob(job_type=job_type, next_run=next_run, schedule="* * * *")
    result = sch._calc_next_run(job)
    assert result == expected and type(result) is type(expected) and clock.calls == 1


DST_NEXT_RUNS = [  # (zone, now, schedule, next run), local wall-clock times; fold=1: the later of a repeated time
    ("America/New_York", datetime(2026, 11, 1, 1, 5, fold=1), "*/15 * * * *", datetime(2026, 11, 1, 1, 15, fold=1)),
    ("America/New_York", datetime(2026, 11, 1, 1, 45), "*/15 * * * *", datetime(2026, 11, 1, 2, 0)),
    ("America/New_York", datetime(2026, 11, 1, 1, 5, fold=1), "10 1 * * *", datetime(2026, 11, 1, 1, 10, fold=1)),
    ("America/New_York", datetime(2026, 11, 1, 1, 50, fold=1), "10 1 * * *", datetime(2026, 11, 2, 1, 10)),
    ("America/New_York", datetime(2026, 3, 8, 1, 50), "*/15 * * * *", datetime(2026, 3, 8, 3, 0)),
    ("America/New_York", datetime(2026, 3, 8, 1, 50), "30 2 * * *", datetime(2026, 3, 8, 3, 30)),
    ("Australia/Lord_Howe", datetime(2026, 4, 5, 1, 35, fold=1), "*/15 * * * *", datetime(2026, 4, 5, 1, 45, fold=1)),
    ("Australia/Lord_Howe", datetime(2026, 4, 5, 1, 50), "*/15 * * * *", datetime(2026, 4, 5, 2, 0)),
    ("Australia/Lord_Howe", datetime(2026, 10, 4, 1, 50), "*/15 * * * *", datetime(2026, 10, 4, 2, 30)),
]
SCHEDULING = {
    "add_job": lambda sch, job: sch.add_job(job),
    "update_job": lambda sch, job: sch.update_job(job.id, {"schedule": job.schedule}),
    "resume_job": lambda sch, job: sch.resume_job(job.id),
}


@pytest.mark.parametrize("operation", list(SCHEDULING))
@pytest.mark.parametrize("zone, now, schedule, expected", DST_NEXT_RUNS)
def test_a_cron_next_run_is_later_than_now_across_clock_changes(sch, monkeypatch, local_zone, operation, zone, now,
                                                                 schedule, expected):
    local_zone(zone)
    fix_now(monkeypatch, now)
    job = ScheduledJob(id="d", schedule=schedule, state=JobState.PAUSED)
    sch._jobs["d"] = job
    SCHEDULING[operation](sch, job)
    assert job.next_run == expected.timestamp() and job.next_run > now.timestamp()


@pytest.mark.parametrize("offsets, expected", [
    ([-3600, -60, 300], 300),  # seconds from now: an occurrence not later than now is searched on from
    ([-3600] * 5000, 0),  # ... but not forever
])
def test_the_search_for_a_later_cron_run_goes_on_from_each_passed_occurrence(sch, log, monkeypatch, tokyo, offsets,
                                                                             expected):
    now, seen = datetime(2030, 1, 1, 12, 0), []

    class Cron:
        def __init__(self, schedule):
            pass

        def next_occurrence(self, after):
            seen.append(after)
            return now + timedelta(seconds=offsets[len(seen) - 1])

    monkeypatch.setattr(scheduler, "CronExpression", Cron)
    fix_now(monkeypatch, now)
    result = sch._calc_next_run(ScheduledJob(id="s"))
    assert result == (now.timestamp() + expected if expected else 0)
    assert seen[:3] == [now, *(now + timedelta(seconds=o) for o in offsets[:2])]
    assert len(seen) == 3 if expected else 3 < len(seen) < len(offsets)
    assert log() == ([] if expected else [("ERROR", "Found no run of job s later than now; it stays unscheduled")])
