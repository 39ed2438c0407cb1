// core/scheduler/PyStateLoad.cpp: the state file read natively, its jobs and executions built
// directly
//
// A record is built natively only when the Python way would build the same object without a word:
// every field it holds has the type the field checks want (a str, an int of at most 18 digits, a
// finite float; times to_dict formats within the years it formats without fail), its enumeration
// values name members, and the fields given by a factory are present. The instance gets its fields
// set in the order the dataclass __init__ sets them, with the same defaults. Any other record is
// handed to the Python way whole (read_job, read_execution), at its place in the order; a document
// of another shape, or a text json.loads would read differently or refuse, goes the Python way
// whole before anything is built from it.
#include "core/scheduler/PyStateLoad.hpp"

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "glue/PyCollector.hpp"
#include "glue/PyJsonRead.hpp"

namespace tarvel::scheduler {

namespace {

using json::Kind;
using json::Reader;
using json::Value;

// --- the names a native build depends on ---------------------------------------------------------

struct OwnNames {
    py::Ref globals;
    py::Ref job, execution, job_type, job_state;
    py::Ref from_dict, job_init, execution_init, job_to_dict;
    py::Ref format_timestamp, datetime;
};

std::vector<OwnNames*>& own_names_list() {
    static auto* const list = new std::vector<OwnNames*>();  // kept for the life of the process
    return *list;
}

PyObject* in_type(const py::Ref& cls, PyObject* name) {
    return py::type_lookup(reinterpret_cast<PyTypeObject*>(cls.get()), name);
}

bool plain_class(const py::Ref& cls) {
    if (!PyType_Check(cls.get()) || Py_TYPE(cls.get()) != &PyType_Type) return false;
    const auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
    return type->tp_new == PyBaseObject_Type.tp_new && type->tp_setattro == PyObject_GenericSetAttr;
}

bool still(PyObject* globals, PyObject* name, const py::Ref& value) {
    PyObject* now = PyDict_GetItemWithError(globals, name);
    if (now == nullptr) PyErr_Clear();
    return now == value.get();
}

// The names, when the module whose globals these are still holds them all.
const OwnNames* own_names(PyObject* globals) {
    for (const OwnNames* own : own_names_list()) {
        if (own->globals.get() != globals) continue;
        const bool same =
            still(globals, TARVEL_NAME("ScheduledJob"), own->job) &&
            still(globals, TARVEL_NAME("JobExecution"), own->execution) &&
            still(globals, TARVEL_NAME("JobType"), own->job_type) &&
            still(globals, TARVEL_NAME("JobState"), own->job_state) &&
            still(globals, TARVEL_NAME("_format_timestamp"), own->format_timestamp) &&
            still(globals, TARVEL_NAME("datetime"), own->datetime) &&
            in_type(own->job, TARVEL_NAME("from_dict")) == own->from_dict.get() &&
            in_type(own->job, TARVEL_NAME("__init__")) == own->job_init.get() &&
            in_type(own->job, TARVEL_NAME("to_dict")) == own->job_to_dict.get() &&
            in_type(own->execution, TARVEL_NAME("__init__")) == own->execution_init.get() &&
            plain_class(own->job) && plain_class(own->execution);
        return same ? own : nullptr;
    }
    return nullptr;
}

// --- the fields --------------------------------------------------------------------------------

enum class Field : std::uint8_t {
    Text,         // a str
    Time,         // an int or a finite float
    Clock,        // a Time that to_dict formats: 0, or within the years it formats
    Number,       // an int or a finite float
    TypeMember,   // a JobType value
    StateMember,  // a JobState value
    Any,          // any value
    Ignored,      // a key from_dict drops or does not know
};

struct FieldRule {
    std::string_view name;
    Field kind;
    bool required;  // given by a factory (or by no default): the record must hold it
};

// In the order the dataclass __init__ sets them; then the keys a saved record holds besides.
constexpr FieldRule kJobFields[] = {
    {"id", Field::Text, true},           {"name", Field::Text, false},
    {"description", Field::Text, false}, {"job_type", Field::TypeMember, false},
    {"schedule", Field::Text, false},    {"interval_seconds", Field::Time, false},
    {"prompt", Field::Text, false},      {"model_key", Field::Any, false},
    {"spawn_worker", Field::Any, false}, {"state", Field::StateMember, false},
    {"created_at", Field::Time, true},   {"last_run", Field::Clock, false},
    {"next_run", Field::Clock, false},   {"run_count", Field::Number, false},
    {"max_runs", Field::Number, false},  {"metadata", Field::Any, true},
};
constexpr std::size_t kJobFieldCount = std::size(kJobFields);

constexpr FieldRule kExecutionFields[] = {
    {"job_id", Field::Text, true},      {"job_name", Field::Text, true},
    {"started_at", Field::Time, true},  {"completed_at", Field::Time, false},
    {"duration", Field::Time, false},   {"success", Field::Any, false},
    {"result", Field::Text, false},     {"error", Field::Text, false},
    {"model_used", Field::Text, false}, {"worker_id", Field::Text, false},
};
constexpr std::size_t kMaxFields = kJobFieldCount;

// Times _format_timestamp turns into text without fail (see local_text in PyTimestamp.cpp).
bool formats(double seconds) {
    return seconds == 0.0 || (seconds > -6.0e10 && seconds < 2.5e11);
}

// A class's fields as a native build sets them: their names (interned) and default values.
struct Layout {
    const FieldRule* rules;
    std::size_t count;
    PyObject* cls;
    std::vector<py::Ref> names;
    std::vector<py::Ref> defaults;  // null for a required field
    // The keys in the order a save writes them, each with its field (count for one that
    // from_dict drops), and where the next key is looked for first.
    std::vector<std::pair<std::string_view, std::size_t>> order;
    std::size_t next_guess = 0;

