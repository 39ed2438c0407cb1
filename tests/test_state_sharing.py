"""tests/test_state_sharing.py: two schedulers on one state file or database: one running loop, saves that
merge. Every test runs on both stores."""

from __future__ import annotations

import asyncio
import json
import os
import signal
import subprocess
import sys
import time
from functools import partial
from pathlib import Path

import pytest
import soak_sharing
from conftest import saved

from tarvel.core import scheduler

Scheduler, ScheduledJob, JobExecution = scheduler.Scheduler, scheduler.ScheduledJob, scheduler.JobExecution
JobType, JobState = scheduler.JobType, scheduler.JobState
HOST = Path(__file__).resolve().parent.parent / "host"
FAR = 4_102_444_800.0  # 2100-01-01, never due in a test

# A host process that runs the loop on the state file with a short wait between passes,
# prints "started" once its loop runs, records each firing, and stops when told to.
LOOP_HOST = r'''
import asyncio, json, sys
from pathlib import Path
from tarvel.core import scheduler

path, fired_log = Path(sys.argv[1]), Path(sys.argv[2])
store = "sqlite" if path.suffix == ".sqlite3" else "json"
fired = []

async def on_fire(job):
    fired.append(job.id)
    fired_log.with_suffix(".tmp").write_text(json.dumps(fired))
    fired_log.with_suffix(".tmp").replace(fired_log)  # readers never see a part of it
    return "done"

async def main():
    sch = scheduler.Scheduler(on_fire=on_fire, storage_path=path, poll_interval=0.02, store=store)
    for i in range(10):
        sch.add_job(scheduler.ScheduledJob(id=f"own{i}", name="own", job_type=scheduler.JobType.ONCE,
                                           next_run=4_102_444_800.0))
    await sch.start()
    print("started", flush=True)
    while not path.with_name("stop").exists():
        await asyncio.sleep(0.01)
    await sch.stop()

asyncio.run(main())
'''


@pytest.fixture(autouse=True)
def kept_in(store, monkeypatch):
    """Every test runs with both stores: the module's Scheduler keeps its state in the test's."""
    monkeypatch.setitem(globals(), "Scheduler", partial(scheduler.Scheduler, store=store))


def loop_host(path, tmp_path):
    env = dict(os.environ, PYTHONPATH=str(HOST), TARVEL_DIR=str(tmp_path / "tarvel"))
    child = subprocess.Popen([sys.executable, "-c", LOOP_HOST, str(path), str(tmp_path / "fired.json")],
                             env=env, stdout=subprocess.PIPE)
    assert child.stdout.readline() == b"started\n"
    return child


def wait_until(condition, seconds=20.0):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.01)


def start(sch):
    async def main():
        await sch.start()
        await sch.stop()
    asyncio.run(main())


# --- one running loop per state file ----------------------------------------------------------

def test_second_loop_in_one_process_is_refused(path, log):
    async def main():
        first, second = Scheduler(storage_path=path), Scheduler(storage_path=path)
        await first.start()
        with pytest.raises(RuntimeError) as refused:
            await second.start()
        assert str(refused.value) == f"Another scheduler loop (pid {os.getpid()}) is running on {path}"
        assert second._task is None and path.with_name(path.name + ".lock").read_text() == str(os.getpid())
        await first.stop()
        await second.start()  # free again once the first has stopped
        await second.stop()
        assert first.running is False and second.running is False

    asyncio.run(main())
    assert [m for _, m in log()].count("Scheduler started with 0 jobs") == 2


def test_unmakeable_lock_file_fails_the_start(tmp_path):
    (tmp_path / "file").write_text("x")
    sch = Scheduler(storage_path=tmp_path / "file" / "scheduler.json")
    with pytest.raises(OSError):
        start(sch)
    assert sch._task is None


@pytest.mark.skipif(not hasattr(signal, "SIGKILL"), reason="needs POSIX signals")
def test_loop_of_another_process_holds_the_file_until_killed(path, tmp_path):
    child = loop_host(path, tmp_path)
    try:
        with pytest.raises(RuntimeError, match=f"pid {child.pid}"):
            start(Scheduler(storage_path=path))
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait()
    start(Scheduler(storage_path=path))  # the kernel dropped the lock with the process


