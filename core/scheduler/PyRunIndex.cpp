// core/scheduler/PyRunIndex.cpp: the active jobs ordered by next run, which the loop takes its due
// jobs from, finds its wake time in, and the agenda reads
//
// Invariants:
//
// - The index belongs to one Scheduler, in a holder stored in its private attribute _run_index; a
//   copy or a pickle of the scheduler gets none of it and builds its own at first use.
// - It knows each job of the registry it was built from (by job object, held, with its key and
//   its registry order), and lists those that are active with a next run by that next run (equal
//   times in registry order). A job whose state or next run cannot be read or compared is listed
//   first, so that every pass meets it as a walk over the registry would.
// - The registry calls, the firings and the loop's decisions tell it each change they make. A
//   change made around them is found: a new `_jobs` dict, another size of it or a new load (a
//   new load_problems list) at the next use; an entry that comes to the front (its key no longer
//   holds that job, the job is no longer active, or its next run is another object) when it does;
//   anything else at the next whole rebuild, made when poll_interval has passed (by the module's
//   clock) since the last one, or after a merge of another process's save.
// - No iterator into the index is held across a call into Python: the entries are copied out
//   first, and found again by job after.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/scheduler/PyScheduler.hpp"
#include "glue/PyOwnedState.hpp"

namespace tarvel::scheduler {

namespace {

constexpr double kFirst = -std::numeric_limits<double>::infinity();

// Where a job goes: unlisted (not active, or no next run), or listed at `at` for its next run
// `next_run` (null, at kFirst, for one whose fields cannot be read).
struct Place {
    bool listed = false;
    double at = kFirst;
    py::Ref next_run;
};

// The place of `job` as its fields are now, `active` being JobState.ACTIVE.
Place place_in(PyObject* active, PyObject* job) {
    Place place;
    try {
        py::Ref state = py::getattr(job, TARVEL_NAME("state"));
        if (!py::compare(state.get(), active, Py_EQ)) return place;
        py::Ref next_run = py::getattr(job, TARVEL_NAME("next_run"));
        if (!py::truthy(next_run.get())) return place;
        place.listed = true;
        double at = PyFloat_AsDouble(next_run.get());
        if (at == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            at = kFirst;
        }
        place.at = std::isnan(at) ? kFirst : at;
        place.next_run = std::move(next_run);
    } catch (py::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        place = Place{true, kFirst, {}};
    }
    return place;
}

py::Ref active_state(PyObject* globals) {
    return member(globals, TARVEL_NAME("JobState"), "ACTIVE");
}

Place place_of(PyObject* globals, PyObject* job) {
    return place_in(active_state(globals).get(), job);
}

// The keys and the jobs of the registry, in its order, as two lists of the same length.
std::pair<py::Ref, py::Ref> keys_and_jobs(PyObject* registry) {
    if (PyDict_CheckExact(registry))
        return {py::Ref::steal(PyDict_Keys(registry)), py::Ref::steal(PyDict_Values(registry))};
    py::Ref items = py::Ref::steal(PyMapping_Items(registry));
    const Py_ssize_t size = PyList_GET_SIZE(items.get());
    py::Ref keys = py::Ref::steal(PyList_New(size)), jobs = py::Ref::steal(PyList_New(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        PyList_SET_ITEM(keys.get(), i, Py_NewRef(PyTuple_GET_ITEM(item, 0)));
        PyList_SET_ITEM(jobs.get(), i, Py_NewRef(PyTuple_GET_ITEM(item, 1)));
    }
    return {keys, jobs};
}

class RunIndex {
  public:
    struct Slot {
        py::Ref key;
        py::Ref job;
        py::Ref next_run;
        double at = kFirst;
        std::uint64_t order = 0;
        bool listed = false;
    };
    using Position = std::pair<double, std::uint64_t>;

    enum class Need { Nothing, Recheck, Rebuild };

    // What the index needs before use at `now` (the module's clock): nothing, every job checked
    // again (asked for, or `interval` has passed since the last time), or to be built again (the
    // registry is another dict, or of another size, or was loaded again).
    Need need(PyObject* registry, Py_ssize_t size, PyObject* loaded, double now,
              double interval) const {
        if (registry != registry_.get() || size != size_ || loaded != loaded_.get())
            return Need::Rebuild;
        const bool lately = now >= checked_at_ && now - checked_at_ < interval;
        return recheck_ || !lately ? Need::Recheck : Need::Nothing;
    }

    // Takes `slots` (in registry order) as the whole index.
    void replace(std::vector<Slot>& slots, py::Ref registry, Py_ssize_t size, py::Ref loaded,
                 double now) {
        auto old_slots = std::move(slots_);
        slots_.clear();
        order_.clear();
        next_order_ = 0;
        for (Slot& slot : slots) {
            PyObject* job = slot.job.get();
            if (slots_.count(job) != 0) continue;  // one job under two keys: its first
            slot.order = next_order_++;
            put(std::move(slot));
        }
        std::swap(registry_, registry);
        std::swap(loaded_, loaded);
        size_ = size;
        checked(now);
    }

    void ask_recheck() { recheck_ = true; }
    void checked(double now) {
        checked_at_ = now;
        recheck_ = false;
    }

    // The registry order of `job` and whether it is listed with the next run `next_run` (compared
    // by identity), when it is known under `key`; nothing else when it is not.
    bool known_as(PyObject* job, PyObject* key, std::uint64_t& order, bool& same,
                  const Place& place) const {
        auto it = slots_.find(job);
        if (it == slots_.end() || it->second.key.get() != key) return false;
        order = it->second.order;
        same =
            it->second.listed == place.listed && it->second.next_run.get() == place.next_run.get();
        return true;
    }
    bool known(PyObject* job) const { return slots_.count(job) != 0; }
    PyObject* registry() const { return registry_.get(); }

    // Places `job` again, at `place`; nothing when it is not known.
    void move(PyObject* job, Place place) {
        auto it = slots_.find(job);
        if (it == slots_.end()) return;
        Slot& slot = it->second;
        if (slot.listed) order_.erase({slot.at, slot.order});
        std::swap(slot.next_run, place.next_run);  // the old one is dropped on return
        slot.at = place.at;
        slot.listed = place.listed;
        if (slot.listed) order_.emplace(Position{slot.at, slot.order}, job);
    }

    // Adds `job` under `key`, taking the registry order of `replaced` (a job the key held) when
    // known, else the next one; the registry grew by one when `grew`.
    void add(py::Ref key, py::Ref job, Place place, PyObject* replaced, bool grew) {
        Slot slot{std::move(key), std::move(job), std::move(place.next_run), place.at, 0,
                  place.listed};
        // Taken out first and dropped once the index holds the new slot: dropping a reference may
        // run code.
        Slot old = replaced != nullptr ? take(replaced) : Slot{};
        if (old.job) {  // a dict keeps the key it holds when its value is replaced
            slot.order = old.order;
            std::swap(slot.key, old.key);
        } else {
            slot.order = next_order_++;
        }
        if (grew) ++size_;
        Slot elsewhere = take(slot.job.get());  // a job added again under another key moves there
        put(std::move(slot));
    }

    // Forgets `job`, which left the registry (by one less when `shrank`).
    void remove(PyObject* job, bool shrank) {
        Slot dropped = take(job);
        if (shrank) --size_;
    }

    // A copy of the first listed entry after `after`, with its place; false when there is none.
    bool first_after(const Position& after, Slot& out, Position& at) const {
        auto it = order_.upper_bound(after);
        if (it == order_.end()) return false;
        at = it->first;
        out = slots_.at(it->second);
        return true;
    }

    // Copies of the listed entries at or before `now`, in order.
    std::vector<Slot> listed_until(double now) const {
        std::vector<Slot> front;
        for (auto it = order_.begin(); it != order_.end() && it->first.first <= now; ++it)
            front.push_back(slots_.at(it->second));
        return front;
    }

    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(registry_.get());
        Py_VISIT(loaded_.get());
        for (const auto& item : slots_) {
            Py_VISIT(item.second.key.get());
            Py_VISIT(item.second.job.get());
            Py_VISIT(item.second.next_run.get());
        }
        return 0;
    }

    void clear() {
        auto dropped = std::move(slots_);
        slots_.clear();
        order_.clear();
        auto registry = std::move(registry_);
        auto loaded = std::move(loaded_);
        size_ = -1;
    }

  private:
    void put(Slot slot) {
        PyObject* job = slot.job.get();
        if (slot.listed) order_.emplace(Position{slot.at, slot.order}, job);
        slots_.emplace(job, std::move(slot));
    }

    // Takes `job`'s slot out of the index (an empty one when it has none).
    Slot take(PyObject* job) {
        auto it = slots_.find(job);
        if (it == slots_.end()) return {};
        Slot slot = std::move(it->second);
        slots_.erase(it);
        if (slot.listed) order_.erase({slot.at, slot.order});
        return slot;
    }

    std::unordered_map<PyObject*, Slot> slots_;  // by job
    std::map<Position, PyObject*> order_;        // the listed jobs by (next run, registry order)
    py::Ref registry_;                           // the `_jobs` it was built from
    Py_ssize_t size_ = -1;                       // the size that registry should have
    py::Ref loaded_;                             // load_problems when it was built
    double checked_at_ = 0.0;                    // when every job was last read
    std::uint64_t next_order_ = 0;
    bool recheck_ = true;
};

// --- the holder ----------------------------------------------------------------------------------

using Holders = py::OwnedState<RunIndex>;

// The holder of `self`'s index; with `make`, one is made and stored when the attribute holds
// none that is its own (a copy's is its original's), else null then.
py::Ref holder_of(PyObject* self, bool make) {
    return Holders::holder_of(self, TARVEL_NAME("_run_index"), "tarvel.core.scheduler.run_index",
                              make);
}

RunIndex& index_in(const py::Ref& holder) {
    return Holders::in(holder.get());
}

// --- building and checking ----------------------------------------------------------------------

double seconds_of(PyObject* value) {
    const double seconds = PyFloat_AsDouble(value);
    if (seconds == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return 0.0;  // an interval that is no number: built again at each use
    }
    return seconds;
}

// Builds the index of `holder` again from the registry `registry` (of `size` jobs).
void rebuild(PyObject* globals, const py::Ref& holder, py::Ref registry, Py_ssize_t size,
             py::Ref loaded, double now) {
    auto [keys, jobs] = keys_and_jobs(registry.get());
    py::Ref active = active_state(globals);
    std::vector<RunIndex::Slot> slots;
    slots.reserve(static_cast<std::size_t>(PyList_GET_SIZE(jobs.get())));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(jobs.get()); ++i) {
        PyObject* job = PyList_GET_ITEM(jobs.get(), i);
        Place place = place_in(active.get(), job);
        slots.push_back({py::Ref::borrow(PyList_GET_ITEM(keys.get(), i)), py::Ref::borrow(job),
                         std::move(place.next_run), place.at, 0, place.listed});
    }
    index_in(holder).replace(slots, std::move(registry), size, std::move(loaded), now);
}

// Reads every job of `registry` again and moves those whose state or next run changed; false,
// with nothing more read, at a job the index does not know under its key or in its order.
bool recheck(PyObject* globals, const py::Ref& holder, PyObject* registry, double now) {
    auto [keys, jobs] = keys_and_jobs(registry);
    py::Ref active = active_state(globals);
    std::uint64_t last = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(jobs.get()); ++i) {
        PyObject* job = PyList_GET_ITEM(jobs.get(), i);
        Place place = place_in(active.get(), job);
        std::uint64_t order = 0;
        bool same = false;
        if (!index_in(holder).known_as(job, PyList_GET_ITEM(keys.get(), i), order, same, place) ||
            (i > 0 && order <= last))
            return false;
        last = order;
        if (!same) index_in(holder).move(job, std::move(place));
    }
    index_in(holder).checked(now);
    return true;
}

