"""bench/bench_creator.py: times creation, listing, stats and build_steps against plain Python."""

import atexit
import os
import shutil
import tempfile
from pathlib import Path

import project  # first: the project's folders on the path

# The creator takes its paths from the home directory at import: point it at an empty temporary
# one, so nothing reaches the real ~/.tarvel (every case below works in a fresh home of its own).
_HOME = tempfile.mkdtemp(prefix="bench-creator-home-")
atexit.register(shutil.rmtree, _HOME, True)
os.environ["HOME"] = _HOME
os.environ["TARVEL_DIR"] = os.path.join(_HOME, ".tarvel")

import argparse  # noqa: E402
import json  # noqa: E402
import time  # noqa: E402
import timeit  # noqa: E402
from contextlib import contextmanager  # noqa: E402
from datetime import datetime  # noqa: E402
from typing import Any  # noqa: E402

import creator_twin  # noqa: E402
from creator_twin import DynamicSkill, SkillBlueprint, SkillCreator  # noqa: E402
from timing import interpreter_line, per_call, show_time  # noqa: E402

from tarvel.skills.engine import SkillRegistry  # noqa: E402

creator = project.native("tarvel.skills.creator")  # noqa: E402

USAGE = """Run it with the project installed:

    python bench/bench_creator.py [--skills N] [--log-entries N] [--stats-skills N]
                                  [--build-calls N] [--dir DIR]

The files go to DIR, by default /dev/shm where there is one (a RAM disk: the figures then show the
work of the process, not of the disk), else the system's temporary directory.

Rows:
  create N skills    N create_skill calls in a fresh home, each a valid blueprint of 3 steps with
                     placeholders and a live SkillRegistry: validate, write the skill file,
                     register, log "created" and rewrite the whole improvement log, which grows
                     to N entries; total seconds, best of 3 runs (a fresh home each). The native
                     creator flushes each file to stable storage (DURABLE_WRITES); the "not
                     durable" row sets DURABLE_WRITES to False. The plain twin never flushes.
  list N skills      one list_saved_skills() over the N skill files written above; seconds per
                     call, timeit auto-ranged, best of 3.
  stats, N entries   one get_improvement_stats() over an in-memory log of N entries (created,
                     updated, deleted, learned and other actions in turn) and a few stored skills;
                     seconds per call, timeit auto-ranged, best of 3.
  build_steps        one build_steps(params) of a skill of 10 steps with 5 parameter values;
                     seconds per call, best of 3 runs of N calls.
"""

SKILLS = 1000
CREATE_REPEATS = 3
LOG_ENTRIES = 10_000
STATS_SKILLS = 10
BUILD_CALLS = 100_000

# Every timestamp of the improvement log comes from this clock in both creators, so their logs can
# be compared byte for byte.
STAMP = datetime(2026, 3, 14, 15, 9, 26)

# --- workload ---------------------------------------------------------------------------------

CATEGORIES = sorted(SkillCreator.VALID_CATEGORIES) + [""]
APPS = ["Spotify", "Firefox", "Thunderbird", "Télégramme", "日历", "Terminal"]
DESCRIPTIONS = [
    "Play a song by name, then set the volume",
    "Öffnet die Wiedergabeliste und spielt {{song}} ab — leise",
    "Send a quick message 📨 to a contact",
]


def blueprint_fields(i: int) -> dict[str, Any]:
    """Field values of the i-th simple skill: 3 steps with placeholders, all valid."""
    return dict(
        name=f"skill_{i:05d}",
        description=DESCRIPTIONS[i % len(DESCRIPTIONS)],
        app=APPS[i % len(APPS)],
        category=CATEGORIES[i % len(CATEGORIES)],
        triggers=["play", f"trigger {i}"] + (["lecture"] if i % 2 else []),
        required_params=["song"],
        optional_params=["volume", "target"] if i % 3 else [],
        steps=[
            {"description": "Open {{song}}", "operation": "open_app",
             "params": {"name": APPS[i % len(APPS)], "query": "{{song}}"}},
            {"description": "Search for {{song}} by {{song}}", "operation": "keyboard_type",
             "params": {"text": "{{song}} — {{song}}", "interval": 0.05, "enter": True},
             "wait_after": 2, "note": "kept in the file, read by nothing"},
            {"description": "Press play", "operation": "keyboard_press",
             "params": {"key": "space", "repeat": i % 4, "extra": None, "modifiers": []},
             "retry_on_fail": bool(i % 2), "max_retries": 3, "optional": i % 5 == 0},
        ],  # fmt: skip
        reason="" if i % 4 else f"User asked for skill number {i} twice",
    )


STATS_ACTIONS = ["created", "updated", "deleted", "learned", "other"]


