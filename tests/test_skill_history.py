"""tests/test_skill_history.py: kept versions of skills, list_skill_versions and rollback_skill."""

from __future__ import annotations

import concurrent.futures
import json
import os
import pathlib
import signal
import subprocess
import sys
import threading
from datetime import datetime

import pytest
from conftest import killed_runs, run_at_once

from tarvel.skills import creator as module
from tarvel.skills.engine import SkillRegistry

HOST = pathlib.Path(__file__).resolve().parent.parent / "host"


def simple(n, name="play"):
    return {"name": name, "description": f"Play v{n}", "app": "a", "category": "music",
            "triggers": ["t"], "steps": [{"operation": "open_app", "description": "s"}] * n}


def python(n, name="tool"):
    return {"type": "python", "name": name, "description": f"Tool v{n}",
            "code": f"async def run(ctx, params):\r\n    return {{'v': {n}}}\n"}


def twin(record):
    """The bytes the creator stores for a record."""
    return json.dumps(record, indent=2).replace("\n", os.linesep).encode()


def local(ns):
    return datetime.fromtimestamp(ns / 1e9).strftime("%Y-%m-%d %H:%M:%S")


def tree(directory):
    """Every file under `directory` with its bytes."""
    return {p.relative_to(directory).as_posix(): p.read_bytes()
            for p in sorted(directory.rglob("*")) if p.is_file()}


def kept(name):
    return module.SKILLS_DIR / ".versions" / name


def save(creator, data, saved):
    """Creates or updates a skill and notes what it stored: {version: {file name: (bytes, mtime_ns)}}."""
    assert creator.create_from_dict(data)[0] is True
    files = [data["name"] + ".json"] + [data["name"] + ".py"] * ("code" in data)
    stored = {f: ((module.SKILLS_DIR / f).read_bytes(), (module.SKILLS_DIR / f).stat().st_mtime_ns)
              for f in files}
    saved[json.loads(stored[files[0]][0])["version"]] = stored


def test_versions_are_kept_listed_and_rolled_back_byte_for_byte(creator, creator_home):
    plays, tools = {}, {}
    for n in range(1, 5):
        save(creator, simple(n), plays)
    for n in range(1, 4):
        save(creator, python(n), tools)
    assert creator.delete_skill("tool") == (True, "Deleted skill 'tool'")
    assert sorted(os.listdir(module.SKILLS_DIR)) == [".lock", ".versions", "play.json", "tool.py"]
    assert tree(kept("play")) == {f"v{v}.json": plays[v]["play.json"][0] for v in (1, 2, 3)}
    assert tree(kept("tool")) == {f"v{v}{suffix}": tools[v]["tool" + suffix][0]
                                  for v in (1, 2, 3) for suffix in (".json", ".py")}
    assert [(p.name, p.stat().st_mtime_ns) for p in sorted(kept("play").iterdir())] == [
        (f"v{v}.json", plays[v]["play.json"][1]) for v in (1, 2, 3)]  # when each was saved
    # the store sees the stored skills only
    assert [s["name"] for s in creator.list_saved_skills()] == ["play"]
    assert creator.load_into_registry(SkillRegistry()) == 1
    assert creator.get_improvement_stats()["active_custom_skills"] == 1

    def listing(name, versions, current):
        files = plays if name == "play" else tools
        return [{"version": v, "file": f"v{v}.json", "kind": "simple" if name == "play" else "python",
                 "saved_at": local(files[v][name + ".json"][1]),
                 "description": f"{name.title()} v{v}", "current": False} for v in versions] + current

    play_now = {"version": 4, "file": "play.json", "kind": "simple",
                "saved_at": local(plays[4]["play.json"][1]), "description": "Play v4", "current": True}
    assert creator.list_skill_versions("play") == listing("play", [1, 2, 3], [play_now])
    assert creator.list_skill_versions("tool") == listing("tool", [1, 2, 3], [])

    registry = SkillRegistry()
    for new, back in enumerate([1, 2, 3, 4, 2], start=5):
        before = (module.SKILLS_DIR / "play.json").read_bytes()
        ok, message = creator.rollback_skill("play", back, registry)
        assert (ok, message) == (True, f"Rolled back skill 'play' to v{back}: Updated skill 'play' "
                                       f"v{new} ({back} steps, category: music). It's now available "
                                       "for use.")
        original = json.loads(plays[back]["play.json"][0])
        assert (module.SKILLS_DIR / "play.json").read_bytes() == twin({**original, "version": new})
        assert (kept("play") / f"v{new - 1}.json").read_bytes() == before
        assert registry._skills["play"]._blueprint.version == new
        entry = creator._improvement_log[-1]
        assert (entry.action, entry.reason) == ("updated", f"Rolled back to v{back}")
        assert entry.details == {"version": new, "steps": back, "category": "music", "app": "a",
                                 "triggers": ["t"], "rolled_back_to": back}

    ok, message = creator.rollback_skill("tool", 2)  # a deleted skill comes back
    assert ok and message.startswith("Rolled back skill 'tool' to v2: Updated Python skill 'tool' v4")
    assert (module.SKILLS_DIR / "tool.py").read_bytes() == tools[2]["tool.py"][0]
    original = json.loads(tools[2]["tool.json"][0])
    assert (module.SKILLS_DIR / "tool.json").read_bytes() == twin({**original, "version": 4})
    assert creator._improvement_log[-1].details["rolled_back_to"] == 2
    assert [(v["version"], v["current"]) for v in creator.list_skill_versions("tool")] == [
        (1, False), (2, False), (3, False), (4, True)]


