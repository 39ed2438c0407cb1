// skills/creator/PyHistory.cpp: the versions a skill had before each save, kept in
// SKILLS_DIR/.versions/<name>/, and list_skill_versions and rollback_skill over them
#include "glue/PyFiles.hpp"
#include "glue/PyJsonRead.hpp"
#include "glue/PyMethods.hpp"
#include "skills/creator/PyCreator.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <string_view>
#include <vector>

namespace tarvel::creator {

namespace {

TARVEL_DECLARATIONS

// The name of the folder that holds the kept versions, inside SKILLS_DIR.
constexpr const char* kVersionsFolder = ".versions";

// A name whose versions have no folder of their own: those delete_skill
// refuses, and "", "." and "..", which would name the versions folder or one
// above it.
bool without_history(PyObject* name) {
    if (unsafe_name(name)) return true;
    for (const char* special : {"", ".", ".."}) {
        if (PyUnicode_CompareWithASCIIString(name, special) == 0) return true;
    }
    return false;
}

// SKILLS_DIR / ".versions"
py::Ref versions_root(PyObject* globals) {
    py::Ref dir = py::global(globals, TARVEL_NAME("SKILLS_DIR"));
    return py::Ref::steal(PyNumber_TrueDivide(dir.get(), py::str(kVersionsFolder).get()));
}

// SKILLS_DIR / ".versions" / name
py::Ref versions_dir(PyObject* globals, PyObject* name) {
    return py::Ref::steal(PyNumber_TrueDivide(versions_root(globals).get(), name));
}

// path.is_symlink(); a name the system cannot take is no link.
bool is_link(PyObject* path) {
    try {
        return py::truthy(py::call_method(path, TARVEL_NAME("is_symlink")).get());
    } catch (py::Error& e) {
        if (!e.matches(PyExc_OSError) && !e.matches(PyExc_ValueError)) throw;
        return false;
    }
}

// Whether anything stands at `path`, a link to nothing included.
bool taken(PyObject* path) {
    return py::exists(path) || is_link(path);
}

// A folder of kept versions that is a symbolic link is left alone: nothing is written through
// it. The OSError names the link.
void refuse_link(PyObject* folder) {
    if (!is_link(folder)) return;
    py::Ref text = py::Ref::steal(PyObject_Str(folder));
    errno = ELOOP;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, text.get());
    throw py::Error();
}

// directory / f"{stem}{suffix}"
py::Ref in_dir(PyObject* directory, PyObject* stem, const char* suffix) {
    return py::Ref::steal(PyNumber_TrueDivide(directory, py::fstring(stem, suffix).get()));
}

// path.stat() of a regular file; null when there is none (no file, another
// kind of file, a name the system cannot take).
py::Ref regular_file(PyObject* path) {
    if (py::missing_natively(path)) return {};
    try {
        py::Ref info = py::call_method(path, TARVEL_NAME("stat"));
        py::Ref stat = py::import("stat");
        py::Ref mode = py::getattr(info.get(), TARVEL_NAME("st_mode"));
        if (!py::truthy(py::call_method(stat.get(), TARVEL_NAME("S_ISREG"), mode).get())) return {};
        return info;
    } catch (py::Error& e) {
        if (!e.matches(PyExc_OSError) && !e.matches(PyExc_ValueError)) throw;
        return {};
    }
}

// json.loads(content) when it gives a dict; null for anything else.
py::Ref parsed_dict(PyObject* globals, PyObject* content) {
    try {
        py::Ref json = py::global(globals, TARVEL_NAME("json"));
        py::Ref data = py::loads(json.get(), content);
        if (PyDict_Check(data.get())) return data;
    } catch (py::Error& e) {
        if (!is_exception(e)) throw;
    }
    return {};
}

// The "version" of a stored skill as a copy is named by: an int, else 1.
py::Ref copy_version(PyObject* data) {
    py::Ref version =
        data != nullptr ? mapping_get(data, TARVEL_NAME("version"), Py_None) : py::Ref();
    if (version && PyLong_CheckExact(version.get())) return version;
    return py::integer(1);
}

bool is_python(PyObject* data) {
    if (data == nullptr) return false;
    py::Ref type = mapping_get(data, TARVEL_NAME("type"), Py_None);
    return py::compare(type.get(), py::str("python").get(), Py_EQ);
}

// Whether the copy `stem` in `dir` holds these bytes (and this script, or none). A link is no
// copy and is never read.
bool holds(PyObject* dir, PyObject* stem, PyObject* content, PyObject* script) {
    try {
        py::Ref kept_path = in_dir(dir, stem, ".json");
        if (is_link(kept_path.get())) return false;
        py::Ref kept = py::call_method(kept_path.get(), TARVEL_NAME("read_bytes"));
        if (!py::compare(kept.get(), content, Py_EQ)) return false;
        py::Ref kept_script_path = in_dir(dir, stem, ".py");
        if (script == nullptr) return !taken(kept_script_path.get());
        if (is_link(kept_script_path.get())) return false;
        py::Ref kept_script = py::call_method(kept_script_path.get(), TARVEL_NAME("read_bytes"));
        return py::compare(kept_script.get(), script, Py_EQ);
    } catch (py::Error& e) {
        if (!is_exception(e)) throw;
        return false;
    }
}

// Writes `content` to `target` crash-safe, with the access and modification
// times of the file it copies (`info`, that file's stat).
void write_copy(PyObject* globals, PyObject* os, PyObject* target, PyObject* content,
                PyObject* info) {
    py::replace_file(globals, target, content);
    py::Ref times =
        py::Ref::steal(PyTuple_Pack(2, py::getattr(info, TARVEL_NAME("st_atime_ns")).get(),
                                    py::getattr(info, TARVEL_NAME("st_mtime_ns")).get()));
    py::Ref utime = py::getattr(os, TARVEL_NAME("utime"));
    py::call_kw(utime.get(), {target}, {{"ns", times.get()}});
}

void keep_files(PyObject* globals, PyObject* name, PyObject* stored, py::Ref& version) {
    py::Ref info = regular_file(stored);
    if (!info) return;  // nothing stored under that name
    py::Ref content = py::call_method(stored, TARVEL_NAME("read_bytes"));
    py::Ref data = parsed_dict(globals, content.get());
    version = copy_version(data.get());
    py::Ref script, script_info;
    if (is_python(data.get())) {
        py::Ref script_path = skill_file(globals, name, ".py");
        script_info = regular_file(script_path.get());
        if (script_info) script = py::call_method(script_path.get(), TARVEL_NAME("read_bytes"));
    }
    py::Ref root = versions_root(globals);
    py::Ref dir = py::Ref::steal(PyNumber_TrueDivide(root.get(), name));
    refuse_link(root.get());
    refuse_link(dir.get());
    // The first name free for both files (a link there takes it too); the one before it is the
    // newest copy of that version.
    py::Ref base = py::fstring("v", version);
    py::Ref stem = base, newest;
    for (long long n = 2; taken(in_dir(dir.get(), stem.get(), ".json").get()) ||
                          taken(in_dir(dir.get(), stem.get(), ".py").get());
         ++n) {
        newest = stem;
        stem = py::fstring(base, "-", py::integer(n));
    }
    if (newest && holds(dir.get(), newest.get(), content.get(), script.get())) return;
    py::make_dirs(dir.get());
    py::Ref os = py::import("os");
    // The script first: a metadata copy is never without the script it names.
    if (script)
        write_copy(globals, os.get(), in_dir(dir.get(), stem.get(), ".py").get(), script.get(),
                   script_info.get());
    write_copy(globals, os.get(), in_dir(dir.get(), stem.get(), ".json").get(), content.get(),
               info.get());
}

// --- the versions of a skill ------------------------------------------------------------------

// One saved version: a kept copy, or the stored skill itself.
struct Version {
    py::Ref path;         // the .json file
    py::Ref script;       // its script, for a Python skill
    py::Ref data;         // its content, null when it cannot be read as a dict
    py::Ref version;      // the content's "version" (1 when absent), else the copy's number
    py::Ref info;         // the file's stat
    long long saved = 0;  // st_mtime_ns
    long long number = 0, repeat = 0;  // v<number>-<repeat>.json: the order of equal times
    bool current = false;
};

// "v<number>.json" or "v<number>-<repeat>.json" (repeat 2 and up).
bool copy_name(std::string_view file, long long& number, long long& repeat) {
    constexpr std::string_view kSuffix = ".json";
    if (file.size() < 2 + kSuffix.size() || file.front() != 'v' || !file.ends_with(kSuffix)) {
        return false;
    }
    std::string_view rest = file.substr(1, file.size() - 1 - kSuffix.size());
    const char* end = rest.data() + rest.size();
    auto [after, failed] = std::from_chars(rest.data(), end, number);
    if (failed != std::errc() || after == rest.data()) return false;
    repeat = 1;
    if (after == end) return true;
    if (*after != '-') return false;
    auto [last, bad] = std::from_chars(after + 1, end, repeat);
    return bad == std::errc() && last == end && repeat >= 2;
}

long long mtime_ns(PyObject* info) {
    py::Ref ns = py::getattr(info, TARVEL_NAME("st_mtime_ns"));
    const long long value = PyLong_AsLongLong(ns.get());
    py::check(value == -1 && PyErr_Occurred());
    return value;
}

// Reads a version's content, and finds its script.
void read_version(PyObject* globals, Version& v) {
    try {
        py::Ref content = py::call_method(v.path.get(), TARVEL_NAME("read_bytes"));
        v.data = parsed_dict(globals, content.get());
    } catch (py::Error& e) {
        if (!is_exception(e)) throw;
    }
    if (v.data) v.version = mapping_get(v.data.get(), TARVEL_NAME("version"), py::integer(1));
    py::Ref script = py::call_method(v.path.get(), TARVEL_NAME("with_suffix"), py::str(".py"));
    const bool python =
        v.data ? is_python(v.data.get()) : static_cast<bool>(regular_file(script.get()));
    if (python) v.script = script;
}

// The kept copies, oldest first, then the stored skill.
std::vector<Version> versions_of(PyObject* globals, PyObject* name) {
    std::vector<Version> versions;
    py::Ref dir = versions_dir(globals, name);
    if (py::exists(dir.get())) {
        py::Ref files = py::sorted_glob(dir.get(), ".json");
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(files.get()); ++i) {
            PyObject* path = PyList_GET_ITEM(files.get(), i);
            py::Ref file = py::getattr(path, TARVEL_NAME("name"));
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(file.get(), &size);
            if (utf8 == nullptr) {
                PyErr_Clear();  // a name that is no text (undecodable bytes) is no copy of ours
                continue;
            }
            Version v;
            if (!copy_name({utf8, static_cast<std::size_t>(size)}, v.number, v.repeat)) continue;
            if (is_link(path)) continue;  // no copy of ours: never read through
            v.info = regular_file(path);
            if (!v.info) continue;
            v.path = py::Ref::borrow(path);
            v.saved = mtime_ns(v.info.get());
            v.version = py::integer(v.number);
            read_version(globals, v);
            versions.push_back(std::move(v));
        }
    }
    std::stable_sort(versions.begin(), versions.end(), [](const Version& a, const Version& b) {
        if (a.saved != b.saved) return a.saved < b.saved;
        if (a.number != b.number) return a.number < b.number;
        return a.repeat < b.repeat;
    });
    Version stored;
    stored.path = skill_file(globals, name, ".json");
    stored.info = regular_file(stored.path.get());
    if (stored.info) {
        stored.saved = mtime_ns(stored.info.get());
        stored.version = py::integer(1);
        stored.current = true;
        read_version(globals, stored);
        versions.push_back(std::move(stored));
    }
    return versions;
}

