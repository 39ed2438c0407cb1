"""tests/test_dynamic_skill.py: DynamicSkill: construction, placeholder filling, to_dict."""

from __future__ import annotations

import copy
import inspect
from collections import OrderedDict, defaultdict
from types import MappingProxyType, SimpleNamespace

import creator_twin
import pytest

import tarvel.skills.creator as creator_module
import tarvel.skills.engine as engine
from tarvel.skills.creator import DynamicSkill, SkillBlueprint

ATTRIBUTES = """_blueprint name description app category triggers required_params optional_params
    _raw_steps""".split()
TAIL = ["dynamic", "version", "reason", "steps"]  # what to_dict adds to the base dict


def make_blueprint(steps=None, **overrides):
    steps = steps if steps is not None else [
        {"operation": "open_app", "description": "Open Notes", "params": {"name": "Notes"}},
        {"operation": "keyboard_type", "description": "Type {{text}} for {{to}}",
         "params": {"text": "{{text}}", "delay": 0.1}}]
    values = dict(name="send_note", description="Send a note", app="Notes", category="productivity",
                  triggers=["note"], required_params=["text"], optional_params=["to"], steps=steps)
    return SkillBlueprint(**{**values, **overrides})


def skill_of(steps, **overrides):
    return DynamicSkill(make_blueprint(steps, **overrides))


@pytest.fixture
def recorded(monkeypatch):
    """SkillStep is replaced by a record of how it was called."""
    record = lambda *args, **kwargs: SimpleNamespace(args=args, kwargs=kwargs)  # noqa: E731
    monkeypatch.setattr(creator_module, "SkillStep", record)


def twin_build(raw_steps, params):
    """The keyword dicts the plain-Python twin's build_steps hands SkillStep."""
    skill = creator_twin.DynamicSkill(make_blueprint(raw_steps))
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(creator_twin, "SkillStep", dict)
        return skill.build_steps(params)


# --- the class and its constructor ------------------------------------------------------------

def test_construction_shares_the_blueprint_objects_without_the_base_constructor(monkeypatch):
    assert DynamicSkill.__bases__ == (engine.SkillDefinition,)
    assert DynamicSkill.__doc__ == "A skill created at runtime from a JSON blueprint."
    assert DynamicSkill.build_steps.__doc__ == (
        "Build steps from the blueprint, substituting parameter values.")
    assert list(inspect.signature(DynamicSkill.build_steps).parameters) == ["self", "params"]
    monkeypatch.setattr(engine.SkillDefinition, "__init__", None)  # the base's must not run
    bp = make_blueprint(reason="why", version=3)
    skill = DynamicSkill(bp)
    assert list(vars(skill)) == ATTRIBUTES
    assert skill._blueprint is bp and skill._raw_steps is bp.steps
    assert all(getattr(skill, name) is getattr(bp, name) for name in ATTRIBUTES[1:-1])


# --- build_steps: placeholder filling ---------------------------------------------------------

@pytest.mark.parametrize("text, params, expected", [
    ("{{a}}", {"a": "{{b}}", "b": "x"}, "x"),  # a value is open to the names after it...
    ("{{a}}", {"b": "x", "a": "{{b}}"}, "{{b}}"),  # ...but not to those before it
    ("{{a}}{{b}}", {"a": "{{", "b": "x"}, "{{x"),
    ("{{a}} and {{a}}", {"a": "1"}, "1 and 1"),
    ("{{n}}|{{t}}|{{z}}|{{f}}", {"n": 7, "t": True, "z": None, "f": 2.5}, "7|True|None|2.5"),
    ("{{7}} {{True}} {{None}}", {7: "seven", True: "yes", None: "nil"}, "seven yes nil"),
    ("{{v}}", {"v": [1, "x"]}, "[1, 'x']"),
    ("{{ a }} {{a }} {a} {{{a}}}", {"a": "x"}, "{{ a }} {{a }} {a} {x}"),
    ("{{A}} {{a}}", {"a": "x"}, "{{A}} x"),
    ("{{unknown}} {{a}}", {"a": "x"}, "{{unknown}} x"),
    ("{{a}} {{b}}", {}, "{{a}} {{b}}"),
    ("\u00e9{{a}}\U0001F600", {"a": "\u00fc\U0001F601"}, "\u00e9\u00fc\U0001F601\U0001F600"),
    ("{{a}}", {"a": ""}, ""),
    ("", {"a": "x"}, ""),
    (type("Text", (str,), {})("<{{a}}>"), {"a": "x"}, "<x>"),
])
def test_placeholders_are_replaced_in_order(recorded, text, params, expected):
    raw = [{"operation": "open_url", "description": text, "params": {"url": text, "n": 5}}]
    snapshot = copy.deepcopy(params)
    (step,) = skill_of(raw).build_steps(params)
    assert step.kwargs["description"] == expected and type(step.kwargs["description"]) is str
    assert step.kwargs["params"] == {"url": expected, "n": 5}
    assert step.kwargs["params"] is not raw[0]["params"] and list(params) == list(snapshot)
    assert step.kwargs == twin_build(raw, params)[0]


class Counter:
    """A value whose text changes at every str(), as a host object's may."""

    def __init__(self):
        self.calls = 0

    def __str__(self):
        self.calls += 1
        return f"c{self.calls}"


def test_values_are_turned_into_text_at_each_replacement(recorded):
    raw = [{"description": "{{a}}", "params": {"x": "{{a}}", "y": "{{a}}"}}]
    (step,) = skill_of(raw).build_steps({"a": Counter()})
    assert step.kwargs["params"] == {"x": "c1", "y": "c2"} and step.kwargs["description"] == "c3"


