"""tests/test_cron.py: parsing, matching and next occurrence of five-field cron expressions."""

import inspect
import time
from datetime import datetime, timedelta, timezone

import pytest

from conftest import outcome
from cron_twin import ATTRS, WINDOW, twin_next, twin_parse, twin_parse_field
from tarvel.core import scheduler

CronExpression = scheduler.CronExpression
LAST = datetime(9999, 12, 31, 23, 59)

# --- class surface --------------------------------------------------------------------------

def test_class_surface():
    assert CronExpression.__doc__ == "Simple cron expression parser (5 fields: min hour dom month dow)."
    assert CronExpression.__bases__ == (object,) and CronExpression.__module__ == "tarvel.core.scheduler"
    assert CronExpression.__eq__ is object.__eq__ and CronExpression.__repr__ is object.__repr__
    assert isinstance(inspect.getattr_static(CronExpression, "_parse_field"), staticmethod)
    docs = {"matches": "Check if a datetime matches this cron expression.",
            "next_occurrence": "Find the next datetime that matches this cron expression.",
            "_dow_adjusted": "Convert cron DOW (0=Sun) to Python DOW (0=Mon).",
            "_parse_field": "Parse a single cron field into a set of valid values."}
    for name, doc in docs.items():
        assert getattr(CronExpression, name).__doc__ == doc
    signatures = {"matches": "(self, dt: 'datetime') -> 'bool'",
                  "next_occurrence": "(self, after: 'datetime | None' = None) -> 'datetime'",
                  "_dow_adjusted": "(self) -> 'set[int]'",
                  "_parse_field": "(field_str: 'str', min_val: 'int', max_val: 'int') -> 'set[int]'"}
    for name, text in signatures.items():
        assert str(inspect.signature(getattr(CronExpression, name))) == text
    assert list(inspect.signature(CronExpression).parameters) == ["expression"]


# --- parsing --------------------------------------------------------------------------------

@pytest.mark.parametrize("expr, attr, expected", [
    ("*/15 * * * *", "_minute", {0, 15, 30, 45}),
    ("5/20 * * * *", "_minute", {5, 25, 45}),
    ("* * * * */7", "_dow", {0}),
    ("0,30 9-17 * * 1-5", "_hour", set(range(9, 18))),
    ("0,30 9-17 * * 1-5", "_dow", {1, 2, 3, 4, 5}),
    ("* * * * *", "_dom", set(range(1, 32))),
    ("55-65 * * * *", "_minute", {55, 56, 57, 58, 59}),
    ("59,60,61 * * * *", "_minute", {59}),
    ("5-1 * * * *", "_minute", set()),
    ("* 24 0 13 7", "_hour", set()),
    ("* * 0,32 * *", "_dom", set()),
    ("* * * 0,13 *", "_month", set()),
    ("* * * * 7", "_dow", set()),
    ("+5 1_0 ٣ １２ 0", "_hour", {10}),
    ("+5 1_0 ٣ １２ 0", "_dom", {3}),
    ("+5 1_0 ٣ １２ 0", "_month", {12}),
    ("*/-1 * * * *", "_minute", set()),
    ("-3/5 * * * *", "_minute", {2, 7, 12, 17, 22, 27, 32, 37, 42, 47, 52, 57}),
    ("1-3,7 * * * *", "_minute", {1, 2, 3, 7}),
])
def test_field_values(expr, attr, expected):
    value = getattr(CronExpression(expr), attr)
    assert type(value) is set and value == expected


def test_attributes_in_order_and_stripped_text():
    c = CronExpression(" \t0  6\t* *\u3000*\n ")
    assert list(vars(c)) == ["_expr"] + ATTRS
    assert c._expr == "0  6\t* *\u3000*"
    assert [getattr(c, a) for a in ATTRS] == [{0}, {6}, set(range(1, 32)), set(range(1, 13)), set(range(7))]


