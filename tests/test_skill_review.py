"""tests/test_skill_review.py: SkillCreator.review_skill, a report read from steps or from a syntax tree."""

from __future__ import annotations

import ast
import sys

import pytest

from tarvel.skills import creator as module

KEYS = ["kind", "has_run", "imports", "risky_calls", "risky_operations", "placeholders", "problems"]
SYNC = "Line {}: run is defined with 'def', not 'async def': the host awaits run(ctx, params)"
TEXT_ONLY = ("The text 'async def run' appears, but not as a module-level 'async def run(ctx, "
             "params)' (a comment or a string?)")
NO_RUN = "No module-level 'async def run(ctx, params)'"


def python(code, **fields):
    return {"type": "python", "name": "tool", "description": "d", "code": code, **fields}


def places(declared=(), used=(), undeclared=(), unused=()):
    return {"declared": list(declared), "used": list(used), "undeclared": list(undeclared),
            "unused": list(unused)}


def syntax_error(code, file_name="tool.py"):
    """The problem for code that does not parse, or is nested too deeply to parse."""
    try:
        ast.parse(code, file_name)
    except SyntaxError as error:
        return f"Syntax error in code: {error}"
    except (RecursionError, MemoryError) as error:
        words = str(error) or "Python source too complex to parse"  # 3.11's parser gives none
        return f"Syntax error in code: {words} ({file_name})"
    raise AssertionError("the code parses")


DEEP = {"chained-terms": "x = " + "+".join(["1"] * 100_000), "unary": "x = " + "-" * 100_000 + "1",
        "parentheses": "x = " + "(" * 100_000 + ")" * 100_000}


@pytest.mark.parametrize("code, fields, has_run, imports, risky, problems", [
    ("import os as o\nrun_it = o.system\nasync def run(ctx, params):\n    run_it('ls')\n", {},
     True, ["os"], ["os.system"], ["Line 4: run_it() calls os.system"]),
    ("from subprocess import run as go\nimport importlib\nasync def run(ctx, params):\n"
     "    go(['x'])\n    getattr(importlib.import_module('shutil'), 'rmtree')('/')\n", {},
     True, ["importlib", "shutil", "subprocess"],
     ["importlib.import_module", "shutil.rmtree", "subprocess.run"],
     ["Line 4: go() calls subprocess.run",
      "Line 5: getattr(importlib.import_module('shutil'), 'rmtree')() calls shutil.rmtree"]),
    ("import asyncio, os\nasync def run(ctx, params):\n"
     "    sh = os.system\n    await asyncio.to_thread(sh, 'ls')\n"
     "    return eval(params['expr']), map(os.popen, ['ls'])\n",
     {"required_params": ["expr"]}, True, ["asyncio", "os"], ["eval", "os.popen", "os.system"],
     ["Line 4: sh (os.system) is handed to asyncio.to_thread()",
      "Line 5: os.popen is handed to map()"]),
    ("def run(ctx, params):\n    return {}\n", {}, False, [], [], [SYNC.format(1)]),
    ("# async def run(ctx, params)\ndef run(ctx, params):\n    return {}\n", {}, False, [], [],
     [SYNC.format(2), TEXT_ONLY]),
    ("x = 'async def run(ctx, params)'\n", {}, False, [], [], [NO_RUN, TEXT_ONLY]),
    ("async def run(ctx):\n    return {}\n", {}, False, [], [],
     ["Line 1: async def run cannot be called as run(ctx, params)"]),
    ("async def run(ctx, params:\n", {}, False, [], [],
     [syntax_error("async def run(ctx, params:\n")]),
    ("async def run(ctx, params:\n", {"name": "a\0b"}, False, [], [],
     [syntax_error("async def run(ctx, params:\n", "a\\x00b.py")]),
    *[pytest.param(code, {}, False, [], [], [syntax_error(code)], id=f"too-deep-{name}")
      for name, code in DEEP.items()],
    pytest.param("import os\nf" + "()" * 400 + "(os.system)\n", {}, False, ["os"], ["os.system"],
                 [NO_RUN, "Line 2: os.system is handed to f" + "()" * 401],
                 id="too-deep-to-unparse"),
])
def test_code_is_reported_as_its_syntax_tree_reads(creator, code, fields, has_run, imports, risky,
                                                   problems):
    report = creator.review_skill(python(code, **fields))
    assert list(report) == KEYS and report["kind"] == "python" and report["risky_operations"] == []
    assert (report["has_run"], report["imports"], report["risky_calls"], report["problems"]) == (
        has_run, imports, risky, problems)