def test_a_description_without_replace_fails_before_the_value_is_read(recorded):
    class Unprintable:
        def __str__(self):
            raise ValueError("never read")

    with pytest.raises(AttributeError, match="'int' object has no attribute 'replace'"):
        skill_of([{"description": 5}]).build_steps({"a": Unprintable()})


# --- build_steps: the steps handed to SkillStep -----------------------------------------------

@pytest.mark.parametrize("raw, params", [
    ({}, {"a": "x"}),  # every keyword takes its default
    ({"optional": 0, "max_retries": "3", "retry_on_fail": ["yes"], "wait_after": 2,
      "operation": object(), "unread": "ignored"}, {"a": "x"}),  # passed on without conversion
    ({"params": {"n": 5, "f": 2.5, "t": True, "z": None, "l": ["{{a}}"], "d": {"k": "{{a}}"},
                 "b": b"{{a}}", "tuple": ("{{a}}",)}}, {"a": "x"}),  # only text is filled in
    (MappingProxyType({"description": "{{a}}", "params": MappingProxyType({"p": "{{a}}"})}),
     {"a": "x"}),
    *[({"description": d}, {}) for d in (5, None, ["{{a}}"], b"{{a}}")],  # not text, no values
])
def test_every_keyword_is_passed_in_order(recorded, raw, params):
    (step,) = skill_of([raw]).build_steps(params)
    (want,) = twin_build([raw], params)
    assert step.args == () and list(step.kwargs) == list(want)
    for key, value in want.items():
        assert step.kwargs[key] == value and type(step.kwargs[key]) is type(value), key


def test_host_steps_are_built_afresh_at_each_call():
    bp = make_blueprint()
    raw = copy.deepcopy(bp.steps)
    skill = DynamicSkill(bp)
    first = skill.build_steps({"text": "one"})
    second = skill.build_steps({"text": "two", "to": "Bo"})
    assert second == [engine.SkillStep(**kw) for kw in twin_build(raw, {"text": "two", "to": "Bo"})]
    assert [type(s) for s in second] == [engine.SkillStep] * 2
    assert first[1].description == "Type one for {{to}}" and first[1].params["text"] == "one"
    assert first[0].params is not second[0].params and skill.build_steps({}) is not first
    assert bp.steps == raw and skill._raw_steps is bp.steps


NOT_MAPPINGS = ["open_app", None, 5, [("operation", "open_app")]]


@pytest.mark.parametrize("steps, params, error", [
    *[([{}], params, TypeError) for params in (  # params must be exactly a dict
        None, OrderedDict(), defaultdict(str), [("a", "x")], "a=x", MappingProxyType({}),
        type("DictSub", (dict,), {})(a="x"))],
    *[(steps, params, AttributeError) for params in ({}, {"a": "x"}) for steps in (
        *[[{}, step] for step in NOT_MAPPINGS], *[[{"params": p}] for p in NOT_MAPPINGS])],
    # a description that is not text fails as str.replace would, once there is a value to fill
    *[([{"description": d}], {"a": "x"}, AttributeError) for d in (5, None, ["{{a}}"])],
    ([{"description": b"{{a}}"}], {"a": "x"}, TypeError),
])
def test_malformed_input_raises(recorded, steps, params, error):
    with pytest.raises(error):
        skill_of(steps).build_steps(params)


def test_an_error_from_the_step_class_propagates(monkeypatch):
    monkeypatch.setattr(creator_module, "SkillStep", lambda **kwargs: kwargs["nothing"])
    with pytest.raises(KeyError, match="nothing"):
        skill_of([{"operation": "open_app"}]).build_steps({})


# --- to_dict ----------------------------------------------------------------------------------

def test_to_dict_extends_the_base_dict_with_the_current_values():
    bp = make_blueprint(reason="handy", version=2)
    skill = DynamicSkill(bp)
    d = skill.to_dict()
    assert list(d) == ATTRIBUTES[1:-1] + TAIL and d is not skill.to_dict()
    assert (d["dynamic"], d["version"], d["reason"]) == (True, 2, "handy")
    assert d["steps"] is bp.steps and d["triggers"] is bp.triggers
    bp.version, bp.reason, skill._raw_steps, skill.extra = 5, "improved", ["replaced"], "public"
    d = skill.to_dict()
    assert list(d)[-5:] == ["extra"] + TAIL
    assert (d["version"], d["reason"], d["steps"]) == (5, "improved", ["replaced"])


def test_keys_already_in_the_base_dict_keep_their_place(monkeypatch):
    base = {"steps": "old", "x": 1, "version": 99, "dynamic": False}
    monkeypatch.setattr(engine.SkillDefinition, "to_dict", lambda self: base)
    bp = make_blueprint(reason="r", version=4)
    d = DynamicSkill(bp).to_dict()
    assert d is base and list(d) == ["steps", "x", "version", "dynamic", "reason"]
    assert d == {"steps": bp.steps, "x": 1, "version": 4, "dynamic": True, "reason": "r"}


def test_to_dict_follows_the_method_resolution_order():
    class Tagged(engine.SkillDefinition):
        def to_dict(self):
            return {**super().to_dict(), "tagged": True}

    class Combined(DynamicSkill, Tagged):
        def to_dict(self):
            return {**super().to_dict(), "combined": True}

    assert list(Combined(make_blueprint()).to_dict())[-6:] == ["tagged"] + TAIL + ["combined"]


@pytest.mark.parametrize("returned", [None, [], "text", ("a", 1)])
def test_a_base_dict_that_is_not_a_dict_is_a_type_error(monkeypatch, returned):
    monkeypatch.setattr(engine.SkillDefinition, "to_dict", lambda self: returned)
    with pytest.raises(TypeError):
        DynamicSkill(make_blueprint()).to_dict()