def test_a_name_used_again_numbers_its_copies_on(creator):
    for data in (simple(1), simple(2)):
        creator.create_from_dict(data)
    creator.delete_skill("play")
    for data in (simple(3), simple(4), simple(5)):  # starts again at v1
        creator.create_from_dict(data)
    versions = creator.list_skill_versions("play")
    assert [(v["version"], v["file"], v["description"]) for v in versions] == [
        (1, "v1.json", "Play v1"), (2, "v2.json", "Play v2"), (1, "v1-2.json", "Play v3"),
        (2, "v2-2.json", "Play v4"), (3, "play.json", "Play v5")]
    assert creator.rollback_skill("play", 1)[0] is True  # the newest copy of v1
    assert creator.get_skill_source("play")["description"] == "Play v3"
    assert creator.get_skill_source("play")["version"] == 4


class WindowsDatetime(datetime):
    """datetime as Windows converts local times: nothing before 1970."""

    @classmethod
    def fromtimestamp(cls, t, tz=None):
        if t < 0:
            raise OSError(22, "Invalid argument")
        return super().fromtimestamp(t, tz)


def test_a_version_dated_before_1970_lists_as_invalid_where_the_platform_cannot_convert(creator, monkeypatch):
    for n in (1, 2):
        creator.create_from_dict(simple(n))
    os.utime(kept("play") / "v1.json", (-86400, -86400))
    monkeypatch.setattr(module, "datetime", WindowsDatetime)
    assert [v["saved_at"] == "Invalid" for v in creator.list_skill_versions("play")] == [True, False]


def test_code_of_python_skills_and_their_kept_versions(creator):
    for data in (python(1), python(2), simple(3, name="tool"), python(4), simple(1)):
        assert creator.create_from_dict(data)[0] is True
    code = {n: python(n)["code"] for n in (1, 2, 4)}
    expected = {None: code[4], 1: code[1], 2: code[2], 3: None, 4: code[4], 5: None}
    assert {version: creator.get_skill_code("tool", version) for version in expected} == expected
    assert [creator.get_skill_code(name, version)  # a simple skill, and none at all
            for name in ("play", "other") for version in (None, 1)] == [None] * 4
    assert creator.delete_skill("tool")[0] and (module.SKILLS_DIR / "tool.py").exists()
    assert creator.get_skill_code("tool") is None  # a script alone is no skill
    assert creator.get_skill_code("tool", version=4) == code[4]


