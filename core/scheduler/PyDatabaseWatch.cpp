// core/scheduler/PyDatabaseWatch.cpp: which jobs a save of the database store looks at, told by
// the dicts that changed rather than found by reading every job
//
// On CPython 3.12 and later (the main interpreter, with the interpreter lock), a scheduler of the
// database store watches its `_jobs` dict, each job's `__dict__` and the dicts of each job's
// metadata (PyDict_Watch): a change to any of them notes the job's key, and the next save looks at
// the noted keys and the keys of `_changes`. A list cannot be watched: each list in a job's
// metadata is noted with its items (one flat array for all jobs) and compared, by identity, at
// every save. A job holding another mutable field is encoded again at every save. Where dicts
// cannot be watched (an older CPython, one whose attribute sets bypass the watchers, a
// subinterpreter, a free-threaded build, `_jobs` not an exact dict), no watch is kept and every
// save reads every job (PyDatabaseRows).
//
// The watch belongs to its scheduler (a capsule in `_database_watch`) and holds every dict it
// watches, so no watched dict is freed while watched; one process-wide table maps a watched dict
// to the watches and keys it tells of, and nothing but this file's calls change it.
#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/scheduler/PyDatabase.hpp"

namespace tarvel::scheduler::db {

#if PY_VERSION_HEX >= 0x030C0000 && !defined(Py_GIL_DISABLED)
#define TARVEL_DICT_WATCH 1
#endif

#ifdef TARVEL_DICT_WATCH

namespace {

struct Watch;

// What one watched dict tells of: the watch, and the key whose job holds it (null for the
// registry itself, whose events name their key).
struct Listener {
    Watch* watch;
    PyObject* key;  // held by the watch's entry for that key
};

// The listeners of one dict: nearly always one.
struct Listeners {
    Listener first{nullptr, nullptr};
    std::vector<Listener> more;
};

// Process-wide: watched dict -> its listeners. Changed only by this file's calls, never while
// code may run between reading and using it.
std::unordered_map<PyObject*, Listeners>& listeners() {
    static auto* table = new std::unordered_map<PyObject*, Listeners>();
    return *table;
}

int watcher_id = -1;

// What is watched for one key: the dicts, and the lists noted in `Watch::lists`.
struct Entry {
    py::Ref key;
    py::Ref fields, metadata;        // the job's __dict__ and metadata dict
    std::vector<py::Ref> dicts;      // the dicts nested in its metadata
    std::vector<py::Ref> lists;      // held while noted
    std::vector<std::size_t> noted;  // their places in `Watch::lists`
    bool every_save = false;         // a mutable field: encoded again at every save
};

// A list of a job's metadata as it was when watched: its items are `items[at, at + size)`.
struct ListNote {
    PyObject* list;  // null once its key is forgotten
    PyObject* key;   // the key object of its entry
    std::size_t at;
    Py_ssize_t size;
};

struct Watch {
    py::Ref registry;                                      // the `_jobs` dict watched
    py::Ref touched = py::Ref::steal(PySet_New(nullptr));  // keys to look at again
    py::Ref taken = py::Ref::steal(PySet_New(nullptr));    // keys of the save in flight
    std::unordered_map<PyObject*, Entry> entries;          // key object -> entry
    std::unordered_set<PyObject*> unsure;         // key objects of entries encoded at every save
    std::vector<ListNote> lists;                  // every noted list, checked at every save
    std::vector<PyObject*> items;                 // their items when noted
    std::size_t dead = 0;                         // notes of forgotten lists
    py::Ref keys = py::Ref::steal(PyDict_New());  // key -> key object of `entries`
    bool full = true;                             // every key to look at
    bool taken_full = false;

    ~Watch() {
        std::vector<py::Ref> dropped;
        dropped.reserve(entries.size() * 3);
        for (auto& [key, entry] : entries)
            unlisten(entry, dropped);
        if (registry) stop_listening(registry.get(), nullptr);
        entries.clear();
        dropped.clear();
    }

    void stop_listening(PyObject* dict, PyObject* key) {
        auto found = listeners().find(dict);
        if (found == listeners().end()) return;
        Listeners& those = found->second;
        const auto mine = [&](const Listener& l) { return l.watch == this && l.key == key; };
        std::erase_if(those.more, mine);
        if (those.first.watch && mine(those.first)) {
            those.first = Listener{nullptr, nullptr};
            if (!those.more.empty()) {
                those.first = those.more.back();
                those.more.pop_back();
            }
        }
        if (those.first.watch) return;
        listeners().erase(found);
        if (PyDict_Unwatch(watcher_id, dict) < 0) PyErr_Clear();
    }

