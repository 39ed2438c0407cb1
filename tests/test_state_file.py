"""tests/test_state_file.py: the scheduler's state file: text, restarts, unreadable files, crash-safe saves."""

from __future__ import annotations

import asyncio
import dataclasses
import inspect
import itertools
import json
import os
import signal
import sys
import time
from datetime import datetime
from pathlib import Path

import pytest
from conftest import killed_runs
from scheduler_twin import state_text

from tarvel.core import scheduler

Scheduler, ScheduledJob, JobExecution = scheduler.Scheduler, scheduler.ScheduledJob, scheduler.JobExecution
JobType, JobState = scheduler.JobType, scheduler.JobState
HOST = Path(__file__).resolve().parent.parent / "host"
JOB_KEYS = ["id", "name", "description", "job_type", "schedule", "interval_seconds", "prompt", "model_key",
            "spawn_worker", "state", "created_at", "last_run", "next_run", "run_count", "max_runs",
            "next_run_human", "last_run_human"]
STAMP = "20310405-060708"  # the fixed clock below, as copies of unreadable files are named


def twin_text(jobs, executions):
    """The state file's text as the plain-Python twin writes it, with this system's line ends."""
    return state_text(jobs, executions).replace("\n", os.linesep)


def as_loaded(execution_dict):
    names = {f.name for f in dataclasses.fields(JobExecution)}
    return JobExecution(**{k: v for k, v in execution_dict.items() if k in names})


@pytest.fixture
def clock(monkeypatch):
    class Fixed(datetime):
        @classmethod
        def now(cls, tz=None):
            return datetime(2031, 4, 5, 6, 7, 8)

    monkeypatch.setattr(scheduler, "datetime", Fixed)


def files(folder):
    """The names in `folder`, without the lock files kept beside state files."""
    return sorted(n for n in os.listdir(folder) if not n.endswith((".lock", ".save-lock")))


def write(path, content):
    path.parent.mkdir(parents=True, exist_ok=True)
    if isinstance(content, str):
        content = content.encode()
    path.write_bytes(content)
    return content


def sample_jobs():
    return [
        ScheduledJob(id="cron1", name="Café ☕ \U0001F600", schedule="0 6 * * *", prompt="é\U0001F600" * 400,
                     model_key="m", metadata={"ü": ["ß", {"n": None, "f": 1.5, "big": 10**30}], "k": True}),
        ScheduledJob(id="ivl", name="tick", job_type=JobType.INTERVAL, interval_seconds=0, prompt="p" * 301,
                     state=JobState.PAUSED, spawn_worker=False),
        ScheduledJob(id="once", name="later", job_type=JobType.ONCE, next_run=4_102_444_800.25, last_run=17.5,
                     run_count=3, max_runs=9, description="line\nbreak \"quoted\" \\ tab\t"),
    ]


# --- the text of the file ---------------------------------------------------------------------

def test_file_is_the_indented_json_of_the_document(path):
    sch = Scheduler(storage_path=path)
    for job in sample_jobs():
        sch.add_job(job)
    sch._jobs["raw"] = ScheduledJob(id="raw", created_at=1.0)  # untouched: next_run stays 0.0
    sch._executions = [JobExecution(f"j{i}", "ü", 1000.0 + i, duration=i / 7, success=bool(i % 2),
                                    result="r" * (150 + i)) for i in range(150)]
    sch._save()
    text = path.read_bytes()
    assert text == twin_text(sch._jobs, sch._executions).encode()
    decoded = text.decode("ascii")
    assert not decoded.endswith("\n") and "\\ud83d\\ude00" in decoded and "\\u00e9" in decoded
    assert '"next_run": 0,' in decoded and '"next_run": 0.0,' in decoded
    executions = json.loads(decoded)["executions"]
    assert len(executions) == 100 and executions[0]["job_id"] == "j50" and executions[-1]["job_id"] == "j149"


