"""tests/test_admin.py: the installed tarvel-admin command, run as an operator runs it.

Each command runs in a subprocess against a data folder: one the modules filled
in this process, and one a host process is using, its loop running.
"""

from __future__ import annotations

import asyncio
import json
import os
import stat
import subprocess
import sys
import time
from pathlib import Path

import pytest

from tarvel.core import scheduler as sched

ADMIN = str(Path(sys.executable).with_name("tarvel-admin"))
HOST = Path(__file__).resolve().parent.parent / "host"
FAR = 4_102_444_800.0  # 2100-01-01, never due in a test


def admin(*args, data=None, env=None, command=(ADMIN,)):
    """Runs the command; (exit status, stdout, stderr)."""
    env = dict(os.environ if env is None else env)
    done = subprocess.run([*command, *args, *(["--data", str(data)] if data else [])], env=env,
                          capture_output=True, text=True, timeout=60)
    return done.returncode, done.stdout, done.stderr


def files(folder: Path) -> dict:
    """Every file and folder under `folder`: its bytes and all its times, read without changing them."""
    noatime = getattr(os, "O_NOATIME", 0)
    seen, todo = {}, [folder]
    while todo:
        path = todo.pop()
        info = os.lstat(path)
        seen[path] = (info.st_mtime_ns, info.st_ctime_ns, info.st_atime_ns, info.st_size)
        flags = os.O_RDONLY | noatime | (os.O_DIRECTORY if stat.S_ISDIR(info.st_mode) else 0)
        if stat.S_ISDIR(info.st_mode) or stat.S_ISREG(info.st_mode):
            fd = os.open(path, flags)
            try:
                if stat.S_ISDIR(info.st_mode):
                    todo += [path / name for name in os.listdir(fd)]
                else:
                    seen[path] += (os.read(fd, info.st_size + 1),)
            finally:
                os.close(fd)
    return seen


@pytest.fixture
def data(creator_home, creator):
    """A data folder with jobs (one run failed), a skill saved twice, a Python skill and a lesson."""
    async def fails(job):
        raise RuntimeError("the agent is offline\nsecond line")

    scheduler = sched.Scheduler(fails, storage_path=creator_home / "scheduler.json")
    daily = scheduler.add_job(sched.ScheduledJob(id="daily0001", name="standup", schedule="0 9 * * *", prompt="p"))
    scheduler.add_job(sched.ScheduledJob(id="daily0002", name="water", job_type=sched.JobType.INTERVAL,
                                         interval_seconds=5400, prompt="p"))
    scheduler.add_job(sched.ScheduledJob(id="gone1", name="dormant", job_type=sched.JobType.ONCE, next_run=FAR))
    scheduler.pause_job("gone1")
    asyncio.run(scheduler.run_now(daily.id))
    step = {"operation": "open_app", "description": "Open", "params": {"app": "spotify"}}
    for text in ("{{song}}", "{{song}} live"):
        ok, message, _ = creator.create_from_dict({
            "name": "play_song", "description": "Play", "app": "spotify", "category": "music",
            "triggers": ["play a song"], "required_params": ["song"],
            "steps": [step, {"operation": "keyboard_type", "description": "Type", "params": {"text": text}}]})
        assert ok, message
    code = "import os\nasync def run(ctx, params):\n    os.system('ls')\n"
    assert creator.create_from_dict({"type": "python", "name": "lister", "description": "d", "code": code})[0]
    creator.log_learning("play_song", "people like live songs")
    return creator_home


