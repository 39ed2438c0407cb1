"""tests/test_packaging.py: the installed modules join the host's own `tarvel` package."""

import importlib
import sys
from pathlib import Path

import pytest


@pytest.mark.parametrize(
    "name, host_module",
    [("tarvel.core.scheduler", "tarvel.config"), ("tarvel.skills.creator", "tarvel.skills.engine")],
)
def test_modules_are_extension_modules_inside_the_host_package(name, host_module):
    module = importlib.import_module(name)
    host = importlib.import_module(host_module)
    assert Path(module.__file__).suffix in (".so", ".pyd")
    assert Path(host.__file__).parents[len(host_module.split(".")) - 1].name == "host"
    assert module.__name__ == module.__spec__.name == name


def test_import_failure_of_the_host_config_propagates(monkeypatch):
    import tarvel.core.scheduler  # noqa: F401  (loaded once, so the .so is known)

    monkeypatch.setitem(sys.modules, "tarvel.config", None)
    monkeypatch.delitem(sys.modules, "tarvel.core.scheduler")
    with pytest.raises(ImportError, match="tarvel.config"):
        importlib.import_module("tarvel.core.scheduler")


def test_installed_version_is_the_project_version():
    import importlib.metadata
    import tomllib

    project = tomllib.loads((Path(__file__).resolve().parent.parent / "pyproject.toml").read_text())["project"]
    assert importlib.metadata.version("tarvel-native") == project["version"]
