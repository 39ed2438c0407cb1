"""tests/soak_sharing.py: a loop host and two writers on one state file, the writers killed at random.

The loop host fires one-time, interval and cron jobs with a short wait between passes; each
writer, built once and kept (a command line that is never restarted would be staler still),
updates the prompts of its own jobs and removes some, writing what it tries and what was
acknowledged to a log of its own. The harness kills a writer with SIGKILL now and then and starts
it again. At the end it counts:
- double firings: a job fired twice with the same run count (a one-time job fired twice);
- lost changes: a job whose file record lacks its writer's last acknowledged prompt (or the one it
  was trying when killed), a removed job still in the file, or a run count that is not the number
  of the job's firings.

The state is kept as the path's name says: a state file, or a database ("scheduler.sqlite3").

`python tests/soak_sharing.py SECONDS [sqlite]` runs it from the command line (with the modules installed
and the stand-in host on the path) and prints the counts; the tests run it briefly.
"""

from __future__ import annotations

import json
import os
import random
import signal
import sqlite3
import subprocess
import sys
import time
from pathlib import Path

HOST = Path(__file__).resolve().parent.parent / "host"


def store_of(path):
    """The store a scheduler keeping its state at `path` uses."""
    return "sqlite" if path.suffix == ".sqlite3" else "json"


def saved(path):
    """The saved document: the state file's, or the database's rows as that document."""
    if store_of(path) == "json":
        return json.loads(path.read_text())
    with sqlite3.connect(path) as database:
        jobs = database.execute("SELECT id, record FROM jobs ORDER BY rowid").fetchall()
        executions = database.execute("SELECT record FROM executions ORDER BY seq").fetchall()
    database.close()
    return {"jobs": {key: json.loads(record) for key, record in jobs},
            "executions": [json.loads(record) for record, in executions]}

LOOP_HOST = r"""
import asyncio, json, sys
from pathlib import Path
from tarvel.core import scheduler

path, fired_log = Path(sys.argv[1]), Path(sys.argv[2])
store = "sqlite" if path.suffix == ".sqlite3" else "json"

async def on_fire(job):
    with fired_log.open("a") as out:
        out.write(json.dumps([job.id, job.run_count]) + "\n")
    await asyncio.sleep(0.02)  # a writer's save may land while the callback runs
    return "done"

async def main():
    sch = scheduler.Scheduler(on_fire=on_fire, storage_path=path, poll_interval=0.1, store=store)
    await sch.start()
    print("started", flush=True)
    while not path.with_name("stop").exists():
        await asyncio.sleep(0.05)
    await sch.stop()
    while sch._firing_tasks:
        await asyncio.gather(*sch._firing_tasks)

asyncio.run(main())
"""

WRITER = r"""
import json, logging, random, sys, time
from pathlib import Path
from tarvel.core import scheduler

path, name, jobs = Path(sys.argv[1]), sys.argv[2], json.loads(sys.argv[3])
log_path = path.with_name(f"{name}.log")
errors = []
handler = logging.Handler()
handler.emit = lambda record: errors.append(record) if record.levelno >= logging.ERROR else None
logging.getLogger("tarvel.scheduler").addHandler(handler)

done = [json.loads(line) for line in log_path.read_text().splitlines()] if log_path.exists() else []
removed = {entry["job"] for entry in done if entry["op"] == "removed"}
count = len(done)
sch = scheduler.Scheduler(storage_path=path, store="sqlite" if path.suffix == ".sqlite3" else "json")
out = log_path.open("a")

def note(**entry):
    out.write(json.dumps(entry) + "\n")
    out.flush()

print("started", flush=True)
while not path.with_name("stop").exists():
    job = random.choice([j for j in jobs if j not in removed] or [None])
    if job is None:
        break
    count += 1
    before = len(errors)
    if random.random() < 0.01 and len(removed) < len(jobs) // 3:  # most jobs go on firing
        note(op="remove", job=job)
        sch.remove_job(job)
        if len(errors) == before:
            note(op="removed", job=job)
            removed.add(job)
    else:
        prompt = f"{name}-{count}"
        note(op="update", job=job, prompt=prompt)
        sch.update_job(job, {"prompt": prompt})
        if len(errors) == before:
            note(op="updated", job=job, prompt=prompt)
    time.sleep(random.uniform(0.005, 0.05))
print(len(errors), flush=True)
"""