    // `dropped`: the keys a save writes that from_dict drops, written before field `at`.
    Layout(const FieldRule* rules_, std::size_t count_, PyObject* cls_,
           std::initializer_list<std::string_view> dropped, std::size_t at)
        : rules(rules_), count(count_), cls(cls_) {
        py::Ref fields = py::getattr(cls, TARVEL_NAME("__dataclass_fields__"));
        for (std::size_t i = 0; i < count; ++i) {
            if (i == at) {
                for (std::string_view key : dropped)
                    order.emplace_back(key, count);
            }
            order.emplace_back(rules[i].name, i);
            names.push_back(
                py::Ref::steal(PyUnicode_InternFromString(std::string(rules[i].name).c_str())));
            if (rules[i].required) {
                defaults.emplace_back();
                continue;
            }
            py::Ref field = py::Ref::steal(PyObject_GetItem(fields.get(), names.back().get()));
            defaults.push_back(py::getattr(field.get(), TARVEL_NAME("default")));
        }
    }

    // The field a key names, or count for one from_dict drops.
    std::size_t field_of(std::string_view key) {
        const std::size_t n = order.size();
        for (std::size_t tried = 0; tried < n; ++tried) {
            const std::size_t i =
                next_guess + tried < n ? next_guess + tried : next_guess + tried - n;
            if (key == order[i].first) {
                next_guess = i + 1 == n ? 0 : i + 1;
                return order[i].second;
            }
        }
        return count;
    }
};

// JobType or JobState: each member's value and the member.
struct Members {
    std::vector<std::pair<std::string, py::Ref>> by_value;

    Members(PyObject* cls, std::initializer_list<const char*> names) {
        for (const char* name : names) {
            py::Ref member = py::Ref::steal(PyObject_GetAttrString(cls, name));
            py::Ref value = py::getattr(member.get(), TARVEL_NAME("value"));
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(value.get(), &size);
            py::check(text == nullptr);
            by_value.emplace_back(std::string(text, static_cast<std::size_t>(size)), member);
        }
    }

    py::Ref find(const Value& v) const {
        if (v.kind != Kind::String || v.escaped || v.non_ascii) return {};
        for (const auto& [value, member] : by_value) {
            if (v.text == value) return member;
        }
        return {};
    }
};

// Reads past the items of a container whose opening bracket was read.
bool skip_items(Reader& reader, const Value& v) {
    if (v.kind == Kind::Object) {
        Value key;
        while (reader.next_member(key)) {
            if (!reader.skip_value()) return false;
        }
    } else if (v.kind == Kind::Array) {
        while (reader.next_element()) {
            if (!reader.skip_value()) return false;
        }
    }
    return reader.ok();
}

// The places of the keys of "jobs", by their text (without escapes: the same text is the same
// key), to find a key given twice.
class KeyPlaces {
  public:
    // The place of `key`, or `next` (noted as its place) when it is new.
    std::size_t place(std::string_view key, std::size_t next) {
        if (2 * (count_ + 1) > slots_.size()) grow();
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = hash(key) & mask;; i = (i + 1) & mask) {
            Slot& slot = slots_[i];
            if (!slot.used) {
                slot = {key, next, true};
                ++count_;
                return next;
            }
            if (slot.key == key) return slot.place;
        }
    }