// datetime.fromtimestamp(st_mtime).strftime("%Y-%m-%d %H:%M:%S") through the module's globals;
// "Invalid" for a time the platform cannot convert (Windows refuses times before 1970 and after
// 3000), so that one odd file date never makes the listing fail.
py::Ref saved_at(PyObject* globals, PyObject* info) {
    py::Ref datetime = py::global(globals, TARVEL_NAME("datetime"));
    py::Ref seconds = py::getattr(info, TARVEL_NAME("st_mtime"));
    try {
        py::Ref moment = py::call_method(datetime.get(), TARVEL_NAME("fromtimestamp"), seconds);
        return py::call_method(moment.get(), TARVEL_NAME("strftime"), py::str("%Y-%m-%d %H:%M:%S"));
    } catch (py::Error& e) {
        if (e.matches(PyExc_OSError) || e.matches(PyExc_ValueError) ||
            e.matches(PyExc_OverflowError)) {
            return py::str("Invalid");
        }
        throw;
    }
}

constexpr const char* kListDoc =
    "List the saved versions of a skill, oldest first.\n"
    "\n"
    "        Each version is a dict with \"version\", \"file\" (the kept copy's name in\n"
    "        SKILLS_DIR/.versions/<name>/, or the stored file's name), \"kind\" (\"simple\"\n"
    "        or \"python\"), \"saved_at\" (when that version was saved, local time),\n"
    "        \"description\" and \"current\" (True for the stored skill itself).\n"
    "        A name delete_skill would refuse gives [].\n"
    "        ";

