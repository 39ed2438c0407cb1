"""twins/cron_twin.py: the cron parser and next-match search written in plain Python.

The cron tests compare CronExpression with these functions, and the cron
benchmark times PlainCron as its baseline. Each field is read by int() and
range() as written, and each candidate minute is tested in turn: PlainCron
scans every minute of the window; twin_next passes over a day whose date
cannot match whole, which finds the same minute sooner.
"""

from datetime import timedelta

WINDOW = 366 * 24 * 60
BOUNDS = [(0, 59), (0, 23), (1, 31), (1, 12), (0, 6)]
ATTRS = ["_minute", "_hour", "_dom", "_month", "_dow"]


def _within(r, lo, hi):
    """The values of range r that lie in lo..hi, found without walking r (its ends may be huge)."""
    if r.step < 0:
        return set()  # counts down towards hi + 1 and stops before it
    skip = max(0, -(-(lo - r.start) // r.step))
    return {v for v in r[skip:][: max(0, hi - lo + 1)] if v <= hi}


def twin_parse_field(field_str, min_val, max_val):
    values = set()
    for part in field_str.split(","):
        part = part.strip()
        if part == "*":
            values.update(range(min_val, max_val + 1))
        elif "/" in part:
            base, step = part.split("/", 1)
            step = int(step)
            start = min_val if base == "*" else int(base)
            values.update(_within(range(start, max_val + 1, step), min_val, max_val))
        elif "-" in part:
            low, high = part.split("-", 1)
            values.update(_within(range(int(low), int(high) + 1), min_val, max_val))
        else:
            values.add(int(part))
    return {v for v in values if min_val <= v <= max_val}


def twin_parse(expr):
    parts = expr.strip().split()
    if len(parts) != 5:
        raise ValueError(f"Cron expression must have 5 fields (min hour dom month dow), got "
                         f"{len(parts)}: '{expr.strip()}'")
    return [twin_parse_field(p, lo, hi) for p, (lo, hi) in zip(parts, BOUNDS)]


def twin_matches(sets, dt):
    minute, hour, dom, month, dow = sets
    return (dt.minute in minute and dt.hour in hour and dt.day in dom and dt.month in month
            and (dt.weekday() + 1) % 7 in dow)


def twin_next(expr, after):
    """Candidates one minute apart, as many as WINDOW; a day that cannot match is skipped whole."""
    sets = twin_parse(expr)
    minute, hour, dom, month, dow = sets
    candidate = after.replace(second=0, microsecond=0) + timedelta(minutes=1)
    index = 0
    while True:
        if twin_matches(sets, candidate):
            return candidate
        day_open = (minute and hour and candidate.day in dom and candidate.month in month
                    and (candidate.weekday() + 1) % 7 in dow)
        skip = 1 if day_open else 1440 - candidate.hour * 60 - candidate.minute
        if index + skip >= WINDOW:
            raise ValueError("No next occurrence found for cron: " + expr.strip())
        candidate += timedelta(minutes=skip)
        index += skip


class PlainCron:
    """The search written in plain Python: every candidate minute goes through matches()."""

    def __init__(self, expr):
        self._expr = expr.strip()
        self._minute, self._hour, self._dom, self._month, self._dow = twin_parse(expr)

    def _dow_adjusted(self):
        table = {0: 6, 1: 0, 2: 1, 3: 2, 4: 3, 5: 4, 6: 5}
        return {table[d] for d in self._dow}

    def matches(self, dt):
        return (dt.minute in self._minute and dt.hour in self._hour and dt.day in self._dom
                and dt.month in self._month and dt.weekday() in self._dow_adjusted())

    def next_occurrence(self, after):
        candidate = after.replace(second=0, microsecond=0) + timedelta(minutes=1)
        for index in range(WINDOW):
            if index:
                candidate += timedelta(minutes=1)
            if self.matches(candidate):
                return candidate
        raise ValueError(f"No next occurrence found for cron: {self._expr}")
