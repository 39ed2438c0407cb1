"""The creator's commands: skills, show, versions, diff, review, log, stats, rollback, delete."""

from __future__ import annotations

import contextlib
import difflib
import json
from typing import Iterator

from tarvel_admin import text
from tarvel_admin.common import Context, Refused
from tarvel_admin.snapshot import Snapshot


def _plain_name(name: str) -> bool:
    """Whether `name` can name a folder under .versions (no path of its own)."""
    return name not in ("", ".", "..") and not any(c in name for c in "/\\\0")


def _point_at(ctx: Context, root) -> None:
    ctx.creator.SKILLS_DIR = root / "skills"
    ctx.creator.IMPROVEMENT_LOG = root / "improvement_log.json"


@contextlib.contextmanager
def reading(ctx: Context, name: str | None = None) -> Iterator:
    """A SkillCreator on copies of the skills (with `name`'s kept versions) and the log."""
    with Snapshot(ctx.data) as snapshot:
        snapshot.folder("skills", follow=True)
        versions = ctx.data / "skills" / ".versions"
        # The modules never follow a link at .versions or .versions/<name>.
        if name is not None and _plain_name(name) and not versions.is_symlink():
            snapshot.folder(f"skills/.versions/{name}")
        snapshot.file("improvement_log.json")
        _point_at(ctx, snapshot.root)
        creator = ctx.creator.SkillCreator()
        ctx.report_problems(snapshot.problems(creator.load_problems))
        yield creator


def changing(ctx: Context):
    """A SkillCreator on the data folder itself, under the store's lock as the host's is."""
    _point_at(ctx, ctx.data)
    creator = ctx.creator.SkillCreator()
    ctx.report_problems(creator.load_problems)
    return creator


def cmd_skills(ctx: Context, args) -> int:
    with reading(ctx) as creator:
        skills = creator.list_saved_skills(with_type=True)
    if ctx.json:
        print(text.as_json(skills))
        return 0
    rows = [[s["name"], s.get("type", "simple"), f"v{s['version']}", s["category"],
             text.first_line(", ".join(s["triggers"]), 50)] for s in skills]
    print(text.table(["NAME", "TYPE", "VERSION", "CATEGORY", "TRIGGERS"], rows) if rows else "No skills saved.")
    return 0


def _version(ctx: Context, creator, name: str, number: int | None) -> tuple[dict, str | None]:
    """A version's record and, for a Python skill, its code; the stored one without `number`."""
    if number is None:
        record = creator.get_skill_source(name)
        if record is None:
            raise Refused(f"No skill named {name!r}")
        return record, creator.get_skill_code(name)
    versions = [v for v in creator.list_skill_versions(name) if v["version"] == number]
    if not versions:
        raise Refused(f"Skill {name!r} has no version {number}")
    chosen = versions[-1]  # the newest of that number, as a rollback takes it
    skills = ctx.creator.SKILLS_DIR
    folder = skills if chosen["current"] else skills / ".versions" / name
    try:
        record = json.loads((folder / chosen["file"]).read_text(encoding="utf-8"))
    except (OSError, ValueError) as e:
        raise Refused(f"Version {number} of skill {name!r} cannot be read: {e}") from None
    code = creator.get_skill_code(name, number) if chosen["kind"] == "python" else None
    return record, code


def _lines(record: dict, code: str | None) -> list[str]:
    """A version as lines of text: its fields, then its steps (one a line) or its code."""
    lines = [f"{key}: {value if isinstance(value, str) else json.dumps(value)}"
             for key in ("description", "app", "category", "triggers", "required_params", "optional_params")
             if (value := record.get(key)) not in (None, "", [])]
    if code is not None:
        return [*lines, "code:", *code.splitlines()]
    lines.append("steps:")
    for number, step in enumerate(record.get("steps") or [], 1):
        if isinstance(step, dict):
            params = json.dumps(step.get("params", {}), ensure_ascii=False)
            lines.append(f"  {number}. {step.get('operation', '?')} {params}  # {step.get('description', '')}")
        else:
            lines.append(f"  {number}. {json.dumps(step)}")
    return lines