TARVEL_METHOD(SkillCreator, "list_skill_versions", list_skill_versions_impl, "self, name: str",
              "list[dict]", kListDoc)
(const py::Frame& frame, PyObject* /*self*/, PyObject* name) {
    require_str(name, "name");
    py::Ref listing = py::Ref::steal(PyList_New(0));
    if (without_history(name)) return listing;
    for (const Version& v : versions_of(frame.globals, name)) {
        py::Ref entry = py::Ref::steal(PyDict_New());
        py::dict_set(entry.get(), "version", v.version.get());
        py::dict_set(entry.get(), "file", py::getattr(v.path.get(), TARVEL_NAME("name")).get());
        py::dict_set(entry.get(), "kind", py::str(v.script ? "python" : "simple").get());
        py::dict_set(entry.get(), "saved_at", saved_at(frame.globals, v.info.get()).get());
        py::Ref description =
            v.data ? mapping_get(v.data.get(), TARVEL_NAME("description"), py::str(""))
                   : py::str("");
        py::dict_set(entry.get(), "description", description.get());
        py::dict_set(entry.get(), "current", py::boolean(v.current).get());
        py::check(PyList_Append(listing.get(), entry.get()) < 0);
    }
    return listing;
}

// --- rollbacks --------------------------------------------------------------------------------

