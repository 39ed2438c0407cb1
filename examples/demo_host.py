"""examples/demo_host.py: a small stand-in host that drives tarvel.core.scheduler and tarvel.skills.creator.

It runs the way the agent application does: the host's own `tarvel` package
(here the stand-in in host/) is on the path and the native modules are
installed into the environment. All its data goes to a fresh temporary
directory of its own, whatever TARVEL_DIR says, which is removed at the end
(`--keep` keeps it), so the demo never touches a user's data.
"""

import argparse
import asyncio
import os
import shutil
import sys
import tempfile
import time
from datetime import datetime
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "host"))
DATA = Path(tempfile.mkdtemp(prefix="tarvel-demo-"))
os.environ["TARVEL_DIR"] = str(DATA)  # the stand-in host's tarvel_dir() reads it

from tarvel.core import scheduler  # noqa: E402
from tarvel.core.scheduler import CronExpression, JobType, Scheduler, ScheduledJob  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
import demo_skills  # noqa: E402


async def on_fire(job: ScheduledJob) -> str:
    """The host's side of a firing: here it only shows the prompt."""
    print(f"  [fired] {job.name}: {job.prompt}")
    return f"done: {job.name}"


async def on_event(event: dict) -> None:
    print(f"  [event] {event['type']}")


def show_jobs(rows: list[dict]) -> None:
    print(f"  {'name':<14} {'type':<9} {'state':<10} {'runs':>4}  next run")
    for d in rows:
        print(f"  {d['name']:<14} {d['job_type']:<9} {d['state']:<10} {d['run_count']:>4}"
              f"  {d['next_run_human']}")


async def run_until_fired(sched: Scheduler, job_id: str, ticker_id: str) -> None:
    """Runs the loop until the one-time job has fired and the interval job twice."""
    await sched.start()
    while sched.get_job(job_id).run_count == 0 or sched.get_job(ticker_id).run_count < 2:
        await asyncio.sleep(0.05)
    await sched.stop()


def run_scheduler() -> None:
    print(scheduler.__doc__.splitlines()[0])
    print(f"data directory: {scheduler.tarvel_dir()}\n")

    # A short wait between passes, so the demo shows interval firings within seconds.
    sched = Scheduler(on_fire=on_fire, on_event=on_event, poll_interval=0.25)
    sched.add_job(ScheduledJob(name="morning-brief", schedule="0 6 * * *",
                               prompt="Summarise my inbox and calendar for today."))
    ticker = sched.add_job(ScheduledJob(name="heartbeat", job_type=JobType.INTERVAL, interval_seconds=1,
                                        prompt="Check that the agent is responsive."))
    reminder = sched.add_job(ScheduledJob(name="call-reminder", job_type=JobType.ONCE,
                                          next_run=time.time(), metadata={"channel": "sms"},
                                          prompt="Remind me to call the plumber."))

    print("\nupcoming(5), the agenda:")
    for run in sched.upcoming(5):
        print(f"  {run['next_run_human']}  {run['job_name']}")

    print("\nrunning the loop until the one-time job and the 1-second interval job have fired:")
    asyncio.run(run_until_fired(sched, reminder.id, ticker.id))

    print("\nlist_jobs():")
    show_jobs(sched.list_jobs())
    print("\nlist_executions():")
    for e in sched.list_executions():
        print(f"  {e['started_at_human']}  {e['job_name']}  success={e['success']}"
              f"  result={e['result']!r}")
    print(f"\nstats(): {sched.stats()}")

    restarted = Scheduler(on_fire=on_fire)
    print("\nafter a restart, from", restarted._storage_path.name)
    show_jobs(restarted.list_jobs())
    print(f"  executions restored: {len(restarted.list_executions())},"
          f" metadata kept: {restarted.get_job(reminder.id).metadata}")

    print("\nchecking cron expressions before adding them, with next_occurrences(3):")
    now = datetime.now()
    for expr in ["0 6 * * *", "*/15 9-17 * * 1-5", "0 0 29 2 *", "0 9 * * 7", "0 0 31 2 *"]:
        try:
            runs = CronExpression(expr).next_occurrences(3, now)
            when = ", ".join(r.strftime("%Y-%m-%d %H:%M (%a)") for r in runs) or "never"
        except ValueError as exc:
            when = f"ValueError: {exc}"
        print(f"  {expr:<18} -> {when}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keep", action="store_true", help="keep the demo's data directory")
    keep = parser.parse_args().keep
    try:
        run_scheduler()
        print("\n" + "-" * 72)
        demo_skills.main(DATA)
    finally:
        if keep:
            print(f"\nkept the demo's data in {DATA}")
        else:
            shutil.rmtree(DATA, ignore_errors=True)


if __name__ == "__main__":
    main()