@pytest.mark.parametrize("name, version, folder, stem, found", [
    ("tool", 1, "skills/.versions/tool", "v1", True),  # a copy as the creator keeps one
    ("tool", None, "skills", "tool", True),
    ("..", 1, "skills", "v1", False),
    (".", 1, "skills/.versions", "v1", False),
    ("", 1, "skills/.versions", "v1", False),
    ("../tool", None, ".", "tool", False),
    ("../tool", 1, "skills/tool", "v1", False),
    ("a\\b", None, "skills", "a\\b", False),
    ("a\\b", 1, "skills/.versions/a\\b", "v1", False),
    ("tool\0", None, "skills", "tool", False),
])
def test_code_is_read_only_through_names_the_store_takes(creator, creator_home, name, version,
                                                        folder, stem, found):
    directory = creator_home / folder
    directory.mkdir(parents=True, exist_ok=True)
    (directory / f"{stem}.json").write_text('{"type": "python", "version": 1}')
    (directory / f"{stem}.py").write_text("secret")
    assert creator.get_skill_code(name, version) == ("secret" if found else None)


def test_a_copy_is_kept_once_however_often_the_save_fails(creator, monkeypatch):
    creator.create_from_dict(simple(1))
    monkeypatch.setattr(pathlib.Path, "unlink", lambda self, missing_ok=False: 1 / 0)
    for _ in range(3):
        assert creator.delete_skill("play") == (False, "Failed to delete: division by zero")
    assert os.listdir(kept("play")) == ["v1.json"]


@pytest.mark.parametrize("action", [
    lambda c: c.create_from_dict(simple(2))[0],
    lambda c: c.create_from_dict(python(1, name="play"))[0],
    lambda c: c.delete_skill("play")[0],
])
def test_failure_to_keep_a_copy_never_stops_the_save(creator, creator_log, action):
    creator.create_from_dict(simple(1))
    (module.SKILLS_DIR / ".versions").write_text("in the way")
    with pytest.raises(OSError) as error:
        kept("play").mkdir(parents=True, exist_ok=True)
    assert action(creator) is True
    assert ("WARNING", f"Failed to keep a copy of skill 'play' v1: {error.value}") in creator_log()
    assert creator._improvement_log[-1].action in ("updated", "deleted")


@pytest.mark.parametrize("name, version, message", [
    ("play", 3, "Skill 'play' has no version 3 (saved versions: 1, 2)"),
    ("other", 1, "Skill 'other' has no saved versions"),
    *[(name, 1, f"Invalid skill name '{name}'") for name in ("", ".", "..", "../play", "a\\b")],
])
def test_unknown_names_and_versions_change_nothing(creator, creator_home, name, version, message):
    creator.create_from_dict(simple(1))
    creator.create_from_dict(simple(2))
    before, entries = tree(creator_home), list(creator._improvement_log)
    assert creator.rollback_skill(name, version) == (False, message)
    assert tree(creator_home) == before and creator._improvement_log == entries
    assert (creator.list_skill_versions(name) == []) == (name != "play")


@pytest.mark.parametrize("method, args", [
    ("list_skill_versions", (None,)), ("list_skill_versions", (b"play",)),
    ("rollback_skill", (5, 1)), ("rollback_skill", ("play", "1")), ("rollback_skill", ("play", True)),
    ("rollback_skill", ("play", 1.0)), ("rollback_skill", ("play",)),
    ("get_skill_code", (None,)), ("get_skill_code", (b"play",)), ("get_skill_code", ("play", "1")),
    ("get_skill_code", ("play", True)), ("get_skill_code", ("play", 1.0)),
])
def test_arguments_of_other_types_are_refused(creator, method, args):
    creator.create_from_dict(simple(1))
    with pytest.raises(TypeError):
        getattr(creator, method)(*args)
    assert len(creator._improvement_log) == 1


