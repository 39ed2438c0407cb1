"""The scheduler's commands: jobs, agenda, history, check-cron, and the changes to jobs."""

from __future__ import annotations

import contextlib
import os
from datetime import datetime
from typing import Iterator

from tarvel_admin import text
from tarvel_admin.common import DATABASE_COMPANIONS, Context, Refused, Usage
from tarvel_admin.host import loop_holder
from tarvel_admin.snapshot import Snapshot

# Attempts at a copy that loads whole while the host saves the state file.
_COPY_ATTEMPTS = 3


def _signature(path) -> tuple | None:
    try:
        info = os.stat(path)
    except OSError:
        return None
    return info.st_ino, info.st_size, info.st_mtime_ns


def _copies(ctx: Context, snapshot: Snapshot):
    """The copy of the scheduler's state (a database with its -wal and -shm files) in `snapshot`,
    and whether the state changed while it was copied."""
    names = [ctx.state_path.name]
    if ctx.store == "sqlite":
        names += [ctx.state_path.name + suffix for suffix in DATABASE_COMPANIONS]
    before = [_signature(ctx.data / name) for name in names]
    copy = [snapshot.file(name) for name in names][0]
    return copy, [_signature(ctx.data / name) for name in names] != before


@contextlib.contextmanager
def reading(ctx: Context) -> Iterator:
    """A Scheduler loaded from a copy of the state: it reads what the host would."""
    for attempt in range(_COPY_ATTEMPTS):
        with Snapshot(ctx.data) as snapshot:
            copy, changed = _copies(ctx, snapshot)
            scheduler = ctx.new_scheduler(copy)
            # a database's files copied at different moments may load whole and still be torn
            torn = scheduler.load_problems or ctx.store == "sqlite"
            if torn and changed and attempt + 1 < _COPY_ATTEMPTS:
                continue  # copied while the host replaced it: again
            ctx.report_problems(snapshot.problems(scheduler.load_problems))
            yield scheduler
            return


def changing(ctx: Context):
    """A Scheduler on the state itself: its saves take the host's locks."""
    scheduler = ctx.new_scheduler(ctx.state_path)
    ctx.report_problems(scheduler.load_problems)
    return scheduler


def resolve(scheduler, given: str) -> str:
    """The id of the job `given` names: an exact id, else the one id it begins."""
    ids = [job["id"] for job in scheduler.list_jobs()]
    if given in ids:
        return given
    matches = sorted(i for i in ids if given and i.startswith(given))
    if len(matches) == 1:
        return matches[0]
    if not matches:
        raise Refused(f"No job with id {given!r}")
    raise Refused(f"Job id {given!r} is ambiguous: it begins {len(matches)} ids ({', '.join(matches)})")


def schedule_of(job: dict) -> str:
    kind = job["job_type"]
    if kind == "cron":
        return f"cron {job['schedule']}"
    if kind == "interval":
        return f"every {text.span(job['interval_seconds'])}" if job["interval_seconds"] > 0 else "every 0s"
    return kind


def _runs(job: dict) -> str:
    return f"{job['run_count']}/{job['max_runs']}" if job["max_runs"] else str(job["run_count"])


def cmd_jobs(ctx: Context, args) -> int:
    with reading(ctx) as scheduler:
        every = scheduler.list_jobs()
    shown = [j for j in every if args.all or j["state"] not in ("paused", "completed")]
    if ctx.json:
        print(text.as_json(shown))
        return 0
    rows = [[text.when(j["next_run"]), text.left(j["next_run"]), text.when(j["last_run"]),
             text.ago(j["last_run"]), _runs(j), schedule_of(j), j["state"], j["name"], j["id"]]
            for j in shown]
    if rows:
        print(text.table(["NEXT", "LEFT", "LAST", "PASSED", "RUNS", "SCHEDULE", "STATE", "NAME", "ID"], rows))
        print()
    hidden = len(every) - len(shown)
    more = f" ({hidden} paused or completed not shown: --all)" if hidden else ""
    print(f"{len(shown)} job{'s' * (len(shown) != 1)} listed.{more}")
    return 0


def cmd_agenda(ctx: Context, args) -> int:
    with reading(ctx) as scheduler:
        job_id = resolve(scheduler, args.job) if args.job is not None else None
        runs = scheduler.upcoming(args.count, job_id)
    if ctx.json:
        print(text.as_json(runs))
        return 0
    rows = [[text.when(r["next_run"]), text.left(r["next_run"]), r["job_name"], r["job_id"]] for r in runs]
    print(text.table(["WHEN", "LEFT", "NAME", "ID"], rows) if rows else "No runs to come.")
    return 0


def cmd_history(ctx: Context, args) -> int:
    with reading(ctx) as scheduler:
        job_id = resolve(scheduler, args.job) if args.job is not None else None
        runs = scheduler.list_executions(0 if args.failed else args.limit, job_id)
    if args.failed:
        runs = [r for r in runs if not r["success"]]
        runs = runs[-args.limit:] if args.limit else runs
    if ctx.json:
        print(text.as_json(runs))
        return 0
    rows = [[text.when(r["started_at"]), text.seconds(r["duration"]), "ok" if r["success"] else "failed",
             r["job_name"], r["job_id"], text.first_line(r["error"])] for r in runs]
    print(text.table(["STARTED", "DURATION", "RESULT", "NAME", "ID", "ERROR"], rows) if rows else "No runs recorded.")
    return 0