def build_skill_fields() -> dict[str, Any]:
    """A skill of 10 steps drawing on 5 parameters."""
    ops = ["open_app", "navigate", "browser_click", "browser_type", "keyboard_press"]
    steps = []
    for n in range(10):
        steps.append(
            {
                "description": f"Step {n}: {{{{action}}}} {{{{song}}}} in {{{{app}}}}",
                "operation": ops[n % len(ops)],
                "params": {
                    "target": "{{song}} by {{artist}}",
                    "url": "https://example.org/{{app}}/{{song}}?v={{volume}}",
                    "count": n,
                    "flag": n % 2 == 0,
                },
                "wait_after": 0.5 * n,
                "max_retries": n % 3,
            }
        )
    return dict(
        name="play_everywhere", description="Plays a song in an app", app="Spotify",
        category="music", triggers=["play"], required_params=["song", "app"],
        optional_params=["artist", "volume", "action"], steps=steps,
    )  # fmt: skip


BUILD_PARAMS = {"song": "Clair de lune", "artist": "Debussy", "app": "Spotify", "volume": 7,
                "action": "Play"}  # fmt: skip


# --- measurements -----------------------------------------------------------------------------


class FixedClock(datetime):
    """datetime whose now() is always STAMP."""

    @classmethod
    def now(cls, tz=None):
        return STAMP


@contextmanager
def in_home(module, home: Path):
    """The module's SKILLS_DIR, IMPROVEMENT_LOG and clock point into `home` for the block."""
    saved = {name: getattr(module, name) for name in ("SKILLS_DIR", "IMPROVEMENT_LOG", "datetime")}
    module.SKILLS_DIR = home / ".tarvel" / "skills"
    module.IMPROVEMENT_LOG = home / ".tarvel" / "improvement_log.json"
    module.datetime = FixedClock
    try:
        yield
    finally:
        for name, value in saved.items():
            setattr(module, name, value)


def create_all(module, home: Path, n: int):
    """Creates n skills in a fresh home; returns (seconds, creator, registry, results)."""
    blueprints = [module.SkillBlueprint(**blueprint_fields(i)) for i in range(n)]
    registry = SkillRegistry()
    with in_home(module, home):
        sc = module.SkillCreator()
        began = time.perf_counter()
        results = [sc.create_skill(bp, registry) for bp in blueprints]
        seconds = time.perf_counter() - began
    return seconds, sc, registry, results


def bench_create(n: int, workdir: Path, durable: bool, repeats: int = CREATE_REPEATS):
    plain_module = creator_twin
    native_times, plain_times = [], []
    creator.DURABLE_WRITES = durable
    try:
        for _ in range(repeats):  # a fresh home each run; the last ones are checked and kept
            for side in ("native", "plain"):
                shutil.rmtree(workdir / side, ignore_errors=True)
            native_time, native, native_reg, native_res = create_all(creator, workdir / "native", n)
            plain_time, plain, plain_reg, plain_res = create_all(plain_module, workdir / "plain", n)
            native_times.append(native_time)
            plain_times.append(plain_time)
    finally:
        creator.DURABLE_WRITES = True
    for results, registry in ((native_res, native_reg), (plain_res, plain_reg)):
        assert all(ok for ok, _, _ in results), "a creation failed"
        assert len(registry._skills) == n, "not every skill was registered"
    assert [m for _, m, _ in native_res] == [m for _, m, _ in plain_res], "messages differ"
    native_dir = workdir / "native" / ".tarvel"
    plain_dir = workdir / "plain" / ".tarvel"
    # the store's lock file is the native side's own
    files = sorted(p.name for p in (native_dir / "skills").iterdir() if p.name != ".lock")
    assert files == sorted(p.name for p in (plain_dir / "skills").iterdir()), "file names differ"
    for name in files:
        native_bytes = (native_dir / "skills" / name).read_bytes()
        assert native_bytes == (plain_dir / "skills" / name).read_bytes(), f"{name} differs"
    log = "improvement_log.json"
    native_log, plain_log = (native_dir / log).read_bytes(), (plain_dir / log).read_bytes()
    assert native_log == plain_log, "the improvement logs differ"
    assert len(json.loads(native_log)) == n, "the log does not hold one entry per creation"
    sides = (native, workdir / "native"), (plain, workdir / "plain")
    return min(native_times), min(plain_times), *sides


def without_dir(listing):
    return [dict(entry, file=Path(entry["file"]).name) for entry in listing]


def bench_list(native_side, plain_side, n: int):
    (native, native_home), (plain, plain_home) = native_side, plain_side
    with in_home(creator, native_home), in_home(creator_twin, plain_home):
        native_list, plain_list = native.list_saved_skills(), plain.list_saved_skills()
        assert len(native_list) == n, "not every stored skill is listed"
        assert without_dir(native_list) == without_dir(plain_list), "the listings differ"
        skills_dir = str(native_home / ".tarvel" / "skills")
        assert all(str(Path(e["file"]).parent) == skills_dir for e in native_list), "bad paths"
        return per_call(native.list_saved_skills), per_call(plain.list_saved_skills)