def start(script, *args, env):
    child = subprocess.Popen([sys.executable, "-c", script, *map(str, args)], env=env,
                             stdout=subprocess.PIPE)
    assert child.stdout.readline() == b"started\n"
    return child


def make_jobs(path, seconds, per_writer):
    from tarvel.core.scheduler import JobType, ScheduledJob, Scheduler

    sch = Scheduler(storage_path=path, store=store_of(path))
    now = time.time()
    owned = {"w1": [], "w2": []}
    for writer, jobs in owned.items():
        for i in range(per_writer):
            kind = (JobType.ONCE, JobType.INTERVAL, JobType.CRON)[i % 3]
            job = ScheduledJob(id=f"{writer}-{i}", name=writer, job_type=kind, prompt="first",
                               interval_seconds=1, schedule="* * * * *",
                               next_run=now + random.uniform(0.2, seconds))
            sch.add_job(job)
            jobs.append(job.id)
    return owned


def count_faults(path, owned):
    """(double firings, lost changes, a list of what went wrong)."""
    fired = [tuple(json.loads(line)) for line in path.with_name("fired.log").read_text().splitlines()]
    jobs = saved(path)["jobs"]
    problems = [f"{job} fired twice at run {runs}" for job, runs in set(fired) if fired.count((job, runs)) > 1]
    doubles = len(problems)
    for writer, ids in owned.items():
        log_path = path.with_name(f"{writer}.log")
        entries = [json.loads(line) for line in log_path.read_text().splitlines()] if log_path.exists() else []
        for job in ids:
            mine = [e for e in entries if e["job"] == job]
            if any(e["op"] == "removed" for e in mine):
                if job in jobs:
                    problems.append(f"{job} removed by {writer} but in the file")
                continue
            if job not in jobs:
                if not (mine and mine[-1]["op"] == "remove"):
                    problems.append(f"{job} gone from the file")
                continue
            acked = [i for i, e in enumerate(mine) if e["op"] == "updated"]
            allowed = {mine[acked[-1]]["prompt"] if acked else "first"}
            allowed |= {e["prompt"] for e in mine[(acked[-1] + 1 if acked else 0):] if e["op"] == "update"}
            if jobs[job]["prompt"] not in allowed:
                problems.append(f"{job} holds {jobs[job]['prompt']!r}, not one of {sorted(allowed)}")
            runs = sum(1 for fired_job, _ in fired if fired_job == job)
            if jobs[job]["run_count"] != runs:
                problems.append(f"{job} counts {jobs[job]['run_count']} runs, fired {runs} times")
    return doubles, len(problems) - doubles, problems


def soak(folder, seconds, per_writer=12, kills=True, store="json"):
    """Runs the soak in `folder` for `seconds`: (firings, kills, double firings, lost changes, problems)."""
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / ("scheduler.sqlite3" if store == "sqlite" else "scheduler.json")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(HOST), os.environ.get("PYTHONPATH", "")]))
    owned = make_jobs(path, seconds, per_writer)
    loop = start(LOOP_HOST, path, folder / "fired.log", env=env)
    writers = {name: start(WRITER, path, name, json.dumps(ids), env=env) for name, ids in owned.items()}
    killed = 0
    try:
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            time.sleep(random.uniform(0.3, 1.5))
            if kills:
                name = random.choice(list(writers))
                writers[name].send_signal(signal.SIGKILL)
                writers[name].wait()
                killed += 1
                writers[name] = start(WRITER, path, name, json.dumps(owned[name]), env=env)
        path.with_name("stop").touch()
        for child in (loop, *writers.values()):
            assert child.wait(60) == 0
    finally:
        for child in (loop, *writers.values()):
            if child.poll() is None:
                child.kill()
                child.wait()
    fired = len(path.with_name("fired.log").read_text().splitlines())
    return (fired, killed, *count_faults(path, owned))


if __name__ == "__main__":
    import tempfile

    sys.path.insert(0, str(HOST))
    with tempfile.TemporaryDirectory() as folder:
        fired, killed, doubles, lost, problems = soak(Path(folder), float(sys.argv[1]), store=sys.argv[2] if len(sys.argv) > 2 else "json")
    print(f"{fired} firings, {killed} writers killed: {doubles} double firings, {lost} lost changes")
    for problem in problems:
        print(" ", problem)
    sys.exit(1 if problems else 0)
