"""bench/bench_scheduler.py: times Scheduler saves and one firing pass against a plain-Python twin."""

import project  # first: the project's folders on the path

import argparse
import asyncio
import itertools
import tempfile
import time
from pathlib import Path
from typing import Any

import scheduler_twin
from scheduler_twin import PyScheduler
from timing import interpreter_line, per_call, show_time

scheduler = project.native("tarvel.core.scheduler")

USAGE = """Run it with the project installed:

    python bench/bench_scheduler.py [--fire-jobs N] [--dir DIR]

The files go to DIR, by default /dev/shm where there is one (a RAM disk: the figures then show the
work of the process, not of the disk), else the system's temporary directory.

Rows:
  save, N jobs     one job changed (run_count + 1, a different job each time), then one _save() of a
                   registry of N mixed cron, interval and one-time jobs (prompts of 40 to 900
                   characters, some non-ASCII, a quarter with metadata) and 100 records of history;
                   seconds per call, timeit auto-ranged, best of 3. Both sides flush the file and its
                   directory to stable storage (fsync), as DURABLE_WRITES asks; the "not durable"
                   rows set it to False on both sides. "floor" is the write and rename alone of the
                   same text, as the twin writes it (open(temp, "w").write(text), the same fsyncs,
                   os.replace), timed in the same run: no save can cost less.
  fire N due jobs  start(), one pass that finds N due interval jobs, the N firing tasks run to the
                   end (each awaits an on_fire that returns at once, records its run, updates the
                   job and saves the N-job registry), stop(); a fresh event loop each time, best of 3
                   (one run from 1,000 jobs on).
"""

# Firings in one pass. Each firing saves the whole registry, so the work grows as N * N: 1,000 due
# jobs make 1,000 saves of a 1,000-job file: a run takes tens of seconds, so it runs once.
FIRE_JOBS = 1000
HISTORY = 100
BASE_TIME = 1_773_500_000.25  # fixed Unix seconds, so the native and plain files can be compared

# --- workload ---------------------------------------------------------------------------------

PROMPTS = [
    "Summarize today's top news in five bullet points and flag anything about our suppliers.",
    "Check the build dashboard; if any nightly job failed, open an issue with the failing step "
    "and the last 40 lines of its log, then ping the on-call engineer in the team channel.",
    "Résumé des courriels non lus de la nuit — trier par priorité, proposer des réponses brèves.",
    "Сводка по продажам за неделю: выручка, средний чек, топ-10 товаров, сравнение с прошлой неделей.",
    "每天早上检查服务器磁盘空间，超过百分之八十时发送提醒。",
    "Water the plants 🌱🌿 reminder, and post the weather forecast ☀️🌧️ for the next three days.",
    ("Go through the research feed and collect every paper on retrieval-augmented generation, "
     "agent tool use or long-context evaluation published since the last run. For each one write "
     "the title, the authors, a two-sentence summary and why it matters to us; group them by topic, "
     "rank each group by relevance, and end with a short list of the three papers worth reading "
     "in full this week. Skip anything already covered in earlier digests (see the notes file), "
     "keep the whole digest under 800 words, and save it to the shared drive as Markdown. ") * 2,
]
CRONS = ["0 6 * * *", "*/15 9-17 * * 1-5", "30 2 1 * *", "0 */4 * * *", "45 23 * * 0"]
STATES = ["active"] * 7 + ["paused", "completed", "disabled"]
METADATA = [{"channel": "telegram", "chat_id": 48213377, "tags": ["daily", "news"]},
            {"owner": "ops", "retries": 3, "notify": True},
            {"source": "calendar", "note": "créé par l'assistant"}]


