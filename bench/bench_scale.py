"""bench/bench_scale.py: how the Scheduler's costs grow with the number of stored jobs, beside the
plain-Python twin."""

import project  # first: the project's folders on the path

import argparse
import asyncio
import gc
import inspect
import itertools
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import scheduler_twin
from bench_scheduler import execution_fields, fill, job_fields
from scheduler_twin import PyScheduler
from timing import interpreter_line, per_call, show_time

scheduler = project.native("tarvel.core.scheduler")

USAGE = """Run it with the project installed:

    python bench/bench_scale.py [--quick | --sizes N [N ...]] [--dir DIR]

Sizes 1,000, 10,000 and 100,000 jobs by default; --quick takes 1,000 and 10,000 (under a minute).
Durable writes are off on both sides (DURABLE_WRITES = False); the files go to DIR, by default
/dev/shm where there is one (a RAM disk), else the system's temporary directory.

For each size, a state file of N mixed cron, interval and one-time jobs (the workload of
bench_scheduler.py: prompts of 40 to 900 characters, a quarter with metadata; 7 in 10 active,
every next run in the future, so no job is due) and 100 records of history, written once by the
native scheduler and read by both sides. Rows:
  load             a new Scheduler on the file (the twin: json.loads and a record per entry)
  idle pass (CPU)  the process's CPU time of one pass of the loop that finds nothing due, over
                   many passes whose wait asyncio.wait_for ends at once (both sides), from the
                   loop's first wait to its last (the loop's start and end left out)
  idle pass, wake  the same with wake_on_due=True (native only: the twin has no such option)
  upcoming(10)     the next 10 runs of the active jobs
  update + save    update_job of one job's description (a different job each call), then its
                   save; "floor" is the write and rename alone of the same bytes, as the twin
                   writes them, timed in the same run: no save can cost less
  RSS per job      the growth of the resident set of a fresh process over the load, per job
                   (one subprocess for each side and size)
  wake, due in 2 s wake_on_due=True, poll_interval 30 s: a one-time job added to the running
                   loop, due 2 s later (real time), fires this late; the twin (as the default
                   native loop) waits 30 s between passes, so a job due 2 s after a pass fires
                   28 s late there
Times are best of 3 (of 1 from 100,000 jobs on for the slow rows); "ratio" is plain / native.
"""

FUTURE = 86_400.0  # the first next runs lie this far ahead of the run's start


def scaled_jobs(n):
    """The workload's jobs, every next run moved into the future (unscheduled ones stay 0)."""
    start = float(int(time.time() + FUTURE))
    rows = job_fields(n)
    for i, row in enumerate(rows):
        if row["next_run"]:
            row["next_run"] = start + 60.0 * (i % 1440) + 0.75
    return rows


def make_file(n, workdir):
    path = workdir / f"n{n}" / "scheduler.json"
    native = scheduler.Scheduler(storage_path=path)
    fill(native, scheduler, scaled_jobs(n), execution_fields(100))
    native._save()
    return path


def best_of(fn, repeats):
    """Seconds of the fastest of `repeats` calls (for calls too slow for timeit's auto-range)."""
    times = []
    for _ in range(repeats):
        began = time.perf_counter()
        fn()
        times.append(time.perf_counter() - began)
    return min(times)


def timed(fn, n):
    return per_call(fn) if n < 100_000 else best_of(fn, 1)


# --- load -------------------------------------------------------------------------------------


def load_native(path):
    return scheduler.Scheduler(storage_path=path)


def load_plain(path):
    sch = PyScheduler(storage_path=path)
    sch._load()
    return sch


def bench_load(path, n):
    repeats = 1 if n >= 100_000 else 3
    native_time = best_of(lambda: load_native(path), repeats)
    plain_time = best_of(lambda: load_plain(path), repeats)
    native, plain = load_native(path), load_plain(path)
    same = (len(native._jobs) == len(plain._jobs) == n
            and all(a.to_dict() == b.to_dict() for a, b in zip(native._jobs.values(), plain._jobs.values())))
    return native_time, plain_time, same, native, plain


# --- an idle pass -----------------------------------------------------------------------------


