"""tests/test_windows_fallbacks.py: the steps the modules take where Windows differs, run here.

Where `fcntl` cannot be imported the locks go through `msvcrt.locking`, which a stand-in plays
below: byte ranges held by the descriptor that locked them, as Windows holds them by handle.
"""

from __future__ import annotations

import asyncio
import errno
import json
import os
import re
import sys
import threading
import time
import types

import pytest
from conftest import saved as saved_state

import tarvel.skills.creator as creator_module
from tarvel.core import scheduler

Scheduler, ScheduledJob, JobType = scheduler.Scheduler, scheduler.ScheduledJob, scheduler.JobType
FAR = 4_102_444_800.0  # 2100-01-01, never due in a test
WHOLE_FILE = 1 << 62  # the bytes another process's lock of a whole file spans


class Msvcrt(types.ModuleType):
    """Stands in for msvcrt. locking(fd, mode, nbytes) locks or unlocks the bytes from the
    descriptor's position; a range another descriptor holds is refused as Windows refuses it
    (LK_NBLCK: PermissionError, EACCES; LK_LOCK, after its ten tries: OSError, EDEADLOCK), and so
    is the unlock of a range the descriptor does not hold. `calls` records every locking() and
    os.close() as ("lock" / "unlock" / "close", fd, position)."""

    LK_UNLCK, LK_LOCK, LK_NBLCK, LK_RLCK, LK_NBRLCK = 0, 1, 2, 3, 4

    def __init__(self):
        super().__init__("msvcrt")
        self.held = {}  # (device, inode) -> [(first byte, byte count, holder)]
        self.calls = []

    @staticmethod
    def _file(fd_or_path):
        info = os.stat(fd_or_path)
        return info.st_dev, info.st_ino

    def locking(self, fd, mode, nbytes):
        start = os.lseek(fd, 0, os.SEEK_CUR)
        ranges = self.held.setdefault(self._file(fd), [])
        if mode == self.LK_UNLCK:
            self.calls.append(("unlock", fd, start))
            if (start, nbytes, fd) not in ranges:
                raise PermissionError(errno.EACCES, "Permission denied")
            ranges.remove((start, nbytes, fd))
            return
        self.calls.append(("lock", fd, start))
        if any(first < start + nbytes and start < first + count for first, count, _ in ranges):
            if mode in (self.LK_LOCK, self.LK_RLCK):
                raise OSError(errno.EDEADLOCK, "Resource deadlock avoided")
            raise PermissionError(errno.EACCES, "Permission denied")
        ranges.append((start, nbytes, fd))

    def hold(self, path):
        """Another process locks the whole file at `path`."""
        self.held.setdefault(self._file(path), []).append((0, WHOLE_FILE, "other"))

    def let_go(self, path):
        self.held[self._file(path)].remove((0, WHOLE_FILE, "other"))

    def ranges(self, path):
        return self.held.get(self._file(path), [])


@pytest.fixture
def msvcrt(monkeypatch):
    """No fcntl (its import fails, as on Windows) and the stand-in msvcrt in its place."""
    standin = Msvcrt()
    monkeypatch.setitem(sys.modules, "fcntl", None)
    monkeypatch.setitem(sys.modules, "msvcrt", standin)
    real_close = os.close

    def close(fd):
        standin.calls.append(("close", fd, None))
        real_close(fd)

    monkeypatch.setattr(os, "close", close)
    return standin


@pytest.fixture
def clock(monkeypatch):
    """time.monotonic and time.sleep on a clock of their own: each sleep moves it on and is
    recorded; `at` holds actions to take once the clock reaches a time, as (time, action)."""
    fake = types.SimpleNamespace(now=1000.0, sleeps=[], at=[])

    def sleep(seconds):
        fake.sleeps.append(seconds)
        fake.now += seconds
        for due, action in list(fake.at):
            if fake.now >= due:
                fake.at.remove((due, action))
                action()

    monkeypatch.setattr(time, "monotonic", lambda: fake.now)
    monkeypatch.setattr(time, "sleep", sleep)
    return fake


def job(job_id):
    return ScheduledJob(id=job_id, name=job_id, job_type=JobType.ONCE, next_run=FAR)