def job_fields(n: int) -> list[dict[str, Any]]:
    """Field values of n jobs, the same for the native and the plain classes."""
    rows = []
    for i in range(n):
        kind = ("cron", "interval", "once")[i % 3]
        last_run = BASE_TIME - 3600.5 - i if i % 4 else 0.0
        next_run = BASE_TIME + 60.0 * (i % 1440) + 0.75 if i % 10 != 9 else 0
        rows.append(dict(
            id=f"{i:010x}",
            name=f"job {i} " + ("nouvelles" if i % 5 == 0 else "report"),
            description="" if i % 2 else f"Benchmark job number {i}",
            job_type=kind,
            schedule=CRONS[i % len(CRONS)] if kind == "cron" else "",
            interval_seconds=(300 * (1 + i % 12)) if kind == "interval" else 0,
            prompt=PROMPTS[i % len(PROMPTS)],
            model_key=None if i % 3 else "sonnet",
            spawn_worker=bool(i % 2),
            state=STATES[i % len(STATES)],
            created_at=BASE_TIME - 86400.0 - i * 17.125,
            last_run=last_run,
            next_run=next_run,
            run_count=i % 37,
            max_runs=0 if i % 6 else 50,
            metadata=dict(METADATA[i % len(METADATA)]) if i % 4 == 0 else {},
        ))
    return rows


def execution_fields(n: int) -> list[dict[str, Any]]:
    return [dict(job_id=f"{i:010x}", job_name=f"job {i} report", started_at=BASE_TIME - 5000.0 + i * 31.5,
                 completed_at=BASE_TIME - 5000.0 + i * 31.5 + 2.345678, duration=2.345678,
                 success=i % 7 != 0, result=("Done: " + PROMPTS[i % len(PROMPTS)]) if i % 7 else "",
                 error="" if i % 7 else "TimeoutError: worker did not answer in 120 s")
            for i in range(n)]


def make_job(module, values):
    values = dict(values, job_type=module.JobType(values["job_type"]), state=module.JobState(values["state"]))
    return module.ScheduledJob(**values)


def fill(sch, module, jobs, executions):
    for values in jobs:
        job = make_job(module, values)
        sch._jobs[job.id] = job
    sch._executions = [module.JobExecution(**values) for values in executions]


# --- measurements -----------------------------------------------------------------------------


def changing_saves(sch, jobs):
    """A _save() after one change: each call adds 1 to the run count of the next job."""
    turn = itertools.count()

    def save():
        jobs[next(turn) % len(jobs)].run_count += 1
        sch._save()

    return save


def write_and_rename(path, text, durable):
    """The floor of a save: the same text written to a temporary file and renamed over the file,
    as the twin writes it."""
    temp = path.with_name(f".{path.name}.floor.tmp")
    return lambda: scheduler_twin.write_and_replace(path, temp, text, durable)


def bench_save(n, workdir, durable):
    jobs, executions = job_fields(n), execution_fields(HISTORY)
    native = scheduler.Scheduler(storage_path=workdir / f"native-{n}" / "scheduler.json")
    plain = PyScheduler(storage_path=workdir / f"plain-{n}" / "scheduler.json")
    fill(native, scheduler, jobs, executions)
    fill(plain, scheduler_twin, jobs, executions)
    scheduler.DURABLE_WRITES = scheduler_twin.DURABLE_WRITES = durable
    try:
        native._save()
        native_time = per_call(changing_saves(native, list(native._jobs.values())))
        plain_time = per_call(changing_saves(plain, list(plain._jobs.values())))
        for mine, theirs in zip(native._jobs.values(), plain._jobs.values()):
            theirs.run_count = mine.run_count
        plain._save()
        text = native._storage_path.read_bytes()
        same = text == plain._storage_path.read_bytes()
        floor_path = workdir / f"floor-{n}" / "scheduler.json"
        floor_path.parent.mkdir(exist_ok=True)
        floor_time = per_call(write_and_rename(floor_path, text.decode("ascii"), durable))
        return native_time, plain_time, floor_time, same
    finally:
        scheduler.DURABLE_WRITES = scheduler_twin.DURABLE_WRITES = True


async def _on_fire(job):
    return f"done {job.id}"


async def _one_pass(sch):
    """start(), the first pass, every firing task to its end, stop(); returns the seconds taken."""
    began = time.perf_counter()
    await sch.start()
    await asyncio.sleep(0)  # the loop task runs its first pass, which starts the firing tasks
    firings = [t for t in asyncio.all_tasks() if t.get_name().startswith("job-")]
    await asyncio.gather(*firings)
    await sch.stop()
    return time.perf_counter() - began, len(firings)