# command, what its output must hold (a text listed twice, twice)
READS = [
    (["jobs"], ["NEXT", "LEFT", "PASSED", "in ", "ago", "cron 0 9 * * *", "every 1h 30m", "standup",
                "daily0001", "2 jobs listed. (1 paused or completed not shown: --all)"]),
    (["jobs", "--all"], ["dormant", "3 jobs listed."]),
    (["agenda", "--count", "3", "--job", "daily0002"], ["WHEN", "water", "water", "water"]),
    (["history", "--failed"], ["STARTED", "failed", "standup", "the agent is offline"]),
    (["history", "--job", "daily0002"], ["No runs recorded."]),
    (["check-cron", "30 8 * * 1", "--count", "2"], ["08:30:00  in ", "08:30:00  in "]),
    (["skills"], ["NAME", "lister", "python", "play_song", "simple", "v2", "music"]),
    (["show", "play_song", "--version", "1"], ["play_song (v1, simple)", '2. keyboard_type {"text": "{{song}}"}']),
    (["show", "lister"], ["lister (v1, python)", "os.system('ls')"]),
    (["versions", "play_song"], ["v1", "v1.json", "v2", "*", "play_song.json"]),
    (["diff", "play_song", "1", "2"], ["--- play_song v1", "+++ play_song v2",
                                       '-  2. keyboard_type {"text": "{{song}}"}',
                                       '+  2. keyboard_type {"text": "{{song}} live"}']),
    (["review", "lister"], ["Risky calls:\n  - os.system", "Problems:", "Imports:\n  - os"]),
    (["log", "--limit", "2"], ["created", "lister", "learned", "people like live songs"]),
    (["stats"], ["skills created: 2", "learnings recorded: 1"]),
]


@pytest.mark.parametrize("args, shown", READS, ids=[" ".join(a) for a, _ in READS])
def test_read_only_command_shows_and_changes_no_file(data, args, shown):
    before = files(data.parent)
    status, out, err = admin(*args, data=data)
    assert (status, err) == (0, "")
    assert [t for t in shown if out.count(t) < shown.count(t)] == []
    assert files(data.parent) == before


@pytest.mark.parametrize("args", [a for a, _ in READS if a[0] not in ("diff", "check-cron", "show", "review")])
def test_listing_in_json_is_the_modules_report(data, args):
    status, out, _ = admin("--json", *args, data=data)
    assert status == 0 and isinstance(json.loads(out), (list, dict))


def test_json_jobs_are_what_list_jobs_gives(data):
    status, out, _ = admin("jobs", "--all", "--json", data=data)
    assert json.loads(out) == sched.Scheduler(storage_path=data / "scheduler.json").list_jobs()


@pytest.mark.parametrize("name, content, said", [
    ("scheduler.json", '{"jobs": {"x": ', "the file is not valid JSON"),
    ("scheduler.sqlite3", "not a database " * 100, "the file could not be read: file is not a database"),
], ids=["state file", "database"])
def test_damaged_file_is_reported_and_left_as_it_is(tmp_path, name, content, said):
    (tmp_path / name).write_text(content)
    before = files(tmp_path)
    status, out, err = admin("jobs", data=tmp_path)
    assert status == 0 and f"{tmp_path / name}: {said}" in err
    assert files(tmp_path) == before  # no .bad- copy, no lock file


# arguments, exit status, the one line on stderr
REFUSALS = [
    (["jobs", "--count", "3"], 2, "tarvel-admin: error: unrecognized arguments: --count 3"),
    (["add", "--cron", "* * * * *", "name-only"], 2, "tarvel-admin: error: add: the following arguments are required: prompt"),
    (["add", "--every", "0", "n", "p"], 2, "tarvel-admin: error: add: argument --every: --every takes a whole number of seconds above 0, not '0'"),
    (["add", "--at", "tomorrow", "n", "p"], 2, "tarvel-admin: error: add: argument --at: not an ISO 8601 time: 'tomorrow' (e.g. 2026-12-24T18:00 or 2026-12-24T18:00+01:00)"),
    (["edit", "daily"], 2, "tarvel-admin: error: edit: nothing to change (give --name, --prompt, --cron, --every or --max-runs)"),
    (["pause", "daily"], 1, "tarvel-admin: Job id 'daily' is ambiguous: it begins 2 ids (daily0001, daily0002)"),
    (["remove", "nope"], 1, "tarvel-admin: No job with id 'nope'"),
    (["add", "--cron", "0 9 * * MON", "n", "p"], 1, "tarvel-admin: Invalid cron expression '0 9 * * MON': invalid literal for int() with base 10: 'MON'"),
    (["check-cron", "0 9 * * 7"], 1, "tarvel-admin: Cron expression '0 9 * * 7' matches no time within a year (a number outside its field is dropped; day of week is 0-6, 0 = Sunday)"),
    (["rollback", "play_song", "9"], 1, "tarvel-admin: Skill 'play_song' has no version 9 (saved versions: 1, 2)"),
    (["show", "nothing"], 1, "tarvel-admin: No skill named 'nothing'"),
]


