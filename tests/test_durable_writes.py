"""tests/test_durable_writes.py: writes that survive a power cut, and failed writes in place, in both modules."""

from __future__ import annotations

import errno
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from tarvel.core import scheduler
from tarvel.skills import creator

HOST = Path(__file__).resolve().parent.parent / "host"

# A child process that makes one file's old version (the setup), then runs the write under test.
# argv: home directory, the setup, the write, "trace" or "in place", DURABLE_WRITES as 0 or 1.
# It prints the files as the setup left them, the log messages and what the write returned.
CHILD = r'''
import errno, json, logging, os, sys
from pathlib import Path

home = Path(sys.argv[1])
setup, write, mode, durable = sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5] == "1"
from tarvel.core import scheduler
from tarvel.skills import creator

messages = []
for name in ("tarvel.scheduler", "tarvel.skills.creator"):
    logger = logging.getLogger(name)
    logger.setLevel(logging.INFO)
    keep = logging.Handler()
    keep.emit = lambda record: messages.append(record.getMessage())
    logger.addHandler(keep)
creator.SKILLS_DIR, creator.IMPROVEMENT_LOG = home / "skills", home / "improvement_log.json"
SKILL = dict(description="d", app="a", category="", triggers=["t"], required_params=[], optional_params=[],
             steps=[{"operation": "open_app", "description": "x"}])
python_skill = lambda **changes: {"type": "python", "name": "tool", "description": "d",
                                  "code": "async def run(ctx, params):\n    return {}\n", **changes}
namespace = dict(scheduler=scheduler, creator=creator, home=home, SKILL=SKILL, python_skill=python_skill)
exec(setup, namespace)
scheduler.DURABLE_WRITES = creator.DURABLE_WRITES = durable
if mode == "trace":
    (home / "marker").touch()
    os.rename(home / "marker", home / "marker-done")  # the trace of the write starts here
else:
    import resource, signal
    # Temporary files cannot be made: the write goes in place, and fails past the size limit.
    real_open = os.open
    def refusing_open(path, flags, mode=0o777, *, dir_fd=None):
        if os.fspath(path).endswith(".tmp"):
            raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), os.fspath(path))
        return real_open(path, flags, mode, dir_fd=dir_fd)
    os.open = refusing_open
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    largest = max(p.stat().st_size for p in home.rglob("*") if p.is_file())
    resource.setrlimit(resource.RLIMIT_FSIZE, (largest + 200, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))
before = {p.relative_to(home).as_posix(): p.read_text() for p in home.rglob("*") if p.is_file()}
exec("result = " + write, namespace)
result = namespace["result"]
print(json.dumps({"before": before, "messages": messages,
                  "result": list(result) if isinstance(result, tuple) else None}, default=str))
'''

# Each kind of file: the setup that writes its first version, the write that replaces it with a
# larger one, the files that write replaces in order (relative to the home), and how a failed
# write is reported (in the log or in the message the call returns).
KINDS = {
    "state file": (
        "sch = scheduler.Scheduler(storage_path=home / 'scheduler.json')\n"
        "sch.add_job(scheduler.ScheduledJob(id='a', job_type=scheduler.JobType.ONCE))",
        "sch.add_job(scheduler.ScheduledJob(id='b', prompt='p' * 5000, job_type=scheduler.JobType.ONCE))",
        ["scheduler.json"], "Failed to save scheduler state: "),
    "improvement log": (
        "c = creator.SkillCreator()\nc.log_learning('s', 'r')",
        "c.log_learning('s', 'r' * 5000)",
        ["improvement_log.json"], "Failed to save improvement log: "),
    "skill file": (
        "c = creator.SkillCreator()\nc.create_skill(creator.SkillBlueprint('s', **SKILL))",
        "c.create_skill(creator.SkillBlueprint('s', **dict(SKILL, description='d' * 5000)))",
        ["skills/s.json", "improvement_log.json"], "Failed to save skill: "),
    "Python script": (
        "c = creator.SkillCreator()\nc.create_from_dict(python_skill())",
        "c.create_from_dict(python_skill(code='#' * 5000 + '\\nasync def run(ctx, params): return {}'))",
        ["skills/tool.py", "skills/tool.json", "improvement_log.json"], "Failed to save script: "),
    "Python metadata": (
        "c = creator.SkillCreator()\nc.create_from_dict(python_skill())",
        "c.create_from_dict(python_skill(description='d' * 5000))",
        ["skills/tool.py", "skills/tool.json", "improvement_log.json"], "Failed to save metadata: "),
}