def stats_side(module, home: Path, entries: int, skills: int):
    """A creator with `skills` stored skills and an in-memory log of `entries` entries."""
    registry = SkillRegistry()
    with in_home(module, home):
        sc = module.SkillCreator()
        for i in range(skills):
            sc.create_skill(module.SkillBlueprint(**blueprint_fields(i)), registry)
    sc._improvement_log = []
    for i in range(entries):
        sc._improvement_log.append(
            module.ImprovementEntry(
                timestamp="2026-03-14 15:09:26",
                action=STATS_ACTIONS[i % len(STATS_ACTIONS)],
                skill_name=f"skill_{i % max(skills, 1):05d}",
                reason="benchmark",
                details={"n": i},
            )
        )
    return sc


def bench_stats(entries: int, skills: int, workdir: Path):
    plain_module = creator_twin
    native = stats_side(creator, workdir / "stats-native", entries, skills)
    plain = stats_side(plain_module, workdir / "stats-plain", entries, skills)
    with in_home(creator, workdir / "stats-native"), in_home(plain_module, workdir / "stats-plain"):
        native_stats, plain_stats = native.get_improvement_stats(), plain.get_improvement_stats()
        for stats in (native_stats, plain_stats):
            stats["categories_covered"] = sorted(stats["categories_covered"])
        assert native_stats == plain_stats, f"the stats differ: {native_stats} != {plain_stats}"
        assert native_stats["total_improvements"] == entries
        assert native_stats["active_custom_skills"] == skills
        return per_call(native.get_improvement_stats), per_call(plain.get_improvement_stats)


def bench_build(calls: int):
    native = creator.DynamicSkill(creator.SkillBlueprint(**build_skill_fields()))
    plain = DynamicSkill(SkillBlueprint(**build_skill_fields()))
    steps = native.build_steps(BUILD_PARAMS)
    assert len(steps) == 10 and steps == plain.build_steps(BUILD_PARAMS), "the steps differ"
    assert "{{" not in repr(steps), "a placeholder was left unfilled"
    timings = []
    for skill in (native, plain):
        timer = timeit.Timer(lambda: skill.build_steps(BUILD_PARAMS))
        timings.append(min(timer.repeat(repeat=3, number=calls)) / calls)
    return timings


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--skills", type=int, default=SKILLS, metavar="N",
                        help=f"skills created one by one, then listed (default {SKILLS})")
    parser.add_argument("--log-entries", type=int, default=LOG_ENTRIES, metavar="N",
                        help=f"improvement-log entries the stats count (default {LOG_ENTRIES})")
    parser.add_argument("--stats-skills", type=int, default=STATS_SKILLS, metavar="N",
                        help=f"stored skills beside the stats' log (default {STATS_SKILLS})")
    parser.add_argument("--build-calls", type=int, default=BUILD_CALLS, metavar="N",
                        help=f"build_steps calls in one timed run (default {BUILD_CALLS})")
    parser.add_argument("--dir", type=Path, default=Path("/dev/shm") if Path("/dev/shm").is_dir() else None,
                        help="where the skills and logs go (default /dev/shm where there is one)")
    args = parser.parse_args()  # fmt: skip
    if min(args.skills, args.build_calls) < 1 or min(args.log_entries, args.stats_skills) < 0:
        parser.error("--skills and --build-calls must be at least 1, the others at least 0")
    print(interpreter_line())
    print(USAGE)
    print(f"Each creation rewrites the whole improvement log: {args.skills:,} creations write logs "
          f"of 1 to {args.skills:,} entries,")
    print("so the creation row grows as N * N.")
    print()
    header = ("case", "native", "plain Python", "plain/native", "check")
    rows = [header]

    def row(case, native_time, plain_time, check):
        rows.append((case, show_time(native_time), show_time(plain_time),
                     f"{plain_time / native_time:.2f}x", check))  # fmt: skip

    with tempfile.TemporaryDirectory(prefix="bench-creator-", dir=args.dir) as tmp:
        workdir = Path(tmp)
        print(f"Files in {workdir.parent}")
        print()
        for durable in (True, False):
            native_time, plain_time, native_side, plain_side = bench_create(
                args.skills, workdir, durable)
            case = f"create {args.skills:,} skills" + ("" if durable else ", not durable")
            row(case, native_time, plain_time, "same bytes: yes")
        native_time, plain_time = bench_list(native_side, plain_side, args.skills)
        row(f"list {args.skills:,} skills", native_time, plain_time, "same listing: yes")
        native_time, plain_time = bench_stats(args.log_entries, args.stats_skills, workdir)
        row(f"stats, {args.log_entries:,} entries + {args.stats_skills:,} skills",
            native_time, plain_time, "same stats: yes")  # fmt: skip
        native_time, plain_time = bench_build(args.build_calls)
        row(f"build_steps, 10 steps, 5 params (x{args.build_calls:,})", native_time,
            plain_time, "same steps: yes")  # fmt: skip
    widths = [max(len(row[i]) for row in rows) for i in range(len(header))]
    for n, cells in enumerate(rows):
        print("  ".join(cell.ljust(w) if i in (0, 4) else cell.rjust(w)
                        for i, (cell, w) in enumerate(zip(cells, widths))))  # fmt: skip
        if n == 0:
            print("  ".join("-" * w for w in widths))


if __name__ == "__main__":
    main()
