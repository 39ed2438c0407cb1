"""tests/test_typing.py: the type stubs match the modules, and type checkers and stubgen can use them."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")

HERE = Path(__file__).resolve().parent
HOST = HERE.parent / "host"
MODULES = ["tarvel.core.scheduler", "tarvel.skills.creator"]


def run(*args, cwd):
    env = dict(os.environ, PYTHONPATH=str(HOST), MYPYPATH=str(HOST))
    command = [sys.executable, *args] if args[0] == "-c" else [sys.executable, "-m", *args]
    return subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True)


def test_stubs_match_the_modules(tmp_path):
    done = run("mypy.stubtest", *MODULES, "--allowlist", str(HERE / "typing" / "stubtest-allowlist.txt"),
               cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_type_checker_reports_misuse(tmp_path):
    script = HERE / "typing" / "host_script.py"
    done = run("mypy", "--no-incremental", "--cache-dir", os.devnull, "--strict-optional", str(script),
               cwd=tmp_path)
    reported = sorted({int(n) for n in re.findall(r"host_script\.py:(\d+): error", done.stdout)})
    expected = [n for n, line in enumerate(script.read_text().splitlines(), 1) if "# error" in line]
    assert reported == expected, done.stdout + done.stderr


def test_stubgen_reads_both_modules(tmp_path):
    done = run("-c", "from mypy.stubgen import main; main()", *[arg for m in MODULES for arg in ("-m", m)], "-o", str(tmp_path), cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    assert (tmp_path / "tarvel" / "core" / "scheduler.pyi").exists()


def typed_dict_keys(stub, name):
    """The keys of the TypedDict `name` in a stub file, read with ast."""
    import ast

    tree = ast.parse((HERE.parent / stub).read_text())
    [node] = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == name]
    return {n.target.id for n in node.body if isinstance(n, ast.AnnAssign)}


async def _reports(tmp_path):
    """One report of each kind, from a scheduler and a creator with one job, one run and one skill."""
    import tarvel.skills.creator as creator_module
    from tarvel.core.scheduler import JobType, ScheduledJob, Scheduler

    async def on_fire(job):
        return "done"

    scheduler = Scheduler(on_fire, storage_path=tmp_path / "scheduler.json")
    job = scheduler.add_job(ScheduledJob(name="n", job_type=JobType.INTERVAL, interval_seconds=60))
    creator = creator_module.SkillCreator()
    creator.create_from_dict({"name": "s", "description": "d", "app": "a", "category": "music", "triggers": ["t"],
                              "steps": [{"operation": "open_app", "description": "o", "params": {}}]})
    review = creator.review_skill("s")
    return {
        ("core/scheduler/scheduler.pyi", "ExecutionInfo"): await scheduler.run_now(job.id),
        ("core/scheduler/scheduler.pyi", "JobInfo"): scheduler.list_jobs()[0],
        ("core/scheduler/scheduler.pyi", "SchedulerStats"): scheduler.stats(),
        ("core/scheduler/scheduler.pyi", "UpcomingRun"): scheduler.upcoming(1)[0],
        ("skills/creator/creator.pyi", "SkillListing"): creator.list_saved_skills()[0],
        ("skills/creator/creator.pyi", "SkillVersion"): creator.list_skill_versions("s")[0],
        ("skills/creator/creator.pyi", "SkillReview"): review,
        ("skills/creator/creator.pyi", "Placeholders"): review["placeholders"],
        ("skills/creator/creator.pyi", "RiskyOperation"): review["risky_operations"][0],
        ("skills/creator/creator.pyi", "ImprovementRecord"): creator.get_improvement_log()[0],
        ("skills/creator/creator.pyi", "ImprovementStats"): creator.get_improvement_stats(),
    }


def test_typed_reports_name_the_keys_the_modules_give(tmp_path, creator_home):
    import asyncio

    optional = {"type"}  # only with list_saved_skills(with_type=True)
    for (stub, name), report in asyncio.run(_reports(tmp_path)).items():
        assert typed_dict_keys(stub, name) - optional == set(report), name