    void unlisten(Entry& entry, std::vector<py::Ref>& dropped) {
        for (py::Ref* dict : {&entry.fields, &entry.metadata}) {
            if (!*dict) continue;
            stop_listening(dict->get(), entry.key.get());
            dropped.push_back(std::move(*dict));
        }
        for (py::Ref& dict : entry.dicts) {
            stop_listening(dict.get(), entry.key.get());
            dropped.push_back(std::move(dict));
        }
        entry.dicts.clear();
    }

    void listen(PyObject* dict, PyObject* key) {
        auto [at, fresh] = listeners().try_emplace(dict);
        if (fresh && PyDict_Watch(watcher_id, dict) < 0) {
            listeners().erase(at);
            throw py::Error();
        }
        if (!at->second.first.watch) {
            at->second.first = Listener{this, key};
        } else {
            at->second.more.push_back({this, key});
        }
    }
};

bool is_immutable(PyObject* v) {
    PyTypeObject* t = Py_TYPE(v);
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type ||
           v == Py_None;
}

// A job's field other than metadata that may change in place.
bool is_container(PyObject* v) {
    return PyList_Check(v) || PyDict_Check(v) || PyAnySet_Check(v) || PyByteArray_Check(v);
}

// set |= iterable (a set or a dict: iterating them runs no code).
void add_all(PyObject* set, PyObject* iterable) {
    py::Ref items = py::Ref::steal(PyObject_GetIter(iterable));
    while (py::Ref item = py::Ref::steal_maybe(PyIter_Next(items.get()))) {
        py::check(PySet_Add(set, item.get()) < 0);
    }
    py::check(PyErr_Occurred() != nullptr);
}

void note(Watch& watch, PyObject* key) {
    if (PySet_Add(watch.touched.get(), key) < 0) {
        PyErr_Clear();
        watch.full = true;
    }
}

// The dict of the probe object while it is probed, and the events it told of.
PyObject* probed = nullptr;
int probe_events = 0;

int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject*) {
    if (dict == probed) {
        ++probe_events;
        return 0;
    }
    auto found = listeners().find(dict);
    if (found == listeners().end()) return 0;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    const Listeners& those = found->second;
    for (std::size_t i = 0; i <= those.more.size(); ++i) {
        const Listener& l = i == 0 ? those.first : those.more[i - 1];
        if (!l.watch) continue;
        if (l.key != nullptr) {
            note(*l.watch, l.key);
        } else if (key != nullptr && PyUnicode_CheckExact(key) &&
                   (event == PyDict_EVENT_ADDED || event == PyDict_EVENT_MODIFIED ||
                    event == PyDict_EVENT_DELETED)) {
            note(*l.watch, key);
        } else {
            l.watch->full = true;  // the registry cleared, cloned or given another kind of key
        }
    }
    PyErr_Restore(type, value, traceback);
    return 0;
}

void drop_watch(PyObject* capsule) {
    delete static_cast<Watch*>(PyCapsule_GetPointer(capsule, "tarvel.database_watch"));
}

// Whether attributes set on an object whose __dict__ was taken are told to the dict's watchers,
// by the C API and by (specialized) bytecode: CPython 3.13.0 stores them in the object's inline
// values without telling. Run once, on an object of a class of its own.
bool sets_are_told() {
    py::Ref code =
        py::Ref::steal(Py_CompileString("class Probe:\n    pass\nprobe = Probe()\nprobe.x = 0\n"
                                        "def store(o, v):\n    o.x = v\n",
                                        "<tarvel watch probe>", Py_file_input));
    py::Ref names = py::Ref::steal(PyDict_New());
    py::check(!code || !names ||
              PyDict_SetItemString(names.get(), "__builtins__", PyEval_GetBuiltins()) < 0);
    py::Ref ran = py::Ref::steal(PyEval_EvalCode(code.get(), names.get(), names.get()));
    py::check(!ran);
    py::Ref probe = py::dict_get(names.get(), py::str("probe").get());
    py::Ref store = py::dict_get(names.get(), py::str("store").get());
    py::Ref fields = py::Ref::steal(PyObject_GenericGetDict(probe.get(), nullptr));
    py::check(!fields || PyDict_Watch(watcher_id, fields.get()) < 0);
    probed = fields.get();
    probe_events = 0;
    constexpr int kStores = 16;  // enough for the store to be specialized
    bool told = true;
    try {
        py::check(PyObject_SetAttrString(probe.get(), "x", py::integer(-1).get()) < 0);
        told = probe_events == 1;
        for (int i = 0; i < kStores && told; ++i) {
            py::call(store.get(), probe.get(), py::integer(i));
            told = probe_events == i + 2;
        }
    } catch (py::Error&) {
        probed = nullptr;
        PyDict_Unwatch(watcher_id, fields.get());
        throw;
    }
    probed = nullptr;
    py::check(PyDict_Unwatch(watcher_id, fields.get()) < 0);
    return told;
}

// The scheduler's watch, made when missing; null where dicts cannot be watched.
Watch* watch_of(PyObject* self, PyObject* registry) {
    if (!PyDict_CheckExact(registry)) return nullptr;
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) return nullptr;
    static int usable = -1;  // whether watching tells every change, probed once
    if (usable == 0) return nullptr;
    if (watcher_id < 0) {
        watcher_id = PyDict_AddWatcher(on_dict_event);
        if (watcher_id < 0) {
            PyErr_Clear();
            usable = 0;
            return nullptr;
        }
    }
    if (usable < 0) {
        // The probe runs code, so another thread, or a save that code starts, may come here
        // meanwhile: it goes without a watch (reading every job) until the probe has decided.
        static bool probing = false;
        if (probing) return nullptr;
        probing = true;
        try {
            usable = sets_are_told() ? 1 : 0;
        } catch (py::Error& e) {
            probing = false;
            if (!e.matches(PyExc_Exception)) throw;
            usable = 0;  // what cannot be probed is not trusted; the save goes on without it
        }
        probing = false;
    }
    if (usable == 0) return nullptr;
    py::Ref capsule = attribute_or_none(self, TARVEL_NAME("_database_watch"));
    if (PyCapsule_IsValid(capsule.get(), "tarvel.database_watch"))
        return static_cast<Watch*>(PyCapsule_GetPointer(capsule.get(), "tarvel.database_watch"));
    auto* watch = new Watch();
    capsule = py::Ref::steal_maybe(PyCapsule_New(watch, "tarvel.database_watch", drop_watch));
    if (!capsule) {
        delete watch;
        throw py::Error();
    }
    py::setattr(self, TARVEL_NAME("_database_watch"), capsule.get());
    return watch;
}

