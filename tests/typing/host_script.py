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
    report = s.list_jobs()[0]
    when: float = report["next_run"]
    report["nxt_run"]  # error: no such key
    ran = await s.run_now(job.id)
    if ran is not None:
        took: float = ran["duration"]
        ran["durration"]  # error: no such key
    stats = s.stats()
    stats["running"] = "yes"  # error: a bool
    review = creator.review_skill("x")
    risky: list[str] = review["risky_calls"]
    review["placeholders"]["undeclard"]  # error: no such key
    for version in creator.list_skill_versions("x"):
        number: str = version["version"]  # error: an int
    Scheduler(storage_path="scheduler.json")
    print(found, paused, state, ok, message, skill, when, took, risky)
    code: str | None = creator.get_skill_code("x", version=2)
    creator.get_skill_code("x", "2")  # error: versions are numbers
    kind = creator.list_saved_skills(with_type=True)[0].get("type")
    print(code, kind)
    problems: list[str] = s.load_problems + creator.load_problems
    s.load_problems.append(5)  # error: the problems are texts
    print(problems)