py::Ref outcome(bool success, const py::Ref& message) {
    return py::Ref::steal(PyTuple_Pack(2, success ? Py_True : Py_False, message.get()));
}

// The text of a kept script as the creation that wrote it was given it: the
// bytes decoded as UTF-8, the platform's line ends back to "\n".
py::Ref script_text(PyObject* path) {
    py::Ref content = py::call_method(path, TARVEL_NAME("read_bytes"));
    py::Ref text = py::Ref::steal(PyUnicode_FromEncodedObject(content.get(), "utf-8", "strict"));
    py::Ref os = py::import("os");
    py::Ref line_end = py::getattr(os.get(), TARVEL_NAME("linesep"));
    if (PyUnicode_CompareWithASCIIString(line_end.get(), "\n") == 0) return text;
    return py::call_method(text.get(), TARVEL_NAME("replace"), line_end, py::str("\n"));
}

// SkillBlueprint(**stored) with the defaults of the store, named `name`.
py::Ref blueprint_of(PyObject* globals, PyObject* name, PyObject* d) {
    py::Ref blueprint_class = py::global(globals, TARVEL_NAME("SkillBlueprint"));
    auto list = [] { return py::Ref::steal(PyList_New(0)); };
    return py::call_kw(
        blueprint_class.get(), {},
        {{"name", name},
         {"description", mapping_get(d, TARVEL_NAME("description"), py::str("")).get()},
         {"app", mapping_get(d, TARVEL_NAME("app"), py::str("")).get()},
         {"category", mapping_get(d, TARVEL_NAME("category"), py::str("custom")).get()},
         {"triggers", mapping_get(d, TARVEL_NAME("triggers"), list()).get()},
         {"required_params", mapping_get(d, TARVEL_NAME("required_params"), list()).get()},
         {"optional_params", mapping_get(d, TARVEL_NAME("optional_params"), list()).get()},
         {"steps", mapping_get(d, TARVEL_NAME("steps"), list()).get()},
         {"reason", mapping_get(d, TARVEL_NAME("reason"), py::str("")).get()}});
}

