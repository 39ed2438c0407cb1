"""tests/test_native_load.py: a load that reads the state file natively gives what the Python way
gives: the same jobs and executions, log lines, load_problems and copies of unreadable files."""

from __future__ import annotations

import json
import math
import re
import time
import types
import uuid

import pytest
from test_state_file import sample_jobs, write

import tarvel.core.scheduler as scheduler_module
from tarvel.core.scheduler import JobExecution, Scheduler

FULL = {"id": "f", "name": "n", "description": "d", "job_type": "interval", "schedule": "",
        "interval_seconds": 60, "prompt": "p", "model_key": None, "spawn_worker": True, "state": "paused",
        "created_at": 5.5, "last_run": 0.0, "next_run": 1_800_000_000.25, "run_count": 2, "max_runs": 0,
        "next_run_human": "x", "last_run_human": "Never", "metadata": {"k": [1, 2.5, None, True]}}
RUN = {"job_id": "f", "job_name": "n", "started_at": 7.0, "completed_at": 8.0, "duration": 1.0,
       "success": True, "result": "ok", "error": "", "model_used": "m", "worker_id": ""}


def document(*jobs, executions=None):
    """A state file's text with `jobs` under the keys "0", "1", ..."""
    doc = {"jobs": {str(i): job for i, job in enumerate(jobs)}}
    if executions is not None:
        doc["executions"] = executions
    return json.dumps(doc, indent=2)


def saved_file():
    """The text a scheduler saves: every field type, escapes, surrogate pairs, big ints, history."""
    sch = types.SimpleNamespace(_jobs={j.id: j for j in sample_jobs()})
    records = {k: {**j.to_dict(), "prompt": j.prompt, "metadata": j.metadata} for k, j in sch._jobs.items()}
    runs = [JobExecution(f"j{i}", "ü", 1000.0 + i, duration=i / 7, success=bool(i % 2)).to_dict() for i in range(3)]
    return json.dumps({"jobs": records, "executions": runs}, indent=2)


TEXTS = [
    saved_file(),
    document(FULL, executions=[RUN]),
    json.dumps({"jobs": {"0": FULL}}, separators=(",", ":")),  # no whitespace at all
    document(FULL).replace("\n", "\r\n\t"),
    '{"x": [1, {"y": null}], "jobs": {}, "z": 1}',
    '{"jobs": {"a": {"id": "1", "created_at": 1, "metadata": {}}, "b": {"id": "2", "created_at": 1,'
    ' "metadata": {}}, "a": {"id": "3", "created_at": 2, "metadata": {}}}}',  # a key given twice
    '{"jobs": {"a": {"id": "1", "name": "x", "name": "y", "created_at": 1, "metadata": {}}}}',
    '{"jobs": {"a": {"n\\u0061me": "x", "id": "1", "created_at": 1, "metadata": {}}}}',  # an escaped key
    '{"jobs": {"\\u0061": {"id": "1", "created_at": 1, "metadata": {}}}}',
    '{"jobs": {}, "jobs": {"a": {"id": "1", "created_at": 1, "metadata": {}}}}',
    '{"jobs": {"a": {"id": "\\ud800 lone \\udc00", "prompt": "\\ud83d\\ude00 \\u00e9 \\/ \\b",'
    ' "created_at": 1, "metadata": {}}}}',
    '{"jobs": {"a": {"id": "1", "created_at": 1, "model_key": NaN, "metadata": [NaN, Infinity, -Infinity]}}}',
    '{"jobs": {"a": {"id": "1", "created_at": 1e400, "metadata": {}}}}',
    '{"jobs": {"a": {"id": "1", "created_at": 1, "run_count": 123456789012345678901234, "metadata": {}}}}',
    '{"jobs": {"a": {"id": "1", "created_at": 1, "metadata": {"n": 123456789012345678901234}}}}',
    '{"jobs": {"a": {"id": "1", "created_at": 1, "metadata": {"f": 1e-400, "g": 0.1, "h": -0.0}}}}',
    '{"jobs": {"a": {"id": "1", "created_at": 1, "metadata": {}, "unknown": ' + "9" * 5000 + "}}}",
    *[document({**FULL, **fields}) for fields in [
        {"run_count": True}, {"max_runs": 2.5}, {"interval_seconds": -3}, {"last_run": -1e10},
        {"next_run": 1e13}, {"next_run": 3e11}, {"created_at": "x"}, {"job_type": "weekly"},
        {"state": "ACTIVE"}, {"job_type": 5}, {"spawn_worker": "yes"}, {"model_key": [1]}, {"id": 7},
        {"prompt": None}, {"extra": {"deep": [[[]]]}},
    ]],
    document({k: v for k, v in FULL.items() if k != "metadata"}),
    document({k: v for k, v in FULL.items() if k not in ("id", "created_at")}),
    document({"id": "only", "created_at": 1.0, "metadata": {}}),
    document("not a record", [], None, FULL),
    document(FULL, executions=[RUN, {**RUN, "result": 5}, {"job_id": "x"}, 3, {**RUN, "extra": 1},
                               {k: v for k, v in RUN.items() if k in ("job_id", "job_name", "started_at")},
                               {**RUN, "started_at": "s"}, {**RUN, "duration": math.inf}]),
    document(FULL, executions={"a": 1}),
    document(FULL, executions=None),
    "",
    "[1, 2]",
    '{"jobs": null}',
    '{"jobs": []}',
    document(FULL)[:-40],
    document(FULL) + " x",
    document(FULL).replace('"p"', '"p\tq"'),  # a control character in a string
    "\ufeff" + document(FULL),
    "[" * 70 + "]" * 70,
    '{"jobs": {"a": {"id": "1", "created_at": 1, "metadata": ' + "[" * 70 + "]" * 70 + "}}}",
]