def test_each_change_rewrites_the_file(path, log):
    sch = Scheduler(storage_path=path)  # no file yet: a quiet first start
    assert sch._jobs == {} and sch._executions == [] and not path.parent.exists() and log() == []
    steps = [lambda: sch.add_job(ScheduledJob(id="a", job_type=JobType.ONCE, next_run=5.0)),
             lambda: sch.update_job("a", {"name": "renamed"}), lambda: sch.pause_job("a"),
             lambda: sch.resume_job("a"), lambda: sch.remove_job("a")]
    for step in steps:
        step()
        assert path.read_bytes() == twin_text(sch._jobs, sch._executions).encode()
    assert path.read_bytes() == '{\n  "jobs": {},\n  "executions": []\n}'.replace("\n", os.linesep).encode()


def test_records_follow_the_registry_keys(path):
    sch = Scheduler(storage_path=path)
    sch._jobs = {"key": ScheduledJob(id="field", name="n")}
    sch._save()
    assert list(json.loads(path.read_text())["jobs"]) == ["key"]
    assert list(Scheduler(storage_path=path)._jobs) == ["field"]



# --- saves after one change: each writes exactly what json.dumps gives for the whole document ---

FIELD_VALUES = [("id", "x2"), ("name", "n ☕"), ("description", ""), ("job_type", JobType.INTERVAL),
                ("schedule", "5 * * * *"), ("interval_seconds", 60), ("prompt", "q" * 301), ("model_key", None),
                ("spawn_worker", False), ("state", JobState.COMPLETED), ("created_at", 2), ("last_run", 1e9),
                ("next_run", 2.5e9), ("run_count", 7), ("max_runs", True), ("metadata", {"a": [1.5]})]


def _in_place(sch):
    metadata = sch._jobs["cron1"].metadata
    metadata["ü"][1]["n"] = [2]
    yield
    metadata["ü"][0] = "ss"  # a value in a list, the list's size unchanged
    yield
    metadata["k"] = False  # a value in the dict itself


def _then_in_place(sch):
    sch._jobs["ivl"].name = ["list"]
    yield
    sch._jobs["ivl"].name.append("ü")


def _renamed_key(sch):
    sch._jobs["alias"] = sch._jobs["ivl"]  # the same job under a second key
    yield
    sch._jobs = {"other": sch._jobs["once"], **sch._jobs}


def _history(sch):
    sch._executions[-1].result = "changed"
    yield
    sch._executions.append(JobExecution("ivl", "tick", 9.0))
    yield
    del sch._executions[:60]


def _clock_text(sch, monkeypatch):
    monkeypatch.setattr(scheduler, "_format_timestamp", lambda ts: f"at {ts}")


def _zone(sch, monkeypatch):
    monkeypatch.setenv("TZ", "Asia/Tokyo")
    time.tzset()


def _registry(sch):
    sch.update_job("cron1", {"name": "via update"})
    yield
    sch.pause_job("ivl")
    yield
    sch.remove_job("once")
    yield
    sch.add_job(ScheduledJob(id="new", metadata={"m": 1}))


def _firing(sch):
    asyncio.run(sch._fire_job(sch._jobs["ivl"]))


CHANGES = [*[(lambda sch, f=f, v=v: setattr(sch._jobs["once"], f, v)) for f, v in FIELD_VALUES],
           _in_place, _then_in_place, _renamed_key, _history, _clock_text, _zone, _registry, _firing]


@pytest.mark.parametrize("change", CHANGES)
def test_save_after_a_change_is_the_json_of_the_document(path, monkeypatch, change):
    monkeypatch.setattr(time, "tzset", time.tzset)  # restored below with TZ
    sch = Scheduler(storage_path=path, on_fire=lambda job: asyncio.sleep(0, "done"))
    for job in sample_jobs():
        sch.add_job(job)
    sch._executions = [JobExecution("cron1", "n", 1000.0 + i, duration=i / 3, result="r" * i) for i in range(120)]
    sch._save()
    takes_patch = "monkeypatch" in inspect.signature(change).parameters
    steps = change(sch, monkeypatch) if takes_patch else change(sch)
    for _ in itertools.chain(steps if inspect.isgenerator(steps) else [], [None]):
        sch._save()
        assert path.read_bytes() == twin_text(sch._jobs, sch._executions).encode()
    monkeypatch.undo()
    time.tzset()