// The input create_from_dict takes for a Python skill: the stored metadata and its code.
py::Ref python_data_of(PyObject* name, PyObject* d, PyObject* code) {
    py::Ref data = py::Ref::steal(PyDict_New());
    py::check(PyDict_Update(data.get(), d) < 0);
    py::dict_set(data.get(), "name", name);
    py::dict_set(data.get(), "code", code);
    return data;
}

// ", ".join(str(v) for each distinct version, in listing order)
py::Ref version_numbers(const std::vector<Version>& versions) {
    py::Ref texts = py::Ref::steal(PyList_New(0));
    for (const Version& v : versions) {
        py::Ref text = py::Ref::steal(PyObject_Str(v.version.get()));
        const int known = PySequence_Contains(texts.get(), text.get());
        py::check(known < 0);
        if (!known) py::check(PyList_Append(texts.get(), text.get()) < 0);
    }
    return py::Ref::steal(PyUnicode_Join(py::str(", ").get(), texts.get()));
}

// The newest copy of version `wanted` (null when there is none), and in `highest` the
// highest version that is a number (null when none is).
const Version* chosen_version(const std::vector<Version>& versions, PyObject* wanted,
                              py::Ref& highest) {
    const Version* chosen = nullptr;
    for (const Version& v : versions) {
        if (py::compare(v.version.get(), wanted, Py_EQ)) chosen = &v;  // the newest copy wins
        if (PyLong_Check(v.version.get()) && !PyBool_Check(v.version.get()) &&
            (!highest || py::compare(v.version.get(), highest.get(), Py_GT))) {
            highest = v.version;
        }
    }
    return chosen;
}

// Saves the chosen copy again the way it was first created, as rollback.version.
py::Ref save_again(PyObject* globals, PyObject* self, PyObject* name, const Version& chosen,
                   PyObject* registry, const Rollback& rollback) {
    PyObject* wanted = rollback.to;
    py::Ref created;
    if (chosen.script) {
        py::Ref code;
        try {
            code = script_text(chosen.script.get());
        } catch (py::Error& e) {
            if (!is_exception(e)) throw;
            return outcome(false, py::fstring("Version ", wanted, " of skill '", name,
                                              "' cannot be read: ", e.value()));
        }
        py::Ref data = python_data_of(name, chosen.data.get(), code.get());
        created = create_python_skill(globals, self, data.get(), &rollback);
    } else {
        py::Ref blueprint = blueprint_of(globals, name, chosen.data.get());
        created = create_simple_skill(globals, self, blueprint.get(), registry, &rollback);
    }
    PyObject* message = PyTuple_GET_ITEM(created.get(), 1);
    if (!py::truthy(PyTuple_GET_ITEM(created.get(), 0))) {
        return outcome(false, py::Ref::borrow(message));
    }
    return outcome(true, py::fstring("Rolled back skill '", name, "' to v", wanted, ": ", message));
}

constexpr const char* kRollbackDoc =
    "Save an earlier version of a skill again, as its newest version.\n"
    "\n"
    "        The content of `version` (its newest copy) is saved as the highest\n"
    "        version so far plus one, through the road of create_skill or\n"
    "        create_from_dict: it is validated, a simple skill is hot-loaded into\n"
    "        `registry` when one is given, and the improvement log records an\n"
    "        \"updated\" entry with \"rolled_back_to\" among its details. A deleted\n"
    "        skill can be brought back this way.\n"
    "\n"
    "        Returns (success, message); an unknown name or version changes nothing.\n"
    "        ";

TARVEL_METHOD(SkillCreator, "rollback_skill", rollback_skill_impl,
              "self, name: str, version: int, registry=None", "tuple[bool, str]", kRollbackDoc)
