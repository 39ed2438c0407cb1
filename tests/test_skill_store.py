"""tests/test_skill_store.py: the store of saved skills, get_skill_creator and the statistics."""

import json
import os
import pathlib
import types
from datetime import datetime

import pytest

from tarvel.skills import creator as module
from tarvel.skills.creator import DynamicSkill, ImprovementEntry, SkillBlueprint, SkillCreator
from tarvel.skills.engine import SkillRegistry

CODE = "async def run(ctx, params):\n    return {}\n"
DEFAULTS = dict(name="stem", description="", app="", category="custom", triggers=[],
                required_params=[], optional_params=[], steps=[], reason="", version=1)
ENTRY_KEYS = ["name", "description", "app", "category", "version", "triggers", "steps_count",
              "reason", "file"]
STATS_KEYS = ["total_improvements", "skills_created", "skills_updated", "skills_deleted",
              "learnings_recorded", "active_custom_skills", "categories_covered"]
Falsy = type("Falsy", (SkillRegistry,), {"__bool__": lambda self: False})


def save(name, content):
    """Writes a skill file straight into the skills directory: JSON for a value, else the text."""
    path = module.SKILLS_DIR / name
    path.write_text(content if isinstance(content, str) else json.dumps(content))
    return path


def simple(name, category="music", steps=1):
    return {"name": name, "description": "d", "app": "a", "category": category,
            "triggers": ["t"], "steps": [{"operation": "open_app", "description": "s"}] * steps}


def python(name="greet", **changes):
    return {"type": "python", "name": name, "code": CODE, "description": "d", **changes}


def stored(directory):
    """The names in `directory` but the folder of kept versions and the store's lock file."""
    return sorted(name for name in os.listdir(directory) if name not in (".versions", ".lock"))


def error_text(action):
    """The text of the exception `action` raises."""
    with pytest.raises(Exception) as error:
        action()
    return str(error.value)


def live_registry(*names, cls=SkillRegistry):
    registry = cls()
    registry._skills.update((name, object()) for name in names)
    return registry


class Failing(SkillRegistry):
    """A live registry that refuses the skill named b."""

    def register(self, skill):
        if skill.name == "b":
            raise RuntimeError("cannot register b")
        super().register(skill)


# --- loading and listing ------------------------------------------------------------------------

def test_files_are_loaded_and_registered_in_ascending_path_order(creator, creator_log):
    for name in ["b.json", "a.json", "c.json", "d.txt"]:
        save(name, simple(name[0]))
    (module.SKILLS_DIR / "sub").mkdir()
    save("sub/e.json", simple("e"))
    assert [e["name"] for e in creator.list_saved_skills()] == ["a", "b", "c"]
    live = SkillRegistry()
    assert creator.load_into_registry(live) == 3 and list(live._skills) == ["a", "b", "c"]
    assert all(type(skill) is DynamicSkill for skill in live._skills.values())
    assert creator_log() == [("INFO", f"Loaded saved skill: {name} v1") for name in "abc"]
    failing = Failing()
    with pytest.raises(RuntimeError, match="cannot register b"):
        creator.load_into_registry(failing)
    assert list(failing._skills) == ["a"]


@pytest.mark.parametrize("content", [
    {},
    {"name": "other", "version": 5, "steps": [{}, {}], "category": "", "type": "python",
     "script": "x.py", "reason": "r", "required_params": ["p"]},
    {"name": None, "triggers": "t", "version": "v9", "description": 3},
])
def test_missing_keys_take_defaults(creator, creator_log, content):
    path = save("stem.json", content)
    fields = {key: content.get(key, default) for key, default in DEFAULTS.items()}
    [skill] = creator.load_saved_skills()
    assert type(skill) is DynamicSkill and skill._blueprint == SkillBlueprint(**fields)
    fresh = [id(getattr(skill._blueprint, k)) for k, v in DEFAULTS.items()
             if v == [] and k not in content]
    assert len(set(fresh)) == len(fresh)
    assert creator_log() == [("INFO", f"Loaded saved skill: {fields['name']} v{fields['version']}")]
    [entry] = creator.list_saved_skills()
    assert list(entry) == ENTRY_KEYS and entry == {
        **{key: fields[key] for key in ENTRY_KEYS if key in fields},
        "steps_count": len(fields["steps"]), "file": str(path)}


