"""tests/test_skill_creation.py: SkillCreator.validate_blueprint and create_skill, simple skills."""

import json
import os
from datetime import datetime

import pytest

from tarvel.skills import creator as module
from tarvel.skills.creator import DynamicSkill, SkillBlueprint
from tarvel.skills.engine import SkillRegistry

SORTED_CATEGORIES = (
    "browser, calendar, communication, custom, development, education, email, files, finance, "
    "food, gaming, health, media, messaging, music, productivity, shopping, social, system, "
    "travel, utility"
)
ALNUM = "Skill name must be alphanumeric with underscores only"
LENGTH = "Skill name must be 64 characters or less"
FLY = "unknown operation 'fly'. See pc tool for valid operations."
TEXTS = "{} must be a list of strings, not {}"
OBJECT = "Step {}: must be an object (a dict), not {}"


def step(operation="open_app", description="do it", **params):
    return {"operation": operation, "description": description, "params": params}


def blueprint(**changes):
    fields = dict(name="play_song", description="Play a song", app="spotify", category="music",
                  triggers=["play"], required_params=["song"], optional_params=[],
                  steps=[step(q="{{song}}")])
    return SkillBlueprint(**{**fields, **changes})


def params(**values):
    """One step with these params; its description holds a placeholder nothing declares."""
    return {"steps": [step(description="{{nowhere}}", **values)]}


def undeclared(n, name):
    return f"Step {n}: placeholder '{{{{{name}}}}}' not in required_params or optional_params"


class Refusing:
    """A registry whose register fails."""

    def register(self, skill):
        raise RuntimeError("registry down")


class Empty(SkillRegistry):
    """A live registry that counts as false."""

    def __len__(self):
        return 0


# --- validation -------------------------------------------------------------------------------

@pytest.mark.parametrize("changes, errors", [
    ({}, []),
    ({"name": None}, ["Skill name is required"]),
    ({"name": "___"}, [ALNUM]),
    ({"name": "a" * 64}, []),
    ({"name": "a" * 65}, [LENGTH]),
    ({"name": "_" * 70 + "a"}, [LENGTH]),
    ({"name": "play-song" + "a" * 70}, [ALNUM]),
    ({"name": "play\0song"}, [ALNUM]),
    ({"name": "café_2"}, []),
    ({"name": "١٢"}, []),
    ({"category": ""}, []),
    ({"category": "Music"}, ["Invalid category: Music. Valid: " + SORTED_CATEGORIES]),
    ({"name": "", "description": "", "app": None, "category": "", "triggers": [], "steps": []},
     ["Skill name is required", "Description is required", "App name is required",
      "At least one trigger keyword is required", "At least one step is required"]),
    ({"name": "-", "category": "x", "triggers": None, "steps": [{}]},
     [ALNUM, "Invalid category: x. Valid: " + SORTED_CATEGORIES,
      "At least one trigger keyword is required", "Step 1: operation is required",
      "Step 1: description is required"]),
    ({"steps": [step(description=""), step("fly"), step(operation=None, description=None)]},
     ["Step 1: description is required", "Step 2: " + FLY, "Step 3: operation is required",
      "Step 3: description is required"]),
    # placeholders are checked after every step, each use of an undeclared name counts
    ({"steps": [step(q="{{x}}"), step("fly")]}, ["Step 2: " + FLY, undeclared(1, "x")]),
    ({"optional_params": ["artist"], **params(q="{{song}} and {{song}}", n="{{artist}}")}, []),
    (params(q="{{a}}", r="{{b}}{{a}}"), [undeclared(1, n) for n in ("a", "b", "a")]),
    (params(q="{{ x }}", r="{x}", s="{{x-y}}", t="{{}}", u=5, v=["{{x}}"], w={"k": "{{x}}"}), []),
    (params(q="{{sóng}}", r="{{٣}}", s="{{{x}}}"), [undeclared(1, n) for n in ("sóng", "٣", "x")]),
    ({"required_params": [], "steps": [step(), step(q="{{song}}")]}, [undeclared(2, "song")]),
    ({"required_params": [], "optional_params": ["song"], "steps": [step(q="{{song}}")]}, []),
    # fields of the wrong type are named; placeholders are checked only against lists of names
    ({"triggers": "play"}, [TEXTS.format("triggers", "str")]),
    ({"triggers": ("play",)}, [TEXTS.format("triggers", "tuple")]),
    ({"triggers": ["play", 5]}, ["triggers must be a list of strings; item 2 is int"]),
    ({"required_params": "song"}, [TEXTS.format("required_params", "str")]),
    ({"optional_params": None}, [TEXTS.format("optional_params", "NoneType")]),
    ({"optional_params": [["x"]]}, ["optional_params must be a list of strings; item 1 is list"]),
    ({"steps": "open"}, ["steps must be a list of objects (dicts), not str"]),
    ({"steps": (step(),)}, ["steps must be a list of objects (dicts), not tuple"]),
    ({"steps": None}, ["At least one step is required"]),
    ({"steps": [step(), "open_app", None, step("fly")]},
     [OBJECT.format(2, "str"), OBJECT.format(3, "NoneType"), "Step 4: " + FLY]),
    ({"triggers": 5, "required_params": "s", "optional_params": [1], "steps": ["x"]},
     [TEXTS.format("triggers", "int"), TEXTS.format("required_params", "str"),
      "optional_params must be a list of strings; item 1 is int", OBJECT.format(1, "str")]),
])
def test_validation_messages_in_order(creator, creator_log, changes, errors):
    assert creator.validate_blueprint(blueprint(**changes)) == (not errors, errors)
    if errors:  # a failed creation reports them all and changes nothing
        assert creator.create_skill(blueprint(**changes), Refusing()) == (
            False, "Validation failed:\n" + "\n".join("  - " + e for e in errors), None)
        assert list(module.SKILLS_DIR.iterdir()) == []
        assert creator._improvement_log == [] and not module.IMPROVEMENT_LOG.exists()
        assert creator_log() == []


