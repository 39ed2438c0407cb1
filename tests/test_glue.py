"""tests/test_glue.py: the shared glue on its own, through the test-only module tarvel_glue_test."""

from __future__ import annotations

import asyncio
import gc
import inspect
import json
import os
import stat
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


json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=True) | st.text(),
    lambda children: st.lists(children) | st.dictionaries(st.text(), children),
    max_leaves=30,
)


@settings(max_examples=300, deadline=None)
@given(json_values)
def test_writer_matches_json_dumps(value):
    assert glue.dumps(value) == json.dumps(value, indent=2)


class Text(str):
    pass


class Number(int):
    pass


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
