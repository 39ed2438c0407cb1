"""tests/test_python_skills.py: SkillCreator.create_from_dict and _create_python_skill."""

import json
import os
from collections import OrderedDict
from datetime import datetime

import pytest
from conftest import outcome

from tarvel.skills import creator as module
from tarvel.skills.creator import DynamicSkill

CODE = "async def run(ctx, params):\n    return {'ok': True}\n"
ASYNC = "Code must define 'async def run(ctx, params)'"
RUN = "Code must define a run() function"
ALNUM = "Skill name must be alphanumeric with underscores"
META_KEYS = ["name", "type", "description", "app", "category", "triggers", "required_params",
             "optional_params", "script", "version", "reason"]
DictSub = type("DictSub", (dict,), {})
StrSub = type("StrSub", (str,), {})


def python_skill(**changes):
    data = {"type": "python", "name": "greet", "code": CODE, "description": "Says hello"}
    return {k: v for k, v in {**data, **changes}.items() if v is not ...}


def simple_skill(**changes):
    data = {"name": "open_mail", "description": "Opens mail", "app": "thunderbird",
            "triggers": ["mail"], "steps": [{"operation": "open_app", "description": "Open"}]}
    return {k: v for k, v in {**data, **changes}.items() if v is not ...}


def failure(*errors):
    return False, "Validation failed:\n" + "\n".join("  - " + e for e in errors), None


def created(name="greet", version=1, lines=2, category="custom", verb="Created"):
    return True, (f"{verb} Python skill '{name}' v{version} ({lines} lines, category: {category})."
                  " It's now available for use with run_skill."), None


class Refusing:
    """A registry whose register fails."""

    _skills = {}

    def register(self, skill):
        raise RuntimeError("registry down")


# --- arguments and dispatch ---------------------------------------------------------------------

@pytest.mark.parametrize("method, argument", [
    ("create_from_dict", None), ("create_from_dict", DictSub(python_skill())),
    ("create_from_dict", OrderedDict(python_skill())), ("_create_python_skill", []),
    ("_create_python_skill", DictSub(python_skill())), ("delete_skill", None),
    ("delete_skill", b"play"), ("delete_skill", StrSub("play")), ("get_skill_source", 5),
    ("get_skill_source", StrSub("play")),
])
def test_arguments_must_be_of_the_exact_type(creator, method, argument):
    (module.SKILLS_DIR / "play.json").write_text('{"name": "play"}')
    with pytest.raises(TypeError):
        getattr(creator, method)(argument)
    assert os.listdir(module.SKILLS_DIR) == ["play.json"] and creator._improvement_log == []


@pytest.mark.parametrize("kind", ["Python", " python", "simple", ...])
def test_other_types_take_the_simple_path_with_its_defaults(creator, kind):
    assert creator.create_from_dict({} if kind is ... else {"type": kind}) == failure(
        "Skill name is required", "Description is required", "App name is required",
        "At least one trigger keyword is required", "At least one step is required")
    data = simple_skill(type=kind, version=7)
    ok, message, skill = creator.create_from_dict(data)
    assert (ok, message) == (True, "Created skill 'open_mail' v1 (1 steps, category: custom)."
                                   " It's now available for use.")
    bp, other = skill._blueprint, creator.create_from_dict(simple_skill(name="b"))[2]._blueprint
    assert (bp.reason, bp.required_params, bp.optional_params) == ("", [], [])
    assert len({id(bp.required_params), id(bp.optional_params), id(other.required_params)}) == 3
    assert bp.steps is data["steps"] and bp.triggers is data["triggers"]


@pytest.mark.parametrize("changes, registry, fault", [
    ({"steps": [{"operation": "open_app", "params": None}]}, None, lambda: None.values),
    ({"name": 5}, None, lambda: (5).replace),
    ({}, Refusing(), lambda: Refusing().register(None)),
])
def test_simple_path_errors_become_invalid_skill_data(creator, changes, registry, fault):
    with pytest.raises(Exception) as error:
        fault()
    assert creator.create_from_dict(simple_skill(**changes), registry) == (
        False, f"Invalid skill data: {error.value}", None)
    assert (module.SKILLS_DIR / "open_mail.json").exists() == (registry is not None)
    assert creator._improvement_log == []