@pytest.mark.parametrize("sep", [" ", "   ", "\t", "\n", "\r\n", "\x0b", "\x0c", "\x1c", "\x1f", "\x85",
                                 "\xa0", "\u2003", "\u2028", "\u3000", " \t\u3000 "])
def test_any_unicode_whitespace_separates_fields(sep):
    c = CronExpression(sep + sep.join(["1", "2", "3", "4", "5"]) + sep)
    assert [getattr(c, a) for a in ATTRS] == [{1}, {2}, {3}, {4}, {5}]


@pytest.mark.parametrize("expr, count, shown", [
    ("* * * *", 4, "* * * *"), ("", 0, ""), (" \t\u3000 ", 0, ""), ("* * * * * *", 6, "* * * * * *"),
    ("  MON * * *  ", 4, "MON * * *"), ("0\u200b6 * * *", 4, "0\u200b6 * * *"), ("1, 2 * * * *", 6, "1, 2 * * * *"),
])
def test_field_count(expr, count, shown):
    message = f"Cron expression must have 5 fields (min hour dom month dow), got {count}: '{shown}'"
    with pytest.raises(ValueError) as error:
        CronExpression(expr)
    assert str(error.value) == message


@pytest.mark.parametrize("expr, message", [
    ("MON * * * *", "invalid literal for int() with base 10: 'MON'"),
    ("* * * JAN *", "invalid literal for int() with base 10: 'JAN'"),
    ("0-30/5 * * * *", "invalid literal for int() with base 10: '0-30'"),
    ("1,,2 * * * *", "invalid literal for int() with base 10: ''"),
    ("*/0 * * * *", "range() arg 3 must not be zero"),
    ("-5 * * * *", "invalid literal for int() with base 10: ''"),
    ("5- * * * *", "invalid literal for int() with base 10: ''"),
    ("*-5 * * * *", "invalid literal for int() with base 10: '*'"),
    ("1-2-3 * * * *", "invalid literal for int() with base 10: '2-3'"),
    ("x/y * * * *", "invalid literal for int() with base 10: 'y'"),
    ("* * L * *", "invalid literal for int() with base 10: 'L'"),
    ("* * * * 5#2", "invalid literal for int() with base 10: '5#2'"),
    ("0 MON * * x", "invalid literal for int() with base 10: 'MON'"),
    ("@daily * * * *", "invalid literal for int() with base 10: '@daily'"),
])
def test_malformed_fields_raise_pythons_messages(expr, message):
    with pytest.raises(ValueError) as error:
        CronExpression(expr)
    assert str(error.value) == message


FIELDS = ["*", " * ", "*/15", "5/20", "0-30/5", "1,,2", ",", "", " ", "MON", "?", "1.5", "0x10", "0b1",
          "+5", "-5", "5-", "-", "*-5", "1-*", "1 - 3", "1_0", "1__0", "_1", "1_", "٣", "١٠-١٢", "１２",
          "*/0", "5/0", "x/0", "0/x", "*/-1", "70/-1", "10/-1", "*/+7", "* /5", "*/ 5", "/5", "5/", "*/*",
          "**", "60", "0", "7", "31", "-100000000000000000000000000/7", "0-99999999999999999999",
          "99999999999999999999-0", "-99999999999999999999-5", "*/99999999999999999999",
          "3/100000000000000000000000000000000", "1" * 4300, "1" * 4301, "a" * 300, "\u00e9" * 300,
          "1/2/3", "5-1", "55-65", "0,0,0", " 1 , 2 ", "\u30005", "5\u200b", "\x005", "5\x00", "'5'"]


@pytest.mark.parametrize("bounds", [(0, 59), (0, 23), (1, 31), (1, 12), (0, 6), (5, 3), (-5, 5)])
def test_parse_field_agrees_with_python(bounds):
    for text in FIELDS:
        assert outcome(CronExpression._parse_field, text, *bounds) == outcome(
            twin_parse_field, text, *bounds), text


