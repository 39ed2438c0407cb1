"""Scheduler — persistent cron-based task scheduling for Tarvel."""

import asyncio
import json as json
import logging
import time as time
import uuid as uuid
from dataclasses import dataclass as dataclass, field as field
from datetime import datetime as datetime, timedelta as timedelta
from enum import Enum as Enum
from pathlib import Path as Path
from typing import Any as Any, Awaitable as Awaitable, Callable as Callable, ClassVar, Final

from tarvel.config import tarvel_dir as tarvel_dir

logger: logging.Logger
DURABLE_WRITES: bool

class JobType(str, Enum):
    CRON = "cron"
    INTERVAL = "interval"
    ONCE = "once"

class JobState(str, Enum):
    ACTIVE = "active"
    PAUSED = "paused"
    COMPLETED = "completed"
    DISABLED = "disabled"

@dataclass
class ScheduledJob:
    """Definition of a scheduled job."""

    id: str = ...
    name: str = ""
    description: str = ""
    job_type: JobType = JobType.CRON
    schedule: str = ""
    interval_seconds: int = 0
    prompt: str = ""
    model_key: str | None = None
    spawn_worker: bool = True
    state: JobState = JobState.ACTIVE
    created_at: float = ...
    last_run: float = 0.0
    next_run: float = 0.0
    run_count: int = 0
    max_runs: int = 0
    metadata: dict[str, Any] = ...
    def to_dict(self) -> dict[str, Any]: ...
    @classmethod
    def from_dict(cls, data: dict[str, Any]) -> ScheduledJob: ...

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
    def to_dict(self) -> dict[str, Any]: ...

class CronExpression:
    """Simple cron expression parser (5 fields: min hour dom month dow)."""

    _expr: str
    _minute: set[int]
    _hour: set[int]
    _dom: set[int]
    _month: set[int]
    _dow: set[int]
    def __init__(self, expression: str) -> None: ...
    @staticmethod
    def _parse_field(field_str: str, min_val: int, max_val: int) -> set[int]: ...
    def matches(self, dt: datetime) -> bool: ...
    def next_occurrence(self, after: datetime | None = None) -> datetime: ...
    def next_occurrences(self, count: int, after: datetime | None = None) -> list[datetime]: ...
    def _dow_adjusted(self) -> set[int]: ...

JobFireCallback = Callable[[ScheduledJob], Awaitable[str]]

class Scheduler:
    """Persistent cron-based task scheduler."""

    _on_fire: JobFireCallback | None
    _on_event: Callable[[dict[str, Any]], Awaitable[None]] | None
    _storage_path: Path
    _jobs: dict[str, ScheduledJob]
    _executions: list[JobExecution]
    _task: asyncio.Task[None] | None
    _stop_event: asyncio.Event
    _firing_tasks: set[asyncio.Task[None]]
    _poll_interval: float
    _max_concurrent_firings: int | None
    _fire_timeout: float | None
    _misfire_grace: float | None
    _overlap: bool
    def __init__(
        self,
        on_fire: JobFireCallback | None = None,
        on_event: Callable[[dict[str, Any]], Awaitable[None]] | None = None,
        storage_path: Path | None = None,
        *,
        poll_interval: float = 30.0,
        max_concurrent_firings: int | None = None,
        fire_timeout: float | None = None,
        misfire_grace: float | None = None,
        overlap: bool = True,
    ) -> None: ...
    @property
    def running(self) -> bool: ...
    async def start(self) -> None: ...
    async def stop(self, timeout: float | None = None) -> None: ...
    async def _loop(self) -> None: ...
    async def _fire_job(self, job: ScheduledJob) -> None: ...
    def add_job(self, job: ScheduledJob) -> ScheduledJob: ...
    def update_job(self, job_id: str, updates: dict[str, Any]) -> ScheduledJob | None: ...
    def remove_job(self, job_id: str) -> bool: ...
    def pause_job(self, job_id: str) -> bool: ...
    def resume_job(self, job_id: str) -> bool: ...
    def request_run(self, job_id: str) -> bool: ...
    def get_job(self, job_id: str) -> ScheduledJob | None: ...
    def list_jobs(self) -> list[dict[str, Any]]: ...
    def list_executions(self, limit: int = 50, job_id: str | None = None) -> list[dict[str, Any]]: ...
    def stats(self) -> dict[str, Any]: ...
    def upcoming(self, count: int = 10, job_id: str | None = None) -> list[dict[str, Any]]: ...
    async def run_now(self, job_id: str) -> dict[str, Any] | None: ...
    async def _send_event(self, event: dict[str, Any]) -> None: ...
    def _calc_next_run(self, job: ScheduledJob) -> float: ...
    def _save(self) -> None: ...
    def _load(self) -> None: ...

def _format_timestamp(ts: float) -> str: ...