void forget_key(Watch& watch, PyObject* key, std::vector<py::Ref>& dropped) {
    PyObject* own = PyDict_GetItemWithError(watch.keys.get(), key);
    py::check(!own && PyErr_Occurred());
    if (!own) return;
    auto found = watch.entries.find(own);
    if (found != watch.entries.end()) {
        watch.unlisten(found->second, dropped);
        for (std::size_t at : found->second.noted) {
            watch.lists[at].list = nullptr;
            ++watch.dead;
        }
        for (py::Ref& list : found->second.lists)
            dropped.push_back(std::move(list));
        dropped.push_back(std::move(found->second.key));
        watch.unsure.erase(own);
        watch.entries.erase(found);
    }
    dropped.push_back(py::Ref::borrow(own));
    py::check(PyDict_DelItem(watch.keys.get(), key) < 0);
}

// Watches the exact dicts in `value` and notes its exact lists, for `entry`; false when it holds
// anything else that may change, or nests too deep.
bool watch_value(Watch& watch, Entry& entry, PyObject* value, int depth) {
    if (is_immutable(value)) return true;
    if (depth == 8) return false;
    if (PyDict_CheckExact(value)) {
        watch.listen(value, entry.key.get());
        if (depth == 0) {
            entry.metadata = py::Ref::borrow(value);
        } else {
            entry.dicts.push_back(py::Ref::borrow(value));
        }
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(value, &pos, &k, &v)) {
            if (!watch_value(watch, entry, v, depth + 1)) return false;
        }
        return true;
    }
    if (!PyList_CheckExact(value)) return false;
    const Py_ssize_t size = PyList_GET_SIZE(value);
    entry.lists.push_back(py::Ref::borrow(value));
    entry.noted.push_back(watch.lists.size());
    watch.lists.push_back({value, entry.key.get(), watch.items.size(), size});
    for (Py_ssize_t i = 0; i < size; ++i)
        watch.items.push_back(PyList_GET_ITEM(value, i));
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (!watch_value(watch, entry, PyList_GET_ITEM(value, i), depth + 1)) return false;
    }
    return true;
}

