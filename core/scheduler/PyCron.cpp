// core/scheduler/PyCron.cpp: CronExpression, the Python face of the cron core
#include "core/scheduler/PyScheduler.hpp"  // Python.h first

#include <datetime.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <optional>
#include <vector>

#include "cron/TCronParse.hpp"
#include "glue/PyClass.hpp"
#include "glue/PyFunction.hpp"
#include "glue/PyMethods.hpp"

namespace tarvel::scheduler {

namespace {

TARVEL_DECLARATIONS

namespace cron = tarvel::cron;

// Python ints as the parser's integers: conversion exactly as int(text) does
// it, and exact arithmetic at any size.
struct PyInts {
    using Int = py::Ref;

    py::Ref parse(std::string_view text) {
        py::Ref s = py::Ref::steal(PyUnicode_DecodeUTF8(
            text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"));
        return py::Ref::steal(PyLong_FromUnicodeObject(s.get(), 10));
    }
    int sign(const py::Ref& v) {
#if PY_VERSION_HEX >= 0x030E0000
        int sign = 0;
        py::check(PyLong_GetSign(v.get(), &sign) < 0);
        return sign;
#else
        int overflow = 0;
        const long long x = PyLong_AsLongLongAndOverflow(v.get(), &overflow);
        py::check(x == -1 && PyErr_Occurred());
        return overflow != 0 ? overflow : (x > 0) - (x < 0);
#endif
    }
    std::int64_t clamp(const py::Ref& v, std::int64_t lo, std::int64_t hi) {
        int overflow = 0;
        const long long x = PyLong_AsLongLongAndOverflow(v.get(), &overflow);
        py::check(x == -1 && PyErr_Occurred());
        if (overflow != 0) return overflow > 0 ? hi : lo;
        return std::clamp<std::int64_t>(x, lo, hi);
    }
    std::int64_t align_up(const py::Ref& start, const py::Ref& step, std::int64_t lo,
                          std::int64_t cap) {
        py::Ref low = py::integer(lo);
        py::Ref diff = py::Ref::steal(PyNumber_Subtract(start.get(), low.get()));
        py::Ref rest = py::Ref::steal(PyNumber_Remainder(diff.get(), step.get()));
        return lo + clamp(rest, 0, cap - lo);
    }
};

struct FieldInfo {
    PyObject* (*attr)();
    std::int64_t lo, hi;
};

const std::array<FieldInfo, 5> kFields = {{
    {[] { return TARVEL_NAME("_minute"); }, 0, 59},
    {[] { return TARVEL_NAME("_hour"); }, 0, 23},
    {[] { return TARVEL_NAME("_dom"); }, 1, 31},
    {[] { return TARVEL_NAME("_month"); }, 1, 12},
    {[] { return TARVEL_NAME("_dow"); }, 0, 6},
}};

constexpr std::int64_t kBoundLimit = std::int64_t{1} << 62;

// The text of a str as UTF-8; lone surrogates pass through (they only ever
// reach int(), which rejects them with its own message).
struct Utf8 {
    explicit Utf8(PyObject* s) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(s, &size);
        if (data == nullptr) {
            PyErr_Clear();
            bytes = py::Ref::steal(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
            data = PyBytes_AS_STRING(bytes.get());
            size = PyBytes_GET_SIZE(bytes.get());
        }
        view = std::string_view(data, static_cast<std::size_t>(size));
    }
    py::Ref bytes;
    std::string_view view;
};

std::vector<cron::Progression> parse_values(PyObject* field, std::int64_t lo, std::int64_t hi) {
    Utf8 text(field);
    PyInts ints;
    try {
        return cron::parse_field(text.view, lo, hi, ints);
    } catch (const cron::ParseError&) {
        // The only error the core raises itself here is a zero step, which
        // Python's range() reports with this text.
        throw py::Error(PyExc_ValueError, "range() arg 3 must not be zero");
    }
}

py::Ref to_set(const std::vector<cron::Progression>& progressions) {
    std::vector<std::int64_t> values;
    for (const cron::Progression& p : progressions) {
        if (p.first > p.last) continue;
        for (std::int64_t v = p.first;; v += p.step) {
            values.push_back(v);
            if (p.last - v < p.step) break;
        }
    }
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
    py::Ref set = py::Ref::steal(PySet_New(nullptr));
    for (std::int64_t v : values)
        py::check(PySet_Add(set.get(), py::integer(v).get()) < 0);
    return set;
}

std::int64_t bound(PyObject* value, const char* what) {
    if (!PyLong_Check(value)) py::wrong_type(what, "an int", value);
    const long long v = PyLong_AsLongLong(value);
    py::check(v == -1 && PyErr_Occurred());
    if (v < -kBoundLimit || v > kBoundLimit) {
        PyErr_Format(PyExc_OverflowError, "%s is too large for a cron field", what);
        throw py::Error();
    }
    return v;
}

TARVEL_STATICMETHOD(CronExpression, "_parse_field", parse_field_impl,
                    "field_str: str, min_val: int, max_val: int", "set[int]",
                    "Parse a single cron field into a set of valid values.")
(const py::Frame&, PyObject* field_str, PyObject* min_val, PyObject* max_val) {
    if (!PyUnicode_Check(field_str)) py::wrong_type("field_str", "a str", field_str);
    const std::int64_t lo = bound(min_val, "min_val");
    const std::int64_t hi = bound(max_val, "max_val");
    return to_set(parse_values(field_str, lo, hi));
}

// --- the schedule behind an instance's five sets --------------------------
//
// Python code reads self._minute and the others on every call, so the search reads them too and
// turns their present contents into bitsets each time. Anything unusual (an attribute that is not
// a set of in-range ints, an overridden method) takes the literal Python path.

// The value of the exact int in a set's slot when it is a small one (under 2**30 in size), read
// in place; nullopt for a larger one, which no field holds.
std::optional<std::int64_t> small_value(const setentry& slot) {
#if PY_VERSION_HEX >= 0x030C0000
    const auto* number = reinterpret_cast<PyLongObject*>(slot.key);
    if (!PyUnstable_Long_IsCompact(number)) return std::nullopt;
    return PyUnstable_Long_CompactValue(number);
#else
    // 0 <= value < 2**30: one digit or none, and the cached hash is the value itself
    const Py_ssize_t digits = Py_SIZE(slot.key);
    if (digits != 0 && digits != 1) return std::nullopt;
    return slot.hash;
#endif
}

// Bits of an exact set of exact ints within [lo, hi]; nullopt for anything else. The set's own
// table is read in place (its layout is the documented one of every supported interpreter: empty
// slots have no key, removed ones a hash of -1); no code runs, so nothing changes it meanwhile.
std::optional<std::uint64_t> bits_of(PyObject* set, std::int64_t lo, std::int64_t hi) {
    if (!PyAnySet_CheckExact(set)) return std::nullopt;
    const auto* table = reinterpret_cast<const PySetObject*>(set);
    std::uint64_t bits = 0;
    Py_ssize_t found = 0;
    const Py_ssize_t size = PySet_GET_SIZE(set);
    for (Py_ssize_t i = 0; i <= table->mask && found < size; ++i) {
        const setentry& slot = table->table[i];
        if (slot.key == nullptr || slot.hash == -1) continue;
        if (!PyLong_CheckExact(slot.key)) return std::nullopt;
        const auto v = small_value(slot);
        if (!v || *v < lo || *v > hi) return std::nullopt;
        bits |= std::uint64_t{1} << *v;
        ++found;
    }
    if (found != size) return std::nullopt;
    return bits;
}

std::optional<cron::Schedule> schedule_of(PyObject* self) {
    std::array<py::Ref, 5> sets;
    for (std::size_t i = 0; i < 5; ++i)
        sets[i] = py::getattr(self, kFields[i].attr());
    std::array<std::uint64_t, 5> bits{};
    for (std::size_t i = 0; i < 5; ++i) {
        auto b = bits_of(sets[i].get(), kFields[i].lo, kFields[i].hi);
        if (!b) return std::nullopt;
        bits[i] = *b;
    }
    cron::Schedule schedule;
    schedule.minute = bits[0];
    schedule.hour = static_cast<std::uint32_t>(bits[1]);
    schedule.dom = static_cast<std::uint32_t>(bits[2]);
    schedule.month = static_cast<std::uint16_t>(bits[3]);
    schedule.dow = static_cast<std::uint8_t>(bits[4]);
    return schedule;
}

// --- methods ----------------------------------------------------------------

py::Ref dow_adjusted_impl(const py::Frame& frame);
py::Ref matches_impl(const py::Frame& frame);

// Whether the instance's class still uses our matching, so the search may
// stand in for calling self.matches() on every candidate.
bool own_matching(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    return py::type_runs(type, TARVEL_NAME("matches"), matches_impl) &&
           py::type_runs(type, TARVEL_NAME("_dow_adjusted"), dow_adjusted_impl);
}

// The minute after `m`, or nothing after 9999-12-31 23:59.
std::optional<cron::Minute> next_minute(cron::Minute m) {
    if (++m.minute < 60) return m;
    m.minute = 0;
    if (++m.hour < 24) return m;
    m.hour = 0;
    if (++m.day <= cron::days_in_month(m.year, m.month)) return m;
    m.day = 1;
    if (++m.month <= 12) return m;
    m.month = 1;
    if (++m.year <= 9999) return m;
    return std::nullopt;
}

cron::Minute minute_of(PyObject* dt) {
    return {PyDateTime_GET_YEAR(dt), PyDateTime_GET_MONTH(dt), PyDateTime_GET_DAY(dt),
            PyDateTime_DATE_GET_HOUR(dt), PyDateTime_DATE_GET_MINUTE(dt)};
}

TARVEL_METHOD(CronExpression, "__init__", init_impl, "self, expression: str", nullptr, nullptr)
(const py::Frame&, PyObject* self, PyObject* expression) {
    if (!PyUnicode_Check(expression)) py::wrong_type("expression", "a str", expression);
    py::Ref expr = py::call_method(expression, TARVEL_NAME("strip"));
    py::setattr(self, TARVEL_NAME("_expr"), expr.get());
    py::Ref parts = py::Ref::steal(PyUnicode_Split(expr.get(), nullptr, -1));
    const Py_ssize_t count = PyList_GET_SIZE(parts.get());
    if (count != 5) {
        py::Ref message = py::Ref::steal(PyUnicode_FromFormat(
            "Cron expression must have 5 fields (min hour dom month dow), got %zd: '%U'", count,
            expr.get()));
        throw py::Error(PyExc_ValueError, message.get());
    }
    const bool own_parser =
        py::type_runs(Py_TYPE(self), TARVEL_NAME("_parse_field"), parse_field_impl);
    for (std::size_t i = 0; i < 5; ++i) {
        PyObject* part = PyList_GET_ITEM(parts.get(), static_cast<Py_ssize_t>(i));
        py::Ref values;
        if (own_parser) {
            values = to_set(parse_values(part, kFields[i].lo, kFields[i].hi));
        } else {
            values = py::call_method(self, TARVEL_NAME("_parse_field"), part,
                                     py::integer(kFields[i].lo), py::integer(kFields[i].hi));
        }
        py::setattr(self, kFields[i].attr(), values.get());
    }
    return py::none();
}

// Cron numbering (0 = Sunday) to datetime.weekday() numbering (0 = Monday).
// Made once and held for the life of the process; a failed making is tried again.
PyObject* dow_table() {
    static PyObject* const table = [] {
        py::Ref t = py::Ref::steal(PyDict_New());
        for (long long cron_day = 0; cron_day < 7; ++cron_day) {
            py::dict_set(t.get(), py::integer(cron_day).get(),
                         py::integer((cron_day + 6) % 7).get());
        }
        return t.release();
    }();
    return table;
}

TARVEL_METHOD(CronExpression, "_dow_adjusted", dow_adjusted_impl, "self", "set[int]",
              "Convert cron DOW (0=Sun) to Python DOW (0=Mon).")
(const py::Frame&, PyObject* self) {
    py::Ref dow = py::getattr(self, TARVEL_NAME("_dow"));
    py::Ref result = py::Ref::steal(PySet_New(nullptr));
    for (const py::Ref& day : py::iterate(dow.get())) {
        py::Ref mapped = py::dict_get(dow_table(), day.get());
        if (!mapped) throw py::Error(PyExc_KeyError, day.get());
        py::check(PySet_Add(result.get(), mapped.get()) < 0);
    }
    return result;
}

bool contains(PyObject* self, PyObject* attr, PyObject* value) {
    py::Ref values = py::getattr(self, attr);
    const int found = PySequence_Contains(values.get(), value);
    py::check(found < 0);
    return found != 0;
}

TARVEL_METHOD(CronExpression, "matches", matches_impl, "self, dt: datetime", "bool",
              "Check if a datetime matches this cron expression.")
(const py::Frame&, PyObject* self, PyObject* dt) {
    if (PyDateTime_Check(dt) &&
        py::type_runs(Py_TYPE(self), TARVEL_NAME("_dow_adjusted"), dow_adjusted_impl)) {
        if (auto schedule = schedule_of(self)) return py::boolean(schedule->matches(minute_of(dt)));
    }
    // The literal reading, for anything unusual.
    using Name = PyObject* (*)();
    const std::array<Name, 4> parts = {
        [] { return TARVEL_NAME("minute"); }, [] { return TARVEL_NAME("hour"); },
        [] { return TARVEL_NAME("day"); }, [] { return TARVEL_NAME("month"); }};
    for (std::size_t i = 0; i < 4; ++i) {
        py::Ref value = py::getattr(dt, parts[i]());
        if (!contains(self, kFields[i].attr(), value.get())) return py::boolean(false);
    }
    py::Ref weekday = py::call_method(dt, TARVEL_NAME("weekday"));
    py::Ref allowed = py::call_method(self, TARVEL_NAME("_dow_adjusted"));
    const int found = PySequence_Contains(allowed.get(), weekday.get());
    py::check(found < 0);
    return py::boolean(found != 0);
}

// Sets the ValueError of an empty window and returns the null result that
// reports it: a common outcome, so it skips the cost of a C++ throw.
py::Ref no_occurrence(PyObject* self) {
    py::Ref expr = py::getattr(self, TARVEL_NAME("_expr"));
    py::Ref text = py::Ref::steal(PyObject_Format(expr.get(), nullptr));
    py::Ref message =
        py::Ref::steal(PyUnicode_FromFormat("No next occurrence found for cron: %U", text.get()));
    PyErr_SetObject(PyExc_ValueError, message.get());
    return {};
}

[[noreturn]] void out_of_range() {
    throw py::Error(PyExc_OverflowError, "date value out of range");
}

// A date-time of the same type as `like`, with its tzinfo, at minute `m`.
py::Ref make_datetime(PyObject* like, const cron::Minute& m) {
    PyObject* tzinfo = PyDateTime_DATE_GET_TZINFO(like);
    PyTypeObject* type = Py_TYPE(like);
    if (type == PyDateTimeAPI->DateTimeType) {
        return py::Ref::steal(PyDateTimeAPI->DateTime_FromDateAndTimeAndFold(
            m.year, m.month, m.day, m.hour, m.minute, 0, 0, tzinfo, 0, type));
    }
    // Python's datetime arithmetic builds subclass results through the constructor.
    return py::call(reinterpret_cast<PyObject*>(type), py::integer(m.year), py::integer(m.month),
                    py::integer(m.day), py::integer(m.hour), py::integer(m.minute), py::integer(0),
                    py::integer(0), tzinfo);
}

// The search from a first candidate that is already a whole minute.
py::Ref search(PyObject* self, const cron::Schedule& schedule, PyObject* first) {
    cron::Search found = cron::next_match(schedule, minute_of(first));
    switch (found.outcome) {
        case cron::Outcome::Found:
            return make_datetime(first, found.at);
        case cron::Outcome::Overflow:
            out_of_range();
        case cron::Outcome::NotFound:
            break;
    }
    return no_occurrence(self);
}

TARVEL_METHOD(CronExpression, "next_occurrence", next_occurrence_impl,
              "self, after: datetime | None = None", "datetime",
              "Find the next datetime that matches this cron expression.")
(const py::Frame& frame, PyObject* self, PyObject* after) {
    py::Ref start = py::Ref::borrow(after);
    if (!py::truthy(start.get())) {
        py::Ref datetime = py::global(frame.globals, TARVEL_NAME("datetime"));
        start = py::call_method(datetime.get(), TARVEL_NAME("now"));
    }
    const bool own = own_matching(self);
    if (own && PyDateTime_Check(start.get())) {
        if (auto schedule = schedule_of(self)) {
            auto first = next_minute(minute_of(start.get()));
            if (!first) out_of_range();
            cron::Search found = cron::next_match(*schedule, *first);
            if (found.outcome == cron::Outcome::Found) return make_datetime(start.get(), found.at);
            if (found.outcome == cron::Outcome::Overflow) out_of_range();
            return no_occurrence(self);
        }
    }
    // The literal steps, for anything unusual: whole-minute start, then one
    // minute at a time through the window.
    py::Ref timedelta = py::global(frame.globals, TARVEL_NAME("timedelta"));
    py::Ref kwargs = py::Ref::steal(PyDict_New());
    py::dict_set(kwargs.get(), "minutes", py::integer(1).get());
    py::Ref no_args = py::Ref::steal(PyTuple_New(0));
    py::Ref one_minute =
        py::Ref::steal(PyObject_Call(timedelta.get(), no_args.get(), kwargs.get()));
    py::Ref replace = py::getattr(start.get(), TARVEL_NAME("replace"));
    py::Ref zeroes = py::Ref::steal(PyDict_New());
    py::dict_set(zeroes.get(), "second", py::integer(0).get());
    py::dict_set(zeroes.get(), "microsecond", py::integer(0).get());
    py::Ref whole = py::Ref::steal(PyObject_Call(replace.get(), no_args.get(), zeroes.get()));
    py::Ref candidate = py::Ref::steal(PyNumber_Add(whole.get(), one_minute.get()));
    if (own && PyDateTime_Check(candidate.get())) {
        if (auto schedule = schedule_of(self)) return search(self, *schedule, candidate.get());
    }
    for (std::int64_t i = 0; i < cron::kWindow; ++i) {
        if (i > 0) candidate = py::Ref::steal(PyNumber_Add(candidate.get(), one_minute.get()));
        py::Ref hit = py::call_method(self, TARVEL_NAME("matches"), candidate);
        if (py::truthy(hit.get())) return candidate;
    }
    return no_occurrence(self);
}

// Each occurrence found by next_occurrence from the one before; the list ends early where
// the window holds no further occurrence.
TARVEL_METHOD(CronExpression, "next_occurrences", next_occurrences_impl,
              "self, count: int, after: datetime | None = None", "list[datetime]",
              "Find the next count datetimes that match this cron expression.")
(const py::Frame& frame, PyObject* self, PyObject* count, PyObject* after) {
    if (!PyLong_Check(count) || PyBool_Check(count)) py::wrong_type("count", "an int", count);
    if (py::compare(count, py::integer(0).get(), Py_LT)) {
        throw py::Error(PyExc_ValueError,
                        py::fstring("count must be 0 or more, not ", count).get());
    }
    py::Ref start = py::Ref::borrow(after);
    if (start.get() == Py_None) {
        py::Ref datetime = py::global(frame.globals, TARVEL_NAME("datetime"));
        start = py::call_method(datetime.get(), TARVEL_NAME("now"));
    }
    int overflow = 0;
    long long wanted = PyLong_AsLongLongAndOverflow(count, &overflow);
    py::check(wanted == -1 && PyErr_Occurred());
    if (overflow > 0) wanted = LLONG_MAX;
    py::Ref found = py::Ref::steal(PyList_New(0));
    for (long long i = 0; i < wanted; ++i) {
        py::Ref next = py::Ref::steal_maybe(
            PyObject_CallMethodOneArg(self, TARVEL_NAME("next_occurrence"), start.get()));
        if (!next) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw py::Error();
            PyErr_Clear();
            break;
        }
        py::check(PyList_Append(found.get(), next.get()) < 0);
        start = std::move(next);
    }
    return found;
}

}  // namespace

void add_cron(PyObject* module) {
    PyDateTime_IMPORT;
    py::check(PyDateTimeAPI == nullptr);
    py::Members members;
    declarations().add_to(module, "CronExpression", members);
    py::Ref cls = py::make_class(
        module, "CronExpression",
        "Simple cron expression parser (5 fields: min hour dom month dow).", members);
    py::check(PyModule_AddObjectRef(module, "CronExpression", cls.get()) < 0);
}

}  // namespace tarvel::scheduler
