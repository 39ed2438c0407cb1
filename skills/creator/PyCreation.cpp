// skills/creator/PyCreation.cpp: validate_blueprint and create_skill, the road of a simple skill
#include "glue/PyMethods.hpp"
#include "skills/creator/PyCreator.hpp"

namespace tarvel::creator {

namespace {

TARVEL_DECLARATIONS

constexpr Py_ssize_t kMaxNameLength = 64;

void add_error(PyObject* errors, const py::Ref& message) {
    py::check(PyList_Append(errors, message.get()) < 0);
}

// Whether `name` with every "_" removed is alphanumeric (str.isalnum: false when empty).
bool alphanumeric_with_underscores(PyObject* name) {
    py::Ref stripped = py::call_method(name, TARVEL_NAME("replace"), py::str("_"), py::str(""));
    return py::truthy(py::call_method(stripped.get(), TARVEL_NAME("isalnum")).get());
}

bool contains(PyObject* container, PyObject* item) {
    const int found = PySequence_Contains(container, item);
    py::check(found < 0);
    return found != 0;
}

// ", ".join(sorted(categories))
py::Ref sorted_names(PyObject* names) {
    py::Ref list = py::Ref::steal(PySequence_List(names));
    py::check(PyList_Sort(list.get()) < 0);
    return py::Ref::steal(PyUnicode_Join(py::str(", ").get(), list.get()));
}

void check_name(PyObject* errors, PyObject* name) {
    if (!py::truthy(name)) {
        add_error(errors, py::str("Skill name is required"));
    } else if (!alphanumeric_with_underscores(name)) {
        add_error(errors, py::str("Skill name must be alphanumeric with underscores only"));
    } else {
        const Py_ssize_t length = PyObject_Length(name);
        py::check(length < 0);
        if (length > kMaxNameLength)
            add_error(errors, py::str("Skill name must be 64 characters or less"));
        if (py::Ref device = device_name_problem(name)) add_error(errors, device);
    }
}

// Checks of each step's operation and description, step by step; a step that is no dict is
// named and not read.
void check_steps(PyObject* self, PyObject* errors, PyObject* steps) {
    py::Ref operations = py::getattr(self, TARVEL_NAME("VALID_OPERATIONS"));
    py::Ref empty = py::str("");
    long long number = 0;
    for (const py::Ref& step : py::iterate(steps)) {
        py::Ref n = py::integer(++number);
        if (!PyDict_Check(step.get())) {
            add_error(errors, py::fstring("Step ", n, ": must be an object (a dict), not ",
                                          type_name(step.get())));
            continue;
        }
        py::Ref operation = mapping_get(step.get(), TARVEL_NAME("operation"), empty.get());
        if (!py::truthy(operation.get())) {
            add_error(errors, py::fstring("Step ", n, ": operation is required"));
        } else if (!contains(operations.get(), operation.get())) {
            add_error(errors, py::fstring("Step ", n, ": unknown operation '", operation,
                                          "'. See pc tool for valid operations."));
        }
        py::Ref description = mapping_get(step.get(), TARVEL_NAME("description"), Py_None);
        if (!py::truthy(description.get()))
            add_error(errors, py::fstring("Step ", n, ": description is required"));
    }
}

// Every {{placeholder}} in a step's parameter texts must name a declared parameter.
void check_placeholders(PyObject* globals, PyObject* errors, PyObject* steps, PyObject* required,
                        PyObject* optional) {
    py::Ref both = py::Ref::steal(PyNumber_Add(required, optional));
    py::Ref declared = py::Ref::steal(PySet_New(both.get()));
    py::Ref pattern = py::str("\\{\\{(\\w+)\\}\\}");
    py::Ref opening = py::str("{{");
    long long number = 0;
    for (const py::Ref& step : py::iterate(steps)) {
        py::Ref n = py::integer(++number);
        if (!PyDict_Check(step.get())) continue;  // check_steps has named it
        py::Ref params =
            mapping_get(step.get(), TARVEL_NAME("params"), py::Ref::steal(PyDict_New()).get());
        py::Ref values = py::call_method(params.get(), TARVEL_NAME("values"));
        for (const py::Ref& value : py::iterate(values.get())) {
            if (!PyUnicode_Check(value.get()) || !contains(value.get(), opening.get())) continue;
            py::Ref re = py::global(globals, TARVEL_NAME("re"));
            py::Ref names = py::call_method(re.get(), TARVEL_NAME("findall"), pattern, value);
            for (const py::Ref& name : py::iterate(names.get())) {
                if (contains(declared.get(), name.get())) continue;
                add_error(errors, py::fstring("Step ", n, ": placeholder '{{", name,
                                              "}}' not in required_params or optional_params"));
            }
        }
    }
}

constexpr const char* kValidateDoc =
    "Validate a skill blueprint before creation.\n"
    "\n"
    "        Returns (is_valid, list_of_errors).\n"
    "        ";

TARVEL_METHOD(SkillCreator, "validate_blueprint", validate_blueprint_impl,
              "self, blueprint: SkillBlueprint", "tuple[bool, list[str]]", kValidateDoc)
(const py::Frame& frame, PyObject* self, PyObject* blueprint) {
    py::Ref errors = py::Ref::steal(PyList_New(0));
    check_name(errors.get(), py::getattr(blueprint, TARVEL_NAME("name")).get());
    if (!py::truthy(py::getattr(blueprint, TARVEL_NAME("description")).get()))
        add_error(errors.get(), py::str("Description is required"));
    if (!py::truthy(py::getattr(blueprint, TARVEL_NAME("app")).get()))
        add_error(errors.get(), py::str("App name is required"));
    py::Ref category = py::getattr(blueprint, TARVEL_NAME("category"));
    if (py::truthy(category.get())) {
        py::Ref categories = py::getattr(self, TARVEL_NAME("VALID_CATEGORIES"));
        if (!contains(categories.get(), category.get())) {
            add_error(errors.get(), py::fstring("Invalid category: ", category,
                                                ". Valid: ", sorted_names(categories.get())));
        }
    }
    py::Ref triggers = py::getattr(blueprint, TARVEL_NAME("triggers"));
    if (!py::truthy(triggers.get())) {
        add_error(errors.get(), py::str("At least one trigger keyword is required"));
    } else if (py::Ref problem = text_list_problem("triggers", triggers.get())) {
        add_error(errors.get(), problem);
    }
    py::Ref required = py::getattr(blueprint, TARVEL_NAME("required_params"));
    py::Ref optional = py::getattr(blueprint, TARVEL_NAME("optional_params"));
    bool declared = true;  // both are lists of names
    for (auto [field, value] : {std::pair{"required_params", required.get()},
                                std::pair{"optional_params", optional.get()}}) {
        if (py::Ref problem = text_list_problem(field, value)) {
            add_error(errors.get(), problem);
            declared = false;
        }
    }
    py::Ref steps = py::getattr(blueprint, TARVEL_NAME("steps"));
    if (!py::truthy(steps.get())) {
        add_error(errors.get(), py::str("At least one step is required"));
    } else if (!PyList_Check(steps.get())) {
        add_error(errors.get(), py::fstring("steps must be a list of objects (dicts), not ",
                                            type_name(steps.get())));
    }
    if (PyList_Check(steps.get())) {
        check_steps(self, errors.get(), steps.get());
        if (declared)
            check_placeholders(frame.globals, errors.get(), steps.get(), required.get(),
                               optional.get());
    }
    const bool valid = PyList_GET_SIZE(errors.get()) == 0;
    return py::Ref::steal(PyTuple_Pack(2, valid ? Py_True : Py_False, errors.get()));
}

// blueprint.version = <stored version, 1 when absent> + 1 when the skill's file
// can be read; an unreadable or malformed file leaves the version as it is.
void raise_version(PyObject* globals, PyObject* blueprint, PyObject* path) {
    try {
        py::Ref existing = read_json(globals, path);
        py::Ref stored =
            py::call_method(existing.get(), TARVEL_NAME("get"), py::str("version"), py::integer(1));
        py::Ref next = py::Ref::steal(PyNumber_Add(stored.get(), py::integer(1).get()));
        py::setattr(blueprint, TARVEL_NAME("version"), next.get());
        py::Ref name = py::getattr(blueprint, TARVEL_NAME("name"));
        log(globals, "info", py::fstring("Updating existing skill ", name, " to v", next));
    } catch (py::Error& e) {
        if (!is_exception(e)) throw;
    }
}

constexpr const char* kCreateDoc =
    "Create a new skill from a blueprint.\n"
    "\n"
    "        Returns (success, message, skill_or_none).\n"
    "        ";

TARVEL_METHOD(SkillCreator, "create_skill", create_skill_impl,
              "self, blueprint: SkillBlueprint, registry=None",
              "tuple[bool, str, DynamicSkill | None]", kCreateDoc)
(const py::Frame& frame, PyObject* self, PyObject* blueprint, PyObject* registry) {
    if (py::Ref problem = registry_problem(registry)) return result(false, problem);
    return create_simple_skill(frame.globals, self, blueprint, registry);
}

// The version the skill is saved as: the rollback's, or the stored one plus one.
void set_version(PyObject* globals, PyObject* blueprint, PyObject* name, PyObject* path,
                 const Rollback* rollback) {
    if (rollback != nullptr) {
        py::setattr(blueprint, TARVEL_NAME("version"), rollback->version);
        log(globals, "info",
            py::fstring("Rolling back skill ", name, " to v", rollback->to, " as v",
                        rollback->version));
    } else if (py::exists(path)) {
        raise_version(globals, blueprint, path);
    }
}

// Writes the skill file, after keeping the version it replaces; the failure's result, or null.
py::Ref save_skill_file(PyObject* globals, PyObject* blueprint, PyObject* name, PyObject* path) {
    try {
        py::Ref record = py::call_method(blueprint, TARVEL_NAME("to_dict"));
        py::Ref text = json_text(globals, record.get());
        keep_version(globals, name, path);
        py::replace_file(globals, path, text.get());
        log(globals, "info", py::fstring("Saved skill to ", path));
    } catch (py::Error& e) {
        if (!is_exception(e)) throw;
        return result(false, py::fstring("Failed to save skill: ", e.value()));
    }
    return {};
}

// The improvement log's entry of a saved simple skill.
void log_simple_skill(PyObject* globals, PyObject* self, PyObject* blueprint, PyObject* name,
                      PyObject* version, Py_ssize_t step_count, PyObject* category,
                      const Rollback* rollback) {
    py::Ref details = py::Ref::steal(PyDict_New());
    py::dict_set(details.get(), "version", version);
    py::dict_set(details.get(), "steps", py::integer(step_count).get());
    py::dict_set(details.get(), "category", category);
    py::dict_set(details.get(), "app", py::getattr(blueprint, TARVEL_NAME("app")).get());
    py::dict_set(details.get(), "triggers", py::getattr(blueprint, TARVEL_NAME("triggers")).get());
    if (rollback != nullptr) py::dict_set(details.get(), "rolled_back_to", rollback->to);
    py::Ref reason = py::getattr(blueprint, TARVEL_NAME("reason"));
    if (!py::truthy(reason.get())) reason = py::str("Agent decided to create this skill");
    if (rollback != nullptr) reason = py::Ref::borrow(rollback->reason);
    const bool first = rollback == nullptr && py::compare(version, py::integer(1).get(), Py_EQ);
    py::Ref timestamp = local_time(globals);
    log_improvement(globals, self,
                    {{"timestamp", timestamp.get()},
                     {"action", py::str(first ? "created" : "updated").get()},
                     {"skill_name", name},
                     {"reason", reason.get()},
                     {"details", details.get()}});
}

}  // namespace

py::Ref create_simple_skill(PyObject* globals, PyObject* self, PyObject* blueprint,
                            PyObject* registry, const Rollback* rollback) {
    py::Ref checked = py::call_method(self, TARVEL_NAME("validate_blueprint"), blueprint);
    auto [valid, errors] = unpack_pair(checked.get());
    if (!py::truthy(valid.get())) return result(false, validation_failure(errors.get()));
    std::optional<py::DirectoryLock> lock;
    if (py::Ref refused = lock_store(globals, lock, "Failed to save skill: "))
        return result(false, refused);
    py::Ref name = py::getattr(blueprint, TARVEL_NAME("name"));
    py::Ref path = skill_file(globals, name.get(), ".json");
    set_version(globals, blueprint, name.get(), path.get(), rollback);

    py::Ref skill_class = py::global(globals, TARVEL_NAME("DynamicSkill"));
    py::Ref skill = py::call(skill_class.get(), blueprint);
    if (py::Ref failed = save_skill_file(globals, blueprint, name.get(), path.get())) return failed;
    if (registry != Py_None) {
        py::call_method(registry, TARVEL_NAME("register"), skill);
        // The registry may have changed the blueprint: read it afresh from here on.
        name = py::getattr(blueprint, TARVEL_NAME("name"));
        log(globals, "info", py::fstring("Hot-loaded skill ", name, " into live registry"));
    }

    py::Ref version = py::getattr(blueprint, TARVEL_NAME("version"));
    py::Ref steps = py::getattr(blueprint, TARVEL_NAME("steps"));
    const Py_ssize_t step_count = PyObject_Length(steps.get());
    py::check(step_count < 0);
    py::Ref category = py::getattr(blueprint, TARVEL_NAME("category"));
    log_simple_skill(globals, self, blueprint, name.get(), version.get(), step_count,
                     category.get(), rollback);
    const bool updated = py::compare(version.get(), py::integer(1).get(), Py_GT);
    return result(true,
                  py::fstring(updated ? "Updated" : "Created", " skill '", name, "' v", version,
                              " (", py::integer(step_count), " steps, category: ", category,
                              "). It's now available for use."),
                  skill.get());
}

void add_creation_methods(PyObject* module, py::Members& members) {
    declarations().add_to(module, "SkillCreator", members);
}

}  // namespace tarvel::creator