// Watches the dicts of `job`, the registry's job under `key`.
void watch_job(Watch& watch, PyObject* key, PyObject* job, std::vector<py::Ref>& dropped) {
    forget_key(watch, key, dropped);
    py::Ref own = py::Ref::borrow(key);
    py::dict_set(watch.keys.get(), key, own.get());
    Entry& entry = watch.entries[own.get()];
    entry.key = own;
    py::Ref fields = py::Ref::steal_maybe(PyObject_GenericGetDict(job, nullptr));
    if (!fields || !PyDict_CheckExact(fields.get())) {
        PyErr_Clear();
        entry.every_save = true;
        watch.unsure.insert(own.get());
        return;
    }
    watch.listen(fields.get(), own.get());
    entry.fields = fields;
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(fields.get(), &pos, &name, &value)) {
        const bool metadata =
            PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "metadata") == 0;
        if (metadata ? !watch_value(watch, entry, value, 0) : is_container(value))
            entry.every_save = true;
    }
    if (entry.every_save) watch.unsure.insert(own.get());
}

// The notes of lists again without those of forgotten keys, when they are most of them.
void compact(Watch& watch) {
    if (watch.dead < 1024 || watch.dead * 2 < watch.lists.size()) return;
    std::vector<ListNote> lists;
    std::vector<PyObject*> items;
    for (const ListNote& note : watch.lists) {
        if (!note.list) continue;
        for (std::size_t& at : watch.entries.at(note.key).noted) {
            if (watch.lists[at].list == note.list && watch.lists[at].at == note.at)
                at = lists.size();
        }
        lists.push_back({note.list, note.key, items.size(), note.size});
        const auto first = watch.items.begin() + static_cast<std::ptrdiff_t>(note.at);
        items.insert(items.end(), first, first + note.size);
    }
    watch.lists = std::move(lists);
    watch.items = std::move(items);
    watch.dead = 0;
}

// The keys whose noted lists no longer hold their items, added to `out`. The lists are read
// ahead of the check (their headers, then their item arrays), so their memory comes in parallel.
void check_lists(const Watch& watch, PyObject* out) {
    const std::size_t count = watch.lists.size();
    for (std::size_t i = 0; i < count; ++i) {
        if (i + 16 < count && watch.lists[i + 16].list)
            __builtin_prefetch(watch.lists[i + 16].list);
        if (i + 8 < count && watch.lists[i + 8].list) {
            __builtin_prefetch(reinterpret_cast<PyListObject*>(watch.lists[i + 8].list)->ob_item);
        }
        const ListNote& note = watch.lists[i];
        if (!note.list) continue;
        auto* list = reinterpret_cast<PyListObject*>(note.list);
        const bool same = Py_SIZE(list) == note.size &&
                          (note.size == 0 || std::memcmp(list->ob_item, &watch.items[note.at],
                                                         static_cast<std::size_t>(note.size) *
                                                             sizeof(PyObject*)) == 0);
        if (!same) py::check(PySet_Add(out, note.key) < 0);
    }
}

}  // namespace

bool watched_candidates(PyObject* self, PyObject* registry, PyObject* rows, PyObject* changes,
                        PyObject* out) {
    Watch* watch = watch_of(self, registry);
    if (!watch) return false;
    if (watch->registry.get() != registry) {
        std::vector<py::Ref> dropped;
        if (watch->registry) watch->stop_listening(watch->registry.get(), nullptr);
        watch->listen(registry, nullptr);
        dropped.push_back(std::exchange(watch->registry, py::Ref::borrow(registry)));
        watch->full = true;
    }
    // a save that did not commit left its keys to look at
    add_all(watch->touched.get(), watch->taken.get());
    watch->full = watch->full || watch->taken_full;
    watch->taken = std::exchange(watch->touched, py::Ref::steal(PySet_New(nullptr)));
    py::check(!watch->touched);
    watch->taken_full = std::exchange(watch->full, false);
    if (watch->taken_full) {
        add_all(out, registry);
        add_all(out, rows);
        return true;
    }
    add_all(out, watch->taken.get());
    if (PyDict_Check(changes)) add_all(out, changes);
    for (PyObject* own : watch->unsure)
        py::check(PySet_Add(out, own) < 0);
    compact(*watch);
    check_lists(*watch, out);
    return true;
}

