"""twins/scheduler_twin.py: the scheduler's records, firing loop and state file written in plain Python.

The scheduler tests compare the module's records and state file text with
these, and the scheduler benchmark times PyScheduler beside the native
Scheduler as its baseline. Cron jobs find their next run through the cron
twin's minute-by-minute PlainCron.
"""

from __future__ import annotations

import asyncio
import heapq
import json
import logging
import os
import time
import uuid
from dataclasses import dataclass, field, fields
from datetime import datetime
from enum import Enum
from typing import Any

from cron_twin import PlainCron

logger = logging.getLogger("tarvel.scheduler")

# The module's setting: fsync the new state file before the rename, its directory after.
DURABLE_WRITES = True


class JobType(str, Enum):
    CRON = "cron"
    INTERVAL = "interval"
    ONCE = "once"


class JobState(str, Enum):
    ACTIVE = "active"
    PAUSED = "paused"
    COMPLETED = "completed"
    DISABLED = "disabled"


def _format_timestamp(ts: float) -> str:
    if ts == 0:
        return "Never"
    try:
        return datetime.fromtimestamp(ts).strftime("%Y-%m-%d %H:%M:%S")
    except (OSError, ValueError):
        return "Invalid"


@dataclass
class ScheduledJob:
    """Definition of a scheduled job."""

    id: str = field(default_factory=lambda: uuid.uuid4().hex[:10])
    name: str = ""
    description: str = ""
    job_type: JobType = JobType.CRON
    schedule: str = ""
    interval_seconds: int = 0
    prompt: str = ""
    model_key: str | None = None
    spawn_worker: bool = True
    state: JobState = JobState.ACTIVE
    created_at: float = field(default_factory=lambda: time.time())
    last_run: float = 0.0
    next_run: float = 0.0
    run_count: int = 0
    max_runs: int = 0
    metadata: dict[str, Any] = field(default_factory=dict)

    def to_dict(self) -> dict[str, Any]:
        return {
            "id": self.id,
            "name": self.name,
            "description": self.description,
            "job_type": self.job_type.value,
            "schedule": self.schedule,
            "interval_seconds": self.interval_seconds,
            "prompt": self.prompt[:300] + "..." if len(self.prompt) > 300 else self.prompt,
            "model_key": self.model_key,
            "spawn_worker": self.spawn_worker,
            "state": self.state.value,
            "created_at": self.created_at,
            "last_run": self.last_run,
            "next_run": self.next_run,
            "run_count": self.run_count,
            "max_runs": self.max_runs,
            "next_run_human": _format_timestamp(self.next_run) if self.next_run else "Not scheduled",
            "last_run_human": _format_timestamp(self.last_run) if self.last_run else "Never",
        }


@dataclass
class JobExecution:
    """Record of a single job execution."""

    job_id: str
    job_name: str
    started_at: float
    completed_at: float = 0.0
    duration: float = 0.0
    success: bool = False
    result: str = ""
    error: str = ""
    model_used: str = ""
    worker_id: str = ""

    def to_dict(self) -> dict[str, Any]:
        return {
            "job_id": self.job_id,
            "job_name": self.job_name,
            "started_at": self.started_at,
            "started_at_human": _format_timestamp(self.started_at),
            "completed_at": self.completed_at,
            "duration": round(self.duration, 2),
            "success": self.success,
            "result": self.result[:200],
            "error": self.error,
            "model_used": self.model_used,
            "worker_id": self.worker_id,
        }


def _job_record(job: ScheduledJob) -> dict[str, Any]:
    record = job.to_dict()
    record["prompt"] = job.prompt
    if job.metadata:
        try:
            json.dumps(job.metadata)
        except Exception as e:
            logger.error(f"Failed to save metadata of job {job.id}: {e}")
            return record
    record["metadata"] = job.metadata
    return record


def state_text(jobs: dict[str, ScheduledJob], executions: list[JobExecution]) -> str:
    """The text of the state file: every job with its full prompt, the last 100 executions."""
    doc = {
        "jobs": {job_id: _job_record(job) for job_id, job in jobs.items()},
        "executions": [e.to_dict() for e in executions[-100:]],
    }
    return json.dumps(doc, indent=2)


def write_and_replace(path, temp, text: str, durable: bool) -> None:
    """Writes text to temp and renames it over path; when durable, the file is flushed to stable
    storage before the rename and its directory after."""
    try:
        with open(temp, "w") as f:
            f.write(text)
            if durable:
                f.flush()
                os.fsync(f.fileno())
        os.replace(temp, path)
    except Exception:
        temp.unlink(missing_ok=True)
        raise
    if durable:
        directory = os.open(path.parent, os.O_RDONLY)
        try:
            os.fsync(directory)
        finally:
            os.close(directory)