# --- what survives a restart ------------------------------------------------------------------

def test_whole_prompt_and_metadata_survive_a_restart(path, log):
    sch = Scheduler(storage_path=path)
    for job in sample_jobs():
        sch.add_job(job)
    record = json.loads(path.read_text())["jobs"]["cron1"]
    assert list(record) == JOB_KEYS + ["metadata"] and record["prompt"] == "é\U0001F600" * 400
    back = Scheduler(storage_path=path)
    assert back._jobs == sch._jobs and list(back._jobs) == list(sch._jobs)
    assert back._jobs["ivl"].state is JobState.PAUSED and back._jobs["ivl"].job_type is JobType.INTERVAL
    assert back.list_jobs() == sch.list_jobs()
    assert all("metadata" not in d and len(d["prompt"]) <= 303 for d in back.list_jobs())
    assert log()[-1] == ("INFO", "Loaded 3 scheduled jobs")


def circular():
    value = {}
    value["self"] = value
    return value


@pytest.mark.parametrize("metadata", [{"x": object()}, {"s": {1, 2}}, {(1, 2): "tuple key"}, circular()])
def test_metadata_json_cannot_encode_is_left_out(path, log, metadata):
    sch = Scheduler(storage_path=path)
    for job in sample_jobs():
        sch.add_job(job)
    sch.update_job("ivl", {"metadata": metadata})
    try:
        json.dumps(metadata)
    except Exception as error:  # noqa: BLE001 - its text is part of the message
        reason = str(error)
    assert path.read_bytes() == twin_text(sch._jobs, sch._executions).encode()
    assert "metadata" not in json.loads(path.read_text())["jobs"]["ivl"]
    assert log()[-1] == ("ERROR", f"Failed to save metadata of job ivl: {reason}")
    assert not any(m.startswith("Failed to save scheduler state") for _, m in log())
    back = Scheduler(storage_path=path)
    assert back._jobs["ivl"] == dataclasses.replace(sch._jobs["ivl"], metadata={})
    assert back._jobs["cron1"] == sch._jobs["cron1"] and back._jobs["once"] == sch._jobs["once"]
    assert files(path.parent) == ["scheduler.json"]


def test_nothing_is_recomputed_at_load(path):
    record = {"id": "a", "job_type": "interval", "interval_seconds": 60, "next_run": 5.0, "last_run": 1,
              "run_count": 4, "state": "completed"}
    write(path, json.dumps({"jobs": {"x": record}}))
    job = Scheduler(storage_path=path).get_job("a")
    assert (job.next_run, job.last_run, job.run_count, job.state) == (5.0, 1, 4, JobState.COMPLETED)


def test_history_survives_a_restart(path, log):
    sch = Scheduler(storage_path=path)
    sch._executions = [JobExecution(f"j{i % 3}", f"name {i}", 1000.0 + i, 1001.0 + i, i / 3, bool(i % 2),
                                    "r" * (190 + i), "e" * i, "m", "w") for i in range(150)]
    sch._save()
    back = Scheduler(storage_path=path)
    saved = [e.to_dict() for e in sch._executions[-100:]]
    assert back._executions == [as_loaded(d) for d in saved]
    assert all(type(e) is JobExecution for e in back._executions)
    assert back.list_executions(0) == saved and back.stats()["recent_executions"] == 100
    assert [level for level, _ in log()] == ["INFO"]


