// skills/creator/PyStore.cpp: the store of saved skills (load, register, delete, list, show) and
// get_skill_creator
#include "glue/PyFiles.hpp"
#include "glue/PyJsonFiles.hpp"
#include "glue/PyMethods.hpp"
#include "skills/creator/PyCreator.hpp"

namespace tarvel::creator {

namespace {

TARVEL_DECLARATIONS

// json.loads(path.read_text()) through the module's globals; what was parsed of an unchanged file
// is reused, so the caller hands out only fresh copies of its values (`given`).
py::Ref saved_json(PyObject* globals, PyObject* path) {
    py::Ref json = py::global(globals, TARVEL_NAME("json"));
    return py::json_file(json.get(), path);
}

// mapping.get(key, otherwise), with lists and dicts that are new objects.
py::Ref given(PyObject* mapping, PyObject* key, const py::Ref& otherwise) {
    py::Ref value = mapping_get(mapping, key, otherwise);
    return py::fresh_copy(value.get());
}

// sorted(SKILLS_DIR.glob("*.json")), or None when SKILLS_DIR does not exist.
py::Ref skill_files(PyObject* globals) {
    py::Ref dir = py::global(globals, TARVEL_NAME("SKILLS_DIR"));
    if (!py::exists(dir.get())) return py::none();
    return py::sorted_glob(dir.get(), ".json");
}

py::Ref new_list() {
    return py::Ref::steal(PyList_New(0));
}

TARVEL_METHOD(SkillCreator, "load_saved_skills", load_saved_skills_impl, "self",
              "list[DynamicSkill]", "Load all saved skills from disk.")
(const py::Frame& frame, PyObject* /*self*/) {
    PyObject* globals = frame.globals;
    py::Ref skills = new_list();
    py::Ref files = skill_files(globals);
    if (files.get() == Py_None) return skills;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(files.get()); ++i) {
        PyObject* path = PyList_GET_ITEM(files.get(), i);
        try {
            py::Ref data = saved_json(globals, path);
            py::Ref stem = py::getattr(path, TARVEL_NAME("stem"));
            py::Ref blueprint_class = py::global(globals, TARVEL_NAME("SkillBlueprint"));
            PyObject* d = data.get();
            py::Ref blueprint = py::call_kw(
                blueprint_class.get(), {},
                {{"name", given(d, TARVEL_NAME("name"), stem).get()},
                 {"description", given(d, TARVEL_NAME("description"), py::str("")).get()},
                 {"app", given(d, TARVEL_NAME("app"), py::str("")).get()},
                 {"category", given(d, TARVEL_NAME("category"), py::str("custom")).get()},
                 {"triggers", given(d, TARVEL_NAME("triggers"), new_list()).get()},
                 {"required_params", given(d, TARVEL_NAME("required_params"), new_list()).get()},
                 {"optional_params", given(d, TARVEL_NAME("optional_params"), new_list()).get()},
                 {"steps", given(d, TARVEL_NAME("steps"), new_list()).get()},
                 {"reason", given(d, TARVEL_NAME("reason"), py::str("")).get()},
                 {"version", given(d, TARVEL_NAME("version"), py::integer(1)).get()}});
            py::Ref skill_class = py::global(globals, TARVEL_NAME("DynamicSkill"));
            py::Ref skill = py::call(skill_class.get(), blueprint);
            py::check(PyList_Append(skills.get(), skill.get()) < 0);
            py::Ref name = py::getattr(blueprint.get(), TARVEL_NAME("name"));
            py::Ref version = py::getattr(blueprint.get(), TARVEL_NAME("version"));
            log(globals, "info", py::fstring("Loaded saved skill: ", name, " v", version));
        } catch (py::Error& e) {
            if (!is_exception(e)) throw;
            log(globals, "warning",
                py::fstring("Failed to load skill from ", path, ": ", e.value()));
        }
    }
    return skills;
}

TARVEL_METHOD(SkillCreator, "load_into_registry", load_into_registry_impl, "self, registry", "int",
              "Load all saved skills into a registry. Returns count loaded.")
(const py::Frame&, PyObject* self, PyObject* registry) {
    // This registry is no optional one: None cannot take the skills either.
    py::Ref problem = registry == Py_None
                          ? py::fstring("registry must have a register() method, not NoneType")
                          : registry_problem(registry);
    if (problem) throw py::Error(PyExc_TypeError, problem.get());
    py::Ref skills = py::call_method(self, TARVEL_NAME("load_saved_skills"));
    py::Ref iter = py::Ref::steal(PyObject_GetIter(skills.get()));
    while (py::Ref skill = py::Ref::steal_maybe(PyIter_Next(iter.get()))) {
        py::call_method(registry, TARVEL_NAME("register"), skill);
    }
    py::check(PyErr_Occurred() != nullptr);
    const Py_ssize_t count = PyObject_Length(skills.get());
    py::check(count < 0);
    return py::integer(count);
}

TARVEL_METHOD(SkillCreator, "delete_skill", delete_skill_impl, "self, name: str, registry=None",
              "tuple[bool, str]", "Delete a saved skill.")
(const py::Frame& frame, PyObject* self, PyObject* name, PyObject* registry) {
    PyObject* globals = frame.globals;
    require_str(name, "name");
    auto outcome = [](bool success, const py::Ref& message) {
        return py::Ref::steal(PyTuple_Pack(2, success ? Py_True : Py_False, message.get()));
    };
    if (unsafe_name(name)) return outcome(false, py::fstring("Invalid skill name '", name, "'"));
    std::optional<py::DirectoryLock> lock;
    if (py::Ref refused = lock_store(globals, lock, "Failed to delete: "))
        return outcome(false, refused);
    py::Ref path = skill_file(globals, name, ".json");
    if (!py::exists(path.get())) return outcome(false, py::fstring("Skill '", name, "' not found"));
    keep_version(globals, name, path.get());
    try {
        py::call_method(path.get(), TARVEL_NAME("unlink"));
    } catch (py::Error& e) {
        if (!is_exception(e)) throw;
        return outcome(false, py::fstring("Failed to delete: ", e.value()));
    }
    if (registry != Py_None) {
        // hasattr(registry, "_skills"): only a missing attribute means "no live skills".
        py::Ref live = py::Ref::steal_maybe(PyObject_GetAttr(registry, TARVEL_NAME("_skills")));
        if (live) {
            py::call_method(live.get(), TARVEL_NAME("pop"), name, Py_None);
        } else {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::Error();
            PyErr_Clear();
        }
    }
    py::Ref timestamp = local_time(globals);
    log_improvement(globals, self,
                    {{"timestamp", timestamp.get()},
                     {"action", py::str("deleted").get()},
                     {"skill_name", name},
                     {"reason", py::str("Skill deleted by agent or user").get()}});
    return outcome(true, py::fstring("Deleted skill '", name, "'"));
}

// The listing's entry of a skill file: what `data` says, with `stem` and `file` from its path.
py::Ref listing_entry(PyObject* d, PyObject* stem, PyObject* file) {
    py::Ref entry = py::Ref::steal(PyDict_New());
    py::dict_set(entry.get(), TARVEL_NAME("name"),
                 given(d, TARVEL_NAME("name"), py::Ref::borrow(stem)).get());
    py::dict_set(entry.get(), TARVEL_NAME("description"),
                 given(d, TARVEL_NAME("description"), py::str("")).get());
    py::dict_set(entry.get(), TARVEL_NAME("app"), given(d, TARVEL_NAME("app"), py::str("")).get());
    py::dict_set(entry.get(), TARVEL_NAME("category"),
                 given(d, TARVEL_NAME("category"), py::str("custom")).get());
    py::dict_set(entry.get(), TARVEL_NAME("version"),
                 given(d, TARVEL_NAME("version"), py::integer(1)).get());
    py::dict_set(entry.get(), TARVEL_NAME("triggers"),
                 given(d, TARVEL_NAME("triggers"), new_list()).get());
    py::Ref steps = mapping_get(d, TARVEL_NAME("steps"), new_list());
    const Py_ssize_t count = PyObject_Length(steps.get());
    py::check(count < 0);
    py::dict_set(entry.get(), TARVEL_NAME("steps_count"), py::integer(count).get());
    py::dict_set(entry.get(), TARVEL_NAME("reason"),
                 given(d, TARVEL_NAME("reason"), py::str("")).get());
    py::dict_set(entry.get(), TARVEL_NAME("file"), file);
    return entry;
}

// The kind of skill a stored file holds: "python" when its "type" is "python", else "simple".
py::Ref skill_type(PyObject* d) {
    py::Ref type = mapping_get(d, TARVEL_NAME("type"), Py_None);
    return py::str(py::compare(type.get(), py::str("python").get(), Py_EQ) ? "python" : "simple");
}

// The entry of a skill file in a listing with the skills' types: `entry` with "type" added.
py::Ref typed_entry(py::Ref entry, PyObject* type) {
    py::dict_set(entry.get(), TARVEL_NAME("type"), type);
    return entry;
}

// The listing's entry of the file `name` of a listing of `directory` whose paths' texts begin
// with `prefix`, and its skill type: (entry, type).
py::Ref listed_entry(PyObject* directory, PyObject* prefix, PyObject* name, PyObject* data) {
    py::Ref file = py::Ref::steal(PyUnicode_Concat(prefix, name));
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    // Path.stem of "<stem>.json"; ".json" alone is its own stem
    py::Ref stem = length > 5
                       ? py::Ref::steal(PyUnicode_Substring(name, 0, length - 5))
                       : py::getattr(py::Ref::steal(PyNumber_TrueDivide(directory, name)).get(),
                                     TARVEL_NAME("stem"));
    py::Ref entry = listing_entry(data, stem.get(), file.get());
    py::Ref type = skill_type(data);
    return py::Ref::steal(PyTuple_Pack(2, entry.get(), type.get()));
}

// The text of str(directory / name) for the names of a listing: `directory` and the name joined
// as pathlib joins them; null when that cannot be told without a path (checked on the first).
py::Ref path_prefix(PyObject* directory, const py::Listing& listing) {
    if (listing.files.empty()) return py::str("");
    py::Ref dir_text = listing.directory_text;
    py::Ref prefix;
    if (PyUnicode_CompareWithASCIIString(dir_text.get(), ".") == 0) {
        prefix = py::str("");
    } else if (PyUnicode_READ_CHAR(dir_text.get(), PyUnicode_GET_LENGTH(dir_text.get()) - 1) ==
               '/') {
        prefix = dir_text;
    } else {
        prefix = py::Ref::steal(PyUnicode_Concat(dir_text.get(), py::str("/").get()));
    }
    PyObject* first = listing.files.front().name.get();
    py::Ref path = py::Ref::steal(PyNumber_TrueDivide(directory, first));
    py::Ref real = py::Ref::steal(PyObject_Str(path.get()));
    py::Ref mine = py::Ref::steal(PyUnicode_Concat(prefix.get(), first));
    return py::compare(real.get(), mine.get(), Py_EQ) ? prefix : py::Ref();
}

constexpr const char* kListSavedDoc =
    "List all saved skills with metadata.\n"
    "\n"
    "        With with_type, each entry also holds \"type\": \"python\" for a Python\n"
    "        skill, \"simple\" for any other.\n"
    "        ";

TARVEL_METHOD(SkillCreator, "list_saved_skills", list_saved_skills_impl,
              "self, with_type: bool = False", "list[dict]", kListSavedDoc)
(const py::Frame& frame, PyObject* /*self*/, PyObject* with_type) {
    PyObject* globals = frame.globals;
    const bool show_type = py::truthy(with_type);
    py::Ref entries = new_list();
    py::Ref dir = py::global(globals, TARVEL_NAME("SKILLS_DIR"));
    if (!py::exists(dir.get())) return entries;
    // Files named without a path each while the directory is a plain one.
    auto listing = py::stock_listing(dir.get(), ".json");
    py::Ref prefix = listing ? path_prefix(dir.get(), *listing) : py::Ref();
    if (prefix) {
        for (const py::ListedFile& listed : listing->files) {
            try {
                py::Ref json = py::global(globals, TARVEL_NAME("json"));
                py::Ref kept = py::derived_json_file(
                    json.get(), listing->fs_directory + '/' + listed.fs_name, listed.identity,
                    [&] {
                        return py::Ref::steal(PyNumber_TrueDivide(dir.get(), listed.name.get()));
                    },
                    [&](PyObject* data) {
                        return listed_entry(dir.get(), prefix.get(), listed.name.get(), data);
                    });
                // kept is (entry, type), ours while we hold it
                py::Ref entry = py::fresh_copy(PyTuple_GET_ITEM(kept.get(), 0));
                if (show_type) entry = typed_entry(entry, PyTuple_GET_ITEM(kept.get(), 1));
                py::check(PyList_Append(entries.get(), entry.get()) < 0);
            } catch (py::Error& e) {
                if (!is_exception(e)) throw;  // an unreadable file is left out
            }
        }
        return entries;
    }
    py::Ref files = py::sorted_glob(dir.get(), ".json");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(files.get()); ++i) {
        PyObject* path = PyList_GET_ITEM(files.get(), i);
        try {
            py::Ref data = saved_json(globals, path);
            py::Ref stem = py::getattr(path, TARVEL_NAME("stem"));
            py::Ref file = py::Ref::steal(PyObject_Str(path));
            py::Ref entry = listing_entry(data.get(), stem.get(), file.get());
            if (show_type) entry = typed_entry(entry, skill_type(data.get()).get());
            py::check(PyList_Append(entries.get(), entry.get()) < 0);
        } catch (py::Error& e) {
            if (!is_exception(e)) throw;  // an unreadable file is left out
        }
    }
    return entries;
}

