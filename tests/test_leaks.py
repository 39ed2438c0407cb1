"""tests/test_leaks.py: every public operation of both modules, in a loop, leaves the allocated blocks flat."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

HOST = Path(__file__).resolve().parent.parent / "host"

ROUND = r'''
import asyncio, gc, shutil, sys, time
from datetime import datetime
from pathlib import Path
from tarvel.core import scheduler as s
from tarvel.skills import creator as c
from tarvel.skills.engine import SkillRegistry

root = Path(sys.argv[1])
s.DURABLE_WRITES = c.DURABLE_WRITES = False
c.SKILLS_DIR, c.IMPROVEMENT_LOG = root / "skills", root / "improvement_log.json"
SIMPLE = {"name": "play", "description": "Play {{song}}", "app": "spotify", "category": "music",
          "triggers": ["play"], "required_params": ["song"],
          "steps": [{"operation": "keyboard_type", "description": "Type {{song}}", "params": {"text": "{{song}}"}}]}
PYTHON = {"type": "python", "name": "report", "description": "r", "category": "system", "triggers": ["r"],
          "code": "import os\n\nasync def run(ctx, params):\n    return {}\n"}

async def fire(job):
    return {"done": job.id}

async def scheduling(sch):
    await sch.start()
    job = sch.add_job(s.ScheduledJob(id="now", job_type=s.JobType.ONCE, next_run=time.time()))
    await sch.run_now("cron")
    await asyncio.sleep(0)
    await sch.stop()

def one_round():
    shutil.rmtree(root, ignore_errors=True)
    sch = s.Scheduler(on_fire=fire, storage_path=root / "scheduler.json", poll_interval=0.01)
    sch.add_job(s.ScheduledJob(id="cron", schedule="*/5 * * * *", prompt="p", metadata={"k": [1]}))
    sch.add_job(s.ScheduledJob(id="iv", job_type="interval", interval_seconds=60))
    sch.update_job("iv", {"name": "renamed", "state": "paused"})
    sch.resume_job("iv"); sch.pause_job("cron"); sch.get_job("cron")
    sch.list_jobs(); sch.list_executions(); sch.stats(); sch.upcoming(5)
    asyncio.run(scheduling(sch))
    sch.remove_job("iv")
    s.Scheduler(storage_path=root / "scheduler.json").list_jobs()
    s.CronExpression("0 9 * * 1-5").next_occurrences(3, datetime(2030, 1, 1))
    s._format_timestamp(1_800_000_000.5)
    cr = c.SkillCreator()
    reg = SkillRegistry()
    cr.create_from_dict(dict(SIMPLE), reg); cr.create_from_dict(dict(SIMPLE, reason="again"), reg)
    cr.create_from_dict(dict(PYTHON), reg)
    reg.get("play").build_steps({"song": "x"})
    cr.list_saved_skills(); cr.load_into_registry(SkillRegistry()); cr.get_skill_source("report")
    cr.list_saved_skills(True); cr.get_skill_code("report"); cr.get_skill_code("report", 1)
    cr.create_from_dict(dict(SIMPLE, steps="open"), object())
    cr.review_skill("report"); cr.review_skill(dict(SIMPLE)); cr.list_skill_versions("play")
    cr.rollback_skill("play", 1, reg); cr.log_learning("play", "works", {"n": 1})
    cr.get_improvement_log(); cr.get_improvement_stats(); cr.delete_skill("play", reg)

# Bounded caches (the listing's parsed files, the interpreter's own) fill over many rounds; a leak
# grows every window. Windows of 100 rounds run until one grows by fewer than 50 blocks: one
# object lost per round can never get there.
for _ in range(100):
    one_round()
growths = []
for _ in range(12):
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(100):
        one_round()
    gc.collect()
    growths.append(sys.getallocatedblocks() - before)
    if growths[-1] < 50:
        break
print(*growths)
'''


def test_public_operations_leave_allocations_flat(tmp_path):
    env = dict(os.environ, PYTHONPATH=str(HOST), HOME=str(tmp_path / "home"), TARVEL_DIR=str(tmp_path / "t"))
    done = subprocess.run([sys.executable, "-c", ROUND, str(tmp_path / "data")], env=env, capture_output=True,
                          text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    growths = [int(n) for n in done.stdout.split()]
    assert growths[-1] < 50, f"blocks gained per window of 100 rounds: {growths}"