def test_unknown_execution_keys_are_dropped(path, log):
    record = {"job_id": "a", "job_name": "n", "started_at": 5.0, "started_at_human": "whenever", "extra": 1}
    write(path, json.dumps({"jobs": {}, "executions": [record, {**record, "job_id": "b"}]}))
    back = Scheduler(storage_path=path)
    assert back._executions == [JobExecution("a", "n", 5.0), JobExecution("b", "n", 5.0)]
    assert log() == [("INFO", "Loaded 0 scheduled jobs")]


# --- loading ----------------------------------------------------------------------------------

COMPLETE = [({}, 0), ({"jobs": {}}, 0), ({"executions": []}, 0), ({"jobs": {"k": {"id": "a"}}}, 1)]


@pytest.mark.parametrize("document, count", COMPLETE)
def test_complete_files_are_not_copied(path, log, document, count):
    write(path, json.dumps(document))
    assert len(Scheduler(storage_path=path)._jobs) == count
    assert log() == [("INFO", f"Loaded {count} scheduled jobs")]
    assert files(path.parent) == ["scheduler.json"]


def test_later_record_with_the_same_id_wins(path, log):
    twins = {"one": {"id": "same", "name": "first"}, "two": {"id": "same", "name": "second"}}
    write(path, json.dumps({"jobs": twins}))
    sch = Scheduler(storage_path=path)
    assert list(sch._jobs) == ["same"] and sch._jobs["same"].name == "second"
    assert log() == [("INFO", "Loaded 1 scheduled jobs")]


def parse_error(text):
    try:
        json.loads(text)
    except ValueError as error:
        return str(error)


GOOD = {"id": "good", "name": "g"}
UNREADABLE = [
    ("", 0, parse_error("")),
    ("{not json", 0, parse_error("{not json")),
    ('{"jobs": {}} trailing', 0, parse_error('{"jobs": {}} trailing')),
    ("[1, 2]", 0, None),
    ('{"jobs": null}', 0, None),
    ('{"jobs": []}', 0, None),
    (json.dumps({"jobs": {"a": GOOD, "b": {"id": "bad", "job_type": "weekly"}, "c": {"id": "c"}}}), 2,
     "'weekly' is not a valid JobType"),
    (json.dumps({"jobs": {"a": "not a record", "b": GOOD}}), 1, None),
    (json.dumps({"jobs": {"a": GOOD}, "executions": 5}), 1, None),
    (json.dumps({"jobs": {"a": GOOD}, "executions": {"job_id": "x"}}), 1, None),
    (json.dumps({"jobs": {"a": GOOD}, "executions": [{"job_id": "x"}]}), 1, None),
    (json.dumps({"jobs": {"a": GOOD}, "executions": [3, None]}), 1, None),
    (json.dumps({"jobs": {"a": GOOD}, "executions": None}), 1, None),
    # a record whose job could not give its dictionary would fail every later save
    (json.dumps({"jobs": {"a": {"id": "a", "next_run": "tomorrow"}, "b": GOOD}}), 1,
     "next_run of job a must be a finite number, not str"),
    # fields of the wrong type would fail every later save, or stats()
    *[(json.dumps({"jobs": {"a": {"id": "a", **fields}, "b": GOOD}}), 1, reason) for fields, reason in [
        ({"run_count": "x"}, "run_count of job a must be a number, not str"),
        ({"name": 3}, "name of job a must be a str, not int"),
        ({"job_type": 5}, "job_type of job a must be a JobType, not int"),
        ({"last_run": float("inf")}, "last_run of job a must be a finite number, not inf"),
    ]],
    *[(json.dumps({"jobs": {"a": GOOD}, "executions": [{"job_id": "x", "job_name": "n", "started_at": 1.0,
                                                        **fields}, {"job_id": "y", "job_name": "n",
                                                                    "started_at": 2.0}]}), 1, reason)
      for fields, reason in [
        ({"started_at": None}, "started_at of an execution of job x must be a finite number, not NoneType"),
        ({"started_at": "x"}, "started_at of an execution of job x must be a finite number, not str"),
        ({"started_at": float("inf")}, "started_at of an execution of job x must be a finite number, not inf"),
        ({"duration": "x"}, "duration of an execution of job x must be a finite number, not str"),
        ({"result": 5}, "result of an execution of job x must be a str, not int"),
    ]],
]