# --- saves that merge -------------------------------------------------------------------------

def test_saves_of_two_schedulers_merge(path, log):
    first, second = Scheduler(storage_path=path), Scheduler(storage_path=path)
    for job_id in ("kept", "changed", "dropped", "mine"):
        first.add_job(ScheduledJob(id=job_id, name="first", job_type=JobType.ONCE, next_run=FAR))
    first._executions.append(JobExecution("kept", "first", 1.0))
    first._save()
    second.add_job(ScheduledJob(id="theirs", name="second", job_type=JobType.ONCE, next_run=FAR))
    second.update_job("changed", {"name": "by second"})
    second.remove_job("dropped")
    second._executions.append(JobExecution("theirs", "second", 2.0))
    second._save()
    first.update_job("mine", {"name": "by first"})  # merges before it writes
    on_disk = saved(path)
    assert list(on_disk["jobs"]) == ["kept", "changed", "mine", "theirs"]
    assert [on_disk["jobs"][k]["name"] for k in on_disk["jobs"]] == ["first", "by second", "by first", "second"]
    assert [(e["job_id"], e["started_at"]) for e in on_disk["executions"]] == [("kept", 1.0), ("theirs", 2.0)]
    assert first._jobs["theirs"].name == "second" and "dropped" not in first._jobs
    second.remove_job("kept")  # a removal made after the merge still reaches the file
    assert sorted(saved(path)["jobs"]) == ["changed", "mine", "theirs"]
    assert not [m for level, m in log() if level == "ERROR"]


@pytest.mark.skipif(not hasattr(signal, "SIGKILL"), reason="needs POSIX signals")
def test_process_that_edits_jobs_beside_a_running_loop_loses_nothing(path, tmp_path):
    """A CLI adds, updates and removes jobs while a service runs the loop: both keep their changes,
    and the service fires the jobs the CLI added, each once."""
    child = loop_host(path, tmp_path)
    try:
        cli = Scheduler(storage_path=path)
        due = [cli.add_job(ScheduledJob(id=f"cli{i}", name="cli", job_type=JobType.ONCE, next_run=time.time()))
               for i in range(20)]
        for i in range(0, 10, 2):
            cli.update_job(f"own{i}", {"name": "renamed by cli"})
            cli.remove_job(f"own{i + 1}")
        fired_log = tmp_path / "fired.json"
        wait_until(lambda: fired_log.exists() and len(json.loads(fired_log.read_text())) >= len(due))
        path.with_name("stop").touch()
        assert child.wait(20) == 0
    finally:
        if child.poll() is None:
            child.send_signal(signal.SIGKILL)
            child.wait()
    assert sorted(json.loads((tmp_path / "fired.json").read_text())) == sorted(job.id for job in due)
    jobs = saved(path)["jobs"]
    assert sorted(jobs) == sorted([f"own{i}" for i in range(0, 10, 2)] + [job.id for job in due])
    assert all(jobs[f"own{i}"]["name"] == "renamed by cli" for i in range(0, 10, 2))
    assert all(jobs[job.id]["state"] == "completed" and jobs[job.id]["run_count"] == 1 for job in due)


# --- merged as if made one after the other ----------------------------------------------------

def two_on_one_file(path, job, on_fire=None):
    """A service with the job, and a second scheduler (a CLI) that read the file before any firing."""
    service = Scheduler(on_fire=on_fire, storage_path=path)
    service.add_job(job)
    return service, Scheduler(storage_path=path)


def on_disk(path, job_id):
    return saved(path)["jobs"].get(job_id)


def once():
    return ScheduledJob(id="j", name="once", job_type=JobType.ONCE, next_run=time.time() - 1)


def every(seconds=60, **fields):
    return ScheduledJob(id="j", name="every", job_type=JobType.INTERVAL, interval_seconds=seconds, **fields)


