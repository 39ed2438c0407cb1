"""tests/test_creator_files.py: the creator's native reading and listing agree with pathlib's."""

from __future__ import annotations

import json
import os
import pathlib
import time

import pytest
from conftest import permissions_bind

from tarvel.skills import creator as module

SKILL = {"name": "s", "description": "d\u00e9", "steps": [{"operation": "open_app"}]}


def python_listing(directory):
    """What list_saved_skills reads, through pathlib itself: (file name, parsed value or error)."""
    out = []
    for path in sorted(directory.glob("*.json")):
        try:
            out.append((path.name, json.loads(path.read_text())))
        except Exception as exc:  # noqa: BLE001 - the error text is what is compared
            out.append((path.name, f"{type(exc).__name__}: {exc}"))
    return out


@pytest.mark.parametrize("content", [
    json.dumps(SKILL, indent=2).encode(),                      # what the creator writes
    json.dumps(SKILL, indent=2).replace("\n", "\r\n").encode(),  # CR LF line ends
    json.dumps(SKILL, ensure_ascii=False).encode("utf-8"),     # raw UTF-8
    b"\xef\xbb\xbf" + json.dumps(SKILL).encode(),              # a BOM
    b'{"name": "\xff"}',                                       # not text in this encoding
    b"",                                                       # empty
    b'{"name": "a\rb"}',                                       # a CR inside a string
])
def test_files_read_as_pathlib_reads_them(creator, creator_log, content):
    (module.SKILLS_DIR / "x.json").write_bytes(content)
    expected = python_listing(module.SKILLS_DIR)[0][1]
    source = creator.get_skill_source("x")
    listed = creator.list_saved_skills()
    creator.load_saved_skills()
    if isinstance(expected, dict):
        assert source == expected and listed[0]["description"] == expected.get("description", "")
    else:
        assert source is None and listed == []
        assert creator_log()[-1] == (
            "WARNING", f"Failed to load skill from {module.SKILLS_DIR / 'x.json'}: "
            + expected.split(": ", 1)[1])


def test_directory_listing_matches_sorted_glob(creator):
    skills = module.SKILLS_DIR
    for name in ["b.json", ".hidden.json", ".json", "A.json", "a.JSON", "c.jsonx", "\u00e9.json"]:
        (skills / name).write_text(json.dumps({"version": 1}))
    (skills / "dir.json").mkdir()
    os.symlink(skills / "missing", skills / "broken.json")
    os.close(os.open(os.path.join(os.fsencode(skills), b"\xff.json"), os.O_CREAT | os.O_WRONLY))
    names = [entry["file"] for entry in creator.list_saved_skills()]
    readable = [str(p) for p in sorted(skills.glob("*.json")) if p.is_file() and p.stat().st_size]
    assert names == readable
    assert [s.name for s in creator.load_saved_skills()] == [
        pathlib.Path(p).stem for p in readable]


def test_patched_pathlib_methods_are_honoured(creator, monkeypatch):
    creator.create_skill(module.SkillBlueprint(
        "s", "d", "a", "", ["t"], [], [], [{"operation": "open_app", "description": "x"}]))
    monkeypatch.setattr(pathlib.Path, "read_text", lambda self, *a, **k: '{"name": "patched"}')
    assert creator.get_skill_source("s") == {"name": "patched"}
    monkeypatch.setattr(pathlib.Path, "glob", lambda self, pattern: iter([]))
    assert creator.list_saved_skills() == []



def _replace(path, text):
    path.with_name("new").write_text(text)
    os.replace(path.with_name("new"), path)