(const py::Frame& frame, PyObject* self, PyObject* name, PyObject* version, PyObject* registry) {
    PyObject* globals = frame.globals;
    require_str(name, "name");
    if (!PyLong_CheckExact(version)) py::wrong_type("version", "an int", version);
    if (py::Ref problem = registry_problem(registry)) return outcome(false, problem);
    if (without_history(name))
        return outcome(false, py::fstring("Invalid skill name '", name, "'"));
    // The versions are read and the chosen one saved again with no other change between.
    std::optional<py::DirectoryLock> lock;
    if (py::Ref refused = lock_store(globals, lock, "Failed to save skill: "))
        return outcome(false, refused);
    std::vector<Version> versions = versions_of(globals, name);
    if (versions.empty()) {
        return outcome(false, py::fstring("Skill '", name, "' has no saved versions"));
    }
    py::Ref highest;
    const Version* chosen = chosen_version(versions, version, highest);
    if (chosen == nullptr) {
        return outcome(false, py::fstring("Skill '", name, "' has no version ", version,
                                          " (saved versions: ", version_numbers(versions), ")"));
    }
    if (!chosen->data) {
        return outcome(false, py::fstring("Version ", version, " of skill '", name, "' in ",
                                          chosen->path, " cannot be read"));
    }
    if (!highest) highest = py::integer(0);  // no version that is a number
    py::Ref next = py::Ref::steal(PyNumber_Add(highest.get(), py::integer(1).get()));
    py::Ref reason = py::fstring("Rolled back to v", version);
    const Rollback rollback{next.get(), version, reason.get()};
    return save_again(globals, self, name, *chosen, registry, rollback);
}

// --- code ------------------------------------------------------------------------------------

// The script of the Python skill stored as `name`, or null: no skill, or none that is a Python
// skill, or a script that cannot be read.
py::Ref current_code(PyObject* globals, PyObject* name) {
    try {
        py::Ref stored = skill_file(globals, name, ".json");
        if (!regular_file(stored.get())) return {};
        py::Ref content = py::call_method(stored.get(), TARVEL_NAME("read_bytes"));
        py::Ref data = parsed_dict(globals, content.get());
        if (!is_python(data.get())) return {};
        py::Ref script = skill_file(globals, name, ".py");
        if (!regular_file(script.get())) return {};
        return script_text(script.get());
    } catch (py::Error& e) {
        if (!is_exception(e)) throw;
        return {};
    }
}

// The script of the newest copy of version `wanted` of skill `name`, or null: no such version,
// or one that is no Python skill, or a script that cannot be read.
py::Ref kept_code(PyObject* globals, PyObject* name, PyObject* wanted) {
    std::vector<Version> versions = versions_of(globals, name);
    py::Ref highest;
    const Version* chosen = chosen_version(versions, wanted, highest);
    if (chosen == nullptr || !chosen->data || !chosen->script) return {};
    try {
        return script_text(chosen->script.get());
    } catch (py::Error& e) {
        if (!is_exception(e)) throw;
        return {};
    }
}

constexpr const char* kCodeDoc =
    "Get the script of a saved Python skill.\n"
    "\n"
    "        Without `version`, the script stored now; with it, the script of\n"
    "        that version as list_skill_versions lists it (its newest copy).\n"
    "        Returns None when the skill is not a Python skill, does not exist,\n"
    "        or has no such version, and for a name get_skill_source (without\n"
    "        `version`) or list_skill_versions (with it) would refuse.\n"
    "        ";

TARVEL_METHOD(SkillCreator, "get_skill_code", get_skill_code_impl,
              "self, name: str, version: int | None = None", "str | None", kCodeDoc)
(const py::Frame& frame, PyObject* /*self*/, PyObject* name, PyObject* version) {
    require_str(name, "name");
    if (version != Py_None && !PyLong_CheckExact(version))
        py::wrong_type("version", "an int or None", version);
    py::Ref code;
    if (version == Py_None) {
        if (!unsafe_name(name)) code = current_code(frame.globals, name);
    } else if (!without_history(name)) {
        code = kept_code(frame.globals, name, version);
    }
    return code ? code : py::none();
}

}  // namespace

void keep_version(PyObject* globals, PyObject* name, PyObject* stored) {
    if (without_history(name)) return;
    py::Ref version = py::integer(1);
    try {
        py::Ref path =
            stored != nullptr ? py::Ref::borrow(stored) : skill_file(globals, name, ".json");
        keep_files(globals, name, path.get(), version);
    } catch (py::Error& e) {
        if (!is_exception(e)) throw;
        log(globals, "warning",
            py::fstring("Failed to keep a copy of skill '", name, "' v", version, ": ", e.value()));
    }
}

void add_history_methods(PyObject* module, py::Members& members) {
    declarations().add_to(module, "SkillCreator", members);
}

}  // namespace tarvel::creator
