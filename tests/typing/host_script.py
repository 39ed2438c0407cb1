"""A host script as a type checker sees it: the lines marked "error" must be reported, no other."""

from pathlib import Path

from tarvel.core.scheduler import JobState, JobType, ScheduledJob, Scheduler
from tarvel.skills.creator import SkillCreator, get_skill_creator


async def on_fire(job: ScheduledJob) -> str:
    return job.prompt


async def main() -> None:
    s = Scheduler(on_fire=on_fire, storage_path=Path("scheduler.json"))
    job = s.add_job(ScheduledJob(name="n", job_type=JobType.INTERVAL, interval_seconds=60))
    ScheduledJob(interval=5)  # error: unknown field
    s.add_jbo(job)  # error: no such method
    found: ScheduledJob | None = s.get_job(job.id)
    paused: bool = s.pause_job(job.id)
    state: JobState = job.state
    await s.start()
    await s.stop()
    await s.stop(timeout=5)
    await s.stop(timeout="5")  # error: seconds are numbers
    Scheduler(on_fire, overlap=False)
    Scheduler(on_fire, None, None, False)  # error: overlap is keyword-only
    creator: SkillCreator = get_skill_creator()
    ok, message, skill = creator.create_from_dict({"name": "x"})
    s.remove_job(5)  # error: job ids are text
    print(found, paused, state, ok, message, skill)