@pytest.mark.parametrize("field_text", [text for text in FIELDS if text.split() == [text]])
def test_expression_fields_agree_with_python(field_text):
    for position in range(5):
        parts = ["*"] * 5
        parts[position] = field_text
        expr = " ".join(parts)
        got = outcome(lambda: [getattr(CronExpression(expr), a) for a in ATTRS])
        assert got == outcome(twin_parse, expr), expr


def test_huge_numbers_are_clipped_at_once():
    start = time.perf_counter()
    c = CronExpression("0-99999999999999999999 -100000000000000000000000000/7 "
                       "-99999999999999999996/33333333333333333333 1/100000000000000000000000 *")
    assert time.perf_counter() - start < 0.5
    assert c._minute == set(range(60))
    assert c._hour == {h for h in range(24) if (h + 10**26) % 7 == 0}
    assert c._dom == {3}
    assert c._month == {1}


def test_parse_field_is_a_static_method_with_its_own_bounds():
    assert CronExpression._parse_field("*", 3, 5) == {3, 4, 5}
    assert CronExpression._parse_field("*/2", -3, 3) == {-3, -1, 1, 3}
    assert CronExpression._parse_field("*", 5, 3) == set()
    assert CronExpression("* * * * *")._parse_field("100-102", 0, 1000) == {100, 101, 102}


@pytest.mark.parametrize("args", [(5, 0, 59), (None, 0, 59), (b"*", 0, 59), ("*", "0", 59),
                                  ("*", 0, 59.0), ("*", None, 59), (["*"], 0, 59)])
def test_parse_field_argument_types(args):
    with pytest.raises(TypeError):
        CronExpression._parse_field(*args)


@pytest.mark.parametrize("value", [None, 5, b"* * * * *", ["*"] * 5, 1.5])
def test_expression_must_be_text(value):
    with pytest.raises(TypeError):
        CronExpression(value)


def test_str_subclass_is_accepted():
    class Text(str):
        pass

    assert CronExpression(Text(" 0 6 * * * "))._expr == "0 6 * * *"


# --- matching -------------------------------------------------------------------------------

def _days(start, count):
    return [start + timedelta(days=n) for n in range(count)]


@pytest.mark.parametrize("expr, rule", [
    ("0 0 13 * 5", lambda d: d.day == 13 and d.weekday() == 4),
    ("0 0 1 * 1", lambda d: d.day == 1 and d.weekday() == 0),
    ("0 0 * * 0", lambda d: d.weekday() == 6),
    ("0 0 * * 1-5", lambda d: d.weekday() < 5),
    ("0 0 29 2 *", lambda d: (d.month, d.day) == (2, 29)),
])
def test_day_of_month_and_day_of_week_must_both_hold(expr, rule):
    c = CronExpression(expr)
    days = _days(datetime(2020, 1, 1), 3 * 366)
    assert [d for d in days if c.matches(d)] == [d for d in days if rule(d)]
    assert not c.matches(datetime(2024, 9, 13, 0, 1)) and not c.matches(datetime(2024, 9, 13, 1, 0))


@pytest.mark.parametrize("dow", range(7))
def test_dow_adjusted(dow):
    c = CronExpression(f"* * * * {dow}")
    assert c._dow_adjusted() == {(dow - 1) % 7}
    full = CronExpression("* * * * *")
    first, second = full._dow_adjusted(), full._dow_adjusted()
    assert first == set(range(7)) and type(first) is set and first is not second
    first.clear()
    assert full._dow_adjusted() == set(range(7)) and full._dow == set(range(7))


def test_seconds_and_time_zone_play_no_part():
    c = CronExpression("0 6 * * *")
    for tz in (None, timezone.utc, timezone(timedelta(hours=-11))):
        assert c.matches(datetime(2024, 1, 5, 6, 0, 59, 999999, tzinfo=tz))
        assert not c.matches(datetime(2024, 1, 5, 6, 1, 0, tzinfo=tz))


