"""tests/test_durable_writes.py: writes that survive a power cut, in both modules."""

from __future__ import annotations

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
# argv: home directory, the setup, the write, DURABLE_WRITES as 0 or 1.
CHILD = r'''
import os, sys
from pathlib import Path

home = Path(sys.argv[1])
setup, write, durable = sys.argv[2], sys.argv[3], sys.argv[4] == "1"
from tarvel.core import scheduler
from tarvel.skills import creator

creator.SKILLS_DIR, creator.IMPROVEMENT_LOG = home / "skills", home / "improvement_log.json"
SKILL = dict(description="d", app="a", category="", triggers=["t"], required_params=[], optional_params=[],
             steps=[{"operation": "open_app", "description": "x"}])
python_skill = lambda **changes: {"type": "python", "name": "tool", "description": "d",
                                  "code": "async def run(ctx, params):\n    return {}\n", **changes}
namespace = dict(scheduler=scheduler, creator=creator, home=home, SKILL=SKILL, python_skill=python_skill)
exec(setup, namespace)
scheduler.DURABLE_WRITES = creator.DURABLE_WRITES = durable
(home / "marker").touch()
os.rename(home / "marker", home / "marker-done")  # the trace of the write starts here
exec(write, namespace)
'''

# Each kind of file: the setup that writes its first version, the write that replaces it with a
# larger one, and the files that write replaces in order (relative to the home).
KINDS = {
    "state file": (
        "sch = scheduler.Scheduler(storage_path=home / 'scheduler.json')\n"
        "sch.add_job(scheduler.ScheduledJob(id='a', job_type=scheduler.JobType.ONCE))",
        "sch.add_job(scheduler.ScheduledJob(id='b', prompt='p' * 5000, job_type=scheduler.JobType.ONCE))",
        ["scheduler.json"]),
    "improvement log": (
        "c = creator.SkillCreator()\nc.log_learning('s', 'r')",
        "c.log_learning('s', 'r' * 5000)",
        ["improvement_log.json"]),
    "skill file": (
        "c = creator.SkillCreator()\nc.create_skill(creator.SkillBlueprint('s', **SKILL))",
        "c.create_skill(creator.SkillBlueprint('s', **dict(SKILL, description='d' * 5000)))",
        ["skills/s.json", "improvement_log.json"]),
    "Python script": (
        "c = creator.SkillCreator()\nc.create_from_dict(python_skill())",
        "c.create_from_dict(python_skill(code='#' * 5000 + '\\nasync def run(ctx, params): return {}'))",
        ["skills/tool.py", "skills/tool.json", "improvement_log.json"]),
    "Python metadata": (
        "c = creator.SkillCreator()\nc.create_from_dict(python_skill())",
        "c.create_from_dict(python_skill(description='d' * 5000))",
        ["skills/tool.py", "skills/tool.json", "improvement_log.json"]),
}


def run_child(home, kind, durable, prefix=()):
    setup, write = KINDS[kind][:2]
    home.mkdir(parents=True, exist_ok=True)
    env = dict(os.environ, PYTHONPATH=str(HOST), PYTHONDONTWRITEBYTECODE="1", HOME=str(home))
    command = [*prefix, sys.executable, "-c", CHILD, str(home), setup, write, str(int(durable))]
    subprocess.run(command, env=env, capture_output=True, check=True)


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
    return events[start + 1:]


@pytest.mark.skipif(not strace_works(), reason="needs strace that may trace (ptrace permitted)")
@pytest.mark.parametrize("durable", [True, False])
@pytest.mark.parametrize("kind", list(KINDS))
def test_new_files_reach_the_disk_before_they_replace_the_old(tmp_path, kind, durable):
    home = tmp_path / "home"
    trace = tmp_path / "trace"
    prefix = ["strace", "-f", "-y", "-qq", "-o", str(trace), "-e", f"trace={SYSCALLS}"]
    run_child(home, kind, durable, prefix)
    expected = []
    for file in KINDS[kind][2]:
        directory = Path(file).parent.as_posix()
        expected += ([("fsync", "~" + file), ("rename", "~" + file, file), ("fsync", directory)]
                     if durable else [("rename", "~" + file, file)])
    assert traced_events(trace.read_text(), home.resolve()) == expected
