"""tests/test_cron_property.py: random cron expressions agree with a plain minute-by-minute search."""

from datetime import datetime, timedelta, timezone

from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

from conftest import outcome
from cron_twin import ATTRS, WINDOW, twin_matches, twin_next, twin_parse
from tarvel.core import scheduler

SETTINGS = settings(max_examples=200, deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])

# --- strategies -------------------------------------------------------------------------------

def _number(lo, hi):
    return st.one_of(st.integers(lo, hi), st.integers(lo, hi), st.integers(max(0, lo - 3), hi + 3),
                     st.integers(0, 10**25))


def _render(n):
    return st.sampled_from([str(n), f"+{n}", f"{n:_}", f"0{n}"])


def _item(lo, hi):
    number = _number(lo, hi).flatmap(_render)
    span = st.tuples(_number(lo, hi), _number(lo, hi)).map(lambda ab: f"{ab[0]}-{ab[1]}")
    base = st.one_of(st.just("*"), _number(lo, hi).map(str), st.integers(-10**25, hi).map(str))
    step = st.one_of(st.integers(1, 40), st.integers(1, 40), st.integers(-3, 0), st.integers(1, 10**22))
    stepped = st.tuples(base, step).map(lambda bs: f"{bs[0]}/{bs[1]}")
    return st.one_of(st.just("*"), number, number, span, stepped)


def _field(lo, hi, star_weight):
    listed = st.lists(_item(lo, hi), min_size=1, max_size=3).map(",".join)
    return st.one_of(*[st.just("*")] * star_weight, listed)


SEPARATORS = st.sampled_from([" ", " ", "  ", "\t", "\u3000", " \n "])
expressions = st.tuples(_field(0, 59, 1), _field(0, 23, 1), _field(1, 31, 3), _field(1, 12, 3),
                        _field(0, 6, 2), SEPARATORS, SEPARATORS).map(
    lambda t: t[5] + t[6].join(t[:5]) + t[5])
rare_expressions = st.tuples(st.integers(0, 59), st.integers(0, 23), st.integers(1, 31),
                             st.integers(1, 12), st.sampled_from(["*", "*", "0", "3", "1-5", "6"])).map(
    lambda t: " ".join(map(str, t)))

zones = st.sampled_from([None, None, timezone.utc, timezone(timedelta(hours=-12, minutes=-30))])
leap_days = st.builds(lambda y, h, m, s: datetime(4 * y, 2, 29, h, m, s),
                      st.integers(1, 2499).filter(lambda y: (4 * y) % 100 or (4 * y) % 400 == 0),
                      st.integers(0, 23), st.integers(0, 59), st.integers(0, 59))
starts = st.one_of(
    st.datetimes(min_value=datetime(1990, 1, 1), max_value=datetime(2100, 1, 1)),
    st.datetimes(),
    leap_days,
    st.datetimes(min_value=datetime(9998, 12, 1), max_value=datetime.max),
)


def _aware(after, tz):
    return after.replace(tzinfo=tz)


# --- properties -------------------------------------------------------------------------------

@SETTINGS
@given(expressions)
def test_parsing_agrees(expr):
    got = outcome(lambda: [getattr(scheduler.CronExpression(expr), a) for a in ATTRS])
    assert got == outcome(twin_parse, expr)


@SETTINGS
@given(expressions, st.datetimes())
def test_matching_agrees(expr, dt):
    try:
        sets = twin_parse(expr)
    except ValueError:
        assume(False)
    assert scheduler.CronExpression(expr).matches(dt) is twin_matches(sets, dt)


@SETTINGS
@given(expressions, starts, zones)
def test_next_occurrence_agrees(expr, after, tz):
    try:
        twin_parse(expr)
    except ValueError:
        assume(False)
    after = _aware(after, tz)
    assert outcome(scheduler.CronExpression(expr).next_occurrence, after) == outcome(twin_next, expr, after)


@SETTINGS
@given(st.one_of(rare_expressions, expressions), starts, st.integers(-2, 2), st.integers(0, 59), zones)
def test_window_edge_agrees(expr, base, shift, second, tz):
    """Start so that a known occurrence lies right at the last candidates of the window."""
    try:
        found = twin_next(expr, base)
        after = found - timedelta(minutes=WINDOW + shift, seconds=-second)
    except (ValueError, OverflowError):
        assume(False)
    after = _aware(after, tz)
    assert outcome(scheduler.CronExpression(expr).next_occurrence, after) == outcome(twin_next, expr, after)


@SETTINGS
@given(st.one_of(rare_expressions, st.just("0 0 31 2 *"), st.just("* * * * *")),
       st.one_of(st.integers(-3, 3), st.integers(WINDOW - 3, WINDOW + 3), st.integers(0, WINDOW + 3)))
def test_calendar_end_agrees(expr, minutes_before):
    """Start near 9999-12-31 23:59: a candidate past it overflows, a window that ends on it does not."""
    after = datetime(9999, 12, 31, 23, 59) - timedelta(minutes=max(minutes_before, 0))
    assert outcome(scheduler.CronExpression(expr).next_occurrence, after) == outcome(twin_next, expr, after)
