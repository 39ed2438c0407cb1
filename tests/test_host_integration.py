"""tests/test_host_integration.py: the host contract of the README and docs/, run as written in a fresh interpreter."""

from __future__ import annotations

import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
README = "\n".join(p.read_text(encoding="utf-8") for p in [ROOT / "README.md", ROOT / "docs" / "host-contract.md"])
EXTEND_PATH = "from pkgutil import extend_path\n\n__path__ = extend_path(__path__, __name__)\n"


def block_after(heading):
    """The first ```python block after `heading` in the README or the host contract."""
    start = README.index(heading)
    return textwrap.dedent(re.search(r"```python\n(.*?)```", README[start:], re.S).group(1))


def test_host_with_regular_packages_runs_the_readme_example(tmp_path):
    host = tmp_path / "host"
    for package in ("tarvel", "tarvel/core", "tarvel/skills"):
        (host / package).mkdir(parents=True)
        (host / package / "__init__.py").write_text(EXTEND_PATH)
    assert block_after("its `__init__.py` lets installed parts").strip() == EXTEND_PATH.strip()
    (host / "tarvel" / "config.py").write_text(
        f"from pathlib import Path\n\ndef tarvel_dir() -> Path:\n    return Path({str(tmp_path / 'data')!r})\n")
    (host / "tarvel" / "skills" / "engine.py").write_text(block_after("A minimal `tarvel/skills/engine.py`"))
    env = dict(os.environ, PYTHONPATH=str(host), HOME=str(tmp_path / "home"))
    done = subprocess.run([sys.executable, "-c", block_after("A host that schedules")], env=env,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["agent ran: stretch", "True Created skill 'open_mail' v1 (1 steps, "
                                        "category: email). It's now available for use."]
    assert not (tmp_path / "home").exists()  # nothing went to the real home directory


def test_missing_host_module_fails_the_import(tmp_path):
    env = dict(os.environ, PYTHONPATH="", HOME=str(tmp_path))
    done = subprocess.run([sys.executable, "-c", "import tarvel.core.scheduler"], env=env, cwd=tmp_path,
                          capture_output=True, text=True, timeout=60)
    assert "No module named 'tarvel.config'" in done.stderr
