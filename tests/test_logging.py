"""tests/test_logging.py: both modules' log records name their own module and method."""

from __future__ import annotations

import logging
import time
from pathlib import Path

import pytest

from tarvel.core import scheduler
from tarvel.skills import creator as creator_module


def records_of(caplog, name):
    return [r for r in caplog.records if r.name == name]


def test_creator_records_name_the_creator_and_its_method(creator, caplog):
    caplog.set_level(logging.DEBUG, logger="tarvel.skills.creator")
    creator.create_from_dict({"type": "python", "name": "t", "description": "d",
                              "code": "async def run(ctx, params):\n    return {}\n"})
    creator.log_learning("t", "r", {"tags": {"a"}})
    seen = [(r.module, r.filename, r.funcName, r.levelname)
            for r in records_of(caplog, "tarvel.skills.creator")]
    assert seen == [("creator", "creator.py", "_create_python_skill", "INFO")] * 2 + [
        ("creator", "creator.py", "_save_improvement_log", "WARNING")] * 2
    record = records_of(caplog, "tarvel.skills.creator")[0]
    assert Path(record.pathname).parent == Path(creator_module.__file__).parent


def test_scheduler_records_name_the_scheduler_and_its_method(path, caplog):
    caplog.set_level(logging.DEBUG, logger="tarvel.scheduler")
    sch = scheduler.Scheduler(storage_path=path)
    sch.add_job(scheduler.ScheduledJob(name="n", job_type=scheduler.JobType.ONCE,
                                       next_run=time.time() + 60))
    path.write_text("{")
    scheduler.Scheduler(storage_path=path)
    seen = [(r.module, r.funcName, r.levelname) for r in records_of(caplog, "tarvel.scheduler")]
    assert seen[0] == ("scheduler", "add_job", "INFO")
    assert seen[1:] == [("scheduler", "_load", "ERROR")] * 2


@pytest.mark.parametrize("replace", ["instance method", "logger object"])
def test_a_replaced_logger_or_method_is_called_as_it_is(creator, monkeypatch, replace):
    calls = []
    if replace == "instance method":
        monkeypatch.setattr(creator_module.logger, "info", lambda message: calls.append(message))
    else:
        class Recorder:
            def info(self, message):
                calls.append(message)

        monkeypatch.setattr(creator_module, "logger", Recorder())
    creator.create_from_dict({"type": "python", "name": "t", "description": "d",
                              "code": "async def run(ctx, params):\n    return {}\n"})
    assert calls[0].startswith("Saved Python skill script: ")



def test_records_are_made_as_logging_makes_them(creator, monkeypatch, caplog):
    # A logger class whose makeRecord takes every argument by position, and no source file.
    made = []

    class Strict(logging.Logger):
        def makeRecord(self, name, level, fn, lno, msg, args, exc_info, func, extra, sinfo):
            made.append((fn, func, extra, sinfo))
            return super().makeRecord(name, level, fn, lno, msg, args, exc_info, func, extra, sinfo)

    monkeypatch.setattr(creator_module, "logger", Strict("tarvel.skills.creator.strict"))
    monkeypatch.setattr(logging, "_srcfile", None)
    creator.log_learning("t", "r", {"tags": {"a"}})
    assert made[0] == ("(unknown file)", "(unknown function)", None, None) and len(made) == 2
