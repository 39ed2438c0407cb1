"""tests/test_typing.py: the type stubs match the modules, and type checkers and stubgen can use them."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")

HERE = Path(__file__).resolve().parent
HOST = HERE.parent / "host"
MODULES = ["tarvel.core.scheduler", "tarvel.skills.creator"]


def run(*args, cwd):
    env = dict(os.environ, PYTHONPATH=str(HOST), MYPYPATH=str(HOST))
    command = [sys.executable, *args] if args[0] == "-c" else [sys.executable, "-m", *args]
    return subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True)


def test_stubs_match_the_modules(tmp_path):
    done = run("mypy.stubtest", *MODULES, "--allowlist", str(HERE / "typing" / "stubtest-allowlist.txt"),
               cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_type_checker_reports_misuse(tmp_path):
    script = HERE / "typing" / "host_script.py"
    done = run("mypy", "--no-incremental", "--cache-dir", os.devnull, "--strict-optional", str(script),
               cwd=tmp_path)
    reported = sorted({int(n) for n in re.findall(r"host_script\.py:(\d+): error", done.stdout)})
    expected = [n for n, line in enumerate(script.read_text().splitlines(), 1) if "# error" in line]
    assert reported == expected, done.stdout + done.stderr


def test_stubgen_reads_both_modules(tmp_path):
    done = run("-c", "from mypy.stubgen import main; main()", *[arg for m in MODULES for arg in ("-m", m)], "-o", str(tmp_path), cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    assert (tmp_path / "tarvel" / "core" / "scheduler.pyi").exists()