  private:
    struct Slot {
        std::string_view key;
        std::size_t place;
        bool used;
    };

    static std::size_t hash(std::string_view key) {
        std::uint64_t h = 14695981039346656037ULL;  // FNV-1a
        for (const char c : key)
            h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
        return static_cast<std::size_t>(h ^ (h >> 29));
    }

    void grow() {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(old.empty() ? 1024 : 2 * old.size(), Slot{{}, 0, false});
        const std::size_t mask = slots_.size() - 1;
        for (const Slot& slot : old) {
            if (!slot.used) continue;
            std::size_t i = hash(slot.key) & mask;
            while (slots_[i].used)
                i = (i + 1) & mask;
            slots_[i] = slot;
        }
    }

    std::vector<Slot> slots_;
    std::size_t count_ = 0;
};

// Thrown when the document must go the Python way whole.
struct WholeDocument {};

struct Builder {
    const OwnNames& own;
    py::ValueBuilder values;
    Members job_types;
    Members job_states;
    Layout jobs;
    Layout executions;
    py::Ref no_args;

    explicit Builder(const OwnNames& own_)
        : own(own_),
          job_types(own_.job_type.get(), {"CRON", "INTERVAL", "ONCE"}),
          job_states(own_.job_state.get(), {"ACTIVE", "PAUSED", "COMPLETED", "DISABLED"}),
          jobs(kJobFields, kJobFieldCount, own_.job.get(), {"next_run_human", "last_run_human"},
               kJobFieldCount - 1),
          executions(kExecutionFields, std::size(kExecutionFields), own_.execution.get(),
                     {"started_at_human"}, 3),
          no_args(py::Ref::steal(PyTuple_New(0))) {}

    py::Ref number(const Value& v, Field kind) {
        if (v.kind == Kind::Integer && v.small) {
            if (kind == Field::Clock && !formats(static_cast<double>(v.integer))) return {};
            return py::Ref::steal(PyLong_FromLongLong(v.integer));
        }
        if (v.kind == Kind::Float) {
            if (kind == Field::Clock && !formats(v.number)) return {};
            return py::Ref::steal(PyFloat_FromDouble(v.number));
        }
        return {};
    }

    // The field's value from `v` (whose items it reads), or null when only the Python way may
    // build the record.
    py::Ref field(Reader& reader, const Value& v, Field kind) {
        switch (kind) {
            case Field::Any: {
                py::Ref value = values.build(reader, v);
                if (!value) throw WholeDocument{};
                return value;
            }
            case Field::Text:
                if (v.kind == Kind::String) return values.string(v);
                break;
            case Field::Time:
            case Field::Clock:
            case Field::Number:
                return number(v, kind);
            case Field::TypeMember:
                return job_types.find(v);
            case Field::StateMember:
                return job_states.find(v);
            case Field::Ignored:
                break;
        }
        return {};
    }

    // The record whose "{" was just read, built natively; null when the Python way must build it.
    // Its items are read either way.
    py::Ref record(Reader& reader, Layout& layout) {
        py::Ref slots[kMaxFields];
        bool native = true;
        Value key, v;
        while (reader.next_member(key)) {
            if (!reader.value(v)) throw WholeDocument{};
            const std::size_t i =
                key.escaped || key.non_ascii ? layout.count + 1 : layout.field_of(key.text);
            if (i > layout.count) native = false;
            if (!native || i == layout.count) {
                if (!skip_items(reader, v)) throw WholeDocument{};
                continue;
            }
            slots[i] = field(reader, v, layout.rules[i].kind);
            if (!slots[i]) {
                native = false;
                if (!skip_items(reader, v)) throw WholeDocument{};
            }
        }
        if (!reader.ok()) throw WholeDocument{};
        if (!native) return {};
        for (std::size_t i = 0; i < layout.count; ++i) {
            if (!slots[i] && layout.rules[i].required) return {};
        }
        return instance(layout, slots);
    }

