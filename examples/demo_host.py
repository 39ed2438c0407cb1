"""examples/demo_host.py: a small stand-in host that drives tarvel.core.scheduler and tarvel.skills.creator.

It runs the way the agent application does: the host's own `tarvel` package
(here the stand-in in host/) is on the path, the native modules are installed
into the environment, and the data directory is a temporary one.
"""

import asyncio
import os
import sys
import tempfile
import time
from datetime import datetime
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "host"))
os.environ.setdefault("TARVEL_DIR", tempfile.mkdtemp(prefix="tarvel-demo-"))

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


async def run_until_fired(sched: Scheduler, job_id: str) -> None:
    await sched.start()
    while sched.get_job(job_id).run_count == 0:
        await asyncio.sleep(0.01)
    await sched.stop()


def main() -> None:
    print(scheduler.__doc__.splitlines()[0])
    print(f"data directory: {scheduler.tarvel_dir()}\n")

    sched = Scheduler(on_fire=on_fire, on_event=on_event)
    sched.add_job(ScheduledJob(name="morning-brief", schedule="0 6 * * *",
                               prompt="Summarise my inbox and calendar for today."))
    sched.add_job(ScheduledJob(name="price-watch", job_type=JobType.INTERVAL, interval_seconds=900,
                               prompt="Check the price of the flight I am watching."))
    reminder = sched.add_job(ScheduledJob(name="call-reminder", job_type=JobType.ONCE,
                                          next_run=time.time(), metadata={"channel": "sms"},
                                          prompt="Remind me to call the plumber."))

    print("running the loop until the one-time job has fired:")
    asyncio.run(run_until_fired(sched, reminder.id))

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

    print("\nnext runs of a few cron expressions:")
    now = datetime.now()
    for expr in ["0 6 * * *", "*/15 9-17 * * 1-5", "0 0 13 * 5", "0 0 29 2 *", "0 0 31 2 *"]:
        try:
            when = CronExpression(expr).next_occurrence(now).strftime("%Y-%m-%d %H:%M (%a)")
        except ValueError as exc:
            when = f"ValueError: {exc}"
        print(f"  {expr:<18} -> {when}")

    print("\n" + "-" * 72)
    demo_skills.main()


if __name__ == "__main__":
    main()