def simple_skill(name):
    return {"name": name, "description": "d", "app": "a", "triggers": ["t"],
            "steps": [{"operation": "open_app", "description": "x"}]}


# Each lock a save waits for: the lock file, given the test's state file and the creator's home,
# and the save that takes it, which returns what it saved as seen on disk.
def _save_lock(path, home):
    sch = Scheduler(storage_path=path)
    return lambda: (sch.add_job(job("a")), sorted(json.loads(path.read_text())["jobs"]))[1]


def _database_save_lock(path, home):
    database = path.with_name("scheduler.sqlite3")
    sch = Scheduler(storage_path=database, store="sqlite")
    return lambda: (sch.add_job(job("a")), sorted(saved_state(database)["jobs"]))[1]


def _log_lock(path, home):
    creator = creator_module.SkillCreator()
    log = home / "improvement_log.json"
    return lambda: (creator.log_learning("s", "lesson"), json.loads(log.read_text())[0]["reason"])[1]


def _store_lock(path, home):
    creator = creator_module.SkillCreator()
    return lambda: creator.create_from_dict(simple_skill("play"))[0]


WAITING_LOCKS = [
    (_save_lock, lambda path, home: path.with_name("scheduler.json.save-lock"), ["a"]),
    (_database_save_lock, lambda path, home: path.with_name("scheduler.sqlite3.save-lock"), ["a"]),
    (_log_lock, lambda path, home: home / "improvement_log.json.lock", "lesson"),
    (_store_lock, lambda path, home: home / "skills" / ".lock", True),
]
WAITING_IDS = ["scheduler save", "database save", "improvement log", "skill store"]


# --- locks where msvcrt takes them -------------------------------------------------------------

@pytest.mark.parametrize("saver, lock_file, saved", WAITING_LOCKS, ids=WAITING_IDS)
def test_a_waiting_lock_waits_as_long_as_it_takes_and_says_so_once(
        path, creator_home, msvcrt, clock, caplog, saver, lock_file, saved):
    save = saver(path, creator_home)
    lock = lock_file(path, creator_home)
    lock.parent.mkdir(parents=True, exist_ok=True)
    lock.touch()
    msvcrt.hold(lock)
    clock.at.append((clock.now + 12.0, lambda: msvcrt.let_go(lock)))
    caplog.clear()
    assert save() == saved
    assert clock.sleeps[:6] == [0.05, 0.1, 0.2, 0.4, 0.5, 0.5] and set(clock.sleeps[5:]) == {0.5}
    assert 12.0 <= sum(clock.sleeps) < 12.5  # saved at the first try once the other let go
    warnings = [r.getMessage() for r in caplog.records if r.levelname == "WARNING"]
    assert warnings == [f"Waiting for the lock on {lock} for 10 s: another process holds it"]
    assert all(mode != "lock" or position != 0 for mode, _, position in msvcrt.calls)


@pytest.mark.parametrize("saver, lock_file, saved", WAITING_LOCKS, ids=WAITING_IDS)
def test_a_lock_is_let_go_at_the_byte_it_locked_before_its_file_closes(
        path, creator_home, msvcrt, saver, lock_file, saved):
    assert saver(path, creator_home)() == saved
    lock = lock_file(path, creator_home)
    locked = [(fd, position) for mode, fd, position in msvcrt.calls if mode == "lock"]
    assert locked
    for fd, position in locked:
        at = msvcrt.calls.index(("lock", fd, position))
        # what became of the descriptor after: its unlock, at the same byte, then its close
        after = [call for call in msvcrt.calls[at + 1:] if call[1] == fd][:2]
        assert after == [("unlock", fd, position), ("close", fd, None)]
    assert msvcrt.ranges(lock) == []


def test_the_loop_lock_names_its_holder_and_leaves_the_pid_readable(path, store, msvcrt):
    async def main():
        first, second = Scheduler(storage_path=path, store=store), Scheduler(storage_path=path, store=store)
        await first.start()
        lock = path.with_name(path.name + ".lock")
        with pytest.raises(RuntimeError) as refused:
            await second.start()
        assert str(refused.value) == f"Another scheduler loop (pid {os.getpid()}) is running on {path}"
        # The pid is the file's whole text, and no locked byte lies within it: under Windows'
        # mandatory locks another process can read it.
        assert lock.read_text() == str(os.getpid())
        [(first_byte, _, _)] = msvcrt.ranges(lock)
        assert first_byte >= lock.stat().st_size
        await first.stop()
        assert msvcrt.ranges(lock) == []
        await second.start()  # free again once the first has stopped
        await second.stop()

    asyncio.run(main())
    assert all(mode != "lock" or position > 0 for mode, _, position in msvcrt.calls)


