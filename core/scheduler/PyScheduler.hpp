// core/scheduler/PyScheduler.hpp: the parts of tarvel.core.scheduler, each built by its own source
// file
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "glue/PyClass.hpp"
#include "glue/PyFiles.hpp"
#include "glue/PyLoadProblems.hpp"
#include "glue/PyLocks.hpp"
#include "glue/PyLogging.hpp"
#include "glue/PyRef.hpp"

namespace tarvel::scheduler {

// The execution history: past this many records ...
inline constexpr Py_ssize_t kHistoryBound = 500;
// ... the newest this many are kept.
inline constexpr Py_ssize_t kHistoryKept = 250;

// The newest this many records of the history go to the state file.
inline constexpr Py_ssize_t kSavedExecutions = 100;

// JobType, JobState, ScheduledJob and JobExecution, bound in that order.
void add_records(PyObject* module);

// JobType.<name> or JobState.<name> (`enum_name`), read through the module's globals.
py::Ref member(PyObject* globals, PyObject* enum_name, const char* name);
// value == <enum_name>.<name>
bool is_member(PyObject* globals, PyObject* value, PyObject* enum_name, const char* name);

// CronExpression.
void add_cron(PyObject* module);

// Scheduler: the class with its registry operations (which call the two below).
void add_scheduler(PyObject* module);
// start, stop, run_now, _loop, _fire_job and _send_event.
void add_loop_methods(PyObject* module, py::Members& members);
// upcoming.
void add_agenda_methods(PyObject* module, py::Members& members);
// _save and _load.
void add_state_file_methods(PyObject* module, py::Members& members);

// --- the state file, shared by saving, loading and merging (PyStateFile, PyStateMerge) ---

// Builds the jobs of `data` (the parsed state file) into `jobs` (id -> job) and
// its history into `history` (a list), skipping with an ERROR each record that
// cannot be built or whose fields have the wrong types, and noting it in `problems`
// ("job <key> skipped: ...", "execution record <n> skipped: ..."). Returns whether every
// record was read. A document that is no object, or whose "jobs" is none, raises a TypeError
// that says so ("\"jobs\" must be an object, not a list"); "executions" that is no list is
// logged and noted the same way, and the jobs still load.
bool read_jobs(PyObject* globals, PyObject* data, PyObject* jobs, py::LoadProblems& problems);
bool read_executions(PyObject* globals, PyObject* data, PyObject* history,
                     py::LoadProblems& problems);
// One step of each: the (key, record) pair `item` of "jobs" read into `jobs` through
// `job_class`.from_dict, and the execution record `record` (the `number`-th, from 1) into
// `history` through `cls` given its field `names`; false, with an ERROR and a problem noted, for a
// record that cannot be built or whose fields have the wrong types.
bool read_job(PyObject* globals, PyObject* job_class, PyObject* item, PyObject* jobs,
              py::LoadProblems& problems);
bool read_execution(PyObject* globals, PyObject* cls, PyObject* names, Py_ssize_t number,
                    PyObject* record, PyObject* history, py::LoadProblems& problems);
// The names of the dataclass fields of `cls`, as a set.
py::Ref field_names(PyObject* cls);
// logger.error("Failed to load scheduler state: <error>").
void load_failure(PyObject* globals, const py::Error& e);
// A job's record in the file: its dictionary with the whole prompt, then its
// metadata when JSON can encode it (reported at ERROR when `report`).
py::Ref job_record(PyObject* globals, PyObject* job, bool report);

// The text json.dumps(document, indent=2) gives the state file's document, built from the
// records' texts kept since earlier saves; a null Ref when this save must build the document and
// encode it whole (a record or a name it depends on is not the module's own, json is patched, or
// a record cannot be written).
py::Ref state_text_from_kept(PyObject* globals, PyObject* self);

// What identifies the state file's present version (glue/PyLocks).
using py::file_signature;
// Notes the version of the file at `path` this scheduler last read or wrote, with its text.
void remember_file(PyObject* self, PyObject* path, PyObject* signature, PyObject* text);
// When another process saved the state file since this scheduler last read or
// wrote it, reads it and merges it into the registry and the history: what this
// scheduler added, changed or removed since then stays as it is in memory. With the database
// store, the rows other processes wrote since are taken in the same way (merge_from_database).
void merge_from_file(PyObject* globals, PyObject* self);
// The jobs (by id) and executions of a saved document's `text`, built as a load builds them;
// false when a record was skipped. `stage` tells how far it came when it throws.
bool read_saved_records(PyObject* globals, PyObject* text, PyObject* jobs, PyObject* history,
                        py::LoadProblems& problems, py::LoadProblems::Stage& stage);
// Whether the registry's `job` becomes `other`, the job as another process saved it, with the
// changes made here since `known` (its record as this scheduler last read or wrote it) made
// again on it. A job that cannot be merged stays as it is here.
bool merged_job(PyObject* globals, PyObject* self, PyObject* key, PyObject* job, PyObject* known,
                PyObject* other);
// Sets every field of `job` to that of `source`.
void copy_fields(PyObject* globals, PyObject* job, PyObject* source);
// Executions: the records of `theirs` that the history lacks join it, in the order of their
// start, and the history is trimmed as after a firing.
void merge_executions(PyObject* self, PyObject* theirs);

// Locks beside the state file: the loop's ("<file>.lock", held while a loop
// runs; RuntimeError naming the holder's pid when another loop holds it; None
// for a path that names no file of the system) and the short one around each
// save ("<file>.save-lock"; None when it cannot be had); release_lock lets go of either.
py::Ref take_loop_lock(PyObject* state_path);
py::Ref take_save_lock(PyObject* globals, PyObject* state_path);
using py::release_lock;

// A record of the state file as the native load built it: its key in "jobs" (null for an
// execution), the object built, and where its text lies in the file's text: from its "{" to its
// "}" inclusive, in bytes of the text's UTF-8 (for an ASCII str, its characters).
struct LoadedRecord {
    PyObject* key;
    PyObject* record;
    std::size_t begin;
    std::size_t end;
};
// Lets the next save keep the texts of records the load built, where each is what that save would
// write.
void keep_loaded_texts(PyObject* globals, PyObject* self, PyObject* text,
                       const std::vector<LoadedRecord>& jobs,
                       const std::vector<LoadedRecord>& executions);

// The text of the state file's document for the present registry and history, as the JSON store
// writes it at a save (from the kept texts where they hold, else built and encoded whole).
py::Ref state_text(PyObject* globals, PyObject* self);
// Reads a state document's `text` into the registry and the history, natively where it can, as a
// load of the state file reads it; false when a record was skipped. `stage` tells how far it came.
bool read_state_text(PyObject* globals, PyObject* self, PyObject* text, py::LoadProblems& problems,
                     py::LoadProblems::Stage& stage);

// --- the database store (PyStateDatabase) ---

// The store option: "json" or "sqlite". TypeError "store must be a str, not <type>", ValueError
// "store must be 'json' or 'sqlite', not <value>" otherwise.
void check_store(PyObject* store);
// Whether the scheduler keeps its state in a database (store="sqlite").
bool uses_database(PyObject* self);
// The file name a store keeps its state in by default: "scheduler.json" or "scheduler.sqlite3".
const char* default_state_name(PyObject* store);
// _save and _load with store="sqlite": the records that changed written in one transaction;
// every record read back (with the JSON file of the folder imported into a new database).
void save_to_database(PyObject* globals, PyObject* self);
void load_from_database(PyObject* globals, PyObject* self, py::LoadProblems& problems);
// A loop pass's look at the database: the rows other processes wrote since this scheduler last
// read or wrote it (by the database's change counter) taken in; errors are logged.
void merge_from_database(PyObject* globals, PyObject* self);
// export_state.
void add_database_methods(PyObject* module, py::Members& members);

// --- the types of a record's fields, checked at the load and by add_job (PyFieldTypes) ---

// The types a record's fields must have to be saved and loaded again: texts, numbers, finite
// times and JobType and JobState members. TypeError "<field> of <what> must be <type>, not
// <value>" ("<field> must be ..." when `what` is null) for the first field that has another;
// `job_type` and `state`, when given, are checked in place of the job's own.
void check_job_fields(PyObject* globals, PyObject* job, PyObject* what,
                      PyObject* job_type = nullptr, PyObject* state = nullptr);
void check_execution_fields(PyObject* globals, PyObject* execution, PyObject* what);

// --- the changes made to jobs, shared by the registry, the loop and the merge (PyJobChanges) ---

// What a registry call or a firing does to a job; the argument each takes is named.
enum class Change : int {
    Set,       // fields set on the job itself: a dict of field -> value
    Update,    // update_job: a list of the checked (key, value) pairs
    Pause,     // pause_job
    Resume,    // resume_job
    Decide,    // the following run of a due job, decided before it fires
    Fire,      // a finished firing: the time it started
    Miss,      // a run missed past misfire_grace: the time of the pass
    Request,   // request_run: the time the job is asked to fire at, its next run
    Shutdown,  // a firing cancelled when the scheduler stopped: (the time it started, its due time)
};

// Makes the change to `job` and notes it in the scheduler until the state file holds it.
void make_change(PyObject* globals, PyObject* self, PyObject* job, Change kind,
                 PyObject* arg = nullptr);
// Forgets the noted changes: the state file now holds them (after a write or a load).
void forget_changes(PyObject* self);
// Makes the changes this scheduler noted for the job at `key` (and the fields set on `job`
// itself since `base_record`, its record in the file this scheduler last read or wrote) again on
// `target`, the job as another process saved it; false, with `target` untouched, when there are
// none. The noted changes then stand on the file just read.
bool replay_changes(PyObject* globals, PyObject* self, PyObject* key, PyObject* job,
                    PyObject* base_record, PyObject* target);

// --- next runs, shared by the registry, the loop and the agenda ---

// The timestamp of the first occurrence of `cron` after the date-time `after` that lies later
// than `present` (Unix seconds), read as local time with the second pass of a repeated hour; a
// null Ref when kLaterSearches occurrences find none.
py::Ref later_occurrence(PyObject* cron, PyObject* after, PyObject* present);

// Whether a pass at `now` reports the due `job` as missed instead of firing it: the scheduler
// has a misfire_grace, the job is later than that, and no earlier pass held it back for want
// of a free firing.
bool past_grace(PyObject* self, PyObject* job, PyObject* now);

// Whether the last pass held the job `id` back, due at `next_run`, for a later pass (under
// max_concurrent_firings, or while it still fired without overlap).
bool was_held(PyObject* self, PyObject* id, PyObject* next_run);

// With wake_on_due, ends the loop's present wait when `job` (just added or changed by a registry
// call) is active and due before that wait ends, unless a pass held it back at its next run.
void wake_if_sooner(PyObject* globals, PyObject* self, PyObject* job);

// With wake_on_due, ends the loop's present wait when the last pass held jobs back (under
// max_concurrent_firings, or while their own firing ran): called as a firing ends, whose place
// they may take now. Errors are logged.
void wake_for_held(PyObject* globals, PyObject* self);

// --- the active jobs ordered by next run (PyRunIndex) ---

// A job the index lists: its next run as listed (null for one whose fields cannot be read), and
// its place, (next run in seconds, registry order).
struct IndexedJob {
    py::Ref job;
    py::Ref next_run;
    double at = 0.0;
    std::uint64_t order = 0;
};

// registry.get(key) (the dict's own lookup for a dict), null when absent.
py::Ref registry_get(PyObject* registry, PyObject* key);
// Tell the index what a registry call, a firing or the loop did: `job` put under `key` in place of
// `replaced` (null for a new key); `job` removed; `job`'s state or next run changed; the registry
// changed by a merge, to be read whole again.
void index_added(PyObject* globals, PyObject* self, PyObject* key, PyObject* job,
                 PyObject* replaced);
void index_removed(PyObject* self, PyObject* job);
void index_changed(PyObject* globals, PyObject* self, PyObject* job);
void index_outdated(PyObject* self);
// The jobs listed at or before `now` (the module's time.time()), each checked against the
// registry, in registry order; the index is brought up to date first.
std::vector<IndexedJob> due_jobs(PyObject* globals, PyObject* self, PyObject* now);
// The first listed job after `after`'s place, checked against the registry, put in `after`;
// false when there is none.
bool next_indexed(PyObject* globals, PyObject* self, IndexedJob& after);

// --- the operating options (PyRegistry) ---

// A number of seconds for `what`: an int or a float but not a bool, finite, and positive or, with
// `zero_allowed`, 0 or more; None passes when `none_allowed`. TypeError "<what> must be a number",
// ValueError "<what> must be positive" (or "0 or more", "finite") otherwise.
void check_seconds(const char* what, PyObject* value, bool none_allowed, bool zero_allowed);

// logger.<level>(message) through the module's globals.
using py::log;

// The module function _format_timestamp.
py::Ref make_format_timestamp(PyObject* module);

// _format_timestamp(ts) as Python code calls it: through the module's globals.
py::Ref format_timestamp(PyObject* globals, PyObject* ts);

}  // namespace tarvel::scheduler