@pytest.fixture(params=["native", "pathlib"])
def listing(request, monkeypatch):
    """How the store lists its directory: natively, or through a glob the host has wrapped (the
    patterns it was called with)."""
    calls = []
    if request.param == "pathlib":
        glob = pathlib.Path.glob
        monkeypatch.setattr(pathlib.Path, "glob",
                            lambda self, pattern: calls.append(pattern) or glob(self, pattern))
    return calls


def test_listing_with_types(creator, listing):
    creator.create_from_dict(python())
    save("play.json", simple("play"))
    save("odd.json", {"type": "Python", "name": "odd"})  # any other type is a simple skill
    save("spy.json", {"type": ["python"]})
    plain = creator.list_saved_skills()
    assert [list(entry) for entry in plain] == [ENTRY_KEYS] * 4
    for typed in (creator.list_saved_skills(True), creator.list_saved_skills(with_type=True)):
        assert [entry.pop("type") for entry in typed] == ["python", "simple", "simple", "simple"]
        assert typed == plain
    assert creator.list_saved_skills() == plain  # the typed listing leaves the plain one as it was
    assert listing in ([], ["*.json"] * 4)  # each listing took the road it was given


@pytest.mark.parametrize("content, fault", [
    ("[1, 2]", lambda: [1, 2].get), ("null", lambda: None.get), ("true", lambda: True.get),
    ("{broken", lambda: json.loads("{broken")),
    ('{"name": "b", "steps": 5}', None),  # loads, but has no step count to list
])
def test_bad_files_are_skipped(creator, creator_log, content, fault):
    for name, text in [("a", json.dumps(simple("a"))), ("b", content), ("c", "{}")]:
        save(name + ".json", text)
    loaded = ["a", "c"] if fault else ["a", "b", "c"]
    assert [s.name for s in creator.load_saved_skills()] == loaded
    bad = module.SKILLS_DIR / "b.json"
    assert creator_log() == [
        ("INFO", "Loaded saved skill: a v1"),
        ("WARNING", f"Failed to load skill from {bad}: {error_text(fault)}") if fault else
        ("INFO", "Loaded saved skill: b v1"),
        ("INFO", "Loaded saved skill: c v1")]
    assert [e["name"] for e in creator.list_saved_skills()] == ["a", "c"]
    assert len(creator_log()) == 3
    assert creator.get_skill_source("b") == (None if fault else json.loads(content))
    assert creator.get_skill_source("c") == {}


def test_missing_directory_gives_empty_results(creator, creator_log):
    module.SKILLS_DIR.rmdir()
    registry = SkillRegistry()
    assert creator.load_saved_skills() == [] and creator.list_saved_skills() == []
    assert creator.load_into_registry(registry) == 0 and registry._skills == {}
    assert creator.delete_skill("x") == (False, "Skill 'x' not found")
    assert creator.get_skill_source("x") is None
    assert creator_log() == [] and not module.SKILLS_DIR.exists()


# --- showing and deleting -----------------------------------------------------------------------

@pytest.mark.parametrize("registry, left", [
    (None, None),
    (live_registry("play", "other"), ["other"]),
    (live_registry("other"), ["other"]),
    (live_registry("play", cls=Falsy), []),
    (types.SimpleNamespace(skills={"play": 1}), ["play"]),  # no _skills: left alone
])
def test_delete_removes_the_file_and_the_live_skill(creator, registry, left):
    path = save("play.json", simple("play"))
    assert creator.delete_skill("play", registry) == (True, "Deleted skill 'play'")
    assert not path.exists()
    if registry is not None:
        assert list(registry._skills if hasattr(registry, "_skills") else registry.skills) == left
    [entry] = creator._improvement_log
    assert entry.to_dict() == {"timestamp": entry.timestamp, "action": "deleted",
                               "skill_name": "play", "reason": "Skill deleted by agent or user",
                               "details": {}, "success": True}
    datetime.strptime(entry.timestamp, "%Y-%m-%d %H:%M:%S")
    assert json.loads(module.IMPROVEMENT_LOG.read_text()) == [entry.to_dict()]


