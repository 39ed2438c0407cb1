"""tests/test_creator_files.py: the creator's native reading and listing agree with pathlib's."""

from __future__ import annotations

import json
import os
import pathlib

import pytest

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