    // An instance with its fields set in the order __init__ sets them.
    py::Ref instance(const Layout& layout, const py::Ref* slots) {
        auto* type = reinterpret_cast<PyTypeObject*>(layout.cls);
        py::Ref obj = py::Ref::steal(type->tp_new(type, no_args.get(), nullptr));
        for (std::size_t i = 0; i < layout.count; ++i) {
            PyObject* value = slots[i] ? slots[i].get() : layout.defaults[i].get();
            py::check(PyObject_SetAttr(obj.get(), layout.names[i].get(), value) < 0);
        }
        return obj;
    }

    // The record as json.loads gives it, read again from its text.
    py::Ref data_of(std::string_view text, std::size_t begin, std::size_t end) {
        Reader again(text.substr(begin, end + 1 - begin));
        py::Ref data = values.build(again);
        if (!data || !again.finish()) throw WholeDocument{};
        return data;
    }

    // One record of "jobs" or "executions", its first byte at `v`.
    ReadRecord item(Reader& reader, const Value& v, Layout& layout, py::Ref key) {
        ReadRecord read{std::move(key), {}, {}, v.begin, v.begin};
        if (v.kind == Kind::Object) {
            read.built = record(reader, layout);
            read.end = reader.last_close();
            if (!read.built) read.data = data_of(reader.text(), read.begin, read.end);
            return read;
        }
        read.data = values.build(reader, v);
        if (!read.data) throw WholeDocument{};
        read.end = v.kind == Kind::Array ? reader.last_close() : reader.position() - 1;
        return read;
    }

    void jobs_of(Reader& reader, ReadDocument& document) {
        Value v, key;
        if (!reader.value(v) || v.kind != Kind::Object) throw WholeDocument{};
        KeyPlaces places;
        while (reader.next_member(key)) {
            // a key with escapes could equal another written otherwise
            if (key.escaped) throw WholeDocument{};
            py::Ref name = values.string(key);
            if (!reader.value(v)) throw WholeDocument{};
            ReadRecord read = item(reader, v, jobs, name);
            const std::size_t place = places.place(key.text, document.jobs.size());
            if (place < document.jobs.size()) {
                // json.loads keeps the last value at the first key's place
                ReadRecord& first = document.jobs[place];
                read.key = first.key;
                first = std::move(read);
                continue;
            }
            document.jobs.push_back(std::move(read));
        }
        if (!reader.ok()) throw WholeDocument{};
    }

    void executions_of(Reader& reader, ReadDocument& document) {
        Value v;
        if (!reader.value(v) || v.kind != Kind::Array) throw WholeDocument{};
        while (reader.next_element()) {
            if (!reader.value(v)) throw WholeDocument{};
            document.executions.push_back(item(reader, v, executions, {}));
        }
        if (!reader.ok()) throw WholeDocument{};
    }

    ReadDocument document(Reader& reader) {
        ReadDocument document;
        Value v, key;
        if (!reader.value(v) || v.kind != Kind::Object) throw WholeDocument{};
        bool seen_jobs = false, seen_executions = false;
        while (reader.next_member(key)) {
            const std::string_view name = key.escaped ? std::string_view() : key.text;
            if (name == "jobs" || name == "executions") {
                bool& seen = name == "jobs" ? seen_jobs : seen_executions;
                if (seen) throw WholeDocument{};
                seen = true;
                name == "jobs" ? jobs_of(reader, document) : executions_of(reader, document);
            } else if (key.escaped || !reader.skip_value()) {
                throw WholeDocument{};
            }
        }
        if (!reader.ok() || !reader.finish()) throw WholeDocument{};
        return document;
    }
};

// The (key, record) pair read_job takes.
py::Ref item_pair(const ReadRecord& read) {
    return py::Ref::steal(PyTuple_Pack(2, read.key.get(), read.data.get()));
}

}  // namespace