def test_delete_keeps_a_python_skills_script(creator):
    creator.create_from_dict(python())
    assert creator.get_skill_source("greet")["script"] == "greet.py"
    assert creator.delete_skill("greet") == (True, "Deleted skill 'greet'")
    assert stored(module.SKILLS_DIR) == ["greet.py"]
    assert creator.delete_skill("greet") == (False, "Skill 'greet' not found")
    assert [e.action for e in creator._improvement_log] == ["created", "deleted"]


def test_get_skill_creator_is_a_singleton(creator_home):
    assert module._creator_instance is None and not (creator_home / "skills").exists()
    first = module.get_skill_creator()
    assert type(first) is SkillCreator and module.get_skill_creator() is first
    assert module._creator_instance is first and (creator_home / "skills").is_dir()


# --- statistics ---------------------------------------------------------------------------------

def stats_of(creator):
    stats = creator.get_improvement_stats()
    assert list(stats) == STATS_KEYS and type(stats["categories_covered"]) is list
    return list(stats.values())[:-1] + [sorted(stats["categories_covered"])]


def test_statistics(creator):
    assert stats_of(creator) == [0, 0, 0, 0, 0, 0, []]
    save("b.json", simple("b"))
    save("c.json", {"name": "c"})
    save("d.json", "[1]")
    save("e.json", {"category": "gaming", "steps": 5})
    creator.create_from_dict(simple("a"))
    creator.create_from_dict(simple("a", category="travel"))
    creator.create_from_dict(python("p"))
    creator.log_learning("a", "worked well")
    for action in ["Created", "LEARNED", "removed", ""]:  # counted in the total only
        creator._improvement_log.append(ImprovementEntry("2024-01-01 00:00:00", action, "s", "r"))
    assert stats_of(creator) == [8, 2, 1, 0, 1, 4, ["custom", "music", "travel"]]
    creator.delete_skill("a")
    assert stats_of(creator) == [9, 2, 1, 1, 1, 3, ["custom", "music"]]


class Slotted:
    __slots__ = ("action",)

    def __init__(self, action):
        self.action = action


class Computed:
    action = property(lambda self: "learned")


class Fallback:
    def __getattr__(self, name):
        return "updated"


