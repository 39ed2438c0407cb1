"""tests/conftest.py: run the modules as the host does, through the stand-in host package.

The stand-in `tarvel` package (host/) goes first on sys.path, and every
per-user directory (HOME, and USERPROFILE, which Windows reads, and TARVEL_DIR)
points into a temporary folder before anything imports,
so no test ever touches the real home directory.
"""

import atexit
import json
import logging
import os
import shutil
import sys
import tempfile
import time
from pathlib import Path

import pytest

HOST = Path(__file__).resolve().parent.parent / "host"
sys.path.insert(0, str(HOST))
# The plain-Python twins the tests compare with, shared with the benchmarks.
sys.path.insert(0, str(HOST.parent / "twins"))

_home = tempfile.mkdtemp(prefix="tarvel-tests-home-")
atexit.register(shutil.rmtree, _home, True)
os.environ["HOME"] = _home
os.environ["USERPROFILE"] = _home  # what Path.home() reads on Windows
os.environ["TARVEL_DIR"] = os.path.join(_home, ".tarvel")


@pytest.fixture(scope="session")
def posix_files():
    """Whether the native file steps make POSIX calls: false in a build with
    TARVEL_PORTABLE_FILES, which takes the paths a Windows build takes (no directory flushes)."""
    try:
        import tarvel_glue_test
    except ImportError:  # a build without the test-only module: the platform's own steps
        return os.name == "posix"
    return tarvel_glue_test.POSIX_FILES


STATE_NAMES = {"json": "scheduler.json", "sqlite": "scheduler.sqlite3"}


@pytest.fixture(params=list(STATE_NAMES))
def store(request):
    """The store a test's schedulers keep their state in: a test that takes it runs once with each
    (its schedulers are built with store=store), and its `path` is that store's."""
    return request.param


def state_path(request, folder):
    """The state's path in `folder`: the database when the test takes `store` and it is "sqlite",
    else the state file."""
    store = request.getfixturevalue("store") if "store" in request.fixturenames else "json"
    return folder / STATE_NAMES[store]


def saved(path):
    """What the schedulers have saved at `path`, as the state file's document: the file itself, or
    what a new scheduler on the database exports (its load kept out of the log)."""
    if path.suffix == ".json":
        return json.loads(path.read_text())
    from tarvel.core.scheduler import Scheduler

    exported, logger = path.with_name(path.name + ".exported.json"), logging.getLogger("tarvel.scheduler")
    logger.disabled = True
    try:
        Scheduler(storage_path=path, store="sqlite").export_state(exported)
        return json.loads(exported.read_text())
    finally:
        logger.disabled = False
        exported.unlink(missing_ok=True)


def xfail_with_database(request, reason):
    """Marks the running test, when its store is the database, as failing there for `reason` (strict:
    it must fail)."""
    if request.getfixturevalue("store") == "sqlite":
        request.applymarker(pytest.mark.xfail(strict=True, reason=reason))


@pytest.fixture
def path(request, tmp_path):
    """Where a scheduler keeps its state in a test (see `store`)."""
    return state_path(request, tmp_path / "data")


@pytest.fixture
def log(caplog):
    """The scheduler's log so far, as (level, message) pairs."""
    caplog.set_level(logging.DEBUG, logger="tarvel.scheduler")
    return lambda: [(r.levelname, r.getMessage()) for r in caplog.records if r.name == "tarvel.scheduler"]


@pytest.fixture
def tokyo(monkeypatch):
    """Local time is Asia/Tokyo (UTC+9, no daylight saving) for the test."""
    monkeypatch.setenv("TZ", "Asia/Tokyo")
    time.tzset()
    yield
    monkeypatch.undo()
    time.tzset()


@pytest.fixture
def local_zone():
    """Sets local time to a zone for the rest of the test: local_zone("America/New_York")."""
    before = os.environ.get("TZ")

    def set_zone(name):
        os.environ["TZ"] = name
        time.tzset()

    yield set_zone
    if before is None:
        os.environ.pop("TZ", None)
    else:
        os.environ["TZ"] = before
    time.tzset()


@pytest.fixture
def creator_home(tmp_path, monkeypatch):
    """The creator's ~/.tarvel for one test: SKILLS_DIR and IMPROVEMENT_LOG point into tmp_path."""
    import tarvel.skills.creator as module

    home = tmp_path / "home" / ".tarvel"
    monkeypatch.setattr(module, "SKILLS_DIR", home / "skills")
    monkeypatch.setattr(module, "IMPROVEMENT_LOG", home / "improvement_log.json")
    monkeypatch.setattr(module, "_creator_instance", None)
    return home


@pytest.fixture
def creator(creator_home):
    """A SkillCreator working in the test's own ~/.tarvel."""
    from tarvel.skills.creator import SkillCreator

    return SkillCreator()


@pytest.fixture
def creator_log(caplog):
    """The creator's log so far, as (level, message) pairs."""
    caplog.set_level(logging.DEBUG, logger="tarvel.skills.creator")
    return lambda: [
        (r.levelname, r.getMessage()) for r in caplog.records if r.name == "tarvel.skills.creator"
    ]


def permissions_bind():
    """Whether file permissions bind this process: not for root, unless the test command ran it
    with the capabilities that bypass them dropped."""
    if os.name != "posix":
        return False
    with tempfile.TemporaryDirectory() as folder:
        probe = Path(folder) / "read-only"
        probe.write_text("")
        probe.chmod(0o444)
        try:
            probe.open("a").close()
        except PermissionError:
            return True
        return False


def killed_runs(args, env, ready, look, runs):
    """Starts `args` `runs` times; once it prints `ready`, calls `look()` until a random moment
    within half a second, then kills it with SIGKILL. Yields, after each kill, what `look()` gave
    while it ran and once more after the kill."""
    import random
    import signal
    import subprocess

    for _ in range(runs):
        seen = []
        with subprocess.Popen(args, env=env, stdout=subprocess.PIPE) as child:
            try:
                assert child.stdout.readline() == ready
                deadline = time.monotonic() + random.uniform(0.0, 0.5)
                while time.monotonic() < deadline:
                    seen.append(look())
            finally:
                child.send_signal(signal.SIGKILL)
        assert child.returncode == -signal.SIGKILL
        yield seen + [look()]


def run_at_once(tmp_path, script, *arguments):
    """Runs `script` in one child per argument list, with the stand-in host and a home of their
    own; each prints "ready" when set, and all go together once every one is (a file "go" in
    `tmp_path` appears, whose path is their first argument). Fails unless every child exits 0."""
    import subprocess

    env = dict(os.environ, PYTHONPATH=str(HOST), HOME=str(tmp_path / "child-home"))
    go = tmp_path / "go"
    children = [subprocess.Popen([sys.executable, "-c", script, str(go), *map(str, args)], env=env,
                                 stdout=subprocess.PIPE) for args in arguments]
    try:
        assert [child.stdout.readline() for child in children] == [b"ready\n"] * len(children)
        go.touch()
        assert [child.wait(600) for child in children] == [0] * len(children)
    finally:
        for child in children:
            if child.poll() is None:
                child.kill()
                child.wait()


def outcome(fn, *args):
    """What a call gives, as comparable data: the exception's type and text when it raises, a
    datetime with its repr, zone and fold."""
    from datetime import datetime

    try:
        value = fn(*args)
    except Exception as exc:  # noqa: BLE001 - the exception is the result here
        return type(exc), str(exc)
    if isinstance(value, datetime):
        return type(value), repr(value), value.tzinfo, value.fold
    return value