// The holder of `self`'s index, checked or built again first when it is out of date at `now`.
py::Ref synced(PyObject* globals, PyObject* self, double now) {
    py::Ref holder = holder_of(self, true);
    py::Ref registry = py::getattr(self, TARVEL_NAME("_jobs"));
    const Py_ssize_t size = PyObject_Length(registry.get());
    py::check(size < 0);
    py::Ref loaded = py::Ref::steal_maybe(PyObject_GetAttr(self, TARVEL_NAME("load_problems")));
    if (!loaded) PyErr_Clear();
    const double interval = seconds_of(py::getattr(self, TARVEL_NAME("_poll_interval")).get());
    using Need = RunIndex::Need;
    const Need need = index_in(holder).need(registry.get(), size, loaded.get(), now, interval);
    if (need == Need::Rebuild ||
        (need == Need::Recheck && !recheck(globals, holder, registry.get(), now)))
        rebuild(globals, holder, std::move(registry), size, std::move(loaded), now);
    return holder;
}

// Whether the copied entry `slot` still holds: its key holds its job in the registry, and the job
// stands where the entry lists it.
bool holds(PyObject* globals, PyObject* registry, const RunIndex::Slot& slot) {
    py::Ref held = registry_get(registry, slot.key.get());
    if (held.get() != slot.job.get()) return false;
    Place place = place_of(globals, slot.job.get());
    return place.listed && place.next_run.get() == slot.next_run.get();
}

