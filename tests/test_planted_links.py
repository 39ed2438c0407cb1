"""tests/test_planted_links.py: links planted in the data folders are never followed by lock files
and kept versions; copies of unreadable files are as private as the files they copy."""

from __future__ import annotations

import asyncio
import json
import os
import stat
from types import SimpleNamespace

import pytest

from tarvel.core import scheduler
from tarvel.skills import creator as module

pytestmark = pytest.mark.skipif(os.name != "posix", reason="needs symbolic links and permission bits")

Scheduler, ScheduledJob, JobType = scheduler.Scheduler, scheduler.ScheduledJob, scheduler.JobType
FAR = 4_102_444_800.0  # 2100-01-01, never due in a test


def skill(n):
    return {"name": "s", "description": f"v{n}", "app": "a", "category": "music", "triggers": ["t"],
            "steps": [{"operation": "open_app", "description": "s"}]}


def job(job_id):
    return ScheduledJob(id=job_id, name=job_id, job_type=JobType.ONCE, next_run=FAR)


def snapshot(folder):
    """Every entry under `folder` (itself included) with its kind, bits, size, times and bytes."""
    return {str(p.relative_to(folder)): (p.lstat().st_mode, p.lstat().st_size, p.lstat().st_mtime_ns,
                                         p.lstat().st_ctime_ns, p.read_bytes() if p.is_file() else None)
            for p in [folder, *folder.rglob("*")]}


# What each use of a place does with a link there; each returns the text that names the link.

def loop_lock(place):
    sch = Scheduler(storage_path=place.state)

    async def main():
        await sch.start()

    with pytest.raises(OSError) as refused:
        asyncio.run(main())
    assert sch._task is None and sch.running is False  # nothing started
    return str(refused.value)


def save_lock(place):
    sch = Scheduler(storage_path=place.state)
    sch.add_job(job("a"))
    [message] = [m for level, m in place.log() if level == "ERROR"]
    assert message.startswith("Failed to save scheduler state: ") and not place.state.exists()
    place.link.unlink()
    sch.add_job(job("b"))  # the next change saves what the failed save left in memory
    assert sorted(json.loads(place.state.read_text())["jobs"]) == ["a", "b"]
    return message


def log_lock(place):
    creator = module.SkillCreator()
    creator.log_learning("s", "lesson")
    [message] = [m for level, m in place.creator_log() if level == "WARNING"]
    assert message.startswith("Failed to save improvement log: ") and len(creator._improvement_log) == 1
    return message


def store_lock(place):
    ok, message, made = module.SkillCreator().create_from_dict(skill(1))
    assert (ok, made) == (False, None) and message.startswith("Failed to save skill: ")
    assert not (module.SKILLS_DIR / "s.json").exists()
    return message


def versions_folder(place):
    creator = module.SkillCreator()
    assert creator.create_from_dict(skill(1))[0] and creator.create_from_dict(skill(2))[0]
    assert json.loads((module.SKILLS_DIR / "s.json").read_text())["description"] == "v2"
    [message] = [m for level, m in place.creator_log() if level == "WARNING"]
    assert message.startswith("Failed to keep a copy of skill 's' v1: ") and place.link.is_symlink()
    return message


def copy_name(place):
    creator = module.SkillCreator()
    assert creator.create_from_dict(skill(1))[0] and creator.create_from_dict(skill(2))[0]
    copies = place.link.parent
    assert sorted(os.listdir(copies)) == ["v1-2.json", "v1.json"] and place.link.is_symlink()
    assert json.loads((copies / "v1-2.json").read_text())["description"] == "v1"
    assert [v["file"] for v in creator.list_skill_versions("s")] == ["v1-2.json", "s.json"]
    return str(place.link)


@pytest.mark.parametrize("target", ["file", "missing file", "directory"])
@pytest.mark.parametrize("where, use", [
    ("data/scheduler.json.lock", loop_lock),
    ("data/scheduler.json.save-lock", save_lock),
    ("home/.tarvel/improvement_log.json.lock", log_lock),
    ("home/.tarvel/skills/.lock", store_lock),
    ("home/.tarvel/skills/.versions", versions_folder),
    ("home/.tarvel/skills/.versions/s", versions_folder),
    ("home/.tarvel/skills/.versions/s/v1.json", copy_name),
])
def test_links_in_the_data_folders_are_never_followed(tmp_path, path, creator_home, log, creator_log,
                                                      where, use, target):
    outside = tmp_path / "outside"
    outside.mkdir()
    aim = outside / "target"
    if target == "file":
        aim.write_text("theirs\n")
        aim.chmod(0o640)
    elif target == "directory":
        aim.mkdir()
    link = tmp_path / where
    link.parent.mkdir(parents=True, exist_ok=True)
    link.symlink_to(aim)
    before = snapshot(outside)
    named = use(SimpleNamespace(state=path, link=link, log=log, creator_log=creator_log))
    assert snapshot(outside) == before  # never created, written, truncated or chmod-ed
    assert str(link) in named


@pytest.mark.parametrize("mode", [0o600, 0o660])
@pytest.mark.parametrize("unreadable", ["state file", "improvement log"])
def test_copies_of_unreadable_files_keep_their_permission_bits(path, creator_home, unreadable, mode):
    file = path if unreadable == "state file" else module.IMPROVEMENT_LOG
    file.parent.mkdir(parents=True, exist_ok=True)
    file.write_text("{")
    file.chmod(mode)
    Scheduler(storage_path=path) if unreadable == "state file" else module.SkillCreator()
    [copy] = file.parent.glob(file.name + ".bad-*")
    assert copy.read_text() == "{" and stat.S_IMODE(copy.stat().st_mode) == mode