TARVEL_METHOD(SkillCreator, "get_skill_source", get_skill_source_impl, "self, name: str",
              "dict | None", "Get the full source JSON of a saved skill.")
(const py::Frame& frame, PyObject* /*self*/, PyObject* name) {
    require_str(name, "name");
    if (unsafe_name(name)) return py::none();
    py::Ref path = skill_file(frame.globals, name, ".json");
    if (!py::exists(path.get())) return py::none();
    try {
        py::Ref data = read_json(frame.globals, path.get());
        if (PyDict_Check(data.get())) return data;
    } catch (py::Error& e) {
        if (!is_exception(e)) throw;
    }
    return py::none();
}

py::Ref get_skill_creator_impl(const py::Frame& frame) {
    py::Ref instance = py::global(frame.globals, TARVEL_NAME("_creator_instance"));
    if (instance.get() == Py_None) {
        py::Ref creator_class = py::global(frame.globals, TARVEL_NAME("SkillCreator"));
        instance = py::call(creator_class.get());
        py::dict_set(frame.globals, TARVEL_NAME("_creator_instance"), instance.get());
    }
    return instance;
}

}  // namespace

py::Ref lock_store(PyObject* globals, std::optional<py::DirectoryLock>& lock, const char* failure) {
    py::Ref dir = py::global(globals, TARVEL_NAME("SKILLS_DIR"));
    try {
        lock.emplace(globals, dir.get(), ".lock");
    } catch (py::Error& e) {
        if (!is_exception(e)) throw;
        return py::fstring(failure, e.value());
    }
    return {};
}

void add_store_methods(PyObject* module, py::Members& members) {
    declarations().add_to(module, "SkillCreator", members);
}

py::Ref make_get_skill_creator(PyObject* module) {
    return py::make_function({"get_skill_creator", "get_skill_creator", "", "SkillCreator",
                              "Get the singleton SkillCreator instance.", get_skill_creator_impl},
                             module);
}

}  // namespace tarvel::creator
