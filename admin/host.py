"""The host around the modules: its config (or a stand-in), the data folder, and the loop's lock.

The modules import `tarvel.config` and `tarvel.skills.engine` from the host. Where
the host's own cannot be imported, stand-ins are put in their place: the data
folder is $TARVEL_DIR or ~/.tarvel, and skills are plain objects with steps.
"""

from __future__ import annotations

import dataclasses
import importlib
import os
import sys
import types
from pathlib import Path
from typing import Any


def _stand_in_tarvel_dir() -> Path:
    """The per-user data directory: $TARVEL_DIR if set, else ~/.tarvel."""
    override = os.environ.get("TARVEL_DIR")
    return Path(override) if override else Path.home() / ".tarvel"


@dataclasses.dataclass
class _SkillStep:
    """One operation of the "pc" tool, with its parameters."""

    description: str
    operation: str
    params: dict[str, Any] = dataclasses.field(default_factory=dict)
    wait_after: float = 1.0
    retry_on_fail: bool = False
    max_retries: int = 2
    optional: bool = False


class _SkillDefinition:
    """A skill the agent can run: a name, what it does, and its steps."""

    name: str = ""
    description: str = ""

    def build_steps(self, params: dict[str, Any]) -> list[_SkillStep]:
        return []

    def to_dict(self) -> dict[str, Any]:
        return {k: v for k, v in vars(self).items() if not k.startswith("_")}


def _host_module(name: str, stand_in: dict[str, Any]) -> None:
    """Imports the host's module `name`; where the host has none, a module of `stand_in`'s
    names takes its place."""
    try:
        importlib.import_module(name)
        return
    except ModuleNotFoundError as e:
        parents = {name.rsplit(".", n)[0] for n in range(name.count(".") + 1)}
        if e.name not in parents:
            raise  # the host's module is there and fails on an import of its own
    for depth in range(1, name.count(".") + 1):  # the packages above it (namespace packages)
        package = name.rsplit(".", depth)[0]
        if package not in sys.modules:
            importlib.import_module(package)
    module = types.ModuleType(name, "Stand-in for the host's module (tarvel-admin).")
    for key, value in stand_in.items():
        setattr(module, key, value)
        if hasattr(value, "__module__"):
            value.__module__ = name
    sys.modules[name] = module
    parent, _, leaf = name.rpartition(".")
    setattr(sys.modules[parent], leaf, module)


def load_modules() -> tuple[types.ModuleType, types.ModuleType]:
    """The modules tarvel.core.scheduler and tarvel.skills.creator, over the host's modules or
    the stand-ins."""
    _host_module("tarvel.config", {"tarvel_dir": _stand_in_tarvel_dir})
    _host_module("tarvel.skills.engine", {"SkillStep": _SkillStep, "SkillDefinition": _SkillDefinition})
    return importlib.import_module("tarvel.core.scheduler"), importlib.import_module("tarvel.skills.creator")


def data_folder(given: str | None) -> Path:
    """The data folder: --data, else the host's tarvel_dir() (the stand-in's: $TARVEL_DIR or ~/.tarvel)."""
    if given:
        return Path(given).expanduser()
    from tarvel.config import tarvel_dir

    return Path(tarvel_dir())


def loop_holder(state_path: Path) -> str | None:
    """Whether a scheduler loop runs on the state file: the pid (as text) of the process whose
    loop holds its lock, "" when one does but its pid cannot be told, None when none seems to.

    The lock itself is never taken, not even for a moment, so a loop starting meanwhile
    cannot find it held by this command: on Linux the kernel's table of locks tells
    whether the lock file is locked; elsewhere the pid its holder wrote is looked up."""
    lock_path = state_path.with_name(state_path.name + ".lock")
    try:
        info = os.stat(lock_path, follow_symlinks=False)
    except OSError:
        return None  # no loop ever ran here
    try:
        with open("/proc/locks", encoding="ascii") as table:
            lines = table.read().splitlines()
    except OSError:
        return _recorded_pid_alive(lock_path)
    wanted = f"{os.major(info.st_dev):02x}:{os.minor(info.st_dev):02x}:{info.st_ino}"
    recorded = None
    for line in lines:
        fields = line.split()
        if "->" in fields or len(fields) < 6 or fields[1] != "FLOCK":
            continue  # a waiter, or a lock of another kind
        if fields[5] == wanted:
            return fields[4]
        # A layered file system may show the file's device otherwise: the same inode, locked
        # by the process whose pid the file holds, is the loop's lock too.
        if fields[5].rsplit(":", 1)[-1] == str(info.st_ino):
            recorded = _recorded_pid(lock_path) if recorded is None else recorded
            if fields[4] == recorded:
                return recorded
    return None


def _recorded_pid_alive(lock_path: Path) -> str | None:
    """The pid the loop's lock file holds, when such a process exists (POSIX); "" where that
    cannot be told (Windows, where asking would end the process)."""
    if os.name != "posix":
        return ""
    text = _recorded_pid(lock_path)
    try:
        os.kill(int(text), 0)
    except PermissionError:
        return text  # a process of another user
    except (OSError, ValueError):
        return None
    return text


def _recorded_pid(lock_path: Path) -> str:
    """The text the loop's lock file holds (its holder's pid), read without locking it."""
    try:
        fd = os.open(lock_path, os.O_RDONLY | getattr(os, "O_NOFOLLOW", 0))
    except OSError:
        return ""
    try:
        return os.read(fd, 64).decode("ascii", "replace").strip()
    finally:
        os.close(fd)
