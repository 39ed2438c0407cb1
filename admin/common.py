"""What the commands share: the refusal they end with, and the context they run in."""

from __future__ import annotations

import sys
from dataclasses import dataclass
from functools import cached_property
from pathlib import Path
from types import ModuleType


# The scheduler's state, by store: the database (store="sqlite") or the state file.
STATE_FILES = {"sqlite": "scheduler.sqlite3", "json": "scheduler.json"}
# What SQLite keeps beside a database in WAL mode: copied with it.
DATABASE_COMPANIONS = ("-wal", "-shm")


class Refused(Exception):
    """A request the modules refused, or one naming what is not there: exit status 1."""


class Usage(Exception):
    """A request the command line cannot take: exit status 2."""


@dataclass
class Context:
    """The modules, the data folder and the options every command reads."""

    scheduler: ModuleType
    creator: ModuleType
    data: Path
    json: bool
    # The modules' "Failed to save ..." errors so far: a change that did not land.
    save_failures: list[str]

    @cached_property
    def store(self) -> str:
        """The scheduler's store, by the files present: "sqlite" while the database is there (with
        scheduler.json beside it too: a warning), else "json"."""
        database, state_file = self.data / STATE_FILES["sqlite"], self.data / STATE_FILES["json"]
        if not database.exists():
            return "json"
        if state_file.exists():  # a database made from the file renamed it: a JSON writer is about
            self.warn(f"both {database} and {state_file} exist: the database is used; "
                      f"something beside it keeps writing {state_file.name}")
        return "sqlite"

    @property
    def state_path(self) -> Path:
        return self.data / STATE_FILES[self.store]

    def new_scheduler(self, path: Path):
        """A Scheduler of the folder's store on `path`, without on_fire."""
        return self.scheduler.Scheduler(storage_path=path, store=self.store)

    def saved(self) -> None:
        """Refuses, with the module's error, when the change could not be saved."""
        if self.save_failures:
            raise Refused(f"The change was not saved: {self.save_failures[0]}")

    def warn(self, text: str) -> None:
        print(f"tarvel-admin: warning: {text}", file=sys.stderr)

    def report_problems(self, problems: list[str]) -> None:
        """What the load of a file found wrong, one line each."""
        for problem in problems:
            self.warn(problem)
