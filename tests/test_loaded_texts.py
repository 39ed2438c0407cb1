"""tests/test_loaded_texts.py: the texts of the jobs a load built are kept by the next save only
where they are exactly what it writes; the file it writes is the same either way."""

from __future__ import annotations

import json
import os

import pytest
from scheduler_twin import state_text

from tarvel.core import scheduler

Scheduler, ScheduledJob, JobType = scheduler.Scheduler, scheduler.ScheduledJob, scheduler.JobType

pytestmark = pytest.mark.skipif(not hasattr(scheduler, "_keep_loaded_texts"),
                                reason="a build without the test hooks")


def jobs():
    return [
        ScheduledJob(id="cron", name="Café ☕ \U0001F600", schedule="0 6 * * *", prompt="p" * 400,
                     created_at=1000.0, next_run=4_102_444_800.25,
                     metadata={"tags": ["a", {"n": None, "f": 1.5}], "on": True, "empty": {}}),
        ScheduledJob(id="tick", name="tick", job_type=JobType.INTERVAL, interval_seconds=60, created_at=17.0,
                     last_run=1_700_000_000.5, description='line\nbreak "quoted" \\'),
        ScheduledJob(id="plain", name="plain", job_type=JobType.ONCE, created_at=2.5),
    ]


def job_ranges(text, registry):
    """(key, job, begin, end) of each record under "jobs", as a load finds them."""
    decode = json.JSONDecoder().raw_decode
    at = text.index("{", text.index('"jobs"')) + 1
    found = []
    while True:
        while text[at] in " \t\r\n,":
            at += 1
        if text[at] == "}":
            return found
        key, at = decode(text, at)
        while text[at] in " \t\r\n:":
            at += 1
        end = decode(text, at)[1]
        found.append((key, registry[key], at, end))
        at = end


def edit(old, new):
    return lambda text: text.replace(old, new, 1)


def remove(sch):
    del sch._jobs["tick"]


def update(sch):
    sch._jobs["plain"].description = "changed"


# (how the file is changed after our save, the zone of the next load, a change before the save
# after it, how many jobs that save writes again rather than keeps)
CASES = [
    pytest.param(None, None, None, 0, id="our own file"),
    pytest.param(None, "Asia/Tokyo", None, 2, id="another time zone's human times"),
    pytest.param(edit('"name": "plain"', '"name":"plain"'), None, None, 1, id="a hand-edited layout"),
    pytest.param(edit('"name": "tick",', '"name": "tick", "extra": 1,'), None, None, 1, id="an extra key"),
    pytest.param(edit('"created_at": 1000.0', '"created_at": 1e3'), None, None, 1, id="a float written as 1e3"),
    pytest.param(edit(r"\u00e9", r"\u00E9"), None, None, 1, id="an escape in capitals"),
    pytest.param(edit('"cron": {', r'"\u0063ron": {'), None, None, 0, id="a key written otherwise (the job kept)"),
    pytest.param(edit('"on": true', '"on": true, "big": 100000000000000000000'), None, None, 1,
                 id="an int too big to tell"),
    pytest.param(None, None, remove, 0, id="a job removed before the save"),
    pytest.param(None, None, update, 1, id="a job changed before the save"),
]



@pytest.fixture
def native_times(posix_files):
    """Whether local times are formatted natively, so that a loaded job's human times can be told
    without Python: not in a portable build on POSIX, where datetime converts them and every job
    with a time is written again at the first save (the same bytes)."""
    return posix_files or os.name == "nt"

@pytest.mark.parametrize("change, zone, before_save, written", CASES)
def test_loaded_text_is_kept_only_where_it_is_what_the_save_writes(path, local_zone, change, zone,
                                                                   before_save, written, native_times):
    local_zone("America/New_York")
    sch = Scheduler(storage_path=path)
    for job in jobs():
        sch.add_job(job)
    if change:
        path.write_text(change(path.read_text()))
    if zone:
        local_zone(zone)
    loaded = Scheduler(storage_path=path)
    text = loaded._file_version[2]
    scheduler._keep_loaded_texts(loaded, text, job_ranges(text, loaded._jobs))
    if before_save:
        before_save(loaded)
    loaded._save()
    assert path.read_text() == state_text(loaded._jobs, loaded._executions)
    if native_times:
        assert scheduler._kept_jobs_written(loaded) == written
    loaded._save()  # the save after keeps what the first wrote
    assert scheduler._kept_jobs_written(loaded) == 0


def test_the_first_save_after_a_load_keeps_the_texts_the_load_read(path, native_times):
    sch = Scheduler(storage_path=path)
    for job in jobs():
        sch.add_job(job)
    loaded = Scheduler(storage_path=path)  # the load hands the texts over itself
    loaded._save()
    assert path.read_text() == state_text(loaded._jobs, loaded._executions)
    if native_times:
        assert scheduler._kept_jobs_written(loaded) == 0
