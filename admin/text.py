"""What the commands print: times for people, durations, tables and JSON."""

from __future__ import annotations

import json
import time
from datetime import datetime, timezone

# Set by the command line: times in UTC instead of the local zone.
UTC = False


def when(ts: float) -> str:
    """A moment as "2026-12-09 09:00:00" in the local zone (or UTC), "-" for none."""
    if not ts:
        return "-"
    moment = datetime.fromtimestamp(ts, timezone.utc) if UTC else datetime.fromtimestamp(ts)
    return moment.strftime("%Y-%m-%d %H:%M:%S") + (" UTC" if UTC else "")


def span(seconds: float) -> str:
    """A length of time as "3h 12m", "45s", "2d 4h": the two largest units."""
    seconds = int(round(abs(seconds)))
    parts: list[str] = []
    for unit, size in (("d", 86400), ("h", 3600), ("m", 60), ("s", 1)):
        if seconds >= size or (unit == "s" and not parts):
            parts.append(f"{seconds // size}{unit}")
            seconds %= size
    return " ".join(parts[:2])


def left(ts: float, now: float | None = None) -> str:
    """How long until `ts`: "in 3h 12m", "now" when due, "-" for none."""
    if not ts:
        return "-"
    ahead = ts - (time.time() if now is None else now)
    return f"in {span(ahead)}" if ahead >= 1 else "now"


def ago(ts: float, now: float | None = None) -> str:
    """How long since `ts`: "2h ago", "-" for never."""
    if not ts:
        return "-"
    return f"{span((time.time() if now is None else now) - ts)} ago"


def seconds(value: float) -> str:
    """A duration as "0.42s" under a minute, else as span() gives it."""
    return f"{value:.2f}s" if value < 60 else span(value)


def first_line(message: str, width: int = 60) -> str:
    """The first line of a message, cut to `width` characters."""
    line = message.strip().splitlines()[0] if message.strip() else ""
    return line if len(line) <= width else line[: width - 1] + "\u2026"


def table(headers: list[str], rows: list[list[str]]) -> str:
    """Columns as wide as their widest cell, two spaces apart; the last one unpadded."""
    widths = [max(len(str(cell)) for cell in column) for column in zip(headers, *rows)]
    lines = []
    for row in [headers, *rows]:
        cells = [str(cell).ljust(width) for cell, width in zip(row, widths)]
        lines.append("  ".join(cells).rstrip())
    return "\n".join(lines)


def as_json(value) -> str:
    """The value as indented JSON, for scripts."""
    return json.dumps(value, indent=2, ensure_ascii=False, default=str)