def kept_history(appended):
    """Records left in the history after `appended` firings: past 500 it drops to the newest 250."""
    size = 0
    for _ in range(appended):
        size = 250 if size + 1 > 500 else size + 1
    return size


def fire_once(make, module, workdir, n):
    due = time.time() - 5.0
    jobs = [dict(values, job_type="interval", state="active", interval_seconds=3600, next_run=due,
                 max_runs=0, schedule="") for values in job_fields(n)]
    result = {}

    async def main():
        sch = make(on_fire=_on_fire, storage_path=workdir / "scheduler.json")  # the Event needs a loop
        fill(sch, module, jobs, [])
        result["seconds"], result["tasks"] = await _one_pass(sch)
        result["fired"] = (len(sch._executions) == kept_history(n)
                           and all(j.run_count == v["run_count"] + 1 for j, v in zip(sch._jobs.values(), jobs))
                           and all(e.success and e.result == f"done {e.job_id}" for e in sch._executions))

    asyncio.run(main())
    return result


def bench_fire(n, workdir, repeats=None):
    repeats = repeats or (1 if n >= 1000 else 3)
    native = [fire_once(scheduler.Scheduler, scheduler, workdir / "fire-native", n) for _ in range(repeats)]
    plain = [fire_once(PyScheduler, scheduler_twin, workdir / "fire-plain", n) for _ in range(repeats)]
    ok = all(r["fired"] and r["tasks"] == n for r in native + plain)
    return min(r["seconds"] for r in native), min(r["seconds"] for r in plain), ok


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--fire-jobs", type=int, default=FIRE_JOBS, metavar="N",
                        help=f"due jobs fired in one pass (default {FIRE_JOBS})")
    parser.add_argument("--dir", type=Path, default=Path("/dev/shm") if Path("/dev/shm").is_dir() else None,
                        help="where the files go (default /dev/shm where there is one)")
    args = parser.parse_args()
    fire_jobs = args.fire_jobs
    print(interpreter_line())
    print(USAGE)
    if fire_jobs < 1000:
        print(f"The firing row uses {fire_jobs:,} jobs, not 1,000: each firing saves the whole registry, so")
        print(f"1,000 firings would write a 1,000-job file 1,000 times; here {fire_jobs:,} writes of "
              f"{fire_jobs:,} jobs.")
        print()
    header = ("case", "native", "plain Python", "plain/native", "floor", "native/floor", "check")
    rows = [header]
    with tempfile.TemporaryDirectory(prefix="bench-scheduler-", dir=args.dir) as tmp:
        workdir = Path(tmp)
        print(f"Files in {workdir.parent}")
        print()
        for durable in (True, False):
            for n in (1_000, 10_000):
                native_time, plain_time, floor_time, same = bench_save(n, workdir, durable)
                case = f"save, {n:,} jobs" + ("" if durable else ", not durable")
                rows.append((case, show_time(native_time), show_time(plain_time),
                             f"{plain_time / native_time:.2f}x", show_time(floor_time),
                             f"{native_time / floor_time:.2f}x", f"same bytes: {'yes' if same else 'no'}"))
        native_time, plain_time, ok = bench_fire(fire_jobs, workdir)
        rows.append((f"fire {fire_jobs:,} due jobs", show_time(native_time), show_time(plain_time),
                     f"{plain_time / native_time:.2f}x", "-", "-", f"all fired: {'yes' if ok else 'no'}"))
    widths = [max(len(row[i]) for row in rows) for i in range(len(header))]
    for n, row in enumerate(rows):
        cells = zip(row, widths)
        print("  ".join(cell.ljust(w) if i in (0, 6) else cell.rjust(w) for i, (cell, w) in enumerate(cells)))
        if n == 0:
            print("  ".join("-" * w for w in widths))


if __name__ == "__main__":
    main()