# (job, what the CLI does, what the job's record then holds beyond a counted run: when the CLI
# saved after the firing, and while it ran)
CHANGES = {
    "update": (once, lambda cli: cli.update_job("j", {"prompt": "new"}), {"prompt": "new", "state": "completed"}),
    "pause": (every, lambda cli: cli.pause_job("j"), {"state": "paused"}),
    "field set on the job": (every, lambda cli: (setattr(cli._jobs["j"], "name", "mine"), cli._save()),
                             {"name": "mine", "state": "active"}),
    "new interval": (every, lambda cli: cli.update_job("j", {"interval_seconds": 3600}),
                     {"interval_seconds": 3600, "state": "active"}),
    # a firing that meets a lowered max_runs completes the job; a change after it does not
    "lower max_runs": (lambda: every(max_runs=5), lambda cli: cli.update_job("j", {"max_runs": 1}),
                       ({"max_runs": 1, "state": "active"}, {"state": "completed", "next_run": 0})),
}


@pytest.mark.parametrize("during", [False, True], ids=["after the firing", "during the firing"])
@pytest.mark.parametrize("name", CHANGES)
def test_a_firing_and_a_stale_writer_both_count(path, log, name, during):
    """Whether the CLI's change reaches the file while on_fire runs or after the service saved the
    firing, the job holds both: the counted run, and the change, made on top of it."""
    make_job, change, expected = CHANGES[name]
    expected = expected[during] if isinstance(expected, tuple) else expected

    async def on_fire(job):
        if during:
            change(cli)
        return "done"

    service, cli = two_on_one_file(path, make_job(), on_fire)
    execution = asyncio.run(service.run_now("j"))
    if not during:
        change(cli)
    service._save()  # the service takes in what the CLI saved, as its next pass does
    for record in (on_disk(path, "j"), service._jobs["j"].to_dict()):
        assert record["run_count"] == 1 and record["last_run"] == execution["started_at"]
        assert {k: record[k] for k in expected} == expected
    if name == "new interval":
        assert service._jobs["j"].next_run == execution["started_at"] + 3600
    assert not [m for level, m in log() if level == "ERROR"]


@pytest.mark.parametrize("during", [False, True], ids=["after the firing", "during the firing"])
def test_a_removal_stays_removed_and_the_job_never_fires_again(path, during):
    fired = []

    async def on_fire(job):
        fired.append(job.id)
        if during:
            cli.remove_job("j")

    async def a_pass():
        await service.start()
        await asyncio.sleep(0.05)
        await service.stop()

    service, cli = two_on_one_file(path, every(), on_fire)
    asyncio.run(service.run_now("j"))
    if not during:
        cli.remove_job("j")
        service._jobs["j"].next_run = time.time() - 1  # due again in the service's old copy
    asyncio.run(a_pass())
    assert fired == ["j"] and on_disk(path, "j") is None and "j" not in service._jobs
    assert [e["job_id"] for e in saved(path)["executions"]] == ["j"]


def test_a_fired_one_time_job_is_not_armed_again_by_a_stale_writer(path):
    fired = []

    async def on_fire(job):
        fired.append(job.id)

    async def passes():
        await service.start()
        await asyncio.sleep(0.1)
        await service.stop()

    service, cli = two_on_one_file(path, once(), on_fire)
    service._poll_interval = 0.01
    asyncio.run(passes())
    cli.update_job("j", {"prompt": "new"})
    cli.resume_job("nothing")
    asyncio.run(passes())
    assert fired == ["j"] and on_disk(path, "j")["state"] == "completed"


@pytest.mark.skipif(not hasattr(signal, "SIGKILL"), reason="needs POSIX signals")
def test_a_loop_host_and_two_writers_killed_at_random_lose_nothing(tmp_path, store):
    """Writers built before the firings update and remove jobs while the host fires them."""
    fired, killed, doubles, lost, problems = soak_sharing.soak(tmp_path, seconds=4, store=store)
    assert fired > 0 and killed > 0
    assert problems == []
