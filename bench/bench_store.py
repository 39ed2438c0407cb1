"""bench/bench_store.py: the JSON store, the SQLite store and APScheduler 3's SQLite job store side by
side, from 1,000 to 100,000 jobs, durable and on disk."""

import project  # first: the project's folders on the path

import argparse
import asyncio
import gc
import itertools
import logging
import tempfile
import time
from datetime import datetime, timezone
from pathlib import Path

from bench_scale import scaled_jobs
from bench_scheduler import _on_fire, _one_pass, make_job
from timing import interpreter_line, per_call, show_time

scheduler = project.native("tarvel.core.scheduler")

USAGE = """Run it with the project and its benchmark extra installed:

    pip install '.[bench]'     (pins APScheduler and SQLAlchemy, used by this benchmark only)
    python bench/bench_store.py [--sizes N [N ...]] [--sample K] [--dir DIR]

Sizes 1,000, 10,000 and 100,000 jobs by default. Every store is durable as it ships
(DURABLE_WRITES = True; APScheduler's SQLite file with SQLite's defaults) and on disk: the files go
to DIR, by default the system's temporary directory, or /var/tmp when that is a RAM disk (tmpfs).

Stores: "json" is Scheduler(store="json"), "sqlite" is Scheduler(store="sqlite"), "aps" is
APScheduler 3's SQLAlchemyJobStore on an SQLite file, under a BackgroundScheduler started paused
(so its thread runs no job). The jobs are those of bench_scale.py (prompts of 40 to 900
characters, a quarter with metadata; cron, interval and one-time jobs, 1 in 10 unscheduled); for
APScheduler the same schedules as its cron, interval and date triggers, the rest of the fields as
the job's kwargs (pickled into its row). Rows:
  add, per job     add_job of one job (ours: ScheduledJob; aps: scheduler.add_job into the store),
                   one save (one transaction) each. Up to --sample jobs the store is filled from
                   empty one by one and the whole is timed; above it the store is first filled in
                   bulk to N - K jobs (ours: one save of the registry; aps: adds with SQLite's
                   synchronous=OFF), then K adds are timed: the time per add at N jobs ("~" marks
                   these). "adding N" is N times the time per add (an estimate where "~").
                   The JSON store only up to 10,000 jobs: each add writes the whole file.
  one change       ours: update_job of one job's description, a different job each call;
                   aps: scheduler.modify_job of one job's name (its store looks the row up and
                   writes it back). timeit auto-ranged, best of 3.
  fire 1,000 due   a store of N jobs of which 1,000 are due: ours: start(), the loop's first pass
                   fires the 1,000 jobs, each firing records its run and saves, stop();
                   aps: what its store does for such a pass: get_due_jobs(now), then for each job
                   the next run from its trigger and update_job (one transaction each); no job is
                   run. The JSON store only up to 10,000 jobs.
  cold start       ours: a new Scheduler on the store (it reads every job back);
                   aps: a new SQLAlchemyJobStore on the file, started, and get_all_jobs();
                   best of 3 (of 1 at 100,000 jobs), each timed up to its return (dropping the
                   scheduler, or shutting the store down, comes after).
Ratios: "aps/sqlite" is APScheduler's time over the SQLite store's (at least 2x wanted at 10,000
jobs and up); "sqlite/json" is the SQLite store's time over the JSON store's (at most 1.5x wanted at
1,000 jobs).
"""

FIRE_DUE = 1000
UTC = timezone.utc


def on_tmpfs(folder):
    """Whether `folder` lies on a RAM disk (Linux: the longest mount point of /proc/mounts above it)."""
    try:
        mounts = [line.split()[1:3] for line in Path("/proc/mounts").read_text().splitlines()]
    except OSError:
        return False
    folder = str(Path(folder).resolve())
    best, kind = "", ""
    for point, fs in mounts:
        if (folder == point or folder.startswith(point.rstrip("/") + "/")) and len(point) >= len(best):
            best, kind = point, fs
    return kind in ("tmpfs", "ramfs")