void watch_jobs(PyObject* self, PyObject* keys) {
    py::Ref registry = py::getattr(self, TARVEL_NAME("_jobs"));
    Watch* watch = watch_of(self, registry.get());
    if (!watch || watch->registry.get() != registry.get()) return;
    std::vector<py::Ref> dropped;
    py::Ref all = py::Ref::steal(PySequence_List(keys));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(all.get()); ++i) {
        PyObject* key = PyList_GET_ITEM(all.get(), i);
        PyObject* job = PyDict_GetItemWithError(registry.get(), key);
        py::check(!job && PyErr_Occurred());
        if (job) {
            watch_job(*watch, key, job, dropped);
        } else {
            forget_key(*watch, key, dropped);
        }
    }
}

bool watch_loaded(PyObject* self, PyObject* rows) {
    py::Ref registry = py::getattr(self, TARVEL_NAME("_jobs"));
    Watch* watch = watch_of(self, registry.get());
    if (!watch) return false;
    std::vector<py::Ref> dropped;
    py::Ref known = py::Ref::steal(PyDict_Keys(watch->keys.get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(known.get()); ++i)
        forget_key(*watch, PyList_GET_ITEM(known.get(), i), dropped);
    if (watch->registry) watch->stop_listening(watch->registry.get(), nullptr);
    watch->listen(registry.get(), nullptr);
    dropped.push_back(std::exchange(watch->registry, registry));
    watch->full = watch->taken_full = false;
    py::check(PySet_Clear(watch->touched.get()) < 0 || PySet_Clear(watch->taken.get()) < 0);
    const auto size = static_cast<std::size_t>(PyDict_GET_SIZE(registry.get()));
    watch->entries.reserve(size);
    listeners().reserve(listeners().size() + 2 * size + 1);
    // a walk over the registry that runs no code: watching reads the jobs' dicts only
    Py_ssize_t at = 0;
    PyObject *key, *job;
    while (PyDict_Next(registry.get(), &at, &key, &job)) {
        watch_job(*watch, key, job, dropped);
        const int has_row = PyDict_Contains(rows, key);
        py::check(has_row < 0);
        if (!has_row) note(*watch, key);
    }
    // rows whose record was not taken into the registry are looked at by the next save
    if (PyDict_GET_SIZE(rows) != PyDict_GET_SIZE(registry.get())) {
        Py_ssize_t pos = 0;
        PyObject *stored, *row;
        while (PyDict_Next(rows, &pos, &stored, &row)) {
            const int has_job = PyDict_Contains(registry.get(), stored);
            py::check(has_job < 0);
            if (!has_job) note(*watch, stored);
        }
    }
    return true;
}

void saved(PyObject* self) {
    py::Ref capsule = attribute_or_none(self, TARVEL_NAME("_database_watch"));
    if (!PyCapsule_IsValid(capsule.get(), "tarvel.database_watch")) return;
    auto* watch = static_cast<Watch*>(PyCapsule_GetPointer(capsule.get(), "tarvel.database_watch"));
    py::check(PySet_Clear(watch->taken.get()) < 0);
    watch->taken_full = false;
}

void look_again(PyObject* self, PyObject* key) {
    py::Ref capsule = attribute_or_none(self, TARVEL_NAME("_database_watch"));
    if (!PyCapsule_IsValid(capsule.get(), "tarvel.database_watch")) return;
    auto* watch = static_cast<Watch*>(PyCapsule_GetPointer(capsule.get(), "tarvel.database_watch"));
    if (!key) {
        watch->full = true;
        return;
    }
    note(*watch, key);
}

#else  // every save reads every job

bool watched_candidates(PyObject*, PyObject*, PyObject*, PyObject*, PyObject*) {
    return false;
}
void watch_jobs(PyObject*, PyObject*) {}
bool watch_loaded(PyObject*, PyObject*) {
    return false;
}
void saved(PyObject*) {}
void look_again(PyObject*, PyObject*) {}

#endif

}  // namespace tarvel::scheduler::db