@pytest.mark.parametrize("data, error", [
    (simple_skill(steps="open"), "steps must be a list of objects (dicts), not str"),
    (simple_skill(steps=["open_app"]), "Step 1: must be an object (a dict), not str"),
    (simple_skill(triggers="check"), "triggers must be a list of strings, not str"),
    (simple_skill(required_params={"to": 1}), "required_params must be a list of strings, not dict"),
    (python_skill(code=5), "code must be a string, not int"),
    (python_skill(triggers="check"), "triggers must be a list of strings, not str"),
])
def test_fields_of_the_wrong_type_are_named_before_any_file(creator, data, error):
    assert creator.create_from_dict(data) == failure(error)
    assert list(module.SKILLS_DIR.iterdir()) == [] and creator._improvement_log == []


class Unregistering:
    register = "not callable"


class Raising:
    """A registry whose register cannot even be looked up."""

    def __getattr__(self, name):
        raise KeyError(name)


ROADS = {  # every call that takes a registry, with arguments it would otherwise act on
    "create_skill": lambda c, r: c.create_skill(module.SkillBlueprint(
        "open_mail", "d", "a", "custom", ["t"], [], [], simple_skill()["steps"]), r),
    "create_from_dict": lambda c, r: c.create_from_dict(simple_skill(), r),
    "create_from_dict python": lambda c, r: c.create_from_dict(python_skill(), r),
    "_create_python_skill": lambda c, r: c._create_python_skill(python_skill(), r),
    "rollback_skill": lambda c, r: c.rollback_skill("open_mail", 1, r),
    "rollback_skill python": lambda c, r: c.rollback_skill("greet", 1, r),
    "load_into_registry": lambda c, r: c.load_into_registry(r),
}


@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize("registry, type_name", [
    (object(), "object"), (Unregistering(), "Unregistering"), (5, "int"),
])
def test_registries_without_register_are_refused_before_any_file(creator, road, registry,
                                                                   type_name):
    for data in (simple_skill(), python_skill()):  # earlier versions, for the rollbacks
        assert creator.create_from_dict(data)[0] is True
    before = {p.name: p.read_bytes() for p in module.SKILLS_DIR.iterdir() if p.is_file()}
    message = f"registry must have a register() method, not {type_name}"
    expected = ((TypeError, message) if road == "load_into_registry" else
                (False, message) if road.startswith("rollback") else (False, message, None))
    assert outcome(ROADS[road], creator, registry) == expected
    assert {p.name: p.read_bytes() for p in module.SKILLS_DIR.iterdir() if p.is_file()} == before
    assert not (module.SKILLS_DIR / ".versions").exists() and len(creator._improvement_log) == 2


def test_a_failing_lookup_of_register_propagates(creator):
    with pytest.raises(KeyError):
        creator.create_from_dict(simple_skill(), Raising())
    with pytest.raises(TypeError, match=r"^registry must have a register\(\) method, not NoneType$"):
        creator.load_into_registry(None)  # a registry it must have
    assert list(module.SKILLS_DIR.iterdir()) == []


# --- Python-skill checks ------------------------------------------------------------------------

