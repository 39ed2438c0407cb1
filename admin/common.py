"""What the commands share: the refusal they end with, and the context they run in."""

from __future__ import annotations

import sys
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType


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

    @property
    def state_path(self) -> Path:
        return self.data / "scheduler.json"

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
