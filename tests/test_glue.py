"""tests/test_glue.py: the shared glue on its own, through the test-only module tarvel_glue_test."""

from __future__ import annotations

import asyncio
import gc
import inspect
import json
import os
import stat
import sys
import warnings
import weakref

import pytest

glue = pytest.importorskip("tarvel_glue_test", reason="built by the test command (TARVEL_GLUE_TESTS=ON)")
from hypothesis import given, settings, strategies as st  # noqa: E402


def py_add(a: int, b: int = 2) -> int:
    """a + b"""
    return a + b


def error_of(call):
    try:
        call()
    except TypeError as error:
        return str(error).replace("py_add", "add")


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2, 3), {}), ((1,), {"c": 3}), ((1,), {"a": 2})])
def test_function_binds_and_refuses_like_python(args, kwargs):
    assert (inspect.signature(glue.add), glue.add.__doc__) == (inspect.signature(py_add), py_add.__doc__)
    assert glue.add(1) == 3 and glue.add(b=5, a=1) == 6
    assert error_of(lambda: glue.add(*args, **kwargs)) == error_of(lambda: py_add(*args, **kwargs))
    assert type(glue.add).__module__ == "tarvel._native" and glue.add.__module__ == "tarvel_glue_test"


class Step:
    """An awaitable that suspends once, yielding `value`, then returns what was sent in."""

    def __init__(self, value="step"):
        self.value = value

    def __await__(self):
        return (yield self.value)


def test_send_drives_to_the_result():
    coro = glue.relay(Step())
    assert coro.send(None) == "step" and asyncio.iscoroutine(coro)
    assert inspect.getcoroutinestate(coro) == inspect.CORO_SUSPENDED and coro.cr_await is not None
    with pytest.raises(StopIteration) as done:
        coro.send(42)
    assert done.value.value == ("got", 42) and coro.cr_await is None


async def py_relay(awaitable):
    return ("got", await awaitable)


def thrown(relay, throw_args):
    """What throw(*throw_args) does to a suspended relay: the exception and the warnings."""
    coro = relay(Step())
    coro.send(None)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(ValueError) as raised:
            coro.throw(*throw_args)
    return raised.value.args, [w.category for w in caught], inspect.getcoroutinestate(coro)


@pytest.mark.parametrize("throw_args", [
    (ValueError,), (ValueError, ValueError("two")), (ValueError, ValueError("three"), None),
])
def test_throw_reaches_the_body_in_every_form(throw_args):
    # The same exception, the same deprecation warnings (3.12 and later) as an async def.
    assert thrown(glue.relay, throw_args) == thrown(py_relay, throw_args)
    assert thrown(glue.relay, throw_args)[2] == inspect.CORO_CLOSED


def test_close_runs_final_steps_and_awaiting_there_is_refused():
    cleaned = []

    async def cleanup():
        cleaned.append(True)

    quiet = glue.guarded(Step(), lambda: _done())
    quiet.send(None)
    quiet.close()  # final steps that do not suspend are fine
    loud = glue.guarded(Step(), lambda: Step("again"))
    loud.send(None)
    with pytest.raises(RuntimeError, match="coroutine ignored GeneratorExit"):
        loud.close()
    assert asyncio.run(glue.guarded(asyncio.sleep(0, "r"), cleanup)) == "r" and cleaned == [True]


async def _done():
    return None


def test_cycles_through_kept_objects_are_collected():
    class Holder:
        pass

    holder = Holder()
    coro = glue.keeper(lambda: holder)
    holder.await_this = Step()
    holder.coro = coro  # the cycle: coroutine -> kept holder -> coroutine
    coro.send(None)
    alive = weakref.ref(holder)
    del holder, coro
    gc.collect()
    assert alive() is None


# Text with what the writer must escape: controls, quotes, DEL, non-ASCII and lone surrogates.
texts = st.text(
    st.characters(exclude_categories=()) | st.characters(categories=["Cs"]) | st.sampled_from('"\\\x7f\x00'))