@pytest.mark.parametrize("rewrite", [_replace, pathlib.Path.write_text])
def test_a_file_rewritten_with_the_same_size_is_read_afresh(creator, rewrite):
    path = module.SKILLS_DIR / "s.json"
    path.write_text(json.dumps({"triggers": ["a"], "reason": "one"}))
    time.sleep(0.15)  # past the file system clock's tick: what is parsed now is kept
    creator.list_saved_skills()[0]["triggers"].append("changed")  # the caller's own objects
    assert creator.list_saved_skills()[0]["triggers"] == ["a"]
    assert creator.load_saved_skills()[0]._blueprint.triggers == ["a"]
    rewrite(path, json.dumps({"triggers": ["b"], "reason": "two"}))
    for _ in range(2):  # at once, and once the new file's times have settled
        assert [(e["triggers"], e["reason"]) for e in creator.list_saved_skills()] == [(["b"], "two")]
        assert creator.load_saved_skills()[0]._blueprint.reason == "two"
        time.sleep(0.15)


# --- writes do what a plain write does, crash-safely --------------------------------------------

BLUEPRINT = dict(description="d", app="a", category="", triggers=["t"], required_params=[],
                 optional_params=[], steps=[{"operation": "open_app", "description": "x"}])
PYTHON_SKILL = {"type": "python", "name": "tool", "description": "d",
                "code": "async def run(ctx, params):\n    return {}\n"}


def test_writes_go_through_symbolic_links(creator, creator_home, tmp_path):
    real_log, real_skill = tmp_path / "real_log.json", tmp_path / "real_skill.json"
    real_skill.write_text("{}")
    module.IMPROVEMENT_LOG.symlink_to(real_log)
    (module.SKILLS_DIR / "s.json").symlink_to(real_skill)
    creator.create_skill(module.SkillBlueprint("s", **BLUEPRINT))
    assert module.IMPROVEMENT_LOG.is_symlink() and (module.SKILLS_DIR / "s.json").is_symlink()
    assert json.loads(real_skill.read_text())["name"] == "s"
    assert json.loads(real_log.read_text())[0]["action"] == "updated"  # the link's file was v1
    assert sorted(os.listdir(tmp_path)) == ["home", "real_log.json", "real_skill.json"]


def test_replaced_files_keep_their_permission_bits(creator):
    creator.create_from_dict(PYTHON_SKILL)
    script, meta = module.SKILLS_DIR / "tool.py", module.SKILLS_DIR / "tool.json"
    script.chmod(0o750)
    meta.chmod(0o600)
    assert creator.create_from_dict(PYTHON_SKILL)[1].startswith("Updated Python skill 'tool' v2")
    assert (script.stat().st_mode & 0o777, meta.stat().st_mode & 0o777) == (0o750, 0o600)


@pytest.mark.needs_permissions
@pytest.mark.skipif(not permissions_bind(), reason="needs POSIX permissions that bind the process")
def test_read_only_places_are_treated_as_a_plain_write_treats_them(creator, creator_log):
    skill = module.SKILLS_DIR / "s.json"
    creator.create_skill(module.SkillBlueprint("s", **BLUEPRINT))
    skill.chmod(0o444)
    ok, message, _ = creator.create_skill(module.SkillBlueprint("s", **BLUEPRINT))
    assert (ok, message) == (False, f"Failed to save skill: [Errno 13] Permission denied: '{skill}'")
    skill.chmod(0o644)
    module.SKILLS_DIR.chmod(0o555)  # files may change, the directory may not
    try:
        assert creator.create_skill(module.SkillBlueprint("s", **BLUEPRINT))[0]
    finally:
        module.SKILLS_DIR.chmod(0o755)
    # The refused save left version 1, so the save in the read-only directory made version 2.
    assert json.loads(skill.read_text())["version"] == 2