ROLLER = r'''
import pathlib, sys, tarvel.skills.creator as m
m.SKILLS_DIR, m.IMPROVEMENT_LOG = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
creator = m.SkillCreator()
for n in range(10**9):
    ok, message = creator.rollback_skill("play", 1 + n % 2)
    assert ok, message
    if n == 0:
        print("rolling", flush=True)
'''


@pytest.mark.skipif(not hasattr(signal, "SIGKILL"), reason="needs POSIX signals")
def test_killed_rollback_leaves_a_whole_skill_file(creator, creator_home, tmp_path):
    contents = [simple(1), {**simple(2), "steps": [{"operation": "open_app", "description": "x" * 200000}]}]
    for data in contents:
        creator.create_from_dict(data)
    shapes = [{k: v for k, v in json.loads((kept("play") / "v1.json").read_text()).items()
               if k != "version"}, creator.get_skill_source("play")]
    del shapes[1]["version"]

    def whole(path):
        content = path.read_bytes()
        try:
            record = json.loads(content)
        except ValueError:
            return False
        return content == twin(record) and {k: v for k, v in record.items()
                                            if k != "version"} in shapes

    env = dict(os.environ, PYTHONPATH=str(HOST), HOME=str(tmp_path / "child-home"))
    skill = module.SKILLS_DIR / "play.json"
    args = [sys.executable, "-c", ROLLER, str(module.SKILLS_DIR), str(module.IMPROVEMENT_LOG)]
    for seen in killed_runs(args, env, b"rolling\n", lambda: whole(skill), 6):
        assert all(seen), "the skill file was seen partly written"
    assert all(whole(copy) for copy in kept("play").glob("*.json"))
    # A kill between keeping the old version and writing the new one leaves that version
    # kept and still current: listed twice, nothing lost.
    numbers = [v["version"] for v in creator.list_skill_versions("play")]
    assert numbers == sorted(numbers) and sorted(set(numbers)) == list(range(1, numbers[-1] + 1))


# --- one writer at a time ---------------------------------------------------------------------

UPDATES = 300  # per writer

UPDATER = r'''
import pathlib, sys, time, tarvel.skills.creator as m
go, m.SKILLS_DIR, m.IMPROVEMENT_LOG = (pathlib.Path(a) for a in sys.argv[1:4])
m.DURABLE_WRITES = False  # the disk plays no part in who writes when
creator = m.SkillCreator()
print("ready", flush=True)
while not go.exists():
    time.sleep(0.001)
for n in range(int(sys.argv[5])):
    ok, message, _ = creator.create_from_dict({**%r, "description": f"{sys.argv[4]}{n}"})
    assert ok, message
''' % simple(1, name="s")


def update_in_processes(tmp_path):
    run_at_once(tmp_path, UPDATER, *([module.SKILLS_DIR, module.IMPROVEMENT_LOG, writer, UPDATES] for writer in "ab"))


def update_in_threads(tmp_path):
    start = threading.Barrier(2)

    def update(writer):
        creator = module.SkillCreator()
        start.wait()
        for n in range(UPDATES):
            ok, message, _ = creator.create_from_dict({**simple(1, name="s"), "description": f"{writer}{n}"})
            assert ok, message

    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        for done in [pool.submit(update, writer) for writer in "ab"]:
            done.result()


@pytest.mark.parametrize("writers", [update_in_processes, update_in_threads])
def test_two_writers_of_one_skill_keep_every_version_once(creator_home, tmp_path, monkeypatch, writers):
    monkeypatch.setattr(module, "DURABLE_WRITES", False)
    module.SKILLS_DIR.mkdir(parents=True)
    writers(tmp_path)
    records = [json.loads(p.read_text()) for p in [module.SKILLS_DIR / "s.json", *kept("s").glob("*.json")]]
    assert sorted(r["description"] for r in records) == sorted(f"{w}{n}" for w in "ab" for n in range(UPDATES))
    assert sorted(r["version"] for r in records) == list(range(1, 2 * UPDATES + 1))