class PyScheduler:
    """The same registry, loop, firing and save steps, written in plain Python."""

    def __init__(self, on_fire=None, on_event=None, storage_path=None):
        self._on_fire = on_fire
        self._on_event = on_event
        self._storage_path = storage_path
        self._jobs: dict[str, ScheduledJob] = {}
        self._executions: list[JobExecution] = []
        self._task = None
        self._stop_event = asyncio.Event()
        self._firing_tasks: set[asyncio.Task] = set()

    @property
    def running(self) -> bool:
        return self._task is not None and not self._task.done()

    def _calc_next_run(self, job: ScheduledJob) -> float:
        now = datetime.now()
        if job.job_type == JobType.CRON:
            try:
                return PlainCron(job.schedule).next_occurrence(now).timestamp()
            except ValueError as e:
                logger.error(f"Invalid cron expression for job {job.id}: {e}")
                return 0
        if job.job_type == JobType.INTERVAL:
            if job.interval_seconds <= 0:
                return 0
            if job.last_run:
                return job.last_run + job.interval_seconds
            return time.time() + job.interval_seconds
        if job.job_type == JobType.ONCE:
            return job.next_run if job.next_run else 0
        return 0

    async def start(self) -> None:
        if self.running:
            return
        self._stop_event.clear()
        self._task = asyncio.create_task(self._loop(), name="scheduler")
        logger.info(f"Scheduler started with {len(self._jobs)} jobs")

    async def stop(self) -> None:
        self._stop_event.set()
        if self._task and not self._task.done():
            self._task.cancel()
            try:
                await self._task
            except asyncio.CancelledError:
                pass
        self._task = None
        logger.info("Scheduler stopped")

    async def _loop(self) -> None:
        try:
            while not self._stop_event.is_set():
                now = time.time()
                for job in list(self._jobs.values()):
                    if job.state != JobState.ACTIVE:
                        continue
                    if not job.next_run or now < job.next_run:
                        continue
                    if job.max_runs > 0 and job.run_count + 1 >= job.max_runs:
                        job.next_run = 0
                    elif job.job_type == JobType.ONCE:
                        job.next_run = 0
                    else:
                        job.next_run = self._calc_next_run(job)
                    task = asyncio.create_task(self._fire_job(job), name=f"job-{job.id}")
                    self._firing_tasks.add(task)
                    task.add_done_callback(self._firing_tasks.discard)
                try:
                    await asyncio.wait_for(self._stop_event.wait(), timeout=30.0)
                except asyncio.TimeoutError:
                    pass
        except asyncio.CancelledError:
            logger.debug("Scheduler loop cancelled")

    async def _fire_job(self, job: ScheduledJob) -> None:
        logger.info(f"Firing job: {job.name} ({job.id})")
        execution = JobExecution(job_id=job.id, job_name=job.name, started_at=time.time())
        if self._on_event:
            await self._on_event({"type": "scheduler_job_fired", "job": job.to_dict()})
        try:
            result = ""
            if self._on_fire:
                result = await self._on_fire(job)
            execution.success = True
            execution.result = result or "Completed"
        except Exception as e:
            execution.success = False
            execution.error = str(e)
            logger.error(f"Job {job.id} failed: {e}", exc_info=True)
        finally:
            execution.completed_at = time.time()
            execution.duration = execution.completed_at - execution.started_at
            job.last_run = execution.started_at
            job.run_count += 1
            if job.max_runs > 0 and job.run_count >= job.max_runs:
                job.state = JobState.COMPLETED
                job.next_run = 0
            elif job.job_type == JobType.ONCE:
                job.state = JobState.COMPLETED
                job.next_run = 0
            else:
                job.next_run = self._calc_next_run(job)
            self._executions.append(execution)
            if len(self._executions) > 500:
                self._executions = self._executions[-250:]
            self._save()
        if self._on_event:
            await self._on_event({"type": "scheduler_job_completed", "execution": execution.to_dict()})

    def _load(self) -> None:
        """Reads the state file: every job and execution record as json.loads gives it, the fields a
        record class has, made into records."""
        path = self._storage_path
        if not path.exists():
            return
        data = json.loads(path.read_text())
        names = {f.name for f in fields(ScheduledJob)}
        for job_id, record in data.get("jobs", {}).items():
            values = {k: v for k, v in record.items() if k in names}
            values["job_type"] = JobType(values.get("job_type", "cron"))
            values["state"] = JobState(values.get("state", "active"))
            self._jobs[job_id] = ScheduledJob(**values)
        names = {f.name for f in fields(JobExecution)}
        self._executions = [JobExecution(**{k: v for k, v in record.items() if k in names})
                            for record in data.get("executions", [])]

    def update_job(self, job_id: str, updates: dict[str, Any]) -> ScheduledJob | None:
        job = self._jobs.get(job_id)
        if job is None:
            return None
        for key, value in updates.items():
            if hasattr(job, key):
                setattr(job, key, value)
        self._save()
        return job

    def upcoming(self, count: int = 10) -> list[dict[str, Any]]:
        """The next `count` runs of the active jobs, soonest first: each job's first run (now for an
        overdue one) on a heap, the run after it pushed when it is taken."""
        now = time.time()
        heap = []
        for order, job in enumerate(self._jobs.values()):
            if job.state != JobState.ACTIVE or not job.next_run:
                continue
            cron = None
            if job.job_type == JobType.CRON:
                try:
                    cron = PlainCron(job.schedule)
                except ValueError:
                    pass
            left = count if job.max_runs <= 0 else min(count, max(1, job.max_runs - job.run_count))
            heap.append((max(job.next_run, now), order, job, cron, left))
        heapq.heapify(heap)
        agenda = []
        while heap and len(agenda) < count:
            at, order, job, cron, left = heapq.heappop(heap)
            agenda.append({"job_id": job.id, "job_name": job.name, "next_run": at,
                           "next_run_human": _format_timestamp(at)})
            following = None
            if left > 1 and cron is not None:
                following = cron.next_occurrence(datetime.fromtimestamp(at)).timestamp()
            elif left > 1 and job.job_type == JobType.INTERVAL and job.interval_seconds > 0:
                following = at + job.interval_seconds
            if following is not None:
                heapq.heappush(heap, (following, order, job, cron, left - 1))
        return agenda

    def _save(self) -> None:
        try:
            text = state_text(self._jobs, self._executions)
            path = self._storage_path
            path.parent.mkdir(parents=True, exist_ok=True)
            write_and_replace(path, path.with_name(f".{path.name}.{os.getpid()}.tmp"), text,
                              DURABLE_WRITES)
        except Exception as e:
            logger.error(f"Failed to save scheduler state: {e}")