@pytest.mark.parametrize("args, status, line", REFUSALS, ids=[" ".join(a) for a, _, _ in REFUSALS])
def test_refused_or_bad_request_is_one_line(data, args, status, line):
    assert admin(*args, data=data) == (status, "", line + "\n")


# A data folder that is a file: the save fails, the copy cannot be made.
BROKEN = [
    (["add", "--every", "60", "n", "p"], "tarvel-admin: The change was not saved: Failed to save scheduler state: "),
    (["jobs"], "tarvel-admin: NotADirectoryError: "),
    (["jobs", "--debug"], "Traceback (most recent call last):"),
]


@pytest.mark.parametrize("args, start", BROKEN, ids=[" ".join(a) for a, _ in BROKEN])
def test_failure_is_one_line_unless_debug(tmp_path, args, start):
    (tmp_path / "file").write_text("")
    status, out, err = admin(*args, data=tmp_path / "file")
    assert (status, out) == (1, "") and err.startswith(start)
    assert err.count("\n") > 1 if "--debug" in args else err.count("\n") == 1


def test_skill_changes_go_through_the_creator(data):
    assert admin("rollback", "play_song", "1", data=data)[:2] == (0, "Rolled back skill 'play_song' to v1: Updated skill 'play_song' v3 (2 steps, category: music). It's now available for use.\n")
    assert admin("delete", "lister", data=data)[0] == 0
    assert [s["name"] for s in json.loads(admin("skills", "--json", data=data)[1])] == ["play_song"]


@pytest.mark.parametrize("own_host", [False, True], ids=["stand-in config", "host config"])
def test_data_folder_comes_from_the_host_config_or_tarvel_dir(tmp_path, own_host):
    """Without --data: the host's tarvel_dir() where it has one, else $TARVEL_DIR."""
    host = tmp_path / "host" / "tarvel"
    host.mkdir(parents=True)
    (host / "config.py").write_text(f"def tarvel_dir():\n    return {str(tmp_path / 'own')!r}\n")
    env = dict(os.environ, TARVEL_DIR=str(tmp_path / "env"), PYTHONPATH=str(host.parent) if own_host else "")
    command = [sys.executable, "-m", "tarvel_admin"]  # also: the module runs as the command does
    assert admin("add", "--every", "60", "n", "p", env=env, command=command)[0] == 0
    assert (tmp_path / ("own" if own_host else "env") / "scheduler.json").exists()


# A host process using the data folder: its loop runs (a short wait between passes), it notes each
# firing, and for each line it reads prints its list_jobs() and upcoming() as JSON.
LOOP_HOST = r'''
import asyncio, json, sys
from pathlib import Path
from tarvel.core import scheduler

async def main():
    fired = Path(sys.argv[2])
    async def on_fire(job):
        with fired.open("a") as notes:
            notes.write(job.id + "\n")
    sch = scheduler.Scheduler(on_fire, storage_path=Path(sys.argv[1]), poll_interval=0.1)
    await sch.start()
    print("started", flush=True)
    loop = asyncio.get_running_loop()
    while (await loop.run_in_executor(None, sys.stdin.readline)).strip() == "look":
        print(json.dumps([sch.list_jobs(), sch.upcoming(5)]), flush=True)
    await sch.stop()

asyncio.run(main())
'''


