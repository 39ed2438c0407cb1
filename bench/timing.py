"""bench/timing.py: the timing and printing helpers the benchmarks share."""

import platform
import timeit


def per_call(fn):
    """Seconds per call: timeit's auto-ranged loop count, best of three repeats."""
    timer = timeit.Timer(fn)
    number, _ = timer.autorange()
    return min(timer.repeat(repeat=3, number=number)) / number


def show_time(seconds):
    """Seconds as a short text with a unit ("-" for no figure)."""
    if seconds is None:
        return "-"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def interpreter_line():
    """Which Python on which system, for the head of a report."""
    return (f"Python {platform.python_version()} ({platform.python_implementation()}), "
            f"{platform.system()} {platform.machine()}")