def test_matches_tests_the_fields_in_order_and_stops_early():
    class Probe:
        def __init__(self, dt):
            self.dt, self.seen = dt, []

        def __getattr__(self, name):
            self.seen.append(name)
            return getattr(self.dt, name)

    c = CronExpression("0 6 13 * 5")
    friday = Probe(datetime(2024, 9, 13, 6, 0))
    assert c.matches(friday) is True and friday.seen == ["minute", "hour", "day", "month", "weekday"]
    wrong_hour = Probe(datetime(2024, 9, 13, 7, 0))
    assert c.matches(wrong_hour) is False and wrong_hour.seen == ["minute", "hour"]


# --- next occurrence ------------------------------------------------------------------------

@pytest.mark.parametrize("expr, after, expected", [
    ("0 6 * * *", datetime(2024, 3, 10, 5, 59, 30), datetime(2024, 3, 10, 6, 0)),
    ("0 6 * * *", datetime(2024, 3, 10, 6, 0), datetime(2024, 3, 11, 6, 0)),
    ("0 6 * * *", datetime(2024, 3, 10, 6, 0, 0, 1), datetime(2024, 3, 11, 6, 0)),
    ("30 * * * *", datetime(2024, 3, 10, 10, 29, 59, 999999), datetime(2024, 3, 10, 10, 30)),
    ("0 0 29 2 *", datetime(2027, 3, 1), datetime(2028, 2, 29)),
    ("0 0 29 2 *", datetime(2028, 2, 29) - timedelta(minutes=WINDOW), datetime(2028, 2, 29)),
    ("0 0 13 * 5", datetime(2024, 9, 13), datetime(2024, 12, 13)),
    ("*/15 9-17 * * 1-5", datetime(2024, 3, 8, 17, 45), datetime(2024, 3, 11, 9, 0)),
    ("* * * * *", datetime(2024, 2, 28, 23, 59, 59), datetime(2024, 2, 29, 0, 0)),
    ("59 23 31 12 *", datetime(9999, 12, 31, 23, 58, 59), LAST),
])
def test_next_occurrence(expr, after, expected):
    result = CronExpression(expr).next_occurrence(after)
    assert result == expected and type(result) is datetime
    assert (result.second, result.microsecond) == (0, 0)
    assert outcome(CronExpression(expr).next_occurrence, after) == outcome(twin_next, expr, after)


@pytest.mark.parametrize("expr, after", [
    ("0 0 29 2 *", datetime(2024, 2, 29)),
    ("0 0 29 2 *", datetime(2028, 2, 29) - timedelta(minutes=WINDOW + 1)),
    ("60 * * * *", datetime(2024, 1, 1)),
    ("* * * * 7", datetime(2024, 1, 1)),
    ("5-1 * * * *", datetime(2024, 1, 1)),
    ("0 0 31 2 *", datetime(2024, 1, 1)),
    ("0 0 31 4,6,9,11 *", datetime(2024, 1, 1)),
    ("  0 0 30 2 *\t", datetime(2024, 1, 1)),
])
def test_no_next_occurrence(expr, after):
    with pytest.raises(ValueError) as error:
        CronExpression(expr).next_occurrence(after)
    assert str(error.value) == "No next occurrence found for cron: " + expr.strip()


def test_never_matching_expressions_answer_quickly():
    c = CronExpression("0 0 31 2 *")
    start = time.perf_counter()
    for n in range(100):
        with pytest.raises(ValueError):
            c.next_occurrence(datetime(2000, 1, 1) + timedelta(days=37 * n, minutes=n))
    assert time.perf_counter() - start < 0.5


@pytest.mark.parametrize("tz", [timezone.utc, timezone(timedelta(hours=5, minutes=30)),
                                timezone(timedelta(hours=-3), "BRT")])
