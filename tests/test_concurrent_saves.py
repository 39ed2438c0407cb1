"""tests/test_concurrent_saves.py: schedulers and creators saved from several threads, and from code a save runs."""

from __future__ import annotations

import os
import sys
import threading
from datetime import datetime

import pytest
from creator_twin import improvement_log_text
from scheduler_twin import state_text

import tarvel.skills.creator as creator_module
from tarvel.core import scheduler
from tarvel.skills.creator import SkillCreator

Scheduler, ScheduledJob, JobExecution = scheduler.Scheduler, scheduler.ScheduledJob, scheduler.JobExecution
BASE = 1_800_000_000.0
# Each thread's own scheduler, by its number of jobs: large and small ones side by side.
OWN_JOBS = [1, 400, 10, 200, 50, 100, 5, 300]
ROUNDS = 1000  # saves of each thread's own scheduler; a quarter as many of the shared one


def file_text(path):
    return path.read_bytes().decode("ascii").replace(os.linesep, "\n")


def filled(path, count, prefix):
    """A scheduler of `count` jobs, a third of them with metadata."""
    sch = Scheduler(storage_path=path)
    for i in range(count):
        sch._jobs[f"{prefix}{i}"] = ScheduledJob(id=f"{prefix}{i}", name=f"job {i}", next_run=BASE + i,
                                                 metadata={"n": [i]} if i % 3 == 0 else {})
    return sch


@pytest.fixture
def fast_switches(monkeypatch):
    """Threads take turns often, and files are written without flushes."""
    monkeypatch.setattr(scheduler, "DURABLE_WRITES", False)
    monkeypatch.setattr(creator_module, "DURABLE_WRITES", False)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(interval)


def test_threads_save_their_own_and_shared_objects(tmp_path, creator_home, fast_switches):
    shared = filled(tmp_path / "shared.json", 100, "s")
    shared_creator = SkillCreator()
    own = [filled(tmp_path / f"own{n}.json", count, f"t{n}-") for n, count in enumerate(OWN_JOBS)]
    creators = [SkillCreator() for _ in OWN_JOBS]
    failures = []

    def work(n):
        try:
            sch, jobs, cr = own[n], list(own[n]._jobs.values()), creators[n]
            for i in range(ROUNDS):
                jobs[i % len(jobs)].run_count += 1
                if i % 10 == 0:
                    sch._executions.append(JobExecution(jobs[0].id, "ran", BASE + i, result=f"r{i}"))
                sch._save()
                if i % 4 == 0:
                    shared._jobs[f"s{(n + i) % 100}"].run_count += 1
                    shared._save()
                if i % 25 == 0:
                    cr.log_learning(f"skill_{n}", f"lesson {n}-{i}", {"i": i})
                if i % 50 == 0:
                    shared_creator.log_learning("shared", f"shared lesson {n}-{i}")
        except BaseException as error:  # noqa: BLE001 - reported by the test below
            failures.append(error)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(len(OWN_JOBS))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    for sch in own:
        assert file_text(sch._storage_path) == state_text(sch._jobs, sch._executions)
    shared._save()  # the shared jobs may have changed after the last thread's save
    assert file_text(shared._storage_path) == state_text(shared._jobs, shared._executions)
    # The creators share the log file: each save first takes in what the others saved.
    log = creator_module.IMPROVEMENT_LOG
    for cr in [*creators, shared_creator]:
        cr._save_improvement_log()
        assert file_text(log) == improvement_log_text(cr._improvement_log)
    learned = len(OWN_JOBS) * (ROUNDS // 25 + ROUNDS // 50)
    assert len(shared_creator._improvement_log) == learned


@pytest.mark.parametrize("inner", ["another", "itself"])
def test_a_save_from_code_a_save_runs(tmp_path, monkeypatch, inner):
    outer = filled(tmp_path / "outer.json", 400, "o")
    other = filled(tmp_path / "other.json", 1, "x")
    # A save waits for the lock beside its file; where there can be none (a directory holds its
    # name), a scheduler's save runs from code its own save runs.
    (tmp_path / "outer.json.save-lock").mkdir()
    outer._save()
    other._save()
    saved = {"another": other, "itself": outer}[inner]

    class Patched(datetime):
        calls, inner_saves = 0, 0

        @classmethod
        def fromtimestamp(cls, *args, **kwargs):
            Patched.calls += 1
            if Patched.calls % 300 == 0 and Patched.inner_saves == outer_saves:  # once in each outer save
                Patched.inner_saves += 1
                saved._save()
            return datetime.fromtimestamp(*args, **kwargs)

    monkeypatch.setattr(scheduler, "datetime", Patched)
    for outer_saves in range(2):
        for sch in (outer, other):
            for job in sch._jobs.values():
                job.run_count += 1
        outer._save()
    assert Patched.inner_saves == 2
    monkeypatch.undo()
    for sch in (outer, saved):
        assert file_text(sch._storage_path) == state_text(sch._jobs, sch._executions)
