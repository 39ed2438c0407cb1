"""bench/bench_cron.py: times CronExpression.next_occurrence against a plain-Python scan and croniter.

Run it with the project installed (pip install '.[bench]' adds croniter):

    python bench/bench_cron.py

Each row times one call of next_occurrence(after) with the expression object built once, then
the same search done by a plain-Python minute-by-minute scan over the same candidates (at most
366 days of minutes), then croniter's get_next on the expressions where its dialect agrees.
"""

import project  # first: the project's folders on the path

from datetime import datetime

from cron_twin import PlainCron
from timing import per_call, show_time

scheduler = project.native("tarvel.core.scheduler", "'.[bench]'")

AFTER = datetime(2026, 3, 14, 15, 9, 26)

# (expression, whether croniter reads it the same way). "0 0 31 2 *" never matches: the scan
# tests all 527040 candidates, and croniter is left out there.
CASES = [
    ("0 6 * * *", True),
    ("*/15 9-17 * * 1-5", True),
    ("30 2 1 * *", True),
    ("0 0 31 2 *", False),
]


def load_croniter():
    try:
        from croniter import croniter
    except ImportError:
        print("croniter is not installed, so its column is empty; install the benchmark extra with:")
        print("    pip install '.[bench]'    (croniter==7.0.0)")
        print()
        return None
    return croniter


def result_of(fn):
    try:
        return fn()
    except ValueError as exc:
        return f"ValueError: {exc}"


def show_ratio(slow, fast):
    return "-" if slow is None else f"{slow / fast:,.0f}x"


def main():
    croniter = load_croniter()
    print(f"next occurrence after {AFTER:%Y-%m-%d %H:%M:%S}, per call (best of 3, timeit auto-ranged)")
    print()
    header = ("expression", "native", "plain scan", "scan/native", "croniter", "croniter/native", "same result")
    rows = [header]
    for expr, croniter_agrees in CASES:
        cron = scheduler.CronExpression(expr)
        plain = PlainCron(expr)
        native_result = result_of(lambda: cron.next_occurrence(AFTER))
        same = native_result == result_of(lambda: plain.next_occurrence(AFTER))

        native_time = per_call(lambda: result_of(lambda: cron.next_occurrence(AFTER)))
        scan_time = per_call(lambda: result_of(lambda: plain.next_occurrence(AFTER)))
        croniter_time = None
        if croniter is not None and croniter_agrees:
            same = same and native_result == croniter(expr, AFTER).get_next(datetime)
            croniter_time = per_call(lambda: croniter(expr, AFTER).get_next(datetime))

        rows.append((expr, show_time(native_time), show_time(scan_time), show_ratio(scan_time, native_time),
                     show_time(croniter_time), show_ratio(croniter_time, native_time),
                     "yes" if same else "NO"))
    widths = [max(len(row[i]) for row in rows) for i in range(len(header))]
    for n, row in enumerate(rows):
        print("  ".join(cell.ljust(w) if i == 0 else cell.rjust(w) for i, (cell, w) in enumerate(zip(row, widths))))
        if n == 0:
            print("  ".join("-" * w for w in widths))


if __name__ == "__main__":
    main()
