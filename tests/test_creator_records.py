"""tests/test_creator_records.py: the creator module surface, records, catalogues, skill files."""

from __future__ import annotations

import copy
import dataclasses
import inspect
import json
import os
import pickle
import subprocess
import sys
import typing
from pathlib import Path

import creator_twin
import pytest

import tarvel.skills.creator as creator_module

HOST = Path(__file__).resolve().parent.parent / "host"


# The plain-Python twins of the records and the catalogues: the module's must equal them.
TWINS = {"SkillBlueprint": creator_twin.SkillBlueprint, "ImprovementEntry": creator_twin.ImprovementEntry}
OPERATIONS = creator_twin.SkillCreator.VALID_OPERATIONS
CATEGORIES = creator_twin.SkillCreator.VALID_CATEGORIES


def blueprint(cls=None, **overrides):
    """A valid blueprint of one step, with the given fields replaced."""
    values = dict(name="play_song", description="Play a song", app="Spotify", category="music",
                  triggers=["play"], required_params=["song"], optional_params=[],
                  steps=[{"operation": "open_app", "description": "Open {{song}}",
                          "params": {"name": "{{song}}"}}])
    values.update(overrides)
    return (cls or creator_module.SkillBlueprint)(**values)


# --- module surface ---------------------------------------------------------------------------

IMPORT = r'''
import json, os, sys
from pathlib import Path
def attempt(code):
    try:
        exec(code, {})
    except BaseException as error:
        return [type(error).__name__, str(error)]
got = attempt("import tarvel.skills.creator")
want = attempt("from tarvel.skills.engine import SkillDefinition, SkillStep")
m = sys.modules.get("tarvel.skills.creator")
print(json.dumps({"got": got, "want": want, "home": os.listdir(Path.home()), "module": m and [
    str(m.SKILLS_DIR), str(m.IMPROVEMENT_LOG), repr(m._creator_instance)]}))
'''