json_values = st.recursive(
    st.none() | st.booleans() | st.integers(-2**63, 2**63 - 1) | st.floats(allow_nan=True) | texts,
    lambda children: st.lists(children) | st.lists(children).map(tuple) | st.dictionaries(
        texts | st.integers(-2**63, 2**63 - 1) | st.floats() | st.booleans() | st.none(), children),
    max_leaves=30,
)


@settings(max_examples=300, deadline=None)
@given(json_values)
def test_writer_matches_json_dumps(value):
    assert glue.dumps(value) == json.dumps(value, indent=2)


@settings(max_examples=300, deadline=None)
@given(json_values, st.sampled_from([None, 2, "\t"]), st.booleans())
def test_reader_matches_json_loads(value, indent, ascii_only):
    text = json.dumps(value, indent=indent, ensure_ascii=ascii_only)
    read, took = glue.loads(text)
    assert took or not ascii_only  # only a str with lone surrogates is left to json.loads
    if took:
        assert repr(read) == repr(json.loads(text))


@pytest.mark.parametrize("text", ["", "{", "[1,]", "01", "1e400", '"\\x"', '"a\tb"', "\ufeff1", "[] 1",
                                  "[" * 65 + "]" * 65, '"\\ud800\\uzzzz"'])
def test_reader_leaves_to_json_loads_what_it_does_not_read_as_json_loads(text):
    assert glue.loads(text) == (None, False)


class Text(str):
    def __repr__(self):
        return "Text()"


class Number(int):
    def __repr__(self):
        return "Number()"


class Real(float):
    def __repr__(self):
        return "Real()"


class Backwards(list):
    def __iter__(self):
        return reversed(list(super().__iter__()))


ITEMS_CALLS = []


class Renamed(dict):
    def items(self):
        ITEMS_CALLS.append(self)
        return [(f"{k}!" if isinstance(k, str) else k, v) for k, v in super().items()]


def wrapped(value, depth, cyclic):
    """`value` inside `depth` dicts and lists; with `cyclic`, the innermost list holds the outermost."""
    outer = inner = [value]
    for i in range(depth):
        outer = [outer] if i % 2 else {"k": outer}
    if cyclic:
        inner.append(outer)
    return outer


def outcome(dumps, value):
    """The text dumps(value) gives or the error it raises, and the items() calls it made."""
    ITEMS_CALLS.clear()
    try:
        result = dumps(value)
    except Exception as error:
        result = (type(error), str(error))
    return result, len(ITEMS_CALLS)


odd_keys = (texts.map(Text) | st.integers().map(Number) | st.floats().map(Real)
            | st.tuples(st.integers()) | st.binary(max_size=2))
odd_values = st.recursive(
    json_values | odd_keys | st.builds(object) | st.integers().map(lambda i: i * 2**64),
    lambda children: st.lists(children).map(Backwards) | st.dictionaries(texts, children).map(Renamed)
    | st.lists(children) | st.dictionaries(texts | st.integers() | odd_keys, children),
    max_leaves=20,
)


@settings(max_examples=300, deadline=None)
@given(odd_values, st.integers(0, 150), st.booleans())
def test_writer_gives_what_json_dumps_gives_for_any_value(value, depth, cyclic):
    # Subclasses, other objects and keys, huge ints, cycles and deep nesting: the same text, or
    # the same error, and the same calls into the value's own code.
    value = wrapped(value, depth, cyclic)
    assert outcome(glue.dumps, value) == outcome(lambda v: json.dumps(v, indent=2), value)


def indented(text, depth):
    return text.replace("\n", "\n" + "  " * depth)


# Exact dicts with str keys, lists and scalars: the values whose text is told without encoding.
plain_values = st.recursive(
    st.none() | st.booleans() | st.integers(-2**63, 2**63 - 1) | st.floats(allow_nan=True) | texts,
    lambda children: st.lists(children) | st.dictionaries(texts, children),
    max_leaves=30,
)


@settings(max_examples=200, deadline=None)
@given(plain_values, st.integers(0, 3))
def test_a_text_is_told_to_be_what_json_dumps_writes(value, depth):
    text = indented(json.dumps(value, indent=2), depth)
    assert glue.json_text_is(text, value, depth)
    assert not glue.json_text_is(text + " ", value, depth)
    assert not glue.json_text_is(text, value, depth + 1) or "\n" not in text


