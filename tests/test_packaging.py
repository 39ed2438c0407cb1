"""tests/test_packaging.py: the installed modules join the host's own `tarvel` package."""

import importlib
import sys
from pathlib import Path

import pytest


def test_scheduler_is_an_extension_module_inside_the_host_package():
    scheduler = importlib.import_module("tarvel.core.scheduler")
    config = importlib.import_module("tarvel.config")
    assert Path(scheduler.__file__).suffix in (".so", ".pyd")
    assert Path(config.__file__).parent.parent.name == "host"
    assert scheduler.__name__ == "tarvel.core.scheduler"
    assert scheduler.__spec__.name == "tarvel.core.scheduler"


def test_import_failure_of_the_host_config_propagates(monkeypatch):
    import tarvel.core.scheduler  # noqa: F401  (loaded once, so the .so is known)

    monkeypatch.setitem(sys.modules, "tarvel.config", None)
    monkeypatch.delitem(sys.modules, "tarvel.core.scheduler")
    with pytest.raises(ImportError, match="tarvel.config"):
        importlib.import_module("tarvel.core.scheduler")