def default_dir():
    folder = Path(tempfile.gettempdir())
    return Path("/var/tmp") if on_tmpfs(folder) else folder


# --- our stores -------------------------------------------------------------------------------


def our_jobs(rows):
    return [make_job(scheduler, values) for values in rows]


def ours(store, path, **options):
    return scheduler.Scheduler(storage_path=path, store=store, **options)


def bulk_fill(store, path, jobs):
    """A store holding `jobs`, written in one save."""
    sch = ours(store, path)
    for job in jobs:
        sch._jobs[job.id] = job
    sch._save()
    return sch


def time_adds(sch, jobs):
    began = time.perf_counter()
    for job in jobs:
        sch.add_job(job)
    return (time.perf_counter() - began) / len(jobs)


def our_adds(store, path, n, sample):
    """Seconds per add at n jobs, and whether it is a sample."""
    jobs = our_jobs(scaled_jobs(n))
    if n <= sample:
        return time_adds(ours(store, path), jobs), False
    sch = bulk_fill(store, path, jobs[:n - sample])
    return time_adds(sch, jobs[n - sample:]), True


def our_change(store, path):
    sch = ours(store, path)
    ids = list(sch._jobs)
    turn = itertools.count()

    def change():
        k = next(turn)
        sch.update_job(ids[k * 7919 % len(ids)], {"description": f"updated {k}"})

    change()
    return per_call(change)


def best_of(fn, repeats, end=lambda made: None):
    """Seconds of the fastest of `repeats` calls; what a call made is ended (`end`) and dropped after
    its time is taken."""
    times = []
    for _ in range(repeats):
        began = time.perf_counter()
        made = fn()
        times.append(time.perf_counter() - began)
        end(made)
        del made
    return min(times)


def our_cold_start(store, path, n):
    repeats = 1 if n >= 100_000 else 3
    gc.collect()
    seconds = best_of(lambda: ours(store, path), repeats)
    return seconds, len(ours(store, path)._jobs) == n


def due_rows(n):
    """n jobs of which the first FIRE_DUE are active interval jobs due now."""
    rows = scaled_jobs(n)
    due = time.time() - 5.0
    for row in rows[:FIRE_DUE]:
        row.update(job_type="interval", state="active", interval_seconds=3600, next_run=due, max_runs=0,
                   schedule="")
    return rows


def our_fire(store, path, n):
    bulk_fill(store, path, our_jobs(due_rows(n)))
    result = {}

    async def main():
        sch = ours(store, path, on_fire=_on_fire)  # the loop's Event needs a running loop
        result["seconds"], result["tasks"] = await _one_pass(sch)

    asyncio.run(main())
    return result["seconds"], result["tasks"] == FIRE_DUE


# --- APScheduler's SQLite job store ------------------------------------------------------------


def fire_job(**fields):
    """What APScheduler's jobs would run (never run here: its scheduler stays paused)."""