@pytest.mark.parametrize("text, value", [
    ('{"a": 1000.0}', {"a": 1e3}),  # as written
    ('{\n  "a": 1e3\n}', {"a": 1e3}),
    ('{\n  "a":1\n}', {"a": 1}),
    ('{\n    "a": 1\n}', {"a": 1}),
    ('{\n  "b": 1,\n  "a": 2\n}', {"a": 2, "b": 1}),
    ('{\n  "a": 1,\n  "extra": 2\n}', {"a": 1}),
    ('"\\u00E9"', "\u00e9"),
    ('"\\/"', "/"),
    ('1', True),
    ('1.0', 1),
    ('[]', ()),
], ids=["on one line", "1e3", "no space", "deeper indent", "key order", "extra key", "capital escape",
        "needless escape", "bool as int", "int as float", "tuple"])
def test_a_text_written_otherwise_is_not_told_to_be_it(text, value):
    assert not glue.json_text_is(text, value, 0)


def at_depth(frames, call):
    """call() made `frames` Python frames further down, or the RecursionError met on the way."""
    try:
        return at_depth(frames - 1, call) if frames else call()
    except RecursionError as error:
        return str(error)


@pytest.mark.parametrize("nesting", [1, 63, 64, 65])
def test_writer_near_the_recursion_limit(nesting):
    value = wrapped(0.5, nesting - 1, False)
    in_use = len(inspect.stack(0))
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(in_use + 300)
    try:
        # the last frames below the limit are left out: there calling any C function fails first
        for frames in range(0, 290):
            mine = at_depth(frames, lambda: glue.dumps(value))
            assert mine == at_depth(frames, lambda: json.dumps(value, indent=2)), frames
    finally:
        sys.setrecursionlimit(limit)


@pytest.mark.parametrize("value", [
    [Text("sub")], {Text("k"): Number(3)}, [Number(5), 1.0 / 3], {1: "int key", 2.5: None, True: False},
    [[[[[[[[[[[]]]]]]]]]]], {"nested": {"deeper": [{"a": (1, 2)}]}},
])
def test_writer_matches_json_dumps_for_subclasses_and_nesting(value):
    assert glue.dumps(value) == json.dumps(value, indent=2)


def test_writer_raises_what_json_dumps_raises():
    looped = []
    looped.append(looped)
    for value in (looped, {"x": object()}, {(1, 2): 3}):
        with pytest.raises(Exception) as ours:
            glue.dumps(value)
        with pytest.raises(Exception) as theirs:
            json.dumps(value, indent=2)
        assert (type(ours.value), str(ours.value)) == (type(theirs.value), str(theirs.value))


@pytest.mark.parametrize("owner, name, replacement", [
    (json, "dumps", lambda obj, **kwargs: "replaced"),
    (json.JSONEncoder, "encode", lambda self, obj: "encoded"),
    (json.JSONEncoder, "key_separator", " = "),
    (json.encoder, "encode_basestring_ascii", lambda text: f"<{text}>"),
])
def test_writer_follows_a_patched_json(monkeypatch, owner, name, replacement):
    value = {"key": ["text", 1.5]}
    shipped = glue.dumps(value)
    monkeypatch.setattr(owner, name, replacement)
    assert glue.dumps(value) == json.dumps(value, indent=2) != shipped


def test_replace_writes_the_whole_text(tmp_path):
    target = tmp_path / "file.txt"
    target.write_text("old")
    glue.replace(target, "new text")
    assert target.read_text() == "new text" and sorted(p.name for p in tmp_path.iterdir()) == ["file.txt"]


def test_replace_leaves_a_device_to_the_plain_write(tmp_path):
    """A device is written as a plain write writes it: that write's error stands, the node stays."""
    device = tmp_path / "full"
    try:
        os.mknod(device, stat.S_IFCHR | 0o666, os.makedev(1, 7))  # as /dev/full: writes fail
    except (AttributeError, PermissionError):
        pytest.skip("cannot make a device node here")
    with pytest.raises(OSError) as theirs:
        device.write_text("text")
    with pytest.raises(OSError) as ours:
        glue.replace(device, "text")
    assert (type(ours.value), str(ours.value)) == (type(theirs.value), str(theirs.value))
    assert stat.S_ISCHR(device.lstat().st_mode) and os.listdir(tmp_path) == ["full"]