def test_time_zone_and_fold_are_carried(tz):
    after = datetime(2024, 10, 27, 1, 59, 30, fold=1, tzinfo=tz)
    for expr in ("* * * * *", "0 6 * * *", "0 0 1 1 *"):
        result = CronExpression(expr).next_occurrence(after)
        assert result.tzinfo is tz
        assert outcome(CronExpression(expr).next_occurrence, after) == outcome(twin_next, expr, after)


def test_datetime_subclass_is_kept():
    class Stamp(datetime):
        pass

    after = Stamp(2027, 3, 1, 12, 0, 30)
    for expr in ("* * * * *", "0 6 * * *", "0 0 29 2 *"):
        result = CronExpression(expr).next_occurrence(after)
        assert type(result) is Stamp
        assert outcome(CronExpression(expr).next_occurrence, after) == outcome(twin_next, expr, after)


def test_without_argument_the_module_clock_is_read(monkeypatch):
    class Frozen(datetime):
        @classmethod
        def now(cls, tz=None):
            return cls(2024, 5, 5, 5, 59, 30)

    monkeypatch.setattr(scheduler, "datetime", Frozen)
    c = CronExpression("0 6 * * *")
    assert c.next_occurrence() == datetime(2024, 5, 5, 6, 0) == c.next_occurrence(None)
    assert type(c.next_occurrence()) is Frozen


@pytest.mark.parametrize("expr, after", [
    ("0 0 31 2 *", LAST - timedelta(minutes=WINDOW)),         # last candidate is the last minute
    ("0 0 31 2 *", LAST - timedelta(minutes=WINDOW - 1)),     # one candidate too many
    ("0 0 31 2 *", LAST - timedelta(minutes=WINDOW, seconds=-59)),
    ("0 0 1 1 *", datetime(9999, 1, 1)),
    ("0 12 * * *", datetime(9999, 12, 31)),
    ("* * * * *", LAST - timedelta(minutes=1)),
    ("* * * * *", LAST),
    ("* * * * *", datetime(9999, 12, 31, 23, 59, 59, 999999)),
    ("59 23 * * *", LAST - timedelta(minutes=1)),
    ("0 0 * * *", datetime(9999, 12, 30, 23, 59)),
    ("0 0 * * *", datetime(9999, 12, 31, 0, 0)),
    ("* * * * *", datetime.min),
    ("0 0 29 2 *", datetime.min),
])
def test_calendar_end_behaves_like_the_plain_search(expr, after):
    assert outcome(CronExpression(expr).next_occurrence, after) == outcome(twin_next, expr, after)


def test_calendar_end_outcomes():
    never = CronExpression("0 0 31 2 *")
    with pytest.raises(ValueError, match="No next occurrence found for cron: 0 0 31 2 \\*"):
        never.next_occurrence(LAST - timedelta(minutes=WINDOW))
    for after in (LAST - timedelta(minutes=WINDOW - 1), LAST):
        with pytest.raises(OverflowError, match="date value out of range"):
            never.next_occurrence(after)


# --- the instance's sets are read when used --------------------------------------------------

@pytest.mark.parametrize("kind", [set, frozenset, list])
def test_replaced_sets_are_followed(kind):
    c = CronExpression("0 6 * * *")
    c._minute = kind([5, 75])
    assert c.matches(datetime(2024, 1, 1, 6, 5)) and not c.matches(datetime(2024, 1, 1, 6, 0))
    assert c.next_occurrence(datetime(2024, 1, 1)) == datetime(2024, 1, 1, 6, 5)
    c._dow = kind([0])
    assert c._dow_adjusted() == {6}
    assert c.next_occurrence(datetime(2024, 1, 1)) == datetime(2024, 1, 7, 6, 5)
    c._hour = kind([])
    with pytest.raises(ValueError, match="No next occurrence found for cron: 0 6"):
        c.next_occurrence(datetime(2024, 1, 1))
    c._expr = "replaced"
    with pytest.raises(ValueError, match="No next occurrence found for cron: replaced$"):
        c.next_occurrence(datetime(2024, 1, 1))


