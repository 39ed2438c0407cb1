"""tests/test_isolation.py: the tests' own set-up keeps every module away from the real user's data."""

from __future__ import annotations

import ntpath
import posixpath
from pathlib import Path

import conftest


def test_home_is_the_tests_own_folder_on_posix_and_on_windows():
    assert Path.home() == Path(conftest._home)
    assert posixpath.expanduser("~") == conftest._home  # HOME
    assert ntpath.expanduser("~") == conftest._home  # USERPROFILE, which Windows' Path.home() reads