class PythonJson:
    """The json module as a wrapper: the scheduler reads it the Python way."""

    def loads(self, text):
        return json.loads(text)

    def dumps(self, value, **options):
        return json.dumps(value, **options)


def outcome(path, log, text):
    """What a load of `text` gives: each job's key, field values (with their types, in order) and
    dictionary; each execution's fields; the new log lines, load_problems and copies."""
    write(path, text)
    before = len(log())
    sch = Scheduler(storage_path=path)
    jobs = [(k, [(n, type(v), v) for n, v in vars(j).items()], j.to_dict()) for k, j in sch._jobs.items()]
    runs = [[(n, type(v), v) for n, v in vars(e).items()] for e in sch._executions]
    copies = sorted(p for p in path.parent.iterdir() if ".bad-" in p.name)
    kept = [(re.sub(r"\.bad-.*", "", p.name), p.read_bytes()) for p in copies]
    for copy in copies:
        copy.unlink()
    stamp = re.compile(r"\.bad-\S+")
    lines = [(level, stamp.sub("", m)) for level, m in log()[before:]]
    problems = [stamp.sub("", p) for p in sch.load_problems]
    return jobs, runs, lines, problems, kept


@pytest.mark.parametrize("text", TEXTS, ids=[f"text{i}" for i in range(len(TEXTS))])
def test_a_native_load_gives_what_the_python_way_gives(path, log, monkeypatch, text):
    # the fields given by a factory come out the same on both ways
    monkeypatch.setattr(scheduler_module, "time", types.SimpleNamespace(**{**vars(time), "time": lambda: 42.5}))
    monkeypatch.setattr(scheduler_module, "uuid", types.SimpleNamespace(uuid4=lambda: uuid.UUID(int=7)))
    native = outcome(path, log, text)
    monkeypatch.setattr(scheduler_module, "json", PythonJson())
    assert native == outcome(path, log, text)


def test_a_replaced_from_dict_builds_every_job(path, monkeypatch):
    built = []
    original = scheduler_module.ScheduledJob.from_dict

    def from_dict(cls, data):
        built.append(data["id"])
        return original(data)

    monkeypatch.setattr(scheduler_module.ScheduledJob, "from_dict", classmethod(from_dict))
    write(path, document(FULL, {**FULL, "id": "g"}))
    assert list(Scheduler(storage_path=path)._jobs) == ["f", "g"] and built == ["f", "g"]
