"""tests/test_improvement_log.py: the improvement log: learnings, limits, its file, crash safety."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
from datetime import datetime
from pathlib import Path
from types import SimpleNamespace

import pytest
from conftest import killed_runs, run_at_once
from creator_twin import improvement_log_text

import tarvel.skills.creator as creator_module
from tarvel.skills.creator import ImprovementEntry, SkillCreator

HOST = Path(__file__).resolve().parent.parent / "host"
STAMP = "20310405-060708"  # the fixed clock below, as copies of unreadable logs are named
ENTRY_KEYS = ["timestamp", "action", "skill_name", "reason", "details", "success"]


@pytest.fixture
def clock(monkeypatch):
    fixed = SimpleNamespace(now=lambda: datetime(2031, 4, 5, 6, 7, 8))
    monkeypatch.setattr(creator_module, "datetime", fixed)


@pytest.fixture
def path(creator_home):
    return creator_home / "improvement_log.json"


def files(directory):
    """The names in `directory`, less the lock files a save takes beside the log (never deleted)."""
    return sorted(name for name in os.listdir(directory) if not name.endswith(".lock"))


def twin_text(entries):
    """The log's text as the plain-Python twin writes it, with this system's line ends."""
    return improvement_log_text(entries).replace("\n", os.linesep)


def entry(i, **overrides):
    values = dict(timestamp=f"2031-01-01 00:{i // 60:02d}:{i % 60:02d}", action="learned",
                  skill_name=f"skill_{i}", reason=f"lesson {i}", details={"i": i})
    return ImprovementEntry(**{**values, **overrides})


# --- learnings and recent entries ------------------------------------------------------------

@pytest.mark.parametrize("method, args", [
    *[("log_learning", args) for args in (
        (None, "r"), (5, "r"), (type("Text", (str,), {})("s"), "r"), (b"s", "r"), ("s", None),
        ("s", ["r"]), ("s", "r", []), ("s", "r", "k=1"), ("s", "r", type("D", (dict,), {})(k=1)))],
    *[("get_improvement_log", (limit,)) for limit in (  # exactly an int
        True, False, 5.0, "5", None, type("Count", (int,), {})(5))],
])
def test_arguments_of_other_types_are_refused_first(creator, path, method, args):
    with pytest.raises(TypeError):
        getattr(creator, method)(*args)
    assert creator._improvement_log == [] and not path.exists()


@pytest.mark.parametrize("args, first, count", [
    ((), 70, 50), ((50,), 70, 50), ((1,), 119, 1), ((119,), 1, 119), ((120,), 0, 120),
    ((200,), 0, 120), ((0,), 0, 120), ((-5,), 5, 115), ((-119,), 119, 1), ((-120,), 0, 0),
    ((-200,), 0, 0), ((10**30,), 0, 120),
])
def test_recent_entries_are_the_tail_oldest_first(creator, args, first, count):
    creator._improvement_log = entries = [entry(i) for i in range(120)]
    recent = creator.get_improvement_log(*args)
    assert recent == [e.to_dict() for e in entries[first:first + count]]
    assert all(list(d) == ENTRY_KEYS for d in recent) and len(entries) == 120
    assert creator.get_improvement_log(*args) is not recent


# --- the file ---------------------------------------------------------------------------------

def test_learnings_are_stamped_saved_and_read_back(creator, path, clock, creator_log):
    assert creator._improvement_log == [] and not path.exists()  # a missing log is no fault
    creator._save_improvement_log()
    assert path.read_bytes() == b"[]"
    reason = "\u2615 \U0001F600 \"quoted\"\nline"
    details, empty = {"f": 1.0, "n": None, "big": 10**30, "nest": {"a": [], "b": {}}}, {}
    assert creator.log_learning("caf\u00e9", reason, details) is None
    creator._log_improvement(ImprovementEntry("t", "deleted", "old", "gone", success=False))
    creator.log_learning("s", "r", empty)
    creator.log_learning("s", "r")
    first, _, third, fourth = creator._improvement_log
    assert first == ImprovementEntry("2031-04-05 06:07:08", "learned", "caf\u00e9", reason,
                                     details, True)
    assert first.details is details and third.details == fourth.details == {}
    assert third.details is not empty and third.details is not fourth.details  # fresh dicts
    text = path.read_bytes()
    assert text == twin_text(creator._improvement_log).encode()
    assert b"caf\\u00e9" in text and b"\\ud83d\\ude00" in text and b'"f": 1.0' in text
    back = SkillCreator()._improvement_log
    assert back == creator._improvement_log and type(back[1]) is ImprovementEntry
    assert creator_log() == []


# --- loading ----------------------------------------------------------------------------------

def load_error(content):
    """What reading the log as text and parsing it raises, as Python words it."""
    try:
        json.loads(content.decode() if isinstance(content, bytes) else content)
    except ValueError as error:
        return str(error)


GOOD = [entry(1).to_dict(), entry(2, success=False, details={}).to_dict(), entry(3).to_dict()]
NOT_A_MAPPING = "tarvel.skills.creator.ImprovementEntry() argument after ** must be a mapping, not "
UNKNOWN_KEY = "ImprovementEntry.__init__() got an unexpected keyword argument 'extra'"
NO_REASON = "ImprovementEntry.__init__() missing 1 required positional argument: 'reason'"
WITHOUT_REASON = {k: v for k, v in GOOD[0].items() if k != "reason"}


UNREADABLE = [
    *[(text, [], []) for text in ("[]", "{}", "  [ ]\n")],  # empty: quiet, no copy
    *[(text, [], [load_error(text)]) for text in ("", "{not json", '[{"a": 1,', "[] trailing",
                                                  b'[{"reason": "\xff"}]')],
    ("5", [], ["'int' object is not iterable"]),
    ('{"a": 1}', [], [NOT_A_MAPPING + "str"]),
    (json.dumps([5, GOOD[0], None, [1]]), [0], [NOT_A_MAPPING + t for t in ("int", "NoneType",
                                                                            "list")]),
    (json.dumps([GOOD[0], {**GOOD[1], "extra": 1}]), [0], [UNKNOWN_KEY]),
    (json.dumps([WITHOUT_REASON, GOOD[1]]), [1], [NO_REASON]),
    (json.dumps([GOOD[0], GOOD[1], {**GOOD[2], "extra": 1}, GOOD[2]]), [0, 1, 2], [UNKNOWN_KEY]),
]


@pytest.mark.parametrize("content, kept, reasons", UNREADABLE)
def test_unreadable_log_is_kept_as_a_copy(creator_home, path, clock, creator_log, content, kept,
                                          reasons):
    original = content if isinstance(content, bytes) else content.encode()
    creator_home.mkdir(parents=True)
    path.write_bytes(original)
    creator = SkillCreator()
    copy = path.with_name("improvement_log.json.bad-" + STAMP)
    assert [e.to_dict() for e in creator._improvement_log] == [GOOD[i] for i in kept]
    warned = ["Failed to load improvement log: " + reason for reason in reasons]
    warned += [f"Kept a copy of the unreadable improvement log as {copy}"] * bool(reasons)
    assert creator_log() == [("WARNING", message) for message in warned]
    assert path.read_bytes() == original  # loading never rewrites the log
    creator.log_learning("s", "r")
    assert path.read_bytes() == twin_text(creator._improvement_log).encode()
    copies = [copy.name] * bool(reasons)
    assert files(creator_home) == [path.name, *copies, "skills"]
    assert not reasons or copy.read_bytes() == original


def test_copy_names_count_up_when_taken(creator_home, path, clock, creator_log):
    creator_home.mkdir(parents=True)
    path.write_text("[")
    for suffix in ("", "-2"):
        path.with_name(f"improvement_log.json.bad-{STAMP}{suffix}").write_text("older copy")
    SkillCreator()
    fresh = path.with_name(f"improvement_log.json.bad-{STAMP}-3")
    assert creator_log()[-1][1] == f"Kept a copy of the unreadable improvement log as {fresh}"
    assert [p.read_text() for p in sorted(creator_home.glob("*.bad-*"))] == ["older copy"] * 2 + [
        "["]


# --- failed saves and crash safety ------------------------------------------------------------

def test_unencodable_detail_never_keeps_other_entries_from_the_file(creator, creator_home, path,
                                                                    creator_log):
    # The entry JSON cannot encode stays in memory; every other entry still reaches the file.
    creator.log_learning("s", "fine")
    tags = {"a"}
    creator.log_learning("s", "tagged", {"tags": tags})
    creator.log_learning("s", "later")
    failure = "Failed to save improvement log: Object of type set is not JSON serializable"
    left_out = "Saved the improvement log without 1 entry that JSON cannot encode"
    assert creator_log() == [("WARNING", failure), ("WARNING", left_out)] * 2
    assert [e.reason for e in creator._improvement_log] == ["fine", "tagged", "later"]
    assert creator._improvement_log[1].details["tags"] is tags
    kept = [e.to_dict() for e in creator._improvement_log if e.reason != "tagged"]
    assert path.read_text() == json.dumps(kept, indent=2)
    assert files(creator_home) == [path.name, "skills"]


def test_failed_replace_leaves_no_temporary_file(creator, creator_home, monkeypatch, creator_log):
    occupied = creator_home / "occupied"
    (occupied / "inside").mkdir(parents=True)
    monkeypatch.setattr(creator_module, "IMPROVEMENT_LOG", occupied)
    creator.log_learning("s", "r")
    assert len(creator._improvement_log) == 1
    ((level, message),) = creator_log()
    assert level == "WARNING" and message.startswith("Failed to save improvement log: ")
    assert files(creator_home) == ["occupied", "skills"]
    assert os.listdir(occupied) == ["inside"]


def test_save_replaces_the_file_instead_of_rewriting_it(creator, creator_home, path, tmp_path):
    creator.log_learning("s", "first")
    old = path.read_bytes()
    os.link(path, tmp_path / "old-link")
    creator.log_learning("s", "second")
    assert (tmp_path / "old-link").read_bytes() == old and b"second" in path.read_bytes()
    assert files(creator_home) == [path.name, "skills"]


LEARNER = r'''
import sys, pathlib, tarvel.skills.creator as m
m.IMPROVEMENT_LOG = pathlib.Path(sys.argv[1])
creator = m.SkillCreator()
for n in range(10**9):
    del creator._improvement_log[:-2]  # the file holds at most three entries
    creator.log_learning(f"s{n}", "keeps learning", {"blob": "x" * (300000 if n % 2 else 60000)})
    if n == 0:
        print("logging", flush=True)
'''


def whole_log(path):
    try:
        entries = json.loads(path.read_text())
    except ValueError:
        return False
    return 1 <= len(entries) <= 3 and all(e["action"] == "learned" for e in entries)


@pytest.mark.skipif(not hasattr(signal, "SIGKILL"), reason="needs POSIX signals")
def test_killed_learner_never_leaves_a_partial_log(creator_home, path, tmp_path, creator_log):
    """Readers during the saves and after a kill at a random moment find one whole log."""
    env = dict(os.environ, PYTHONPATH=str(HOST), HOME=str(tmp_path / "child-home"))
    runs = killed_runs([sys.executable, "-c", LEARNER, str(path)], env, b"logging\n", lambda: whole_log(path), 6)
    for kills, seen in enumerate(runs, 1):
        assert all(seen), "the improvement log was seen partly written"
        leftovers = set(files(creator_home)) - {path.name, "skills"}
        assert len(leftovers) <= kills and not any(".bad-" in name for name in leftovers)
    assert 1 <= len(SkillCreator()._improvement_log) <= 3 and creator_log() == []


# --- one log shared by several creators -------------------------------------------------------

def reasons_in(path):
    return [e["reason"] for e in json.loads(path.read_text())]


def test_creators_sharing_the_log_keep_each_others_entries_in_time_order(creator_home, path,
                                                                         creator_log):
    first, second = SkillCreator(), SkillCreator()
    held = first._improvement_log
    first._log_improvement(entry(0))
    first._log_improvement(entry(2))
    second._log_improvement(entry(1))  # the file it never saw counts as saved by another
    first._log_improvement(entry(3))
    assert reasons_in(path) == [f"lesson {i}" for i in (0, 1, 2, 3)]
    assert [e.reason for e in held] == reasons_in(path) and first._improvement_log is held
    assert first.get_improvement_stats()["total_improvements"] == 4
    second._log_improvement(entry(3))  # the same lesson logged by both is logged twice
    assert reasons_in(path) == [f"lesson {i}" for i in (0, 1, 2, 3, 3)]
    assert [e.reason for e in second._improvement_log] == reasons_in(path)
    assert creator_log() == []


def test_entries_of_one_second_keep_the_order_they_reached_the_file(creator_home, path, clock):
    first, second = SkillCreator(), SkillCreator()
    for creator, reason in [(first, "a saved"), (second, "b saved"), (first, "a new"), (second, "b new")]:
        creator.log_learning("s", reason)  # every entry stamped in the same second
        assert [e.reason for e in creator._improvement_log] == reasons_in(path)
    assert reasons_in(path) == ["a saved", "b saved", "a new", "b new"]


UNREADABLE_SAVED = [
    ("[{broken", [0, 1], [load_error("[{broken")]),
    (json.dumps([entry(0).to_dict(), entry(5).to_dict(), 7]), [0, 1, 5], [NOT_A_MAPPING + "int"]),
]


@pytest.mark.parametrize("theirs, kept, reasons", UNREADABLE_SAVED)
def test_unreadable_log_saved_by_another_is_kept_as_a_copy(creator, path, clock, creator_log,
                                                           theirs, kept, reasons):
    creator._log_improvement(entry(0))
    path.write_text(theirs)
    creator._log_improvement(entry(1))
    assert reasons_in(path) == [f"lesson {i}" for i in kept]
    copy = path.with_name("improvement_log.json.bad-" + STAMP)
    assert creator_log() == [("WARNING", "Failed to load improvement log: " + r) for r in reasons] + [
        ("WARNING", f"Kept a copy of the unreadable improvement log as {copy}")]
    assert copy.read_text() == theirs


SHARER = r'''
import pathlib, sys, time, tarvel.skills.creator as m
go, m.IMPROVEMENT_LOG, prefix = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2]), sys.argv[3]
m.DURABLE_WRITES = False  # the disk plays no part in the merge
creator = m.SkillCreator()
print("ready", flush=True)
while not go.exists():
    time.sleep(0.001)
for n in range(500):
    creator.log_learning(f"{prefix}{n}", "learned at once")
'''


def test_two_processes_logging_at_once_lose_nothing(creator_home, path, tmp_path):
    run_at_once(tmp_path, SHARER, [path, "a"], [path, "b"])
    entries = json.loads(path.read_text())
    names = [e["skill_name"] for e in entries]
    assert len(names) == 1000 and all(
        [n for n in names if n[0] == prefix] == [f"{prefix}{i}" for i in range(500)]
        for prefix in "ab")
    assert [e["timestamp"] for e in entries] == sorted(e["timestamp"] for e in entries)
    assert len(SkillCreator()._improvement_log) == 1000