# --- a file another process holds open is replaced once it lets go -----------------------------

def refusing_replace(monkeypatch, times, number=errno.EACCES):
    """os.replace refuses the first `times` replacements as Windows refuses to replace a file
    another process holds open; counts the tries."""
    real_replace, tries = os.replace, []

    def replace(source, target):
        tries.append(target)
        if len(tries) <= times:
            raise PermissionError(number, os.strerror(number), os.fspath(target))
        real_replace(source, target)

    monkeypatch.setattr(os, "replace", replace)
    return tries


def state_saver(path, home):
    sch = Scheduler(storage_path=path)
    sch.add_job(job("a"))
    return path, lambda: sch.add_job(job("b")), lambda: sorted(json.loads(path.read_text())["jobs"])


def log_saver(path, home):
    creator = creator_module.SkillCreator()
    creator.log_learning("s", "first")
    log = home / "improvement_log.json"
    return log, lambda: creator.log_learning("s", "second"), \
        lambda: [entry["reason"] for entry in json.loads(log.read_text())]


# the refusals, the tries made, whether the file was replaced (else written in place)
@pytest.mark.parametrize("refusals, tries, replaced", [
    (3, 4, True),
    (6, 7, True),  # the last try, a second on
    (100, 7, False),
    ("EPERM", 1, False),  # a refusal that waiting cannot end (a sticky directory) is not retried
])
@pytest.mark.parametrize("saver, saved", [(state_saver, ["a", "b"]), (log_saver, ["first", "second"])],
                         ids=["state file", "improvement log"])
def test_a_refused_replacement_is_tried_again_for_about_a_second(
        path, creator_home, monkeypatch, clock, saver, saved, refusals, tries, replaced):
    target, save, content = saver(path, creator_home)
    inode = target.stat().st_ino
    made = refusing_replace(monkeypatch, 1 if refusals == "EPERM" else refusals,
                            errno.EPERM if refusals == "EPERM" else errno.EACCES)
    save()
    assert len(made) == tries and content() == saved
    assert (target.stat().st_ino != inode) is replaced
    assert clock.sleeps == [0.05, 0.1, 0.15, 0.2, 0.25, 0.25][:tries - 1]
    assert not [name for name in os.listdir(target.parent) if name.endswith(".tmp")]


# --- a load waits for a save that writes in place ----------------------------------------------

def state_file(path, home):
    whole = json.dumps({"jobs": {"a": job("a").to_dict()}, "executions": []}, indent=2)
    return path, path.with_name("scheduler.json.save-lock"), whole, \
        lambda: (lambda sch: (sorted(sch._jobs), sch.load_problems))(Scheduler(storage_path=path))


def improvement_log(path, home):
    log = home / "improvement_log.json"
    whole = json.dumps([{"timestamp": "2031-04-05 06:07:08", "action": "learned", "skill_name": "s",
                         "reason": "r", "details": {}, "success": True}], indent=2)
    return log, home / "improvement_log.json.lock", whole, lambda: (
        lambda creator: ([e.reason for e in creator._improvement_log], creator.load_problems)
    )(creator_module.SkillCreator())


LOADS = [(state_file, (["a"], [])), (improvement_log, (["r"], []))]


