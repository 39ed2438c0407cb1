"""tests/conftest.py: run the modules as the host does, through the stand-in host package.

The stand-in `tarvel` package (host/) goes first on sys.path, and every
per-user directory points into a temporary folder before anything imports,
so no test ever touches the real home directory.
"""

import os
import sys
import tempfile
from pathlib import Path

HOST = Path(__file__).resolve().parent.parent / "host"
sys.path.insert(0, str(HOST))

_home = tempfile.mkdtemp(prefix="tarvel-tests-home-")
os.environ["HOME"] = _home
os.environ["TARVEL_DIR"] = os.path.join(_home, ".tarvel")