@pytest.mark.parametrize("content, count, reason", UNREADABLE)
def test_unreadable_file_is_kept_as_a_copy(path, log, clock, content, count, reason):
    original = write(path, content)
    sch = Scheduler(storage_path=path)
    copy = path.with_name("scheduler.json.bad-" + STAMP)
    assert len(sch._jobs) == count and copy.read_bytes() == original and path.read_bytes() == original
    errors = [m for level, m in log() if level == "ERROR"]
    assert errors[0].startswith("Failed to load scheduler state: ")
    if reason is not None:
        assert errors[0] == "Failed to load scheduler state: " + reason
    assert log()[-1] == ("ERROR", f"Kept a copy of the unreadable scheduler state as {copy}")
    sch.add_job(ScheduledJob(id="new", job_type=JobType.ONCE))
    assert copy.read_bytes() == original and path.read_bytes() == twin_text(sch._jobs, sch._executions).encode()
    assert files(path.parent) == ["scheduler.json", copy.name]


def test_records_after_a_bad_one_still_load(path, log, clock):
    execution = {"job_id": "a", "job_name": "n", "started_at": 1.0}
    jobs = {"1": GOOD, "2": {"id": "x", "state": "asleep"}, "3": [], "4": {"id": "last"}}
    executions = [execution, {"job_name": "n"}, {**execution, "job_id": "b"}]
    write(path, json.dumps({"jobs": jobs, "executions": executions}))
    sch = Scheduler(storage_path=path)
    assert list(sch._jobs) == ["good", "last"] and [e.job_id for e in sch._executions] == ["a", "b"]
    lines = log()
    assert [level for level, _ in lines] == ["ERROR", "ERROR", "INFO", "ERROR", "ERROR"]
    assert lines[0] == ("ERROR", "Failed to load scheduler state: 'asleep' is not a valid JobState")
    assert lines[2] == ("INFO", "Loaded 2 scheduled jobs")
    assert "job_id" in lines[3][1] and lines[4][1].startswith("Kept a copy of the unreadable scheduler state as ")


def test_copy_names_count_up_when_taken(path, log, clock):
    original = write(path, "{")
    taken = [path.with_name(f"scheduler.json.bad-{STAMP}{suffix}") for suffix in ("", "-2")]
    for other in taken:
        other.write_text("older copy")
    Scheduler(storage_path=path)
    fresh = path.with_name(f"scheduler.json.bad-{STAMP}-3")
    assert fresh.read_bytes() == original and all(t.read_text() == "older copy" for t in taken)
    assert log()[-1] == ("ERROR", f"Kept a copy of the unreadable scheduler state as {fresh}")


# --- crash-safe saves -------------------------------------------------------------------------

def _model_key(sch):
    sch._jobs["a"].model_key = object()


def _next_run(sch):
    sch._jobs["a"].next_run = "soon"


def _error(sch):
    sch._executions.append(JobExecution("a", "n", 5.0, error=object()))


def _started_at(sch):
    sch._executions.append(JobExecution("a", "n", None))


@pytest.mark.parametrize("spoil, message", [
    (_model_key, "Failed to save job a: Object of type object is not JSON serializable"),
    (_next_run, "Failed to save job a: "),
    (_error, "Failed to save execution of job a: Object of type object is not JSON serializable"),
    (_started_at, "Failed to save execution of job a: "),
])
def test_one_bad_record_never_blocks_the_others(path, log, spoil, message):
    sch = Scheduler(storage_path=path)
    for job_id in "ab":
        sch.add_job(ScheduledJob(id=job_id, name="n", job_type=JobType.ONCE))
    sch._executions.append(JobExecution("b", "n", 1.0))
    spoil(sch)
    sch._save()
    assert log()[-1][0] == "ERROR" and log()[-1][1].startswith(message)
    assert not any(m.startswith("Failed to save scheduler state") for _, m in log())
    saved_jobs = {"b"} if spoil in (_model_key, _next_run) else {"a", "b"}
    back = Scheduler(storage_path=path)
    assert set(back._jobs) == saved_jobs and back._jobs["b"] == sch._jobs["b"]
    assert [e.job_id for e in back._executions] == ["b"]


