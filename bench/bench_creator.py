"""bench/bench_creator.py: times creation, listing, stats and build_steps against plain Python."""

import atexit
import os
import shutil
import sys
import tempfile
from pathlib import Path

# The stand-in host package goes first, as in the tests, so tarvel.skills.engine resolves.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "host"))

# The creator takes its paths from the home directory at import: point it at an empty temporary
# one, so nothing reaches the real ~/.tarvel (every case below works in a fresh home of its own).
_HOME = tempfile.mkdtemp(prefix="bench-creator-home-")
atexit.register(shutil.rmtree, _HOME, True)
os.environ["HOME"] = _HOME
os.environ["TARVEL_DIR"] = os.path.join(_HOME, ".tarvel")

import argparse  # noqa: E402
import json  # noqa: E402
import logging  # noqa: E402
import re  # noqa: E402
import time  # noqa: E402
import timeit  # noqa: E402
from contextlib import contextmanager  # noqa: E402
from dataclasses import dataclass, field  # noqa: E402
from datetime import datetime  # noqa: E402
from typing import Any  # noqa: E402

from timing import interpreter_line, per_call, show_time  # noqa: E402

from tarvel.skills.engine import SkillDefinition, SkillRegistry, SkillStep  # noqa: E402

try:
    from tarvel.skills import creator  # noqa: E402
except ImportError as exc:
    sys.exit(
        f"tarvel.skills.creator is not importable ({exc}); install the project first: pip install ."
    )

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

logger = logging.getLogger("tarvel.skills.creator")


# --- the plain-Python twin ----------------------------------------------------------------------

SKILLS_DIR = Path.home() / ".tarvel" / "skills"
IMPROVEMENT_LOG = Path.home() / ".tarvel" / "improvement_log.json"


@dataclass
class SkillBlueprint:
    """A blueprint for a new skill before it's created."""

    name: str
    description: str
    app: str
    category: str
    triggers: list[str]
    required_params: list[str]
    optional_params: list[str]
    steps: list[dict[str, Any]]
    reason: str = ""
    version: int = 1

    def to_dict(self) -> dict[str, Any]:
        return {
            "name": self.name,
            "description": self.description,
            "app": self.app,
            "category": self.category,
            "triggers": self.triggers,
            "required_params": self.required_params,
            "optional_params": self.optional_params,
            "steps": self.steps,
            "reason": self.reason,
            "version": self.version,
        }


@dataclass
class ImprovementEntry:
    """A log entry for a self-improvement action."""

    timestamp: str
    action: str
    skill_name: str
    reason: str
    details: dict[str, Any] = field(default_factory=dict)
    success: bool = True

    def to_dict(self) -> dict[str, Any]:
        return {
            "timestamp": self.timestamp,
            "action": self.action,
            "skill_name": self.skill_name,
            "reason": self.reason,
            "details": self.details,
            "success": self.success,
        }


class DynamicSkill(SkillDefinition):
    """A skill created at runtime from a JSON blueprint."""

    def __init__(self, blueprint: SkillBlueprint):
        self._blueprint = blueprint
        self.name = blueprint.name
        self.description = blueprint.description
        self.app = blueprint.app
        self.category = blueprint.category
        self.triggers = blueprint.triggers
        self.required_params = blueprint.required_params
        self.optional_params = blueprint.optional_params
        self._raw_steps = blueprint.steps

    def build_steps(self, params: dict[str, Any]) -> list[SkillStep]:
        """Build steps from the blueprint, substituting parameter values."""
        steps = []
        for raw in self._raw_steps:
            resolved_params = {}
            for key, value in raw.get("params", {}).items():
                if isinstance(value, str):
                    for pname, pvalue in params.items():
                        value = value.replace(f"{{{{{pname}}}}}", str(pvalue))
                resolved_params[key] = value
            description = raw.get("description", "")
            for pname, pvalue in params.items():
                description = description.replace(f"{{{{{pname}}}}}", str(pvalue))
            steps.append(
                SkillStep(
                    description=description,
                    operation=raw.get("operation", ""),
                    params=resolved_params,
                    wait_after=raw.get("wait_after", 1.0),
                    retry_on_fail=raw.get("retry_on_fail", False),
                    max_retries=raw.get("max_retries", 2),
                    optional=raw.get("optional", False),
                )
            )
        return steps

    def to_dict(self) -> dict[str, Any]:
        d = super().to_dict()
        d["dynamic"] = True
        d["version"] = self._blueprint.version
        d["reason"] = self._blueprint.reason
        d["steps"] = self._raw_steps
        return d