def test_running_host_sees_every_change_and_fires_on_request(tmp_path):
    state, fired = tmp_path / "scheduler.json", tmp_path / "fired"
    env = dict(os.environ, PYTHONPATH=str(HOST))
    host = subprocess.Popen([sys.executable, "-c", LOOP_HOST, str(state), str(fired)], env=env, text=True,
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def host_view(until):
        for _ in range(100):
            host.stdin.write("look\n")
            host.stdin.flush()
            jobs, upcoming = json.loads(host.stdout.readline())
            if until(jobs):
                return jobs, upcoming
            time.sleep(0.05)
        raise AssertionError(jobs)

    try:
        assert host.stdout.readline() == "started\n"
        for args in (["--cron", "0 9 * * *", "standup"], ["--every", "3600", "water"], ["--at", "2099-01-01T10:00", "once"]):
            assert admin("add", *args, "prompt", env=env, data=tmp_path)[0] == 0
        jobs, upcoming = host_view(lambda jobs: len(jobs) == 3)
        assert json.loads(admin("jobs", "--all", "--json", env=env, data=tmp_path)[1]) == jobs
        assert json.loads(admin("agenda", "--count", "5", "--json", env=env, data=tmp_path)[1]) == upcoming
        water = next(job["id"] for job in jobs if job["name"] == "water")
        once = next(job["id"] for job in jobs if job["name"] == "once")
        assert admin("pause", water[:6], env=env, data=tmp_path)[0] == 0
        host_view(lambda jobs: {j["id"]: j["state"] for j in jobs}[water] == "paused")
        assert admin("resume", water, env=env, data=tmp_path)[0] == 0
        host_view(lambda jobs: {j["id"]: j["state"] for j in jobs}[water] == "active")
        assert admin("remove", once, env=env, data=tmp_path)[0] == 0
        host_view(lambda jobs: len(jobs) == 2)
        status, out, _ = admin("run", water, env=env, data=tmp_path)
        assert (status, out) == (0, f"Requested a run of job 'water' ({water}): the scheduler loop (pid {host.pid}) fires it at its next pass\n")
        host_view(lambda jobs: fired.exists() and fired.read_text() == water + "\n")
    finally:
        host.stdin.close()
        host.wait(30)
    status, out, _ = admin("run", water, env=env, data=tmp_path)
    assert out.endswith(f"no scheduler loop seems to run on {state}: it fires when one starts\n")


@pytest.fixture
def database(tmp_path):
    """A data folder with the database store, its scheduler still open: its jobs are in the -wal yet."""
    sch = sched.Scheduler(storage_path=tmp_path / "scheduler.sqlite3", store="sqlite")
    sch.add_job(sched.ScheduledJob(id="daily0001", name="standup", schedule="0 9 * * *", prompt="p"))
    yield tmp_path
    sch._database.close()


BOTH = ("tarvel-admin: warning: both {0}/scheduler.sqlite3 and {0}/scheduler.json exist: the database is used; "
        "something beside it keeps writing scheduler.json\n")
# arguments, whether a scheduler.json lies beside the database, what stdout holds, stderr
ON_DATABASE = [
    (["jobs"], False, "standup", ""),
    (["jobs"], True, "standup", BOTH),
    (["pause", "daily0001"], False, "Paused", ""),
]


@pytest.mark.parametrize("args, beside, shown, err", ON_DATABASE, ids=["read", "read beside a file", "change"])
def test_the_database_store_is_found_by_its_file(database, args, beside, shown, err):
    if beside:
        (database / "scheduler.json").write_text('{"jobs": {"other": {"id": "other", "name": "elsewhere"}}}')
    before = files(database)
    status, out, error = admin(*args, data=database)
    assert (status, error) == (0, err.format(database)) and shown in out and "elsewhere" not in out
    if args[0] == "jobs":
        assert files(database) == before
    else:
        job = sched.Scheduler(storage_path=database / "scheduler.sqlite3", store="sqlite").get_job("daily0001")
        assert job.state == sched.JobState.PAUSED and not (database / "scheduler.json").exists()