// Places the job of the copied entry `slot` again as the registry holds it now: where its fields
// say, or, when its key holds another job, that job in its place.
void refresh(PyObject* globals, const py::Ref& holder, PyObject* registry,
             const RunIndex::Slot& slot) {
    py::Ref held = registry_get(registry, slot.key.get());
    if (held.get() == slot.job.get()) {
        Place place = place_of(globals, slot.job.get());
        index_in(holder).move(slot.job.get(), std::move(place));
        return;
    }
    if (!held) {
        index_in(holder).remove(slot.job.get(), false);
        return;
    }
    Place place = place_of(globals, held.get());
    index_in(holder).add(slot.key, held, std::move(place), slot.job.get(), false);
}

double seconds_now(PyObject* now) {
    const double at = PyFloat_AsDouble(now);
    py::check(at == -1.0 && PyErr_Occurred());
    return at;
}

}  // namespace

py::Ref registry_get(PyObject* registry, PyObject* key) {
    if (PyDict_Check(registry)) return py::dict_get(registry, key);
    py::Ref found = py::call_method(registry, TARVEL_NAME("get"), key);
    return found.get() == Py_None ? py::Ref() : found;
}

void index_added(PyObject* globals, PyObject* self, PyObject* key, PyObject* job,
                 PyObject* replaced) {
    py::Ref holder = holder_of(self, false);
    if (!holder) return;
    Place place = place_of(globals, job);
    py::Ref registry = py::getattr(self, TARVEL_NAME("_jobs"));
    RunIndex& index = index_in(holder);
    if (registry.get() != index.registry()) return;  // built again at its next use anyway
    index.add(py::Ref::borrow(key), py::Ref::borrow(job), std::move(place), replaced,
              replaced == nullptr);
}