void remember_own_names(PyObject* module) {
    PyObject* globals = PyModule_GetDict(module);
    auto* own = new OwnNames();
    own->globals = py::Ref::borrow(globals);
    own->job = py::global(globals, TARVEL_NAME("ScheduledJob"));
    own->execution = py::global(globals, TARVEL_NAME("JobExecution"));
    own->job_type = py::global(globals, TARVEL_NAME("JobType"));
    own->job_state = py::global(globals, TARVEL_NAME("JobState"));
    own->from_dict = py::Ref::borrow(in_type(own->job, TARVEL_NAME("from_dict")));
    own->job_init = py::Ref::borrow(in_type(own->job, TARVEL_NAME("__init__")));
    own->job_to_dict = py::Ref::borrow(in_type(own->job, TARVEL_NAME("to_dict")));
    own->execution_init = py::Ref::borrow(in_type(own->execution, TARVEL_NAME("__init__")));
    own->format_timestamp = py::global(globals, TARVEL_NAME("_format_timestamp"));
    own->datetime = py::global(globals, TARVEL_NAME("datetime"));
    own_names_list().push_back(own);
}

std::optional<ReadDocument> read_natively(PyObject* globals, PyObject* text) {
    py::Ref json = py::dict_get(globals, TARVEL_NAME("json"));
    if (!json || !py::loads_is_native(json.get())) return std::nullopt;
    const OwnNames* own = own_names(globals);
    if (own == nullptr) return std::nullopt;
    py::Utf8Text utf8(text);
    if (!utf8.ok()) return std::nullopt;
    try {
        py::CollectorPaused paused;
        Builder builder(*own);
        Reader reader(utf8.view());
        return builder.document(reader);
    } catch (WholeDocument&) {
        return std::nullopt;
    } catch (py::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return std::nullopt;  // the Python way meets it again, or does not
    }
}

bool install_jobs(PyObject* globals, const ReadDocument& document, PyObject* jobs,
                  py::LoadProblems& problems) {
    py::Ref job_class = py::global(globals, TARVEL_NAME("ScheduledJob"));
    bool complete = true;
    for (const ReadRecord& read : document.jobs) {
        if (!read.built) {
            complete = read_job(globals, job_class.get(), item_pair(read).get(), jobs, problems) &&
                       complete;
            continue;
        }
        try {
            py::Ref id = py::getattr(read.built.get(), TARVEL_NAME("id"));
            py::check(PyObject_SetItem(jobs, id.get(), read.built.get()) < 0);
        } catch (py::Error& e) {
            if (!e.matches(PyExc_Exception)) throw;
            load_failure(globals, e);
            problems.skipped(py::fstring("job ", read.key), e);
            complete = false;
        }
    }
    return complete;
}

bool install_executions(PyObject* globals, const ReadDocument& document, PyObject* history,
                        py::LoadProblems& problems) {
    py::Ref cls = py::global(globals, TARVEL_NAME("JobExecution"));
    py::Ref names;
    bool complete = true;
    Py_ssize_t number = 0;
    for (const ReadRecord& read : document.executions) {
        ++number;
        if (!read.built) {
            if (!names) names = field_names(cls.get());
            complete = read_execution(globals, cls.get(), names.get(), number, read.data.get(),
                                      history, problems) &&
                       complete;
            continue;
        }
        try {
            if (PyList_CheckExact(history)) {
                py::check(PyList_Append(history, read.built.get()) < 0);
            } else {
                py::call_method(history, TARVEL_NAME("append"), read.built);
            }
        } catch (py::Error& e) {
            if (!e.matches(PyExc_Exception)) throw;
            load_failure(globals, e);
            problems.skipped(py::fstring("execution record ", py::integer(number)), e);
            complete = false;
        }
    }
    return complete;
}

void keep_texts_of(PyObject* globals, PyObject* self, PyObject* text,
                   const ReadDocument& document) {
    std::vector<LoadedRecord> jobs, executions;
    for (const ReadRecord& read : document.jobs) {
        if (read.built) jobs.push_back({read.key.get(), read.built.get(), read.begin, read.end});
    }
    for (const ReadRecord& read : document.executions) {
        if (read.built) executions.push_back({nullptr, read.built.get(), read.begin, read.end});
    }
    keep_loaded_texts(globals, self, text, jobs, executions);
}

}  // namespace tarvel::scheduler
