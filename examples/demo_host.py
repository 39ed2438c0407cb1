"""examples/demo_host.py: a small stand-in host that drives tarvel.core.scheduler.

It runs the way the agent application does: the host's own `tarvel` package
(here the stand-in in host/) is on the path, the native modules are installed
into the environment, and the data directory is a temporary one.
"""

import os
import sys
import tempfile
from datetime import datetime
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "host"))
os.environ.setdefault("TARVEL_DIR", tempfile.mkdtemp(prefix="tarvel-demo-"))

from tarvel.core import scheduler  # noqa: E402
from tarvel.core.scheduler import CronExpression, JobType, ScheduledJob  # noqa: E402


def show_jobs(jobs: list[ScheduledJob]) -> None:
    print(f"{'id':<11} {'name':<16} {'type':<9} {'schedule':<14} next run")
    for job in jobs:
        d = job.to_dict()
        schedule = {"cron": d["schedule"], "interval": f"every {d['interval_seconds']} s"}.get(
            d["job_type"], "once")
        print(f"{d['id']:<11} {d['name']:<16} {d['job_type']:<9} {schedule:<14} {d['next_run_human']}")


def main() -> None:
    print(scheduler.__doc__.splitlines()[0])
    print(f"data directory: {scheduler.tarvel_dir()}\n")

    now = datetime.now()
    morning = ScheduledJob(name="morning-brief", schedule="0 6 * * *",
                           prompt="Summarise my inbox and calendar for today.")
    morning.next_run = CronExpression(morning.schedule).next_occurrence(now).timestamp()
    watch = ScheduledJob(name="price-watch", job_type=JobType.INTERVAL, interval_seconds=900,
                         prompt="Check the price of the flight I am watching.")
    watch.next_run = now.timestamp() + watch.interval_seconds
    once = ScheduledJob(name="call-reminder", job_type=JobType.ONCE,
                        prompt="Remind me to call the plumber.", next_run=now.timestamp() + 3600)
    jobs = [morning, watch, once]
    show_jobs(jobs)

    restored = [ScheduledJob.from_dict(job.to_dict()) for job in jobs]
    print(f"\nround trip through the job dictionary keeps the jobs: {restored == jobs}\n")

    print("next runs of a few cron expressions:")
    for expr in ["0 6 * * *", "*/15 9-17 * * 1-5", "0 0 13 * 5", "0 0 29 2 *", "0 0 31 2 *"]:
        try:
            when = CronExpression(expr).next_occurrence(now).strftime("%Y-%m-%d %H:%M (%a)")
        except ValueError as exc:
            when = f"ValueError: {exc}"
        print(f"  {expr:<18} -> {when}")


if __name__ == "__main__":
    main()