def _cron(ctx: Context, expression: str):
    try:
        return ctx.scheduler.CronExpression(expression)
    except ValueError as e:
        raise Refused(f"Invalid cron expression {expression!r}: {e}") from None


def cmd_check_cron(ctx: Context, args) -> int:
    cron = _cron(ctx, args.expression)
    moments = [moment.timestamp() for moment in cron.next_occurrences(args.count)]
    if args.count and not moments:
        raise Refused(f"Cron expression {args.expression!r} matches no time within a year"
                      " (a number outside its field is dropped; day of week is 0-6, 0 = Sunday)")
    if ctx.json:
        print(text.as_json({"expression": args.expression, "next": moments}))
        return 0
    for moment in moments:
        print(f"{text.when(moment)}  {text.left(moment)}")
    return 0


def parse_at(value: str) -> float:
    """An ISO 8601 time as Unix seconds; local time unless it names a zone (argparse type)."""
    try:
        moment = datetime.fromisoformat(value)
    except ValueError:
        raise ValueError(f"not an ISO 8601 time: {value!r} (e.g. 2026-12-24T18:00 or 2026-12-24T18:00+01:00)")
    return moment.timestamp()


def _schedule_fields(ctx: Context, args) -> dict:
    """The job's type and schedule from --cron, --every or --at."""
    JobType = ctx.scheduler.JobType
    if getattr(args, "cron", None) is not None:
        _cron(ctx, args.cron)
        return {"job_type": JobType.CRON, "schedule": args.cron}
    if getattr(args, "every", None) is not None:
        return {"job_type": JobType.INTERVAL, "interval_seconds": args.every}
    if getattr(args, "at", None) is not None:
        return {"job_type": JobType.ONCE, "next_run": args.at}
    return {}


def _done(ctx: Context, message: str, job=None) -> int:
    ctx.saved()
    if ctx.json:
        print(text.as_json({"message": message, "job": job.to_dict() if job is not None else None}))
    else:
        print(message)
    return 0


def _next(job) -> str:
    return f"next run {text.when(job.next_run)} ({text.left(job.next_run)})" if job.next_run else "not scheduled"


def cmd_add(ctx: Context, args) -> int:
    fields = _schedule_fields(ctx, args)
    job = ctx.scheduler.ScheduledJob(name=args.name, prompt=args.prompt, description=args.description,
                                     max_runs=args.max_runs, **fields)
    scheduler = changing(ctx)
    try:
        job = scheduler.add_job(job)
    except (TypeError, ValueError) as e:
        raise Refused(str(e)) from None
    return _done(ctx, f"Added job {job.name!r} ({job.id}): {_next(job)}", job)


def cmd_edit(ctx: Context, args) -> int:
    updates = {key: value for key, value in _schedule_fields(ctx, args).items()}
    for key in ("name", "prompt", "max_runs"):
        if getattr(args, key) is not None:
            updates[key] = getattr(args, key)
    if not updates:
        raise Usage("edit: nothing to change (give --name, --prompt, --cron, --every or --max-runs)")
    if "job_type" in updates:
        updates["job_type"] = updates["job_type"].value
    scheduler = changing(ctx)
    job_id = resolve(scheduler, args.id)
    try:
        job = scheduler.update_job(job_id, updates)
    except (TypeError, ValueError) as e:
        raise Refused(str(e)) from None
    if job is None:
        raise Refused(f"No job with id {job_id!r}")
    return _done(ctx, f"Changed job {job.name!r} ({job.id}): {_next(job)}", job)


def _change(ctx: Context, args, method: str, done: str) -> int:
    scheduler = changing(ctx)
    job_id = resolve(scheduler, args.id)
    job = scheduler.get_job(job_id)
    if not getattr(scheduler, method)(job_id):
        raise Refused(f"No job with id {job_id!r}")
    return _done(ctx, f"{done} job {job.name!r} ({job_id})")


def cmd_pause(ctx: Context, args) -> int:
    return _change(ctx, args, "pause_job", "Paused")


def cmd_resume(ctx: Context, args) -> int:
    return _change(ctx, args, "resume_job", "Resumed")


def cmd_remove(ctx: Context, args) -> int:
    return _change(ctx, args, "remove_job", "Removed")


def cmd_run(ctx: Context, args) -> int:
    scheduler = changing(ctx)
    job_id = resolve(scheduler, args.id)
    job = scheduler.get_job(job_id)
    if not scheduler.request_run(job_id):
        raise Refused(f"No job with id {job_id!r}")
    holder = loop_holder(ctx.state_path)
    if holder is None:
        where = f"no scheduler loop seems to run on {ctx.state_path}: it fires when one starts"
    elif not holder:  # a system where it cannot be told
        where = "a scheduler loop fires it at its next pass, or when one starts"
    else:
        where = f"the scheduler loop (pid {holder}) fires it at its next pass"
    state = job.state.value if hasattr(job.state, "value") else str(job.state)
    if state != "active":
        where = f"the job is {state}: no loop fires it until it is resumed"
    return _done(ctx, f"Requested a run of job {job.name!r} ({job_id}): {where}")
