"""tests/test_docs_blocks.py: every code block of the README and docs/ runs, so an example that fails fails the build.

Python blocks run in a fresh interpreter through the stand-in host, with a few names a
reader would have at hand (`scheduler`, `job`, `on_fire`, `on_event`, `creator`); blocks of
`>>>` lines run as doctests, in order, in one session whose skills are those the text shows.
JSON blocks are loaded by the modules and saved back byte for byte; shell blocks name
commands that exist; the C++ block is an excerpt of the source.
"""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
HOST = ROOT / "host"
DOCS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
FENCE = re.compile(r"^( *)```(\w*)\n(.*?)^\1```", re.S | re.M)


def blocks(language):
    found = []
    for doc in DOCS:
        text = doc.read_text(encoding="utf-8")
        for m in FENCE.finditer(text):
            if m.group(2) == language:
                where = f"{doc.relative_to(ROOT)}:{text.count(chr(10), 0, m.start()) + 1}"
                found.append(pytest.param(re.sub(rf"^{m.group(1)}", "", m.group(3), flags=re.M), id=where))
    return found


def test_every_block_names_its_language():
    languages = {m.group(2) for doc in DOCS for m in FENCE.finditer(doc.read_text(encoding="utf-8"))}
    assert languages <= {"python", "json", "sh", "cpp", "text"}


# Run in the block's interpreter before it: what a reader of the surrounding text has at hand.
PRELUDE = """
import asyncio, time
from pathlib import Path
from tarvel.core.scheduler import *
from tarvel.skills import creator as _module
from tarvel.skills.engine import SkillRegistry

async def on_fire(job):
    return f"agent ran: {job.prompt}"

async def on_event(event):
    pass

scheduler = Scheduler(on_fire, on_event)
job = scheduler.add_job(ScheduledJob(name="remind", job_type=JobType.INTERVAL, interval_seconds=60, prompt="p"))
creator, registry = _module.get_skill_creator(), SkillRegistry()
__path__ = []
"""

# Runs one block: top-level await is allowed, as in `python -m asyncio`.
DRIVER = """
import ast, asyncio, inspect, sys
names = {"__name__": "__main__"}
exec(compile(sys.argv[1], "prelude", "exec"), names)
code = compile(sys.argv[2], sys.argv[3], "exec", flags=ast.PyCF_ALLOW_TOP_LEVEL_AWAIT)
if code.co_flags & inspect.CO_COROUTINE:
    asyncio.run(eval(code, names))
else:
    exec(code, names)
"""


@pytest.mark.parametrize("source", [b for b in blocks("python") if ">>>" not in b.values[0]])
def test_python_block_runs(source, tmp_path):
    env = dict(os.environ, PYTHONPATH=str(HOST), HOME=str(tmp_path), TARVEL_DIR=str(tmp_path / ".tarvel"))
    done = subprocess.run([sys.executable, "-c", DRIVER, PRELUDE, source, "block"], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr


def play_song_versions(creator, registry):
    """play_song saved three times, on the days the listing in docs/creator.md shows."""
    from datetime import datetime

    import tarvel.skills.creator as module

    for description, saved in [("Play a song", "2025-03-01 09:12:40"), ("Play a song, louder", "2025-03-02 18:03:11"),
                               ("Play a song, twice", "2025-03-04 07:55:02")]:
        ok, message, _ = creator.create_from_dict({
            "name": "play_song", "description": description, "app": "spotify", "category": "music",
            "triggers": ["play a song"], "steps": [{"operation": "open_app", "description": "Open", "params": {}}],
        }, registry)
        assert ok, message
        stamp = datetime.strptime(saved, "%Y-%m-%d %H:%M:%S").timestamp()
        os.utime(module.SKILLS_DIR / "play_song.json", (stamp, stamp))


def test_doctest_blocks_give_what_they_show(creator_home):
    import doctest

    from tarvel.skills.creator import SkillCreator
    from tarvel.skills.engine import SkillRegistry

    creator, registry = SkillCreator(), SkillRegistry()
    play_song_versions(creator, registry)
    session = {"creator": creator, "registry": registry}
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE | doctest.ELLIPSIS)
    for block in blocks("python"):
        if ">>>" in block.values[0]:
            test = doctest.DocTestParser().get_doctest(block.values[0], session, block.id, block.id, 0)
            runner.run(test, clear_globs=False)
    result = runner.summarize(verbose=False)
    assert result.failed == 0 and result.attempted > 5


def json_block(kind):
    """The docs' JSON example of a stored file: the state file, a skill, a Python skill's metadata, the log."""
    [text] = [b.values[0] for b in blocks("json") if kind(json.loads(b.values[0]))]
    return text


def test_state_file_example_loads_whole_and_saves_back_the_same(path):
    from tarvel.core.scheduler import Scheduler

    text = json_block(lambda d: isinstance(d, dict) and "jobs" in d)
    path.parent.mkdir()
    path.write_text(text)
    scheduler = Scheduler(storage_path=path)
    assert len(scheduler._jobs) == len(json.loads(text)["jobs"]) > 0
    path.unlink()
    scheduler._save()
    assert path.read_text() == text.rstrip("\n")


def test_skill_examples_load(creator_home):
    from tarvel.skills.creator import SkillCreator

    simple = json.loads(json_block(lambda d: isinstance(d, dict) and "steps" in d))
    python = json.loads(json_block(lambda d: isinstance(d, dict) and d.get("type") == "python"))
    skills = creator_home / "skills"
    skills.mkdir(parents=True)
    (skills / f"{simple['name']}.json").write_text(json.dumps(simple))
    (skills / f"{python['name']}.json").write_text(json.dumps(python))
    (skills / python["script"]).write_text("async def run(ctx, params):\n    return 'ok'\n")
    listed = {entry["name"] for entry in SkillCreator().list_saved_skills()}
    assert listed == {simple["name"], python["name"]}
    assert sorted(skill.name for skill in SkillCreator().load_saved_skills()) == sorted(listed)


def test_improvement_log_example_loads_whole(creator_home):
    from tarvel.skills.creator import SkillCreator

    text = json_block(lambda d: isinstance(d, list))
    creator_home.mkdir(parents=True)
    (creator_home / "improvement_log.json").write_text(text)
    assert len(SkillCreator()._improvement_log) == len(json.loads(text)) > 0


@pytest.mark.parametrize("source", blocks("sh"))
def test_shell_block_names_commands_that_exist(source):
    for line in source.splitlines():
        command = line.split("#")[0].split()
        assert command[0] == "bash" and (ROOT / command[1]).is_file(), line
        assert subprocess.run(["bash", "-n", str(ROOT / command[1])]).returncode == 0


@pytest.mark.parametrize("source", blocks("cpp"))
def test_cpp_block_is_an_excerpt_of_the_source(source):
    sources = "\n".join(p.read_text() for p in ROOT.glob("core/**/*.cpp"))
    shown = [line for line in source.splitlines() if line.strip() != "..."]
    head = [line.split("//")[0].rstrip() for line in shown]
    assert "\n".join(head[:-1]) in sources  # all but the closing brace, comments aside


def test_api_reference_is_current():
    """docs/api.md is what tools/api_docs.py writes from the modules: every public name, as it is."""
    sys.path.insert(0, str(ROOT / "tools"))
    try:
        import api_docs
    finally:
        sys.path.remove(str(ROOT / "tools"))
    assert (ROOT / "docs" / "api.md").read_text(encoding="utf-8") == api_docs.page(), \
        "run: PYTHONPATH=host python tools/api_docs.py > docs/api.md"