class QuickWaits:
    """Stands in for asyncio.wait_for: every wait ends at once as a time-out, the last by setting the
    stop event, so the loop makes `total` passes with no time between them. The process's CPU time
    is noted at each wait, so that the passes between the first wait and the last are timed without
    the start and the end of the loop."""

    def __init__(self, event, total):
        self.event, self.total, self.count, self.cpu = event, total, 0, []

    async def wait_for(self, aw, timeout):
        self.cpu.append(time.process_time())
        if inspect.iscoroutine(aw):
            aw.close()
        self.count += 1
        if self.count >= self.total:
            self.event.set()
            return None
        raise asyncio.TimeoutError


def idle_pass_cpu(sch, total):
    """CPU seconds of one pass of sch's loop that finds nothing due (with its wait), the mean over
    the `total` - 1 passes between the loop's first wait and its last."""
    waits = QuickWaits(sch._stop_event, total)
    real = asyncio.wait_for
    result = {}

    async def main():
        sch._stop_event.clear()
        asyncio.wait_for = waits.wait_for
        try:
            await sch._loop()
            result["cpu"] = (waits.cpu[-1] - waits.cpu[0]) / (waits.count - 1)
        finally:
            asyncio.wait_for = real

    asyncio.run(main())
    assert waits.count == total
    sch._stop_event = asyncio.Event()  # unbound again, for a later event loop
    return result["cpu"]