void index_removed(PyObject* self, PyObject* job) {
    py::Ref holder = holder_of(self, false);
    if (!holder) return;
    py::Ref registry = py::getattr(self, TARVEL_NAME("_jobs"));
    RunIndex& index = index_in(holder);
    if (registry.get() == index.registry()) index.remove(job, true);
}

void index_changed(PyObject* globals, PyObject* self, PyObject* job) {
    py::Ref holder = holder_of(self, false);
    if (!holder || !index_in(holder).known(job)) return;
    Place place = place_of(globals, job);
    index_in(holder).move(job, std::move(place));
}

void index_outdated(PyObject* self) {
    if (py::Ref holder = holder_of(self, false)) index_in(holder).ask_recheck();
}

std::vector<IndexedJob> due_jobs(PyObject* globals, PyObject* self, PyObject* now) {
    const double at = seconds_now(now);
    py::Ref holder = synced(globals, self, at);
    py::Ref registry = py::Ref::borrow(index_in(holder).registry());
    std::vector<IndexedJob> due;
    std::unordered_set<PyObject*> taken, refreshed;  // jobs held by `due` and by `held`
    std::vector<py::Ref> held;
    for (bool again = true; again;) {
        again = false;
        const std::vector<RunIndex::Slot> front = index_in(holder).listed_until(at);
        for (const RunIndex::Slot& slot : front) {
            PyObject* job = slot.job.get();
            if (taken.count(job) != 0) continue;
            if (refreshed.count(job) == 0 && !holds(globals, registry.get(), slot)) {
                refresh(globals, holder, registry.get(), slot);
                refreshed.insert(job);
                held.push_back(slot.job);
                again = true;  // the front as it is now
                break;
            }
            taken.insert(job);
            due.push_back({slot.job, slot.next_run, slot.at, slot.order});
        }
    }
    std::sort(due.begin(), due.end(),
              [](const IndexedJob& a, const IndexedJob& b) { return a.order < b.order; });
    return due;
}

bool next_indexed(PyObject* globals, PyObject* self, IndexedJob& after) {
    py::Ref holder = holder_of(self, true);
    py::Ref registry = py::Ref::borrow(index_in(holder).registry());
    if (!registry) return false;
    std::unordered_set<PyObject*> refreshed;  // jobs held by `held`
    std::vector<py::Ref> held;
    for (;;) {
        RunIndex::Slot slot;
        RunIndex::Position at;
        if (!index_in(holder).first_after({after.at, after.order}, slot, at)) return false;
        if (refreshed.count(slot.job.get()) == 0 && !holds(globals, registry.get(), slot)) {
            refresh(globals, holder, registry.get(), slot);
            refreshed.insert(slot.job.get());
            held.push_back(slot.job);
            continue;
        }
        after = {slot.job, slot.next_run, at.first, at.second};
        return true;
    }
}

}  // namespace tarvel::scheduler