class Aps:
    """APScheduler 3 with an SQLAlchemyJobStore on one SQLite file. Its schedulers stay paused and are
    never shut down (a shutdown makes one more pass over the due jobs); their threads end with the run."""

    def __init__(self):
        self.started = []
        from apscheduler.jobstores.sqlalchemy import SQLAlchemyJobStore
        from apscheduler.schedulers.background import BackgroundScheduler
        from apscheduler.triggers.cron import CronTrigger
        from apscheduler.triggers.date import DateTrigger
        from apscheduler.triggers.interval import IntervalTrigger
        import sqlalchemy
        self.store_class, self.scheduler_class = SQLAlchemyJobStore, BackgroundScheduler
        self.cron, self.date, self.interval = CronTrigger, DateTrigger, IntervalTrigger
        self.sqlalchemy = sqlalchemy

    def store(self, path, fast=False):
        """The job store on `path`: as it ships, or (`fast`) with SQLite's synchronous=OFF for a bulk fill."""
        engine = self.sqlalchemy.create_engine(f"sqlite:///{path}")
        if fast:
            @self.sqlalchemy.event.listens_for(engine, "connect")
            def unflushed(connection, record):
                connection.execute("PRAGMA synchronous=OFF")
        return self.store_class(engine=engine)

    def scheduler(self, path, fast=False):
        sch = self.scheduler_class(timezone=UTC, jobstores={"default": self.store(path, fast)})
        sch.start(paused=True)
        self.started.append(sch)
        return sch

    def trigger(self, row):
        if row["job_type"] == "cron":
            return self.cron.from_crontab(row["schedule"], timezone=UTC)
        if row["job_type"] == "interval":
            return self.interval(seconds=row["interval_seconds"], timezone=UTC)
        return self.date(run_date=datetime.fromtimestamp(row["next_run"] or time.time(), UTC), timezone=UTC)

    def add(self, sch, row):
        kwargs = {key: row[key] for key in ("description", "prompt", "model_key", "spawn_worker", "state",
                                            "created_at", "last_run", "run_count", "max_runs", "metadata")}
        active = row["next_run"] and row["state"] == "active"
        when = datetime.fromtimestamp(row["next_run"], UTC) if active else None
        sch.add_job(fire_job, self.trigger(row), id=row["id"], name=row["name"], kwargs=kwargs,
                    next_run_time=when, misfire_grace_time=None, coalesce=True)

    def fill(self, path, rows):
        sch = self.scheduler(path, fast=True)
        for row in rows:
            self.add(sch, row)
        sch.remove_jobstore("default")  # its connections closed; the rows stay

    def adds(self, path, n, sample):
        rows = scaled_jobs(n)
        if n > sample:
            self.fill(path, rows[:n - sample])
            rows = rows[n - sample:]
        sch = self.scheduler(path)
        began = time.perf_counter()
        for row in rows:
            self.add(sch, row)
        seconds = (time.perf_counter() - began) / len(rows)
        sch.remove_jobstore("default")
        return seconds, n > sample

    def change(self, path, n):
        sch = self.scheduler(path)
        ids = [row["id"] for row in scaled_jobs(n)]
        turn = itertools.count()

        def change():
            k = next(turn)
            sch.modify_job(ids[k * 7919 % len(ids)], name=f"updated {k}")

        change()
        seconds = per_call(change)
        sch.remove_jobstore("default")
        return seconds

    def cold_start(self, path, n):
        sch = self.scheduler_class(timezone=UTC)
        found = {}

        def start():
            store = self.store(path)
            store.start(sch, "default")
            found["jobs"] = len(store.get_all_jobs())
            return store

        gc.collect()
        seconds = best_of(start, 1 if n >= 100_000 else 3, end=lambda store: store.shutdown())
        return seconds, found["jobs"] == n

    def fire(self, path, n):
        self.fill(path, due_rows(n))
        sch = self.scheduler_class(timezone=UTC)
        store = self.store(path)
        store.start(sch, "default")
        began = time.perf_counter()
        now = datetime.now(UTC)
        due = store.get_due_jobs(now)
        for job in due:
            job.next_run_time = job.trigger.get_next_fire_time(job.next_run_time, now)
            store.update_job(job)
        seconds = time.perf_counter() - began
        store.shutdown()
        return seconds, len(due) == FIRE_DUE


def load_aps():
    try:
        return Aps()
    except ImportError as exc:
        print(f"APScheduler is not importable ({exc}): its column stays empty; pip install '.[bench]'")
        return None


# --- report -----------------------------------------------------------------------------------


def ratio(slower, faster):
    if not (slower and faster):
        return "-"
    return f"{slower / faster:.2f}x" if slower / faster >= 0.01 else f"{slower / faster:.1g}x"


def estimate(seconds, sampled):
    return None if seconds is None else ("~" if sampled else "") + show_time(seconds)