class Loud(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        return other == "deleted"


def test_statistics_read_each_entrys_action_as_getattr_does(creator):
    changed, moved, spelled = (ImprovementEntry("2024-01-01", "created", "s", "r") for _ in "abc")
    changed.action = "deleted"
    del moved.action
    moved.action = "learned"  # its key now comes last
    del spelled.action
    spelled.__dict__["".join(["act", "ion"])] = "updated"  # a key equal to the name, not it
    creator._improvement_log = [changed, moved, spelled, Slotted("created"), Computed(),
                                Fallback(), ImprovementEntry("2024-01-01", Loud("x"), "s", "r")]
    assert stats_of(creator)[:5] == [7, 1, 2, 2, 2]
    del changed.action
    with pytest.raises(AttributeError, match="'ImprovementEntry' object has no attribute 'action'"):
        creator.get_improvement_stats()


# --- names that must not reach other files --------------------------------------------------------

@pytest.fixture
def planted(creator_home):
    """A skill-like file beside the skills directory, where no skill name may lead."""
    secret = creator_home / "secret.json"
    secret.write_text('{"name": "secret", "version": 1}')
    return secret


@pytest.mark.parametrize("name", [
    "../secret", "sub/../../secret", "..\\secret", "C:secret", "secret\0",
    None,  # the planted file's absolute path without its suffix
])
def test_names_with_separators_are_refused(creator, planted, name):
    name = name or str(planted)[: -len(".json")]
    inside = module.SKILLS_DIR / (name.replace("\0", "") + ".json")
    if "/" not in name:  # even a file of that name in the directory is not touched
        inside.write_text("{}")
    registry = live_registry(name)
    assert creator.delete_skill(name, registry) == (False, "Invalid skill name '" + name + "'")
    assert creator.get_skill_source(name) is None
    assert planted.read_text() == '{"name": "secret", "version": 1}'
    assert ("/" in name or inside.exists()) and list(registry._skills) == [name]
    assert creator._improvement_log == [] and not module.IMPROVEMENT_LOG.exists()


def test_names_without_separators_still_work(creator, planted):
    for name in ["..", "...", ".hidden", "a..b"]:
        save(name + ".json", simple(name))
        assert creator.get_skill_source(name)["name"] == name
        assert creator.delete_skill(name) == (True, f"Deleted skill '{name}'")
    assert planted.exists() and stored(module.SKILLS_DIR) == []


# --- crash-safe writes --------------------------------------------------------------------------

def test_updates_replace_the_files_instead_of_rewriting_them(creator, tmp_path):
    creator.create_from_dict(simple("play"))
    creator.create_from_dict(python())
    names = ["greet.json", "greet.py", "play.json"]
    for name in names:
        os.link(module.SKILLS_DIR / name, tmp_path / name)
    old = {name: (tmp_path / name).read_bytes() for name in names}
    assert creator.create_from_dict(simple("play", steps=2))[0] is True
    assert creator.create_from_dict(python(code=CODE + "# v2\n"))[0] is True
    for name in names:
        new = (module.SKILLS_DIR / name).read_bytes()
        assert (tmp_path / name).read_bytes() == old[name] != new
    assert stored(module.SKILLS_DIR) == names


def write(name):
    """Writing `name` in the skills directory: fails as the creator's save of it does."""
    return lambda: (module.SKILLS_DIR / name).write_text(CODE)


@pytest.mark.parametrize("blocked, data, what, fault, left", [
    ("", simple("play"), "skill", write("play.json"), None),  # a simple skill makes no directory
    ("", python(), "script", lambda: module.SKILLS_DIR.mkdir(exist_ok=True), None),
    ("play.json", simple("play"), "skill", write("play.json"), ["play.json"]),
    ("greet.py", python(), "script", write("greet.py"), ["greet.py"]),
    ("greet.json", python(), "metadata", write("greet.json"), ["greet.json", "greet.py"]),
    (None, python(app={"hi"}), "metadata", lambda: json.dumps({"hi"}), ["greet.py"]),
    # names too long for the file system
    (None, python("a" * 253), "script", write("a" * 253 + ".py"), []),
    (None, python("é" * 200), "script", write("é" * 200 + ".py"), []),
    (None, python("a" * 251), "metadata", write("a" * 251 + ".json"), ["a" * 251 + ".py"]),
    (None, python("é" * 126), "metadata", write("é" * 126 + ".json"), ["é" * 126 + ".py"]),
])
def test_failed_saves_leave_no_temporary_file(creator, creator_log, blocked, data, what, fault,
                                              left):
    if blocked == "":  # a file where the skills directory goes
        module.SKILLS_DIR.rmdir()
        module.SKILLS_DIR.write_text("")
    elif blocked:  # a directory where the file goes
        (module.SKILLS_DIR / blocked).mkdir()
    name, text = data["name"], error_text(fault)
    assert creator.create_from_dict(data) == (False, f"Failed to save {what}: {text}", None)
    files = (sorted(n for n in os.listdir(module.SKILLS_DIR) if n != ".lock")
             if module.SKILLS_DIR.is_dir() else None)
    assert files == left and creator._improvement_log == []
    script = module.SKILLS_DIR / (name + ".py")
    saved = what == "metadata"  # the script was written before the metadata failed
    assert creator_log() == [("INFO", f"Saved Python skill script: {script}")] * saved
    assert not saved or script.read_text("utf-8") == CODE
    assert creator.get_skill_source(name) is None
    stored, registry = module.SKILLS_DIR / (name + ".json"), live_registry(name)
    deleted = (False, f"Skill '{name}' not found")
    if blocked == stored.name:  # a failed deletion leaves the registry and the log alone
        deleted = (False, "Failed to delete: " + error_text(stored.unlink))
    assert creator.delete_skill(name, registry) == deleted and list(registry._skills) == [name]
    assert creator._improvement_log == []
