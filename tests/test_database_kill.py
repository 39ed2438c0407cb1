"""tests/test_database_kill.py: a process killed while it adds jobs to the database loses none it was told of."""

from __future__ import annotations

import os
import signal
import subprocess
import sys

import pytest
from conftest import HOST

from tarvel.core import scheduler

Scheduler, ScheduledJob, JobType = scheduler.Scheduler, scheduler.ScheduledJob, scheduler.JobType
ADDER = r'''
import sys
from tarvel.core import scheduler as s

s.DURABLE_WRITES = sys.argv[2] == "durable"
sch = s.Scheduler(storage_path=sys.argv[1], store="sqlite")
for i in range(100_000):
    sch.add_job(s.ScheduledJob(id=f"j{i}", name="n", job_type=s.JobType.ONCE, next_run=2e9, prompt="p" * 500))
    print(f"j{i}", flush=True)
'''


@pytest.mark.skipif(os.name != "posix", reason="SIGKILL is POSIX")
@pytest.mark.parametrize("durable", ["durable", "fast"])
def test_a_kill_while_adding_keeps_every_acknowledged_job_and_a_usable_database(tmp_path, log, durable):
    path = tmp_path / "data" / "scheduler.sqlite3"
    env = dict(os.environ, PYTHONPATH=str(HOST), HOME=str(tmp_path / "child-home"))
    with subprocess.Popen([sys.executable, "-c", ADDER, str(path), durable], env=env,
                          stdout=subprocess.PIPE) as child:
        try:
            acknowledged = [child.stdout.readline() for _ in range(60)]  # the next add is under way
        finally:
            child.send_signal(signal.SIGKILL)
        acknowledged += child.stdout.readlines()  # printed before the kill: added too
    assert child.returncode == -signal.SIGKILL
    ids = [line.decode().strip() for line in acknowledged]
    assert ids[:60] == [f"j{i}" for i in range(60)]
    sch = Scheduler(storage_path=path, store="sqlite")
    assert set(ids) <= set(sch._jobs) and sch.load_problems == []
    sch.add_job(ScheduledJob(id="after", job_type=JobType.ONCE, next_run=2e9))
    assert set(Scheduler(storage_path=path, store="sqlite")._jobs) == set(sch._jobs) | {"after"}
    assert "ERROR" not in dict(log())