def measure(n, workdir, sample, aps, rows, checks):
    folder = workdir / f"n{n}"
    folder.mkdir()
    json_ok = n <= 10_000
    times = {}  # (case, store) -> (seconds, estimated)
    for store, name in (("json", "scheduler.json"), ("sqlite", "scheduler.sqlite3")):
        path = folder / store / name
        if json_ok or store == "sqlite":
            times["add", store] = our_adds(store, path, n, sample)
        else:
            bulk_fill(store, path, our_jobs(scaled_jobs(n)))
        times["change", store] = our_change(store, path), False
        seconds, ok = our_cold_start(store, path, n)
        times["cold", store] = seconds, False
        checks.append(f"{store}, {n:,}: {'all' if ok else 'NOT all'} jobs read back")
        if json_ok or store == "sqlite":
            seconds, ok = our_fire(store, folder / f"fire-{store}" / name, n)
            times["fire", store] = seconds, False
            checks.append(f"{store}, {n:,}: {'all 1,000' if ok else 'NOT all'} due jobs fired")
    if aps:
        path = folder / "aps" / "jobs.sqlite"
        path.parent.mkdir()
        times["add", "aps"] = aps.adds(path, n, sample)
        times["change", "aps"] = aps.change(path, n), False
        seconds, ok = aps.cold_start(path, n)
        times["cold", "aps"] = seconds, False
        checks.append(f"aps, {n:,}: {'all' if ok else 'NOT all'} jobs read back")
        fire_path = folder / "aps-fire" / "jobs.sqlite"
        fire_path.parent.mkdir()
        seconds, ok = aps.fire(fire_path, n)
        times["fire", "aps"] = seconds, False
        checks.append(f"aps, {n:,}: {'all 1,000' if ok else 'NOT all'} due jobs found")
    cases = (("add", "add, per job"), ("add-all", f"adding {n:,}"), ("change", "one change"),
             ("fire", f"fire {FIRE_DUE:,} due"), ("cold", "cold start"))
    for case, label in cases:
        got = {}
        for store in ("json", "sqlite", "aps"):
            seconds, sampled = times.get(("add" if case == "add-all" else case, store), (None, False))
            got[store] = (seconds * n if case == "add-all" and seconds else seconds), sampled
        (j, js), (s, ss), (a, as_) = got["json"], got["sqlite"], got["aps"]
        rows.append((f"{label}, {n:,} jobs", estimate(j, js) or "-", estimate(s, ss) or "-",
                     estimate(a, as_) or "-", ratio(a, s), ratio(s, j)))


def print_rows(rows):
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    for n, row in enumerate(rows):
        print("  ".join(cell.ljust(w) if i == 0 else cell.rjust(w) for i, (cell, w) in enumerate(zip(row, widths))))
        if n == 0:
            print("  ".join("-" * w for w in widths))


def main():
    parser = argparse.ArgumentParser(description=__doc__, epilog=USAGE,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", metavar="N", default=[1_000, 10_000, 100_000],
                        help="the numbers of jobs to measure (default 1000 10000 100000)")
    parser.add_argument("--sample", type=int, default=2000, metavar="K",
                        help="above K jobs, the adds are timed on K jobs after a bulk fill (default 2000)")
    parser.add_argument("--dir", type=Path, default=None,
                        help="where the files go (default: the temporary directory, /var/tmp if that is tmpfs)")
    args = parser.parse_args()
    folder = args.dir or default_dir()
    scheduler.DURABLE_WRITES = True
    logging.disable(logging.WARNING)  # the unscheduled one-time jobs are told of at each add
    print(interpreter_line())
    print(USAGE)
    aps = load_aps()
    rows = [("case", "json", "sqlite", "aps", "aps/sqlite", "sqlite/json")]
    checks = []
    began = time.perf_counter()
    with tempfile.TemporaryDirectory(prefix="bench-store-", dir=folder) as tmp:
        print(f"Files in {folder}" + (" (a RAM disk: the flushes cost nothing)" if on_tmpfs(folder) else " (on disk)"))
        print()
        for n in args.sizes:
            measure(n, Path(tmp), args.sample, aps, rows, checks)
    print_rows(rows)
    print()
    print("; ".join(checks))
    print(f"The whole run took {time.perf_counter() - began:.0f} s.")


if __name__ == "__main__":
    main()
