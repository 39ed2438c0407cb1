// skills/creator/PyPythonSkill.cpp: create_from_dict and _create_python_skill, skills from a
// model's dictionary and Python skills stored as script plus metadata
#include "glue/PyFiles.hpp"
#include "glue/PyMethods.hpp"
#include "skills/creator/PyCreator.hpp"

namespace tarvel::creator {

namespace {

TARVEL_DECLARATIONS

// data.get(key, default) on an exact dict.
py::Ref field_of(PyObject* data, const char* key, const py::Ref& otherwise) {
    py::Ref found = py::dict_get(data, py::str(key).get());
    return found ? found : otherwise;
}

py::Ref empty_list() {
    return py::Ref::steal(PyList_New(0));
}

void require_dict(PyObject* data) {
    if (!PyDict_CheckExact(data)) py::wrong_type("data", "a dict", data);
}

constexpr const char* kFromDictDoc =
    "Create a skill from a raw dictionary (from LLM output).\n"
    "\n"
    "        If data[\"type\"] == \"python\", creates a Python skill from data[\"code\"]\n"
    "        (see _create_python_skill). Otherwise builds a SkillBlueprint from the keys\n"
    "        name, description, app, category, triggers, required_params,\n"
    "        optional_params, steps and reason, and creates a simple skill.\n"
    "        ";

TARVEL_METHOD(SkillCreator, "create_from_dict", create_from_dict_impl,
              "self, data: dict, registry=None", "tuple[bool, str, DynamicSkill | None]",
              kFromDictDoc)
(const py::Frame& frame, PyObject* self, PyObject* data, PyObject* registry) {
    require_dict(data);
    if (py::Ref problem = registry_problem(registry)) return result(false, problem);
    py::Ref type = field_of(data, "type", py::str("simple"));
    if (py::compare(type.get(), py::str("python").get(), Py_EQ)) {
        return py::call_method(self, TARVEL_NAME("_create_python_skill"), data, registry);
    }
    try {
        py::Ref blueprint_class = py::global(frame.globals, TARVEL_NAME("SkillBlueprint"));
        py::Ref blueprint =
            py::call_kw(blueprint_class.get(), {},
                        {{"name", field_of(data, "name", py::str("")).get()},
                         {"description", field_of(data, "description", py::str("")).get()},
                         {"app", field_of(data, "app", py::str("")).get()},
                         {"category", field_of(data, "category", py::str("custom")).get()},
                         {"triggers", field_of(data, "triggers", empty_list()).get()},
                         {"required_params", field_of(data, "required_params", empty_list()).get()},
                         {"optional_params", field_of(data, "optional_params", empty_list()).get()},
                         {"steps", field_of(data, "steps", empty_list()).get()},
                         {"reason", field_of(data, "reason", py::str("")).get()}});
        return py::call_method(self, TARVEL_NAME("create_skill"), blueprint, registry);
    } catch (py::Error& e) {
        if (!is_exception(e)) throw;
        return result(false, py::fstring("Invalid skill data: ", e.value()));
    }
}

bool contains_text(PyObject* code, const char* text) {
    const int found = PySequence_Contains(code, py::str(text).get());
    py::check(found < 0);
    return found != 0;
}

// The checks of a Python skill, in order; every check runs (those of the code's text only when
// it is a str).
py::Ref python_skill_errors(PyObject* globals, PyObject* data, PyObject* name, PyObject* code,
                            PyObject* description) {
    py::Ref errors = py::Ref::steal(PyList_New(0));
    auto add = [&](const py::Ref& message) {
        py::check(PyList_Append(errors.get(), message.get()) < 0);
    };
    if (!py::truthy(name)) {
        add(py::str("Skill name is required"));
    } else {
        py::Ref stripped = py::call_method(name, TARVEL_NAME("replace"), py::str("_"), py::str(""));
        if (!py::truthy(py::call_method(stripped.get(), TARVEL_NAME("isalnum")).get())) {
            add(py::str("Skill name must be alphanumeric with underscores"));
        } else if (py::Ref device = device_name_problem(name)) {
            add(device);
        }
    }
    const bool has_code = py::truthy(code);
    const bool text = PyUnicode_Check(code);
    if (!has_code) {
        add(py::str("Python code is required"));
    } else if (!text) {
        add(py::fstring("code must be a string, not ", type_name(code)));
    }
    if (!py::truthy(description)) add(py::str("Description is required"));
    if (text && !contains_text(code, "async def run"))
        add(py::str("Code must define 'async def run(ctx, params)'"));
    if (text && !contains_text(code, "def run(")) add(py::str("Code must define a run() function"));
    if (has_code && text) {
        py::Ref file_name = code_file_name(name);
        py::Ref compile = py::global(globals, TARVEL_NAME("compile"));
        try {
            py::call(compile.get(), code, file_name, py::str("exec"));
        } catch (py::Error& e) {
            if (too_deeply_nested(e)) {
                add(nesting_error(e, file_name.get()));
            } else {
                if (!e.matches(PyExc_SyntaxError)) throw;
                add(py::fstring("Syntax error in code: ", e.value()));
            }
        }
    }
    for (const char* key : {"triggers", "required_params", "optional_params"}) {
        py::Ref value = field_of(data, key, empty_list());
        if (py::Ref problem = text_list_problem(key, value.get())) add(problem);
    }
    return errors;
}

// The stored version plus one, or 1 when there is no readable stored version.
py::Ref next_version(PyObject* globals, PyObject* meta_path) {
    if (!py::exists(meta_path)) return py::integer(1);
    try {
        py::Ref existing = read_json(globals, meta_path);
        py::Ref stored =
            py::call_method(existing.get(), TARVEL_NAME("get"), py::str("version"), py::integer(1));
        return py::Ref::steal(PyNumber_Add(stored.get(), py::integer(1).get()));
    } catch (py::Error& e) {
        if (!is_exception(e)) throw;
        return py::integer(1);
    }
}

constexpr const char* kPythonDoc =
    "Create a Python-based skill from code.\n"
    "\n"
    "        Reached through create_from_dict when data[\"type\"] == \"python\".\n"
    "        Expected keys: name, code (defining `async def run(ctx, params)`),\n"
    "        description, and optionally app, category, triggers, required_params,\n"
    "        optional_params and reason.\n"
    "        ";

TARVEL_METHOD(SkillCreator, "_create_python_skill", create_python_skill_impl,
              "self, data: dict, registry=None", "tuple[bool, str, DynamicSkill | None]",
              kPythonDoc)
(const py::Frame& frame, PyObject* self, PyObject* data, PyObject* registry) {
    require_dict(data);
    if (py::Ref problem = registry_problem(registry)) return result(false, problem);
    return create_python_skill(frame.globals, self, data);
}

// The version the skill is saved as: the rollback's, or the stored one plus one.
py::Ref version_to_save(PyObject* globals, PyObject* name, PyObject* meta_path,
                        const Rollback* rollback) {
    if (rollback == nullptr) return next_version(globals, meta_path);
    py::Ref version = py::Ref::borrow(rollback->version);
    log(globals, "info",
        py::fstring("Rolling back Python skill ", name, " to v", rollback->to, " as v", version));
    return version;
}

// Writes the script, after keeping the version it replaces; the failure's result, or null.
py::Ref save_script(PyObject* globals, PyObject* name, PyObject* script_path, PyObject* code) {
    try {
        py::Ref dir = py::global(globals, TARVEL_NAME("SKILLS_DIR"));
        py::make_dirs(dir.get());
        keep_version(globals, name);
        py::replace_file(globals, script_path, code, "utf-8");
        log(globals, "info", py::fstring("Saved Python skill script: ", script_path));
    } catch (py::Error& e) {
        if (!is_exception(e)) throw;
        return result(false, py::fstring("Failed to save script: ", e.value()));
    }
    return {};
}

// The metadata stored beside the script, in the order of its file.
py::Ref python_metadata(PyObject* data, PyObject* name, PyObject* description, PyObject* category,
                        PyObject* triggers, PyObject* version) {
    py::Ref meta = py::Ref::steal(PyDict_New());
    py::dict_set(meta.get(), "name", name);
    py::dict_set(meta.get(), "type", py::str("python").get());
    py::dict_set(meta.get(), "description", description);
    py::dict_set(meta.get(), "app", field_of(data, "app", py::str("python")).get());
    py::dict_set(meta.get(), "category", category);
    py::dict_set(meta.get(), "triggers", triggers);
    py::dict_set(meta.get(), "required_params",
                 field_of(data, "required_params", empty_list()).get());
    py::dict_set(meta.get(), "optional_params",
                 field_of(data, "optional_params", empty_list()).get());
    py::dict_set(meta.get(), "script", py::fstring(name, ".py").get());
    py::dict_set(meta.get(), "version", version);
    py::dict_set(meta.get(), "reason",
                 field_of(data, "reason", py::str("Agent created this Python skill")).get());
    return meta;
}

// Writes the metadata; the failure's result, or null.
py::Ref save_metadata(PyObject* globals, PyObject* meta_path, PyObject* meta) {
    try {
        py::Ref text = json_text(globals, meta);
        py::replace_file(globals, meta_path, text.get());
        log(globals, "info", py::fstring("Saved Python skill metadata: ", meta_path));
    } catch (py::Error& e) {
        if (!is_exception(e)) throw;
        return result(false, py::fstring("Failed to save metadata: ", e.value()));
    }
    return {};
}

// What a saved Python skill is: its name, version, category and triggers, and
// the script's length in lines.
struct Saved {
    PyObject* name;
    PyObject* version;
    PyObject* category;
    PyObject* triggers;
    Py_ssize_t line_count;
};

// The improvement log's entry of a saved Python skill.
void log_python_skill(PyObject* globals, PyObject* self, PyObject* data, const Saved& saved,
                      bool updated, const Rollback* rollback) {
    py::Ref details = py::Ref::steal(PyDict_New());
    py::dict_set(details.get(), "type", py::str("python").get());
    py::dict_set(details.get(), "version", saved.version);
    py::dict_set(details.get(), "category", saved.category);
    py::dict_set(details.get(), "code_lines", py::integer(saved.line_count).get());
    py::dict_set(details.get(), "triggers", saved.triggers);
    if (rollback != nullptr) py::dict_set(details.get(), "rolled_back_to", rollback->to);
    py::Ref timestamp = local_time(globals);
    py::Ref reason = rollback != nullptr
                         ? py::Ref::borrow(rollback->reason)
                         : field_of(data, "reason", py::str("Agent created this Python skill"));
    log_improvement(
        globals, self,
        {{"timestamp", timestamp.get()},
         {"action", py::str(updated || rollback != nullptr ? "updated" : "created").get()},
         {"skill_name", saved.name},
         {"reason", reason.get()},
         {"details", details.get()}});
}

}  // namespace

py::Ref create_python_skill(PyObject* globals, PyObject* self, PyObject* data,
                            const Rollback* rollback) {
    py::Ref name = field_of(data, "name", py::str(""));
    py::Ref code = field_of(data, "code", py::str(""));
    py::Ref description = field_of(data, "description", py::str(""));
    py::Ref errors = python_skill_errors(globals, data, name.get(), code.get(), description.get());
    if (PyList_GET_SIZE(errors.get()) > 0) return result(false, validation_failure(errors.get()));
    std::optional<py::DirectoryLock> lock;
    if (py::Ref refused = lock_store(globals, lock, "Failed to save script: "))
        return result(false, refused);

    py::Ref script_path = skill_file(globals, name.get(), ".py");
    py::Ref meta_path = skill_file(globals, name.get(), ".json");
    py::Ref version = version_to_save(globals, name.get(), meta_path.get(), rollback);
    if (py::Ref failed = save_script(globals, name.get(), script_path.get(), code.get()))
        return failed;
    py::Ref category = field_of(data, "category", py::str("custom"));
    py::Ref triggers = field_of(data, "triggers", empty_list());
    py::Ref meta = python_metadata(data, name.get(), description.get(), category.get(),
                                   triggers.get(), version.get());
    if (py::Ref failed = save_metadata(globals, meta_path.get(), meta.get())) return failed;

    const bool updated = py::compare(version.get(), py::integer(1).get(), Py_GT);
    py::Ref lines = py::call_method(code.get(), TARVEL_NAME("splitlines"));
    const Py_ssize_t line_count = PyObject_Length(lines.get());
    py::check(line_count < 0);
    const Saved saved{name.get(), version.get(), category.get(), triggers.get(), line_count};
    log_python_skill(globals, self, data, saved, updated, rollback);
    return result(true, py::fstring(updated ? "Updated" : "Created", " Python skill '", name, "' v",
                                    version, " (", py::integer(line_count), " lines, category: ",
                                    category, "). It's now available for use with run_skill."));
}

void add_python_skill_methods(PyObject* module, py::Members& members) {
    declarations().add_to(module, "SkillCreator", members);
}

}  // namespace tarvel::creator