@pytest.mark.parametrize("body, risky, problem", [
    ('(f := os.system)("x")', "os.system", "Line 3: (f := os.system)() calls os.system"),
    ('if f := os.system:\n        f("x")', "os.system", "Line 4: f() calls os.system"),
    ('globals()["os"].system("x")', "os.system",
     "Line 3: globals()['os'].system() calls os.system"),
    ('vars()["os"].system("x")', "os.system", "Line 3: vars()['os'].system() calls os.system"),
    ('locals()["os"].system("x")', "os.system", "Line 3: locals()['os'].system() calls os.system"),
    ('sys.modules["os"].system("x")', "os.system",
     "Line 3: sys.modules['os'].system() calls os.system"),
    ('globals()["__builtins__"]["exec"]("1")', "exec",
     "Line 3: globals()['__builtins__']['exec']() calls exec"),
    ('__builtins__["exec"]("1")', "exec", "Line 3: __builtins__['exec']() calls exec"),
    ('__builtins__.exec("1")', "exec", "Line 3: __builtins__.exec() calls exec"),
    ('[os.system][0]("x")', "os.system", "Line 3: [os.system][0]() calls os.system"),
    ('(os.system,)[0]("x")', "os.system", "Line 3: (os.system,)[0]() calls os.system"),
    ('{"k": os.system}["k"]("x")', "os.system", "Line 3: {'k': os.system}['k']() calls os.system"),
    ('fs = [print, os.system]\n    fs[-1]("x")', "os.system", "Line 4: fs[-1]() calls os.system"),
    ('pick()("x")\ndef pick():\n    return os.system', "os.system",
     "Line 3: pick()() calls os.system"),
    ('(lambda: os.system)()("x")', "os.system", "Line 3: (lambda: os.system)()() calls os.system"),
    ('map([os.popen][0], ["x"])', "os.popen",
     "Line 3: [os.popen][0] (os.popen) is handed to map()"),
    # what the subscript or the call picks is something else
    ('[print, os.system][0]("x")', None, None),
    ('{"k": os.system, "j": print}["j"]("x")', None, None),
    ('pick()("x")\ndef pick():\n    def inner():\n        return os.system\n    return print',
     None, None),
])
def test_calls_through_other_names_are_followed(creator, body, risky, problem):
    code = "import os, sys\nasync def run(ctx, params):\n    " + body + "\n"
    report = creator.review_skill(python(code))
    assert (report["risky_calls"], report["problems"]) == (
        [risky] if risky else [], [problem] if problem else [])


def test_parameters_of_code_are_checked_against_the_declared_ones(creator):
    code = ("async def run(ctx, p):\n    return p['who'], p['how'], p.get('when'), p.get('why'),"
            " params['not_a_parameter']\n")
    report = creator.review_skill(python(code, required_params=["who", "unused"],
                                         optional_params=["how", "when"]))
    assert report["placeholders"] == places(["how", "unused", "when", "who"],
                                            ["how", "when", "who", "why"], ["why"], ["unused"])
    assert report["problems"] == [
        "Parameter 'why' is read from p but not declared in required_params or optional_params",
        "Optional parameter 'how' is read as p['how'], which fails when a call leaves it out"]


def test_steps_are_reported_with_their_risky_operations_and_placeholders(creator):
    steps = [{"operation": "run_command", "description": "Run {{cmd}}", "params": {"c": "ls {{dir}}"}},
             {"operation": "open_url", "description": "Open", "params": {"url": "{{url}} {{mode}}"}},
             {"operation": "kill_process", "description": "End", "params": {"n": 5}}]
    report = creator.review_skill({"name": "s", "description": "d", "app": "a", "triggers": ["t"],
                                   "required_params": ["dir", "spare"], "optional_params": ["mode"],
                                   "steps": steps})
    assert report == {
        "kind": "simple", "has_run": None, "imports": [], "risky_calls": [],
        "risky_operations": [{"step": 0, "operation": "run_command"},
                             {"step": 2, "operation": "kill_process"}],
        "placeholders": places(["dir", "mode", "spare"], ["cmd", "dir", "mode", "url"],
                               ["cmd", "url"], ["spare"]),
        "problems": [
            "Step 2: placeholder '{{url}}' not in required_params or optional_params",
            "Step 1: placeholder '{{cmd}}' in the description not in required_params or "
            "optional_params",
            "Optional parameter 'mode' is used as '{{mode}}': a call without it passes '{{mode}}' "
            "on literally"]}


def test_stored_skills_are_reviewed_as_the_data_that_made_them(creator):
    code = "import os\nasync def run(ctx, params):\n    os.system(params['cmd'])\n"
    simple = {"name": "play", "description": "d", "app": "a", "triggers": ["t"],
              "steps": [{"operation": "open_app", "description": "{{app}}"}]}
    for data in (python(code, required_params=["cmd"]), simple):
        creator.create_from_dict(data)
        assert creator.review_skill(data["name"]) == creator.review_skill(data)
    (module.SKILLS_DIR / "tool.py").unlink()
    assert creator.review_skill("tool")["problems"][0].startswith(
        "The script of skill 'tool' cannot be read: [Errno 2]")
    for name, problem in [("gone", "Skill 'gone' not found"), ("../x", "Invalid skill name '../x'")]:
        assert creator.review_skill(name) == {
            "kind": None, "has_run": None, "imports": [], "risky_calls": [],
            "risky_operations": [], "placeholders": places(), "problems": [problem]}


def test_review_never_imports_or_runs_the_code(creator, tmp_path):
    marker = tmp_path / "ran"
    code = (f"import tarvel_review_probe\nopen({str(marker)!r}, 'w').write('x')\n"
            "async def run(ctx, params):\n    return {}\n")
    report = creator.review_skill(python(code))
    assert report["imports"] == ["tarvel_review_probe"] and report["risky_calls"] == ["open"]
    assert not marker.exists() and "tarvel_review_probe" not in sys.modules


@pytest.mark.parametrize("argument", [None, 5, b"play", ["play"], type("D", (dict,), {})()])
def test_arguments_of_other_types_are_refused(creator, argument):
    with pytest.raises(TypeError, match="^name_or_data must be a str or a dict, not "):
        creator.review_skill(argument)
