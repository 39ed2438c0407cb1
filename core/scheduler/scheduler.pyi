"""Scheduler — persistent cron-based task scheduling for Tarvel."""

import asyncio
import json as json
import logging
import os
import sqlite3 as sqlite3
import time as time
import uuid as uuid
from dataclasses import dataclass as dataclass, field as field
from datetime import datetime as datetime, timedelta as timedelta
from enum import Enum as Enum
from pathlib import Path as Path
from typing import Any as Any, Awaitable as Awaitable, Callable as Callable, ClassVar, Final, Literal, TypedDict, type_check_only

from tarvel.config import tarvel_dir as tarvel_dir

logger: logging.Logger
DURABLE_WRITES: bool
_MAX_PATH: int | None

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

# The dictionaries the scheduler reports, for type checkers only (import them under
# `if TYPE_CHECKING:`): a misspelt key is an error.

@type_check_only
class JobInfo(TypedDict):
    """A job as `list_jobs` reports it: its fields, with local times for people."""

    id: str
    name: str
    description: str
    job_type: Literal["cron", "interval", "once"]
    schedule: str
    interval_seconds: int
    prompt: str
    model_key: str | None
    spawn_worker: bool
    state: Literal["active", "paused", "completed", "disabled"]
    created_at: float
    last_run: float
    next_run: float
    run_count: int
    max_runs: int
    next_run_human: str
    last_run_human: str

@type_check_only
class ExecutionInfo(TypedDict):
    """A run as `list_executions` and `run_now` report it."""

    job_id: str
    job_name: str
    started_at: float
    started_at_human: str
    completed_at: float
    duration: float
    success: bool
    result: str
    error: str
    model_used: str
    worker_id: str

@type_check_only
class SchedulerStats(TypedDict):
    """What `stats` reports."""

    total_jobs: int
    active_jobs: int
    paused_jobs: int
    total_executions: int
    recent_executions: int
    running: bool

@type_check_only
class UpcomingRun(TypedDict):
    """One coming run, as `upcoming` lists it."""

    job_id: str
    job_name: str
    next_run: float
    next_run_human: str

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

JobFireCallback = Callable[[ScheduledJob], Awaitable[str | object | None]]

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
    _wake_on_due: bool
    _store: str
    # What the last load of the state file found wrong, one sentence each ("<path>: ..."); empty
    # when it loaded whole or did not exist. A merge of another process's save adds to it.
    load_problems: list[str]
    def __init__(
        self,
        on_fire: JobFireCallback | None = None,
        on_event: Callable[[dict[str, Any]], Awaitable[None]] | None = None,
        storage_path: str | os.PathLike[str] | None = None,
        *,
        poll_interval: float = 30.0,
        max_concurrent_firings: int | None = None,
        fire_timeout: float | None = None,
        misfire_grace: float | None = None,
        overlap: bool = True,
        wake_on_due: bool = False,
        store: str = "json",
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
    def list_jobs(self) -> list[JobInfo]: ...
    def list_executions(self, limit: int = 50, job_id: str | None = None) -> list[ExecutionInfo]: ...
    def stats(self) -> SchedulerStats: ...
    def upcoming(self, count: int = 10, job_id: str | None = None) -> list[UpcomingRun]: ...
    async def run_now(self, job_id: str) -> ExecutionInfo | None: ...
    async def _send_event(self, event: dict[str, Any]) -> None: ...
    def _calc_next_run(self, job: ScheduledJob) -> float: ...
    def _save(self) -> None: ...
    def _load(self) -> None: ...
    def export_state(self, path: str | os.PathLike[str]) -> None: ...

def _format_timestamp(ts: float) -> str: ...
