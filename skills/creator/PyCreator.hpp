// skills/creator/PyCreator.hpp: the parts of tarvel.skills.creator, each built by its own source
// file
#pragma once

#include <optional>
#include <utility>

#include "glue/PyClass.hpp"
#include "glue/PyFiles.hpp"
#include "glue/PyFunction.hpp"
#include "glue/PyLocks.hpp"
#include "glue/PyLogging.hpp"
#include "glue/PyRef.hpp"

namespace tarvel::creator {

using py::log;

// SkillBlueprint and ImprovementEntry, bound in that order.
void add_records(PyObject* module);

// DynamicSkill, a subclass of the host's SkillDefinition.
void add_dynamic_skill(PyObject* module);

// SkillCreator: the class with its catalogues and constructor; its methods come from:
void add_skill_creator(PyObject* module);
// validate_blueprint, create_skill
void add_creation_methods(PyObject* module, py::Members& members);
// create_from_dict, _create_python_skill
void add_python_skill_methods(PyObject* module, py::Members& members);
// load_saved_skills, load_into_registry, delete_skill, list_saved_skills, get_skill_source
void add_store_methods(PyObject* module, py::Members& members);
// _log_improvement, log_learning, get_improvement_log, get_improvement_stats,
// _load_improvement_log, _save_improvement_log
void add_log_methods(PyObject* module, py::Members& members);
// list_skill_versions, rollback_skill, get_skill_code
void add_history_methods(PyObject* module, py::Members& members);
// review_skill
void add_review_method(PyObject* module, py::Members& members);

// The text json.dumps([e.to_dict() for e in entries], indent=2) gives, built from the entries'
// texts the creator `self` kept since its earlier saves; a null Ref when the save must encode the
// log whole.
py::Ref log_text_from_kept(PyObject* globals, PyObject* self, PyObject* entries);

// The module function get_skill_creator.
py::Ref make_get_skill_creator(PyObject* module);

// --- shared by the method files ----------------------------------------------

// datetime.now().strftime("%Y-%m-%d %H:%M:%S") through the module's globals.
py::Ref local_time(PyObject* globals);

// SKILLS_DIR / f"{name}{suffix}", SKILLS_DIR read at the moment of use.
py::Ref skill_file(PyObject* globals, PyObject* name, const char* suffix);

// mapping.get(key, otherwise) as Python calls it (an exact dict is read directly).
py::Ref mapping_get(PyObject* mapping, PyObject* key, PyObject* otherwise);
inline py::Ref mapping_get(PyObject* mapping, PyObject* key, const py::Ref& otherwise) {
    return mapping_get(mapping, key, otherwise.get());
}

// json.loads(path.read_text()) through the module's globals.
py::Ref read_json(PyObject* globals, PyObject* path);

// The text of json.dumps(value, indent=2), built whole before anything is written.
py::Ref json_text(PyObject* globals, PyObject* value);

// "Validation failed:\n  - <first>\n  - <second>..." for a list of messages.
py::Ref validation_failure(PyObject* errors);

// (False, message, None) and friends.
py::Ref result(bool success, const py::Ref& message, PyObject* skill = Py_None);

// self._log_improvement(ImprovementEntry(**fields)) with the fields in the given order.
void log_improvement(PyObject* globals, PyObject* self,
                     std::initializer_list<std::pair<const char*, PyObject*>> fields);

// Python's `except Exception:` test for a caught error.
inline bool is_exception(const py::Error& e) {
    return e.matches(PyExc_Exception);
}

// `a, b = value` with Python's errors for a value that does not unpack into two.
std::pair<py::Ref, py::Ref> unpack_pair(PyObject* value);

// TypeError unless `value` is exactly a str.
using py::require_str;

// type(value).__name__
py::Ref type_name(PyObject* value);

// Why `registry` cannot take skills: "registry must have a register() method, not <type name>"
// unless it is None or has a callable register; null when it can.
py::Ref registry_problem(PyObject* registry);

// Why `value` of the skill's field `field` is no list of strings: "<field> must be a list of
// strings, not <type name>", or "...; item <n> is <type name>" for its first item that is no
// str (counted from 1); null when it is one.
py::Ref text_list_problem(const char* field, PyObject* value);

// A name that could reach a file outside the skills directory: one that holds
// "/", "\\", ":" or a NUL character (delete_skill refuses it).
bool unsafe_name(PyObject* name);

// "Skill name '<name>' is a device name on Windows" when Windows would open a device for the
// skill's files (CON, PRN, AUX, NUL, COM1-COM9 and LPT1-LPT9, with the superscript digits
// ¹, ² and ³ too, in any case); null for any other name. Creation refuses such names on every
// platform, since a skill store may be copied to a Windows machine.
py::Ref device_name_problem(PyObject* name);

// The file name a skill's code is compiled or parsed under: f"{name}.py", each NUL of a
// str name written as "\\x00" (the compiler takes no NUL in a file name).
py::Ref code_file_name(PyObject* name);

// Whether an error of compile() or ast.parse means the code is nested too deeply for the
// parser or the compiler: a RecursionError, or the parser's MemoryError.
bool too_deeply_nested(const py::Error& e);

// "Syntax error in code: <the interpreter's words> (<file name>)" for such an error.
py::Ref nesting_error(const py::Error& e, PyObject* file_name);

// --- the store's lock (PyStore) ----------------------------------------------------------------

// Takes the lock of the skill store, SKILLS_DIR/.lock, into `lock` for the caller's scope: every
// change of SKILLS_DIR, from reading the stored version to writing the files, runs under it, one
// thread and process at a time (a thread that holds it already goes on). A lock file that cannot
// be had leaves the change unlocked; a link at its name refuses it: then `failure` followed by
// the error's text, for the caller's (False, message) result; null when the lock is taken.
py::Ref lock_store(PyObject* globals, std::optional<py::DirectoryLock>& lock, const char* failure);

// --- creation, shared with rollbacks (PyCreation, PyPythonSkill) --------------------------------

// What a rollback changes on the road of a creation: the version the skill is
// saved as, the version whose content it takes again (the log entry's
// "rolled_back_to") and the log entry's reason; the entry's action is "updated".
struct Rollback {
    PyObject* version;
    PyObject* to;
    PyObject* reason;
};

// create_skill(blueprint, registry): validation, the skill file, hot-loading and
// the log entry. With `rollback`, the version is the rollback's.
py::Ref create_simple_skill(PyObject* globals, PyObject* self, PyObject* blueprint,
                            PyObject* registry, const Rollback* rollback = nullptr);

// _create_python_skill(data) for an exact dict: checks, script, metadata and
// the log entry. With `rollback`, the version is the rollback's.
py::Ref create_python_skill(PyObject* globals, PyObject* self, PyObject* data,
                            const Rollback* rollback = nullptr);

// --- history (PyHistory) ----------------------------------------------------------------------

// Keeps the stored files of skill `name` as they are (<name>.json, with
// <name>.py for a Python skill) in SKILLS_DIR/.versions/<name>/ as
// v<version>.json (.py), just before they are replaced or removed. A name
// already taken gets "-2", "-3", ...; a copy the newest one already holds is
// not made again. A failure is logged at WARNING and never raises. `stored` is
// <name>.json's path where the caller has it.
void keep_version(PyObject* globals, PyObject* name, PyObject* stored = nullptr);

}  // namespace tarvel::creator