def run_child(home, kind, mode, durable, prefix=()):
    setup, write = KINDS[kind][:2]
    home.mkdir(parents=True, exist_ok=True)
    env = dict(os.environ, PYTHONPATH=str(HOST), PYTHONDONTWRITEBYTECODE="1", HOME=str(home))
    command = [*prefix, sys.executable, "-c", CHILD, str(home), setup, write, mode, str(int(durable))]
    out = subprocess.run(command, env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def test_both_modules_write_durably_unless_told_otherwise():
    assert scheduler.DURABLE_WRITES is True and creator.DURABLE_WRITES is True


# --- flushed before the rename, the directory after it ----------------------------------------

def strace_works():
    if shutil.which("strace") is None:
        return False
    probe = subprocess.run(["strace", "-f", "-o", os.devnull, "-e", "trace=fsync", "true"],
                           capture_output=True)
    return probe.returncode == 0


SYSCALLS = r"/^(fsync|fdatasync|rename|renameat|renameat2)$"
TEMPORARY = re.compile(r"\.(.+)\.\d+\.\d+\.tmp")


def traced_events(trace, home):
    """The flushes and renames after the marker, paths relative to `home`, a temporary file as "~<file>"."""
    def name(text):
        path = Path(text)
        if not path.is_relative_to(home):
            return text
        path = path.relative_to(home)
        temporary = TEMPORARY.fullmatch(path.name)
        return "~" + (path.parent / temporary.group(1)).as_posix() if temporary else path.as_posix()

    events = []
    for line in trace.splitlines():
        call = re.search(r"\b(\w+)\((.*)\)\s+= 0$", line)
        if call is None:
            continue
        if call.group(1).startswith("rename"):
            events.append(("rename", *map(name, re.findall(r'"([^"]*)"', call.group(2)))))
        else:
            events.append(("fsync", name(re.search(r"<(.*)>", call.group(2)).group(1))))
    start = events.index(("rename", "marker", "marker-done"))
    kept_versions = ("skills/.versions", "~skills/.versions")  # copies made before a replacement
    return [e for e in events[start + 1:] if not e[1].startswith(kept_versions)]


@pytest.mark.skipif(not strace_works(), reason="needs strace that may trace (ptrace permitted)")
@pytest.mark.parametrize("durable", [True, False])
@pytest.mark.parametrize("kind", list(KINDS))
def test_new_files_reach_the_disk_before_they_replace_the_old(tmp_path, kind, durable, posix_files):
    home = tmp_path / "home"
    trace = tmp_path / "trace"
    prefix = ["strace", "-f", "-y", "-qq", "-o", str(trace), "-e", f"trace={SYSCALLS}"]
    run_child(home, kind, "trace", durable, prefix)
    expected = []
    for file in KINDS[kind][2]:
        directory = Path(file).parent.as_posix()
        # Windows opens no directory to flush it: the portable steps flush the file only.
        expected += ([("fsync", "~" + file), ("rename", "~" + file, file)]
                     + [("fsync", directory)] * posix_files
                     if durable else [("rename", "~" + file, file)])
    assert traced_events(trace.read_text(), home.resolve()) == expected


# --- a failed write in place keeps the old bytes ----------------------------------------------

@pytest.mark.skipif(sys.platform != "linux", reason="needs RLIMIT_FSIZE and SIGXFSZ as Linux has them")
@pytest.mark.parametrize("kind", list(KINDS))
def test_failed_write_in_place_puts_the_old_bytes_back(tmp_path, kind):
    home = tmp_path / "home"
    outcome = run_child(home, kind, "in place", True)
    files = {p.relative_to(home).as_posix(): p.read_text() for p in home.rglob("*")
             if p.is_file() and ".versions" not in p.parts}  # kept versions are new files
    assert files == outcome["before"]
    reported = outcome["messages"] + (outcome["result"] or [])[1:2]
    failures = [text for text in reported if text.startswith("Failed")]
    assert failures == [KINDS[kind][3] + str(OSError(errno.EFBIG, os.strerror(errno.EFBIG)))]
