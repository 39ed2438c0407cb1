"""tests/test_demo.py: the demo host runs end to end in a folder of its own and leaves the user's data alone."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

DEMO = Path(__file__).resolve().parent.parent / "examples" / "demo_host.py"


def snapshot(folder):
    return {p.relative_to(folder): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


def test_demo_leaves_real_data_as_it_was(tmp_path):
    real = tmp_path / "real"
    (real / "skills").mkdir(parents=True)
    (real / "skills" / "open_inbox.json").write_text('{"name": "open_inbox", "version": 7}')
    (real / "scheduler.json").write_text('{"jobs": {}, "executions": []}')
    before = snapshot(real)
    env = dict(os.environ, TARVEL_DIR=str(real), HOME=str(tmp_path / "home"))
    done = subprocess.run([sys.executable, str(DEMO)], env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert snapshot(real) == before and not (tmp_path / "home").exists()
    data = Path(re.search(r"data directory: (.+)", done.stdout).group(1))
    assert data != real and not data.exists()  # the demo's own folder is gone
    assert done.stdout.count("[fired] heartbeat") >= 2  # an interval job fired