def test_reads_and_listings_raise_the_audit_events_of_python(creator_home):
    # Hooks cannot be removed: a child process keeps this one out of the test session.
    script = f"""
import json, sys
sys.path.insert(0, {str(module.Path(__file__).resolve().parent.parent / "host")!r})
from pathlib import Path
from tarvel.skills import creator
creator.SKILLS_DIR = Path({str(creator_home / "skills")!r})
creator.IMPROVEMENT_LOG = Path({str(creator_home / "log.json")!r})
c = creator.SkillCreator()
(creator.SKILLS_DIR / "a.json").write_text('{{"name": "a"}}')
events = []
sys.addaudithook(lambda e, a: events.append([e, *a]) if e in ("open", "os.scandir") else None)
c.list_saved_skills()
c.get_skill_source("a")
print(json.dumps(events))
"""
    import subprocess
    import sys

    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    skills = str(creator_home / "skills")
    flags = os.O_RDONLY | getattr(os, "O_CLOEXEC", 0)
    opened = ["open", os.path.join(skills, "a.json"), "r", flags]
    assert json.loads(out.stdout) == [["os.scandir", skills], opened, opened]


REPLACING = r"""
import json, os, re, sys
sys.path.insert(0, {host!r})
from pathlib import Path
from tarvel.skills import creator
if {through_python!r}:  # a patched os: every step through Python
    for name in ("replace", "stat", "open", "mkdir"):
        setattr(os, name, lambda *a, real=getattr(os, name), **k: real(*a, **k))
creator.SKILLS_DIR = Path({home!r}) / "skills"
creator.IMPROVEMENT_LOG = Path({home!r}) / "log.json"
c = creator.SkillCreator()
events = []
sys.addaudithook(lambda e, a: events.append([e, *a]) if e in ("open", "os.chmod", "os.rename", "os.mkdir", "fcntl.flock") else None)
c.create_skill(creator.SkillBlueprint("a", "d", "x", "", ["t"], [], [], [{{"operation": "open_app", "description": "x"}}]))
os.chmod(creator.SKILLS_DIR / "a.json", 0o600)
c.create_skill(creator.SkillBlueprint("a", "d", "x", "", ["t"], [], [], [{{"operation": "open_app", "description": "x"}}]))
files = {{p.name: [p.read_text(), oct(p.stat().st_mode)] for p in sorted(creator.SKILLS_DIR.rglob("*")) if p.is_file()}}
text = json.dumps([events, files]).replace(f".{{os.getpid()}}.", ".PID.")
print(re.sub(r"\d{{4}}-\d\d-\d\d \d\d:\d\d:\d\d", "TIME", text))
"""


def test_replacements_raise_the_audit_events_of_python_and_write_the_same(tmp_path):
    import subprocess
    import sys

    host = str(module.Path(__file__).resolve().parent.parent / "host")
    outputs = []
    for through_python in (False, True):
        home = tmp_path / str(through_python)
        script = REPLACING.format(host=host, through_python=through_python, home=str(home))
        out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
        outputs.append(out.stdout.replace(str(home), "HOME"))
    native, python = (json.loads(o) for o in outputs)
    assert native == python
    assert ["os.chmod", "HOME/skills/.a.json.PID.4.tmp", 0o600, -1] in native[0]


@pytest.mark.skipif(not hasattr(os, "mknod") or os.geteuid() != 0, reason="needs mknod")
def test_a_device_is_written_to_not_replaced(creator, creator_home, monkeypatch):
    null = creator_home / "null"
    os.mknod(null, 0o666 | __import__("stat").S_IFCHR, os.makedev(1, 3))
    monkeypatch.setattr(module, "IMPROVEMENT_LOG", null)
    creator.log_learning("s", "r")
    assert null.is_char_device() and null.read_text() == ""


def test_saves_from_several_threads_never_collide(creator, creator_home, creator_log):
    import threading

    def save_many():
        for _ in range(100):
            creator._save_improvement_log()

    creator.log_learning("s", "r")
    threads = [threading.Thread(target=save_many) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert creator_log() == [] and json.loads(module.IMPROVEMENT_LOG.read_text())[0]["reason"] == "r"
    assert sorted(os.listdir(creator_home)) == ["improvement_log.json", "improvement_log.json.lock",
                                                "skills"]