def test_sets_changed_in_place_are_followed():
    c = CronExpression("5 6 * * *")
    assert c.next_occurrence(datetime(2024, 1, 1)) == datetime(2024, 1, 1, 6, 5)
    c._minute.discard(5)  # another set of the same size, in the same object
    c._minute.add(40)
    assert c.matches(datetime(2024, 1, 1, 6, 40)) and not c.matches(datetime(2024, 1, 1, 6, 5))
    assert c.next_occurrence(datetime(2024, 1, 1)) == datetime(2024, 1, 1, 6, 40)


def test_subclass_overrides_are_used():
    class EvenMinutes(CronExpression):
        def matches(self, dt):
            return dt.minute % 2 == 0 and super().matches(dt)

    class Weekends(CronExpression):
        def _dow_adjusted(self):
            return {5, 6}

    assert EvenMinutes("*/3 * * * *").next_occurrence(datetime(2024, 1, 1, 10, 0)) == datetime(2024, 1, 1, 10, 6)
    weekends = Weekends("0 6 * * 1")
    assert weekends.matches(datetime(2024, 1, 6, 6, 0)) and not weekends.matches(datetime(2024, 1, 1, 6, 0))
    assert weekends.next_occurrence(datetime(2024, 1, 1)) == datetime(2024, 1, 6, 6, 0)


# --- next occurrences -----------------------------------------------------------------------

def test_next_occurrences_surface():
    method = CronExpression.next_occurrences
    assert str(inspect.signature(method)) == "(self, count: 'int', after: 'datetime | None' = None) -> 'list[datetime]'"
    assert method.__doc__ == "Find the next count datetimes that match this cron expression."


@pytest.mark.parametrize("expr, count, after, expected", [
    ("0 9 * * 1", 3, datetime(2026, 1, 5, 9, 0), [datetime(2026, 1, d, 9, 0) for d in (12, 19, 26)]),
    ("*/20 23 31 12 *", 4, datetime(2026, 12, 31, 23, 0), [datetime(2026, 12, 31, 23, 20), datetime(2026, 12, 31, 23, 40),
                                                           datetime(2027, 12, 31, 23, 0), datetime(2027, 12, 31, 23, 20)]),
    ("0 0 29 2 *", 3, datetime(2027, 3, 1), [datetime(2028, 2, 29)]),  # the next leap day lies beyond the window
    ("0 0 31 2 *", 2, datetime(2027, 3, 1), []),
    ("* * * * *", 0, datetime(2027, 3, 1), []),
])
def test_next_occurrences_follow_each_occurrence_until_the_window_is_empty(expr, count, after, expected):
    assert CronExpression(expr).next_occurrences(count, after) == expected


def test_next_occurrences_start_at_the_module_clock_and_use_overrides(monkeypatch):
    class Frozen(datetime):
        @classmethod
        def now(cls, tz=None):
            return cls(2024, 5, 5, 5, 59, 30)

    class Logged(CronExpression):
        def next_occurrence(self, after=None):
            seen.append(after)
            return super().next_occurrence(after)

    seen = []
    monkeypatch.setattr(scheduler, "datetime", Frozen)
    found = Logged("0 6 * * *").next_occurrences(2)
    assert found == [datetime(2024, 5, 5, 6, 0), datetime(2024, 5, 6, 6, 0)] and seen == [Frozen.now(), found[0]]


@pytest.mark.parametrize("count, error", [(-1, ValueError("count must be 0 or more, not -1")),
                                          (True, TypeError("count must be an int, not bool")),
                                          (2.0, TypeError("count must be an int, not float"))])
def test_next_occurrences_count_is_checked(count, error):
    with pytest.raises(type(error)) as raised:
        CronExpression("* * * * *").next_occurrences(count)
    assert str(raised.value) == str(error)