@pytest.mark.parametrize("engine_source, kind", [
    (None, None),  # the stand-in host's own engine
    ('class SkillDefinition:\n    """No SkillStep here."""\n', "ImportError"),
    ("class SkillStep:\n    pass\n", "ImportError"),
    ("", "ModuleNotFoundError"),  # no engine module at all
    ("raise RuntimeError('engine broken')\n", "RuntimeError"),
])
def test_import_creates_nothing_or_fails_like_the_engine_import(tmp_path, engine_source, kind):
    home, host = tmp_path / "someone", tmp_path / "host"
    home.mkdir()
    if kind is not None:
        skills = host / "tarvel" / "skills"
        skills.mkdir(parents=True)
        extend = "from pkgutil import extend_path\n__path__ = extend_path(__path__, __name__)\n"
        for package in (skills.parent, skills):
            (package / "__init__.py").write_text(extend)
        if engine_source:
            (skills / "engine.py").write_text(engine_source)
    env = dict(os.environ, HOME=str(home), PYTHONPATH=str(HOST if kind is None else host))
    done = subprocess.run([sys.executable, "-c", IMPORT], env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    facts = json.loads(done.stdout)
    assert facts["home"] == [] and facts["got"] == facts["want"]
    if kind is None:
        tarvel = home / ".tarvel"
        assert facts["module"] == [str(tarvel / "skills"), str(tarvel / "improvement_log.json"),
                                   "None"]
    else:
        assert facts["got"][0] == kind and facts["module"] is None  # nothing half-imported is left


# --- records ----------------------------------------------------------------------------------

INSTANCES = {  # the last of each: nothing is checked
    "SkillBlueprint": [lambda cls: blueprint(cls), lambda cls: cls(1, 2, 3, 4, 5, 6, 7, 8),
                       lambda cls: blueprint(cls, reason="r", version=3, steps=[{"x": None}])],
    "ImprovementEntry": [lambda cls: cls("2031-01-02 03:04:05", "learned", "s", "r"),
                         lambda cls: cls("t", "deleted", "s", "r", {"k": [1, "\u00e9"]}, False),
                         lambda cls: cls(timestamp=None, action=1, skill_name=[], reason={})],
}


@pytest.mark.parametrize("name", INSTANCES)
def test_record_is_the_dataclass_python_makes(name):
    real, twin = getattr(creator_module, name), TWINS[name]
    assert dataclasses.is_dataclass(real)
    for attr in ("__doc__", "__bases__", "__hash__", "__annotations__", "__match_args__"):
        assert getattr(real, attr) == getattr(twin, attr), attr
    for probe in (inspect.signature, typing.get_type_hints, lambda c: c.__dataclass_params__):
        assert repr(probe(real)) == repr(probe(twin))  # get_type_hints: Any is the module's
    attrs = "name type init repr hash compare kw_only default default_factory".split()
    for mine, theirs in zip(dataclasses.fields(real), dataclasses.fields(twin), strict=True):
        assert [repr(getattr(mine, a)) for a in attrs] == [repr(getattr(theirs, a)) for a in attrs]
        # class attributes hold the plain defaults only
        assert repr(getattr(real, mine.name, None)) == repr(getattr(twin, mine.name, None))
    for make in INSTANCES[name]:
        mine, theirs = make(real), make(twin)
        assert repr(mine) == repr(theirs)
        assert dataclasses.astuple(mine) == dataclasses.astuple(theirs)
        assert mine == copy.deepcopy(mine) == pickle.loads(pickle.dumps(mine))
        assert mine.__eq__(theirs) is NotImplemented
        assert mine != dataclasses.replace(mine, **{dataclasses.fields(real)[0].name: "other"})
        with pytest.raises(TypeError, match="unhashable"):
            hash(mine)
        with pytest.raises(TypeError):
            mine < mine  # noqa: B015 - no ordering is generated


@pytest.mark.parametrize("make", [
    lambda: blueprint(reason="because", version=2),
    lambda: creator_module.ImprovementEntry("t", "updated", "s", "r", {"version": 2}, False),
    lambda: creator_module.ImprovementEntry("t", "updated", "s", "r"),
])
def test_to_dict_lists_the_fields_in_order_and_shares_their_values(make):
    record = make()
    d = record.to_dict()
    assert list(d) == [f.name for f in dataclasses.fields(record)] and d is not record.to_dict()
    assert all(d[key] is getattr(record, key) for key in d)
    assert all(value is not getattr(make(), key) for key, value in d.items()
               if isinstance(value, (list, dict)))  # default details too are fresh
    d["reason"] = "changed"
    assert record.reason != "changed"


# --- catalogues -------------------------------------------------------------------------------

def test_catalogues_hold_the_operations_and_categories(creator, monkeypatch):
    cls = creator_module.SkillCreator
    assert (len(set(OPERATIONS)), len(set(CATEGORIES))) == (41, 21)
    assert type(cls.VALID_OPERATIONS) is set and cls.VALID_OPERATIONS == set(OPERATIONS)
    assert type(cls.VALID_CATEGORIES) is set and cls.VALID_CATEGORIES == set(CATEGORIES)
    assert "VALID_OPERATIONS" not in vars(creator) and "VALID_CATEGORIES" not in vars(creator)
    # validation looks both up through the instance when it runs
    steps = [{"operation": "teleport", "description": "Go"}]
    unusual = blueprint(category="dreams", steps=steps, required_params=[])
    assert creator.validate_blueprint(unusual)[0] is False
    monkeypatch.setattr(cls, "VALID_OPERATIONS", cls.VALID_OPERATIONS | {"teleport"})
    creator.VALID_CATEGORIES = {"dreams"}  # this instance only
    assert creator.validate_blueprint(unusual) == (True, [])
    (error,) = cls().validate_blueprint(unusual)[1]
    assert error.startswith("Invalid category: dreams. Valid: ")


# --- the skill file ---------------------------------------------------------------------------

@pytest.mark.parametrize("bp", [
    blueprint(description="Caf\u00e9 \u2615 \U0001F600 \"quoted\" back\\slash\ttab\nline"),
    blueprint(reason="why not", version=0, optional_params=["volume"], steps=[  # keys kept as given
        {"operation": "open_app", "description": "d", "params": {}},
        {"description": "n", "note": "nothing reads me", "operation": "keyboard_type",
         "params": {"text": "{{song}} at {{volume}}", "n": 5, "f": 1.0, "t": True, "z": None,
                    "big": 10**30, "neg": -0.5, "nest": {"a": [], "b": {}}}, "wait_after": 2,
         "retry_on_fail": False, "extra": [1, [2, {"c": "\u00fc"}]]},
    ]),
])
def test_skill_file_is_the_indented_json_of_the_blueprint(creator, creator_home, bp):
    ok, message, _ = creator.create_skill(bp)
    assert ok is True, message
    path = creator_home / "skills" / (bp.name + ".json")
    text = path.read_bytes()
    assert text == json.dumps(bp.to_dict(), indent=2).replace("\n", os.linesep).encode()
    tail = [f'  "reason": {json.dumps(bp.reason)},', f'  "version": {bp.version}', "}"]
    assert text.decode("ascii").endswith(os.linesep.join(tail))
    assert sorted(os.listdir(path.parent)) == [".lock", path.name]  # with the store's lock