@pytest.mark.parametrize("changes, errors", [
    ({}, []),
    ({"code": ""}, ["Python code is required", ASYNC, RUN]),
    ({"code": "def run(ctx, params):\n    pass\n"}, [ASYNC]),
    ({"code": "async def run (ctx, params):\n    pass\n"}, [RUN]),
    ({"code": "async def runner(ctx):\n    pass\n"}, [RUN]),
    ({"code": "# async def run(ctx, params)\nx = 1\n"}, []),
    ({"name": "a-b"}, [ALNUM]),
    ({"name": "a/b"}, [ALNUM]),
    ({"name": "___"}, [ALNUM]),
    ({"name": "café_crème"}, []),
    ({"name": "x" * 100}, []),
    ({"name": "a\0b"}, [ALNUM]),
    ({"name": ..., "description": None}, ["Skill name is required", "Description is required"]),
    ({"name": "a-b", "code": "", "description": ""},
     [ALNUM, "Python code is required", "Description is required", ASYNC, RUN]),
    # fields of the wrong type are named; code that is no string is not read as code
    ({"code": None}, ["Python code is required"]),
    ({"code": 5}, ["code must be a string, not int"]),
    ({"code": [CODE]}, ["code must be a string, not list"]),
    ({"code": CODE.encode()}, ["code must be a string, not bytes"]),
    ({"code": StrSub(CODE)}, []),
    ({"triggers": ["hi"], "required_params": [StrSub("who")], "optional_params": []}, []),
    ({"triggers": "hi"}, ["triggers must be a list of strings, not str"]),
    ({"triggers": None}, ["triggers must be a list of strings, not NoneType"]),
    ({"required_params": ["who", None]},
     ["required_params must be a list of strings; item 2 is NoneType"]),
    ({"optional_params": {"how"}}, ["optional_params must be a list of strings, not set"]),
    ({"name": "a-b", "code": 5, "description": "", "triggers": 1, "optional_params": (1,)},
     [ALNUM, "code must be a string, not int", "Description is required",
      "triggers must be a list of strings, not int",
      "optional_params must be a list of strings, not tuple"]),
])
def test_python_skill_checks_in_order(creator, changes, errors):
    data = python_skill(**changes)
    result = creator._create_python_skill(data, Refusing())  # the registry plays no part
    if errors:
        assert result == failure(*errors)
        assert list(module.SKILLS_DIR.iterdir()) == [] and creator._improvement_log == []
    else:
        assert result == created(data["name"], lines=len(data["code"].splitlines()))


@pytest.mark.parametrize("name, code, before", [
    ("greet", "async def run(ctx, params):\n    return (\n", []),
    ("greet", "async def run(ctx, params):\n  x = 1\n    y = 2\n", []),
    ("", "def run(ctx, params) pass", ["Skill name is required", ASYNC]),
])
def test_syntax_errors_use_the_interpreters_wording(creator, name, code, before):
    with pytest.raises(SyntaxError) as error:
        compile(code, name + ".py", "exec")
    result = creator.create_from_dict(python_skill(name=name, code=code))
    assert result == failure(*before, f"Syntax error in code: {error.value}")
    assert f"{name}.py" in str(error.value)


TOO_COMPLEX = "Python source too complex to parse"  # 3.11's parser says nothing


def compiler_error(code, file_name):
    """The syntax-error line for code, or for code nested too deeply to compile."""
    try:
        compile(code, file_name, "exec")
    except SyntaxError as error:
        return f"Syntax error in code: {error}"
    except (RecursionError, MemoryError) as error:
        return f"Syntax error in code: {str(error) or TOO_COMPLEX} ({file_name})"
    raise AssertionError("the code compiles")


@pytest.mark.parametrize("data, errors", [
    (simple_skill(name="a\0b"), [ALNUM + " only"]),
    (python_skill(name="a\0b"), [ALNUM]),
    (python_skill(name="\0", code="async def run(ctx, params):\n    return (\n"),
     [ALNUM, compiler_error("async def run(ctx, params):\n    return (\n", "\\x00.py")]),
])
def test_names_holding_a_nul_are_refused_before_any_file(creator, data, errors):
    assert creator.create_from_dict(data) == failure(*errors)
    assert list(module.SKILLS_DIR.iterdir()) == [] and creator._improvement_log == []


@pytest.mark.parametrize("code", [
    "x = " + "+".join(["1"] * 100_000),  # RecursionError of the compiler
    "x = " + "-" * 100_000 + "1",  # MemoryError of the parser
    "x = " + "(" * 100_000 + ")" * 100_000,
], ids=["chained-terms", "unary", "parentheses"])
def test_code_too_deeply_nested_to_compile_is_a_syntax_error(creator, code):
    assert creator.create_from_dict(python_skill(code=code)) == failure(
        ASYNC, RUN, compiler_error(code, "greet.py"))
    assert list(module.SKILLS_DIR.iterdir()) == []


SURROGATE = "async def run(ctx, params):\n    return '\ud800'\n"