def bench_idle(native, plain, n):
    total = max(20, 200_000 // n)
    native_cpu = idle_pass_cpu(native, total)
    plain_cpu = idle_pass_cpu(plain, total)
    native._wake_on_due = True
    try:
        wake_cpu = idle_pass_cpu(native, total)
    finally:
        native._wake_on_due = False
    idle = len(native._executions) == len(plain._executions) == 100
    return native_cpu, plain_cpu, wake_cpu, idle


# --- the agenda, an update and its save --------------------------------------------------------


def bench_upcoming(native, plain, n):
    native_time = timed(lambda: native.upcoming(10), n)
    plain_time = timed(lambda: plain.upcoming(10), n)
    same = [(e["job_id"], e["next_run"]) for e in native.upcoming(10)] == [
        (e["job_id"], e["next_run"]) for e in plain.upcoming(10)]
    return native_time, plain_time, same


def updating(sch, ids):
    """update_job of the next job's description: a new text each call."""
    turn = itertools.count()

    def update():
        k = next(turn)
        sch.update_job(ids[k % len(ids)], {"description": f"updated {k}"})

    return update


def bench_update(native, plain, n, workdir):
    ids = list(native._jobs)
    update = updating(native, ids)
    update()  # the first save after a load writes the whole file; the figure is for the ones after
    native_time = timed(update, n)
    plain_time = timed(updating(plain, ids), n)
    text = native._storage_path.read_text(encoding="ascii")
    floor_path = workdir / f"floor-{n}" / "scheduler.json"
    floor_path.parent.mkdir(exist_ok=True)
    temp = floor_path.with_name(f".{floor_path.name}.floor.tmp")
    floor_time = timed(lambda: scheduler_twin.write_and_replace(floor_path, temp, text, False), n)
    return native_time, plain_time, floor_time, len(text)


# --- memory -----------------------------------------------------------------------------------


def rss_bytes():
    """The resident set of this process now (Linux), else its peak."""
    try:
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:
        import resource
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        return peak if sys.platform == "darwin" else peak * 1024


def rss_of_load(side, path):
    """Run in a subprocess: the resident set a load of `path` adds, in bytes."""
    load = load_native if side == "native" else load_plain
    load(path.with_name("absent.json"))  # whatever a first load imports or caches
    gc.collect()
    before = rss_bytes()
    sch = load(path)
    gc.collect()
    return rss_bytes() - before, len(sch._jobs)


def rss_per_job(side, path, n):
    out = subprocess.run([sys.executable, __file__, "--rss-of", side, str(path)], check=True,
                         capture_output=True, text=True).stdout.split()
    grown, jobs = int(out[0]), int(out[1])
    assert jobs == n, (side, jobs, n)
    return grown / n


# --- firing on time ---------------------------------------------------------------------------


def lateness(path):
    """With wake_on_due=True and the default poll interval, a one-time job added to the running
    loop due 2 s later: how late it fires, in real seconds."""
    result = {}

    async def on_fire(job):
        result["fired"] = time.time()

    async def main():
        sch = scheduler.Scheduler(on_fire, storage_path=path, wake_on_due=True)
        await sch.start()
        await asyncio.sleep(0.2)  # the first pass is done; the loop waits 30 s
        due = time.time() + 2.0
        sch.add_job(scheduler.ScheduledJob(id="due-in-2s", name="due in 2 s", job_type=scheduler.JobType.ONCE,
                                           next_run=due))
        for _ in range(100):
            if "fired" in result:
                break
            await asyncio.sleep(0.1)
        await sch.stop()
        result["late"] = result["fired"] - due if "fired" in result else None
        sch.remove_job("due-in-2s")

    asyncio.run(main())
    return result["late"]


# --- report -----------------------------------------------------------------------------------


def ratio(plain, native):
    return f"{plain / native:.2f}x" if plain and native else "-"


def show_bytes(size):
    return f"{size / 1024:.2f} KB" if size >= 1024 else f"{size:.0f} B"


def measure(n, workdir, rows):
    path = make_file(n, workdir)
    load_n, load_p, same_load, native, plain = bench_load(path, n)
    rows.append((f"load, {n:,} jobs", show_time(load_n), show_time(load_p), ratio(load_p, load_n), "", "",
                 f"same jobs: {'yes' if same_load else 'no'}"))
    idle_n, idle_p, idle_w, idle = bench_idle(native, plain, n)
    rows.append((f"idle pass (CPU), {n:,}", show_time(idle_n), show_time(idle_p), ratio(idle_p, idle_n), "", "",
                 f"nothing fired: {'yes' if idle else 'no'}"))
    rows.append((f"idle pass, wake_on_due, {n:,}", show_time(idle_w), "-", "-", "", "", ""))
    up_n, up_p, same_up = bench_upcoming(native, plain, n)
    rows.append((f"upcoming(10), {n:,}", show_time(up_n), show_time(up_p), ratio(up_p, up_n), "", "",
                 f"same runs: {'yes' if same_up else 'no'}"))
    upd_n, upd_p, floor, size = bench_update(native, plain, n, workdir)
    rows.append((f"update_job + save, {n:,}", show_time(upd_n), show_time(upd_p), ratio(upd_p, upd_n),
                 show_time(floor), f"{upd_n / floor:.2f}x", f"file: {size / 2**20:.1f} MiB"))
    del native, plain
    gc.collect()
    rss_n, rss_p = rss_per_job("native", path, n), rss_per_job("plain", path, n)
    rows.append((f"RSS per job, {n:,}", show_bytes(rss_n), show_bytes(rss_p), f"{rss_n / rss_p:.2f}x native/plain",
                 "", "", ""))
    late = lateness(path)
    rows.append((f"wake, due in 2 s, {n:,}", "-" if late is None else show_time(late), "28 s (poll)", "", "", "",
                 "fired: " + ("no" if late is None else "yes")))


def print_rows(rows):
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    for n, row in enumerate(rows):
        cells = enumerate(zip(row, widths))
        print("  ".join(cell.ljust(w) if i in (0, 6) else cell.rjust(w) for i, (cell, w) in cells))
        if n == 0:
            print("  ".join("-" * w for w in widths))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true", help="1,000 and 10,000 jobs only")
    parser.add_argument("--sizes", type=int, nargs="+", metavar="N", help="the numbers of jobs to measure")
    parser.add_argument("--dir", type=Path, default=Path("/dev/shm") if Path("/dev/shm").is_dir() else None,
                        help="where the files go (default /dev/shm where there is one)")
    parser.add_argument("--rss-of", nargs=2, metavar=("SIDE", "FILE"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    scheduler.DURABLE_WRITES = scheduler_twin.DURABLE_WRITES = False
    if args.rss_of:
        grown, jobs = rss_of_load(args.rss_of[0], Path(args.rss_of[1]))
        print(grown, jobs)
        return
    sizes = args.sizes or ([1_000, 10_000] if args.quick else [1_000, 10_000, 100_000])
    print(interpreter_line())
    print(USAGE)
    rows = [("case", "native", "plain Python", "ratio", "floor", "native/floor", "check")]
    with tempfile.TemporaryDirectory(prefix="bench-scale-", dir=args.dir) as tmp:
        print(f"Files in {Path(tmp).parent}")
        print()
        for n in sizes:
            measure(n, Path(tmp), rows)
    print_rows(rows)


if __name__ == "__main__":
    main()