def test_failed_replace_leaves_no_temporary_file(path, log, tmp_path):
    sch = Scheduler(storage_path=path)
    sch.add_job(ScheduledJob(id="a", job_type=JobType.ONCE))
    target = tmp_path / "data" / "occupied"
    (target / "inside").mkdir(parents=True)
    sch._storage_path = target
    assert sch.pause_job("a") is True
    assert log()[-1][0] == "ERROR" and log()[-1][1].startswith("Failed to save scheduler state: ")
    assert files(path.parent) == ["occupied", "scheduler.json"] and os.listdir(target) == ["inside"]


def test_unmakeable_directory_is_logged(tmp_path, log):
    (tmp_path / "file").write_text("x")
    sch = Scheduler(storage_path=tmp_path / "file" / "sub" / "scheduler.json")
    assert sch.add_job(ScheduledJob(id="a", name="n", job_type=JobType.ONCE)).id == "a"
    assert log()[0][0] == "ERROR" and log()[0][1].startswith("Failed to save scheduler state: ")
    assert files(tmp_path) == ["file"]


def test_save_replaces_the_file_instead_of_rewriting_it(path, tmp_path):
    sch = Scheduler(storage_path=path)
    sch.add_job(ScheduledJob(id="a", name="first", job_type=JobType.ONCE))
    old = path.read_bytes()
    os.link(path, tmp_path / "old-link")
    sch.update_job("a", {"name": "second"})
    assert (tmp_path / "old-link").read_bytes() == old and b"second" in path.read_bytes()
    assert files(path.parent) == ["scheduler.json"]


VERSIONS = r'''
from tarvel.core import scheduler

def versions():
    """Two registries of 2,000 jobs whose files differ in content and in length."""
    return [{f"{i:010x}": scheduler.ScheduledJob(id=f"{i:010x}", name=f"{tag}-{i}", prompt=tag * size,
                                                 created_at=1000.0 + i, metadata={"tag": tag, "i": i})
             for i in range(2000)} for tag, size in (("a", 10000), ("b", 6000))]
'''

SAVER = VERSIONS + r'''
import sys
from pathlib import Path

sch = scheduler.Scheduler(storage_path=Path(sys.argv[1]).with_name("elsewhere.json"))
sch._storage_path = Path(sys.argv[1])
both = versions()
n = 0
while True:
    sch._jobs = both[n % 2]
    sch._save()
    if n == 0:
        print("saving", flush=True)
    n += 1
'''


@pytest.mark.skipif(not hasattr(signal, "SIGKILL"), reason="needs POSIX signals")
def test_killed_saver_never_leaves_a_partial_file(path, tmp_path, log):
    """Readers during the saves and after a kill at a random moment find one whole version."""
    namespace = {}
    exec(VERSIONS, namespace)
    whole = [twin_text(jobs, []).encode() for jobs in namespace["versions"]()]
    write(path, whole[0])
    env = dict(os.environ, PYTHONPATH=str(HOST), TARVEL_DIR=str(tmp_path / "tarvel"))
    kills = 8
    for seen in killed_runs([sys.executable, "-c", SAVER, str(path)], env, b"saving\n",
                            lambda: path.read_bytes() in whole, kills):
        assert all(seen), "the state file was seen partly written"
        leftovers = [name for name in files(path.parent) if name != "scheduler.json"]
        assert len(leftovers) <= kills and not any(".bad-" in name for name in leftovers)
    assert len(Scheduler(storage_path=path)._jobs) == 2000
    assert [level for level, _ in log()] == ["INFO"]