@pytest.mark.parametrize("files, loaded", LOADS, ids=["state file", "improvement log"])
def test_a_load_waits_for_the_save_that_writes_the_file_in_place(path, creator_home, files, loaded):
    import fcntl

    target, lock, whole, load = files(path, creator_home)
    target.parent.mkdir(parents=True, exist_ok=True)
    fd = os.open(lock, os.O_RDWR | os.O_CREAT)
    fcntl.flock(fd, fcntl.LOCK_EX)  # another writer's, in place: the file is half written
    target.write_text(whole[:len(whole) // 2])

    def finish():
        time.sleep(0.3)
        target.write_text(whole)
        os.close(fd)

    writer = threading.Thread(target=finish)
    writer.start()
    try:
        assert load() == loaded  # read again once the writer let go: whole, and no copy kept
    finally:
        writer.join()
    assert not [name for name in os.listdir(target.parent) if ".bad-" in name]


@pytest.mark.parametrize("files, loaded", LOADS, ids=["state file", "improvement log"])
def test_a_load_waits_for_a_writer_in_place_where_msvcrt_locks(path, creator_home, msvcrt, clock,
                                                                 files, loaded):
    target, lock, whole, load = files(path, creator_home)
    target.parent.mkdir(parents=True, exist_ok=True)
    lock.touch()
    msvcrt.hold(lock)
    target.write_text(whole[:len(whole) // 2])
    clock.at.append((clock.now + 1.0, lambda: (target.write_text(whole), msvcrt.let_go(lock))))
    assert load() == loaded
    assert sum(clock.sleeps) >= 1.0
    assert not [name for name in os.listdir(target.parent) if ".bad-" in name]


@pytest.mark.parametrize("files, loaded", LOADS, ids=["state file", "improvement log"])
def test_a_half_written_file_that_no_one_holds_is_kept_at_once(path, creator_home, clock, files,
                                                                loaded):
    target, lock, whole, load = files(path, creator_home)
    target.parent.mkdir(parents=True, exist_ok=True)
    lock.touch()
    target.write_text(whole[:len(whole) // 2])
    items, problems = load()
    assert items == [] and "is not valid JSON" in problems[0] and "kept a copy" in problems[-1]
    assert clock.sleeps == []


# --- full paths near Windows' MAX_PATH ---------------------------------------------------------

def test_paths_are_unlimited_by_default_here():
    assert scheduler._MAX_PATH is None and creator_module._MAX_PATH is None


def replacements(monkeypatch):
    """The temporary files os.replace renames, as (name, full path)."""
    real_replace, renamed = os.replace, []

    def replace(source, target):
        renamed.append((os.path.basename(source), os.path.abspath(source)))
        real_replace(source, target)

    monkeypatch.setattr(os, "replace", replace)
    return renamed


# the state file's name, how far past its full path's length the limit lies (None: no limit),
# the temporary name's form (None: written in place)
@pytest.mark.parametrize("name, room, form", [
    ("scheduler.json", None, r"\.scheduler\.json\.\d+\.\d+\.tmp"),
    ("scheduler.json", 30, r"\.scheduler\.json\.\d+\.\d+\.tmp"),
    ("scheduler.json", 5, r"\.[0-9a-f]{8}\.tmp"),  # the usual name would reach the limit
    ("s.json", 5, None),  # the short name too: the plain write's
])
def test_a_temporary_name_stays_below_the_path_limit(tmp_path, monkeypatch, name, room, form):
    path = tmp_path / name
    sch = Scheduler(storage_path=path)
    sch.add_job(job("a"))
    limit = None if room is None else len(str(path)) + room
    monkeypatch.setattr(scheduler, "_MAX_PATH", limit)
    renamed = replacements(monkeypatch)
    inode = path.stat().st_ino
    sch.add_job(job("b"))
    assert sorted(json.loads(path.read_text())["jobs"]) == ["a", "b"]
    if form is None:
        assert renamed == [] and path.stat().st_ino == inode
    else:
        [(temp, full)] = renamed
        assert re.fullmatch(form, temp) and (limit is None or len(full) < limit)
    assert sorted(os.listdir(tmp_path)) == [name, name + ".save-lock"]


def test_the_creator_keeps_its_temporary_names_below_its_path_limit(creator, creator_home, monkeypatch):
    log = creator_home / "improvement_log.json"
    monkeypatch.setattr(creator_module, "_MAX_PATH", len(str(log)) + 5)
    renamed = replacements(monkeypatch)
    creator.log_learning("s", "lesson")
    [(temp, _)] = renamed
    assert re.fullmatch(r"\.[0-9a-f]{8}\.tmp", temp)
    assert [entry["reason"] for entry in json.loads(log.read_text())] == ["lesson"]