@pytest.mark.parametrize("changes, fault", [
    ({"name": 5}, lambda: (5).replace),
    ({"code": SURROGATE}, lambda: compile(SURROGATE, "greet.py", "exec")),
])
def test_other_errors_of_the_interpreter_propagate(creator, changes, fault):
    with pytest.raises(Exception) as expected:
        fault()
    with pytest.raises(type(expected.value)) as raised:
        creator.create_from_dict(python_skill(**changes))
    assert str(raised.value) == str(expected.value)
    assert list(module.SKILLS_DIR.iterdir()) == []


# --- the stored skill ---------------------------------------------------------------------------

@pytest.mark.parametrize("changes, meta", [
    ({}, ["greet", "python", "Says hello", "python", "custom", [], [], [], "greet.py", 1,
          "Agent created this Python skill"]),
    (dict(name="café", code="async def run(ctx, params):\n    return 'héllo ☕'  \n\n",
          description="Grüße", app="shell", category="weird", triggers=["hi"],
          required_params=["who"], optional_params=["how"], reason="Because", version=9, extra=1),
     ["café", "python", "Grüße", "shell", "weird", ["hi"], ["who"], ["how"], "café.py", 1,
      "Because"]),
])
def test_script_and_metadata_files(creator, creator_log, changes, meta):
    module.SKILLS_DIR.rmdir()  # made on demand
    data = python_skill(**changes)
    name, code = data["name"], data["code"]
    assert creator.create_from_dict(data, Refusing()) == created(
        name, lines=len(code.splitlines()), category=meta[4])
    script, metadata = module.SKILLS_DIR / f"{name}.py", module.SKILLS_DIR / f"{name}.json"
    assert sorted(os.listdir(module.SKILLS_DIR)) == [metadata.name, script.name]
    with open(script, encoding="utf-8", newline="") as handle:
        assert handle.read() == code.replace("\n", os.linesep)
    assert metadata.read_text() == json.dumps(dict(zip(META_KEYS, meta)), indent=2)
    assert creator_log() == [("INFO", f"Saved Python skill script: {script}"),
                             ("INFO", f"Saved Python skill metadata: {metadata}")]
    [entry] = creator._improvement_log
    assert (entry.action, entry.skill_name, entry.reason, entry.success) == (
        "created", name, meta[-1], True)
    assert list(entry.details.items()) == [
        ("type", "python"), ("version", 1), ("category", meta[4]),
        ("code_lines", len(code.splitlines())), ("triggers", meta[5])]
    datetime.strptime(entry.timestamp, "%Y-%m-%d %H:%M:%S")


def test_versions_continue_across_skill_kinds(creator):
    assert creator.create_from_dict(simple_skill(name="greet"))[0] is True
    assert creator.create_from_dict(python_skill()) == created(version=2, verb="Updated")
    ok, message, _ = creator.create_from_dict(simple_skill(name="greet"))
    assert ok and message.startswith("Updated skill 'greet' v3 ")
    assert [e.action for e in creator._improvement_log] == ["created", "updated", "updated"]


@pytest.mark.parametrize("stored, version", [
    ("{broken", 1), ('{"version": "two"}', 1), ("[4]", 1), ("{}", 2), ('{"version": 4}', 5),
])
def test_version_from_existing_metadata(creator, creator_log, stored, version):
    (module.SKILLS_DIR / "greet.json").write_text(stored)
    expected = created(version=version, verb="Updated" if version > 1 else "Created")
    assert creator.create_from_dict(python_skill()) == expected
    assert [level for level, _ in creator_log()] == ["INFO", "INFO"]
    assert creator._improvement_log[0].action == ("updated" if version > 1 else "created")
    assert json.loads((module.SKILLS_DIR / "greet.json").read_text())["version"] == version


@pytest.mark.parametrize("tail, lines", [
    ("\n", 2), ("", 2), ("\r\nx = 1\r\n", 3), ("\rx = 1", 3), ("\n\n\n", 4),
    ("  # a\x0bb\x0cc", 4), ("  # a\x1cb\x1dc\x1ed", 5), ("  # a\x85b", 3),
    ("  # a\u2028b\u2029c", 4), ("  # a\u2028", 2),
])
def test_line_count_follows_splitlines(creator, tail, lines):
    code = "async def run(ctx, params):\n    pass" + tail
    assert len(code.splitlines()) == lines
    assert creator.create_from_dict(python_skill(code=code)) == created(lines=lines)