# --- kept texts: a document joined from its records' texts kept between saves -----------------


class Owner:
    """An object whose saves keep their records' texts (in _kept_texts), as a Scheduler does."""


def flat(record):
    """Whether a record's text can be kept: every field but "details" is a str, number, bool or None."""
    return all(v is None or type(v) in (str, int, float, bool) for k, v in record.items() if k != "details")


def records_of(document):
    """The document's records, each once (a record under two keys is written once)."""
    parts = [document] if isinstance(document, list) else list(document.values())
    records = [r for part in parts for r in (part if isinstance(part, list) else part.values())]
    return list({id(r): r for r in records}.values())


SHARED = {"name": "twice"}
KEPT_DOCUMENTS = [
    pytest.param([], id="empty list"),
    pytest.param({}, id="empty dict"),
    pytest.param({"jobs": {}, "executions": []}, id="empty parts"),
    pytest.param([{}, {"a": 1, "b": None, "c": 2.5, "d": True, "details": {}}], id="flat records"),
    pytest.param(
        {
            "jobs": {
                "nightly": {"name": "Nächtlich ☾", "details": {"tags": ["a", {"b": []}], "empty": {}}},
                "日程": {"text": "line\u2028break \"quoted\" \\", "n": -7},
            },
            "executions": [{"ok": False, "details": {"é": {"ü": [1.5, None]}}}, {}],
        },
        id="nested dicts and lists, non-ASCII",
    ),
    pytest.param([{"steps": [1, [2, {"three": {}}]], "map": {"k": []}, "details": {"k": [[]]}}], id="containers in records"),
    pytest.param({"jobs": {"a": SHARED, "b": SHARED}}, id="one record under two keys"),
]


@pytest.mark.parametrize("document", KEPT_DOCUMENTS)
def test_kept_texts_join_to_what_json_dumps_writes(document):
    owner, records = Owner(), records_of(document)
    assert glue.kept_dumps(owner, document) == (json.dumps(document, indent=2), len(records))
    # saved again: only records holding a list or dict outside "details" are written again
    again = sum(not flat(r) for r in records)
    assert glue.kept_dumps(owner, document) == (json.dumps(document, indent=2), again)


def change_field(doc):
    doc["jobs"]["b"]["n"] = 8


def add_field(doc):
    doc["jobs"]["b"]["new"] = "field"


def change_details_deep_in_place(doc):
    doc["jobs"]["a"]["details"]["tags"][1]["b"].append("c")


def replace_details_value(doc):
    doc["executions"][0]["details"]["k"] = "other, same size"


@pytest.mark.parametrize(
    "change, written",
    [
        (change_field, 1),
        (add_field, 1),
        (change_details_deep_in_place, 1),
        (replace_details_value, 1),
        (lambda doc: doc["jobs"].update(c=doc["jobs"].pop("b")), 0),  # moved under a new key
        (lambda doc: doc["executions"].reverse(), 0),
        (lambda doc: doc["executions"].append({"x": "é"}), 1),
    ],
)
def test_a_changed_record_is_written_again(change, written):
    document = {
        "jobs": {"a": {"name": "A", "details": {"tags": ["t", {"b": []}]}}, "b": {"n": 7}},
        "executions": [{"ok": True, "details": {"k": "v"}}, {"ok": False}],
    }
    owner = Owner()
    glue.kept_dumps(owner, document)
    change(document)
    assert glue.kept_dumps(owner, document) == (json.dumps(document, indent=2), written)


def test_kept_texts_belong_to_their_owner():
    import copy

    document = [{"a": 1}, {"b": 2}]
    owner = Owner()
    glue.kept_dumps(owner, document)
    assert glue.kept_dumps(copy.copy(owner), document)[1] == 2  # a copy keeps none of them
    assert glue.kept_dumps(owner, document)[1] == 0


def test_too_deep_a_record_takes_the_whole_path():
    deep = []
    for _ in range(70):
        deep = [deep]
    assert glue.kept_dumps(Owner(), [{"deep": deep}]) is None