def cmd_show(ctx: Context, args) -> int:
    with reading(ctx, args.name) as creator:
        record, code = _version(ctx, creator, args.name, args.version)
    if ctx.json:
        print(text.as_json({**record, "code": code} if code is not None else record))
        return 0
    kind = "python" if code is not None else "simple"
    print(f"{record.get('name', args.name)} (v{record.get('version', 1)}, {kind})")
    print("\n".join(_lines(record, code)))
    return 0


def cmd_versions(ctx: Context, args) -> int:
    with reading(ctx, args.name) as creator:
        versions = creator.list_skill_versions(args.name)
    if not versions:
        raise Refused(f"No skill named {args.name!r}, nor kept versions of one")
    if ctx.json:
        print(text.as_json(versions))
        return 0
    rows = [[f"v{v['version']}", v["saved_at"], v["kind"], "*" if v["current"] else "", v["file"],
             text.first_line(v["description"], 50)] for v in versions]
    print(text.table(["VERSION", "SAVED", "KIND", "CURRENT", "FILE", "DESCRIPTION"], rows))
    return 0


def cmd_diff(ctx: Context, args) -> int:
    with reading(ctx, args.name) as creator:
        old = _lines(*_version(ctx, creator, args.name, args.a))
        new = _lines(*_version(ctx, creator, args.name, args.b))
    diff = list(difflib.unified_diff(old, new, f"{args.name} v{args.a}", f"{args.name} v{args.b}", lineterm=""))
    if ctx.json:
        print(text.as_json(diff))
    elif diff:
        print("\n".join(diff))
    else:
        print(f"v{args.a} and v{args.b} of {args.name!r} are the same.")
    return 0


def cmd_review(ctx: Context, args) -> int:
    with reading(ctx, args.name) as creator:
        report = creator.review_skill(args.name)
    if report["kind"] is None:
        raise Refused(f"No skill named {args.name!r}" + (f": {report['problems'][0]}" if report["problems"] else ""))
    if ctx.json:
        print(text.as_json(report))
        return 0
    # steps counted from 1, as show lists them
    risky = report["risky_calls"] + [f"step {r['step'] + 1}: {r['operation']}" for r in report["risky_operations"]]
    held = report["placeholders"]
    sections = [("Risky calls", risky), ("Problems", report["problems"]), ("Imports", report["imports"]),
                ("Placeholders used", held["used"]), ("Placeholders declared", held["declared"])]
    print(f"{args.name} ({report['kind']})")
    for title, items in sections:
        print(f"{title}:{' none' if not items else ''}")
        for item in items:
            print(f"  - {item}")
    return 0


def cmd_log(ctx: Context, args) -> int:
    with reading(ctx) as creator:
        entries = creator.get_improvement_log(args.limit)
    if ctx.json:
        print(text.as_json(entries))
        return 0
    rows = [[e["timestamp"][:19].replace("T", " "), e["action"], e["skill_name"], "ok" if e["success"] else "failed",
             text.first_line(e["reason"], 60)] for e in entries]
    print(text.table(["TIME", "ACTION", "SKILL", "RESULT", "REASON"], rows) if rows else "The improvement log is empty.")
    return 0


def cmd_stats(ctx: Context, args) -> int:
    with reading(ctx) as creator:
        stats = creator.get_improvement_stats()
    if ctx.json:
        print(text.as_json(stats))
        return 0
    for key, value in stats.items():
        shown = (", ".join(value) or "-") if isinstance(value, list) else value
        print(f"{key.replace('_', ' ')}: {shown}")
    return 0


def _answer(ctx: Context, outcome: tuple[bool, str]) -> int:
    ok, message = outcome
    ctx.saved()
    if not ok:
        raise Refused(message)
    print(text.as_json({"message": message}) if ctx.json else message)
    return 0


def cmd_rollback(ctx: Context, args) -> int:
    return _answer(ctx, changing(ctx).rollback_skill(args.name, args.version))


def cmd_delete(ctx: Context, args) -> int:
    return _answer(ctx, changing(ctx).delete_skill(args.name))
