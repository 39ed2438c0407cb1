"""bench/project.py: what every benchmark needs of the project, imported before anything of it.

The stand-in host package goes first on the path, as in the tests, so tarvel.config and
tarvel.skills.engine resolve; the plain-Python twins are shared with the tests.
"""

import importlib
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
for _folder in ("host", "twins"):
    sys.path.insert(0, str(ROOT / _folder))


def native(name, install="."):
    """The installed native module `name`, or an exit that says how to install the project."""
    try:
        return importlib.import_module(name)
    except ImportError as exc:
        sys.exit(f"{name} is not importable ({exc}); install the project first: pip install {install}")
