"""tests/test_load_problems.py: what a load of the state file or the improvement log found wrong,
as a program reads it from load_problems."""

from __future__ import annotations

import json

import pytest
import test_improvement_log as log_files
import test_state_file as state_files

import tarvel.skills.creator as creator_module
from tarvel.core.scheduler import JobType, ScheduledJob, Scheduler

# The sentences (after "<path>: ") of the wrong shapes and kinds of file, before the copy's.
SENTENCES = {
    ("state", ""): ["the file is empty"],
    ("state", "[1, 2]"): ["the top level must be an object, not a list"],
    ("state", '{"jobs": null}'): ['"jobs" must be an object, not null'],
    ("state", '{"jobs": []}'): ['"jobs" must be an object, not a list'],
    ("state", json.dumps({"jobs": {"a": state_files.GOOD}, "executions": 5})):
        ['"executions" must be a list, not a number'],
    ("state", json.dumps({"jobs": {"a": {"id": "a", "name": 3}, "b": state_files.GOOD}})):
        ["job a skipped: name of job a must be a str, not int"],
    ("state", json.dumps({"jobs": {"a": state_files.GOOD}, "executions": [3, None]})):
        ["execution record 1 skipped: an execution record must be a dict, not int",
         "execution record 2 skipped: an execution record must be a dict, not NoneType"],
    ("state merge", "{"): ["the file is not valid JSON: " + state_files.parse_error("{")],
    ("state merge", '{"jobs": []}'): ['"jobs" must be an object, not a list'],
    ("log", ""): ["the file is empty"],
    ("log", "5"): ["the top level must be a list, not a number"],
    ("log", '{"a": 1}'): ["the top level must be a list, not an object"],
    ("log", json.dumps([5, log_files.GOOD[0], None, [1]])):
        [f"entry {n} skipped: {log_files.NOT_A_MAPPING}{kind}" for n, kind in
         [(1, "int"), (3, "NoneType"), (4, "list")]],
    ("log merge", log_files.UNREADABLE_SAVED[1][0]): [f"entry 3 skipped: {log_files.NOT_A_MAPPING}int"],
}

# (what reads the file, its content or None for no file, whether it loads whole): every damaged
# file of the state file's and the log's own tests, and every whole one.
CASES = [
    *[("state", content, False) for content, _, _ in state_files.UNREADABLE],
    *[("state merge", content, False) for content in ("{", '{"jobs": []}')],
    *[("log", content, not reasons) for content, _, reasons in log_files.UNREADABLE],
    *[("log merge", content, False) for content, _, _ in log_files.UNREADABLE_SAVED],
    *[("state", json.dumps(document), True) for document, _ in state_files.COMPLETE],
    ("state", None, True), ("log", None, True),
]


def read(reader, path, content):
    """The Scheduler or SkillCreator that read `content` at `path`: at its load, or (a "merge")
    at a save after another process wrote it."""
    raw = content.encode() if isinstance(content, str) else content
    if reader.endswith("merge"):
        owner = Scheduler(storage_path=path) if reader.startswith("state") else creator_module.SkillCreator()
        change = {"state": lambda n: owner.add_job(ScheduledJob(id=n, job_type=JobType.ONCE)),
                  "log": lambda n: owner.log_learning(n, "r")}[reader.split()[0]]
        change("first")
        path.write_bytes(raw)
        change("second")
        return owner
    if raw is not None:
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(raw)
    return Scheduler(storage_path=path) if reader == "state" else creator_module.SkillCreator()


@pytest.mark.parametrize("reader, content, whole", CASES)
def test_a_program_sees_what_a_load_found_wrong(path, creator_home, log, creator_log, reader, content,
                                                whole):
    file = path if reader.startswith("state") else creator_module.IMPROVEMENT_LOG
    owner = read(reader, file, content)
    problems = owner.load_problems
    if whole:
        assert problems == []
        return
    lines = log() if reader.startswith("state") else creator_log()
    reasons = [m.split(": ", 1)[1] for _, m in lines if m.startswith("Failed to load ")]
    [copy] = file.parent.glob(file.name + ".bad-*")
    assert problems[-1] == f"{file}: kept a copy of the file as {copy}"
    expected = SENTENCES.get((reader, content))
    if expected is not None:
        assert problems[:-1] == [f"{file}: {sentence}" for sentence in expected]
    else:  # one sentence per problem logged, naming the file and saying what the log says
        assert len(problems) - 1 == len(reasons)
        assert all(p.startswith(f"{file}: ") and r in p for p, r in zip(problems, reasons))
    # The next load starts afresh.
    file.write_text("{}" if reader.startswith("state") else "[]")
    getattr(owner, "_load" if reader.startswith("state") else "_load_improvement_log")()
    assert owner.load_problems == []