class SkillCreator:
    """Creates, validates, persists, and manages dynamic skills."""

    VALID_OPERATIONS = {
        "open_app", "close_app", "open_url", "open_file", "open_folder", "run_command",
        "list_processes", "kill_process", "get_clipboard", "set_clipboard", "send_notification",
        "list_apps", "system_info", "active_window", "navigate", "browser_click", "browser_type",
        "browser_press", "fill_form", "select_option", "browser_hover", "browser_scroll",
        "get_page", "get_elements", "browser_screenshot", "new_tab", "close_tab", "switch_tab",
        "list_tabs", "evaluate_js", "wait_for_text", "mouse_click", "mouse_move", "mouse_scroll",
        "keyboard_type", "keyboard_press", "keyboard_hotkey", "keyboard_shortcut", "screenshot",
        "read_screen", "find_text_on_screen",
    }  # fmt: skip
    VALID_CATEGORIES = {
        "messaging", "calendar", "email", "music", "files", "browser", "productivity", "social",
        "shopping", "finance", "development", "system", "media", "education", "health", "travel",
        "food", "gaming", "communication", "utility", "custom",
    }  # fmt: skip

    def __init__(self):
        SKILLS_DIR.mkdir(parents=True, exist_ok=True)
        self._improvement_log: list[ImprovementEntry] = []
        self._load_improvement_log()

    def validate_blueprint(self, blueprint: SkillBlueprint) -> tuple[bool, list[str]]:
        """Validate a skill blueprint before creation."""
        errors = []
        if not blueprint.name:
            errors.append("Skill name is required")
        elif not blueprint.name.replace("_", "").isalnum():
            errors.append("Skill name must be alphanumeric with underscores only")
        elif len(blueprint.name) > 64:
            errors.append("Skill name must be 64 characters or less")
        if not blueprint.description:
            errors.append("Description is required")
        if not blueprint.app:
            errors.append("App name is required")
        if blueprint.category and blueprint.category not in self.VALID_CATEGORIES:
            valid = ", ".join(sorted(self.VALID_CATEGORIES))
            errors.append(f"Invalid category: {blueprint.category}. Valid: {valid}")
        if not blueprint.triggers:
            errors.append("At least one trigger keyword is required")
        if not blueprint.steps:
            errors.append("At least one step is required")
        for i, step in enumerate(blueprint.steps, 1):
            op = step.get("operation")
            if not op:
                errors.append(f"Step {i}: operation is required")
            elif op not in self.VALID_OPERATIONS:
                errors.append(
                    f"Step {i}: unknown operation '{op}'. See pc tool for valid operations."
                )
            if not step.get("description"):
                errors.append(f"Step {i}: description is required")
        declared = set(blueprint.required_params + blueprint.optional_params)
        for i, step in enumerate(blueprint.steps, 1):
            for value in step.get("params", {}).values():
                if isinstance(value, str) and "{{" in value:
                    for name in re.findall(r"\{\{(\w+)\}\}", value):
                        if name not in declared:
                            errors.append(
                                f"Step {i}: placeholder '{{{{{name}}}}}' not in "
                                "required_params or optional_params"
                            )
        return len(errors) == 0, errors

    def create_skill(self, blueprint: SkillBlueprint, registry=None):
        """Create a new skill from a blueprint."""
        valid, errors = self.validate_blueprint(blueprint)
        if not valid:
            return False, "Validation failed:\n" + "\n".join(f"  - {e}" for e in errors), None

        skill_path = SKILLS_DIR / f"{blueprint.name}.json"
        if skill_path.exists():
            try:
                existing = json.loads(skill_path.read_text())
                blueprint.version = existing.get("version", 1) + 1
                logger.info(f"Updating existing skill {blueprint.name} to v{blueprint.version}")
            except Exception:
                pass

        skill = DynamicSkill(blueprint)
        try:
            skill_path.write_text(json.dumps(blueprint.to_dict(), indent=2))
            logger.info(f"Saved skill to {skill_path}")
        except Exception as e:
            return False, f"Failed to save skill: {e}", None

        if registry is not None:
            registry.register(skill)
            logger.info(f"Hot-loaded skill {blueprint.name} into live registry")

        self._log_improvement(
            ImprovementEntry(
                timestamp=datetime.now().strftime("%Y-%m-%d %H:%M:%S"),
                action="created" if blueprint.version == 1 else "updated",
                skill_name=blueprint.name,
                reason=blueprint.reason or "Agent decided to create this skill",
                details={
                    "version": blueprint.version,
                    "steps": len(blueprint.steps),
                    "category": blueprint.category,
                    "app": blueprint.app,
                    "triggers": blueprint.triggers,
                },
            )
        )
        label = "Updated" if blueprint.version > 1 else "Created"
        return (
            True,
            f"{label} skill '{blueprint.name}' v{blueprint.version} ({len(blueprint.steps)} steps, "
            f"category: {blueprint.category}). It's now available for use.",
            skill,
        )

    def list_saved_skills(self) -> list[dict]:
        """List all saved skills with metadata."""
        skills = []
        if not SKILLS_DIR.exists():
            return skills
        for f in sorted(SKILLS_DIR.glob("*.json")):
            try:
                data = json.loads(f.read_text())
                skills.append(
                    {
                        "name": data.get("name", f.stem),
                        "description": data.get("description", ""),
                        "app": data.get("app", ""),
                        "category": data.get("category", "custom"),
                        "version": data.get("version", 1),
                        "triggers": data.get("triggers", []),
                        "steps_count": len(data.get("steps", [])),
                        "reason": data.get("reason", ""),
                        "file": str(f),
                    }
                )
            except Exception:
                pass
        return skills

    def _log_improvement(self, entry: ImprovementEntry):
        """Add an entry to the improvement log."""
        self._improvement_log.append(entry)
        self._save_improvement_log()

    def get_improvement_stats(self) -> dict:
        """Get statistics about self-improvement."""
        log = self._improvement_log
        created = sum(1 for e in log if e.action == "created")
        updated = sum(1 for e in log if e.action == "updated")
        deleted = sum(1 for e in log if e.action == "deleted")
        learned = sum(1 for e in log if e.action == "learned")
        saved = self.list_saved_skills()
        return {
            "total_improvements": len(log),
            "skills_created": created,
            "skills_updated": updated,
            "skills_deleted": deleted,
            "learnings_recorded": learned,
            "active_custom_skills": len(saved),
            "categories_covered": list(set(s["category"] for s in saved)),
        }

    def _load_improvement_log(self):
        """Load the improvement log from disk."""
        if not IMPROVEMENT_LOG.exists():
            return
        try:
            data = json.loads(IMPROVEMENT_LOG.read_text())
            self._improvement_log = [ImprovementEntry(**e) for e in data]
        except Exception as e:
            logger.warning(f"Failed to load improvement log: {e}")
            self._improvement_log = []

    def _save_improvement_log(self):
        """Save the improvement log to disk."""
        try:
            IMPROVEMENT_LOG.parent.mkdir(parents=True, exist_ok=True)
            data = [e.to_dict() for e in self._improvement_log]
            IMPROVEMENT_LOG.write_text(json.dumps(data, indent=2))
        except Exception as e:
            logger.warning(f"Failed to save improvement log: {e}")


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
    plain_module = sys.modules[__name__]
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
    files = sorted(p.name for p in (native_dir / "skills").iterdir())
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
    with in_home(creator, native_home), in_home(sys.modules[__name__], plain_home):
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
    plain_module = sys.modules[__name__]
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
