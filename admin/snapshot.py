"""Copies of the files a read-only command reads, so the modules load them with no side effect.

Constructing a Scheduler or a SkillCreator may make folders, and a damaged file
gets a `.bad-` copy beside it; run on copies in a temporary folder, the modules'
own loading code gives exactly the host's results while the data folder is
only read. The files are opened with O_NOATIME where the system allows it, so
even their access times stay as they were.
"""

from __future__ import annotations

import os
import shutil
import stat
import tempfile
from pathlib import Path

_NOATIME = getattr(os, "O_NOATIME", 0)
_NOFOLLOW = getattr(os, "O_NOFOLLOW", 0)
_DIRECTORY = getattr(os, "O_DIRECTORY", 0)
# Folders are read through a descriptor where the system can, so their access times stay too.
_BY_DESCRIPTOR = bool(_DIRECTORY) and os.scandir in os.supports_fd and os.open in os.supports_dir_fd


def _open(path: str | Path, flags: int, dir_fd: int | None = None) -> int:
    """os.open, without touching the access time where the system lets this process say so."""
    if _NOATIME:
        try:
            return os.open(path, flags | _NOATIME, dir_fd=dir_fd)
        except PermissionError:
            pass  # O_NOATIME is for the file's owner only
    return os.open(path, flags, dir_fd=dir_fd)


class Snapshot:
    """A temporary folder holding copies of files of the data folder, removed at the end."""

    def __init__(self, data: Path):
        self.data = data
        self._folder = tempfile.mkdtemp(prefix="tarvel-admin-")
        self.root = Path(self._folder)

    def __enter__(self) -> Snapshot:
        return self

    def __exit__(self, *exc) -> None:
        shutil.rmtree(self._folder, ignore_errors=True)

    def problems(self, found: list[str]) -> list[str]:
        """What a load of the copies found wrong, naming the data folder's files; the copy of
        a damaged file the load kept (in the temporary folder) is left unsaid."""
        kept = (": kept a copy of the file as ", ": no copy of the file could be kept: ")
        said = [p.replace(str(self.root), str(self.data)) for p in found if not any(k in p for k in kept)]
        if said:
            said.append("read as far as it goes; the file is left as it is (a host loading it keeps a .bad- copy)")
        return said

    def file(self, relative: str) -> Path:
        """The copy of data/relative (nothing when there is no such file): its path."""
        target = self.root / relative
        target.parent.mkdir(parents=True, exist_ok=True)
        try:
            _copy_entry(str(self.data / relative), str(target))
        except FileNotFoundError:
            pass
        return target

    def folder(self, relative: str, follow: bool = False) -> Path:
        """The copy of the files (not the folders) of data/relative: its path. A link at
        data/relative is followed only when `follow` says so, as the modules do."""
        target = self.root / relative
        target.mkdir(parents=True, exist_ok=True)
        source = self.data / relative
        if not _BY_DESCRIPTOR:  # Windows: by path (no access times to spare there)
            if source.is_dir() and (follow or not source.is_symlink()):
                _copy_files(str(source), target)
            return target
        try:
            fd = _open(source, os.O_RDONLY | _DIRECTORY | (0 if follow else _NOFOLLOW))
        except OSError:
            return target  # none, or a link the modules would not follow either
        try:
            _copy_files(fd, target)
        finally:
            os.close(fd)
        return target


def _copy_files(listed: int | str, target: Path) -> None:
    """Copies the entries of a folder (an open descriptor, or a path) that are not folders."""
    with os.scandir(listed) as entries:
        names = [e.name for e in entries if not e.is_dir(follow_symlinks=False)]
    for name in names:
        try:
            if isinstance(listed, int):
                _copy_entry(name, str(target / name), listed)
            else:
                _copy_entry(os.path.join(listed, name), str(target / name))
        except OSError:
            pass  # gone meanwhile, or unreadable: the modules would skip it too


def _copy_entry(source: str, target: str, dir_fd: int | None = None) -> None:
    """Copies a file (its bytes, permission bits and times) or a symbolic link (as a link)."""
    info = os.stat(source, dir_fd=dir_fd, follow_symlinks=False)
    if stat.S_ISLNK(info.st_mode):
        os.symlink(os.readlink(source, dir_fd=dir_fd), target)
        return
    if not stat.S_ISREG(info.st_mode):
        return
    fd = _open(source, os.O_RDONLY | _NOFOLLOW, dir_fd)
    try:
        with open(fd, "rb", closefd=False) as reader, open(target, "wb") as writer:
            shutil.copyfileobj(reader, writer)
        info = os.fstat(fd)
    finally:
        os.close(fd)
    os.chmod(target, stat.S_IMODE(info.st_mode))
    os.utime(target, ns=(info.st_atime_ns, info.st_mtime_ns))