@pytest.mark.parametrize("name, device", [
    *[(name, True) for name in ("nul", "CON", "Aux", "prn", "com1", "LPT9", "COM\u00b9", "lpt\u00b3")],
    *[(name, False) for name in ("COM0", "COM10", "CON_", "console", "LPT", "NUL1")],
])
def test_device_names_of_windows_are_refused_at_creation(creator, name, device):
    """Windows opens a device for nul.json: the skill would be saved into nothing there."""
    problem = f"Skill name '{name}' is a device name on Windows"
    assert (problem in creator.validate_blueprint(blueprint(name=name))[1]) is device
    data = {"type": "python", "name": name, "description": "d", "code": "async def run(ctx, params): pass"}
    assert (creator.create_from_dict(data)[1] == f"Validation failed:\n  - {problem}") is device


def test_a_skill_stored_under_a_device_name_is_still_read_listed_reviewed_and_deleted(creator):
    module.SKILLS_DIR.mkdir(parents=True, exist_ok=True)
    (module.SKILLS_DIR / "nul.json").write_text(json.dumps(blueprint(name="nul").to_dict()))
    assert [s["name"] for s in creator.list_saved_skills()] == ["nul"]
    assert creator.get_skill_source("nul")["name"] == "nul"
    assert "Skill name 'nul' is a device name on Windows" in creator.review_skill("nul")["problems"]
    assert creator.delete_skill("nul") == (True, "Deleted skill 'nul'")


# --- creation -----------------------------------------------------------------------------------

@pytest.mark.parametrize("stored, version, final, action, label, registry_class", [
    (None, 1, 1, "created", "Created", SkillRegistry),
    (None, 0, 0, "updated", "Created", Empty),
    (None, 5, 5, "updated", "Updated", None),
    ('{"name": "play_song", "version": 3}', 1, 4, "updated", "Updated", SkillRegistry),
    ('{"name": "other"}', 1, 2, "updated", "Updated", None),
    ("{broken", 1, 1, "created", "Created", None),
    ("[3]", 1, 1, "created", "Created", None),
    ('{"version": "3"}', 7, 7, "updated", "Updated", None),
])
def test_created_skills_are_saved_registered_and_logged(creator, creator_log, stored, version,
                                                        final, action, label, registry_class):
    path = module.SKILLS_DIR / "play_song.json"
    if stored is not None:
        path.write_text(stored)
    registry = registry_class and registry_class()
    reason = "Asked for it" if registry is None else ""
    bp = blueprint(steps=[step(q="{{song}}"), step("close_app")], version=version, reason=reason)
    ok, message, skill = creator.create_skill(bp, registry)
    assert (ok, message) == (True, f"{label} skill 'play_song' v{final} (2 steps, category: music)."
                                   " It's now available for use.")
    assert type(skill) is DynamicSkill and skill._blueprint is bp and bp.version == final
    assert json.loads(path.read_text())["version"] == final
    log = [("INFO", f"Saved skill to {path}")]
    if stored is not None and final != version:
        log.insert(0, ("INFO", f"Updating existing skill play_song to v{final}"))
    if registry is not None:
        assert registry._skills == {"play_song": skill}
        log.append(("INFO", "Hot-loaded skill play_song into live registry"))
    assert creator_log() == log
    [entry] = creator._improvement_log
    assert (entry.action, entry.skill_name, entry.reason, entry.success) == (
        action, "play_song", reason or "Agent decided to create this skill", True)
    assert list(entry.details.items()) == [
        ("version", final), ("steps", 2), ("category", "music"), ("app", "spotify"),
        ("triggers", ["play"])]
    datetime.strptime(entry.timestamp, "%Y-%m-%d %H:%M:%S")


def test_register_error_propagates_after_the_file_is_written(creator, creator_log):
    with pytest.raises(RuntimeError, match="registry down"):
        creator.create_skill(blueprint(), Refusing())
    path = module.SKILLS_DIR / "play_song.json"
    assert json.loads(path.read_text())["name"] == "play_song"
    assert creator._improvement_log == [] and creator_log() == [("INFO", f"Saved skill to {path}")]


def test_unencodable_step_value_keeps_the_old_file(creator, creator_log):
    path = module.SKILLS_DIR / "play_song.json"
    path.write_bytes(b'{"version": 1}')
    bp = blueprint(steps=[step(q={"a set"})])
    with pytest.raises(TypeError) as error:
        json.dumps(bp.to_dict(), indent=2)
    assert creator.create_skill(bp, Refusing()) == (
        False, f"Failed to save skill: {error.value}", None)
    assert path.read_bytes() == b'{"version": 1}'
    assert sorted(os.listdir(module.SKILLS_DIR)) == [".lock", "play_song.json"]  # the store's lock
    assert creator._improvement_log == []
    assert ("INFO", f"Saved skill to {path}") not in creator_log()
