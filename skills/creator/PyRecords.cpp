// skills/creator/PyRecords.cpp: SkillBlueprint and ImprovementEntry with their dict forms
#include "glue/PyMethods.hpp"
#include "skills/creator/PyCreator.hpp"

namespace tarvel::creator {

namespace {

TARVEL_DECLARATIONS

// A new dict of the named attributes, each the attribute's own object.
template <std::size_t N>
py::Ref attributes(PyObject* self, PyObject* const (&names)[N]) {
    py::Ref d = py::Ref::steal(PyDict_New());
    for (PyObject* name : names)
        py::dict_set(d.get(), name, py::getattr(self, name).get());
    return d;
}

TARVEL_METHOD(SkillBlueprint, "to_dict", blueprint_to_dict, "self", "dict[str, Any]", nullptr)
(const py::Frame&, PyObject* self) {
    PyObject* const names[] = {
        TARVEL_NAME("name"),
        TARVEL_NAME("description"),
        TARVEL_NAME("app"),
        TARVEL_NAME("category"),
        TARVEL_NAME("triggers"),
        TARVEL_NAME("required_params"),
        TARVEL_NAME("optional_params"),
        TARVEL_NAME("steps"),
        TARVEL_NAME("reason"),
        TARVEL_NAME("version"),
    };
    return attributes(self, names);
}

TARVEL_METHOD(ImprovementEntry, "to_dict", entry_to_dict, "self", "dict", nullptr)
(const py::Frame&, PyObject* self) {
    PyObject* const names[] = {
        TARVEL_NAME("timestamp"), TARVEL_NAME("action"),  TARVEL_NAME("skill_name"),
        TARVEL_NAME("reason"),    TARVEL_NAME("details"), TARVEL_NAME("success"),
    };
    return attributes(self, names);
}

py::FieldSpec required(const char* name, const char* annotation) {
    return {name, annotation, {}, {}};
}

void add_blueprint(PyObject* module) {
    std::vector<py::FieldSpec> fields = {
        required("name", "str"),
        required("description", "str"),
        required("app", "str"),
        required("category", "str"),
        required("triggers", "list[str]"),
        required("required_params", "list[str]"),
        required("optional_params", "list[str]"),
        required("steps", "list[dict[str, Any]]"),
        {"reason", "str", py::str(""), {}},
        {"version", "int", py::integer(1), {}},
    };
    declarations().add_dataclass(module, "SkillBlueprint",
                                 "A blueprint for a new skill before it's created.", fields);
}

void add_improvement_entry(PyObject* module) {
    std::vector<py::FieldSpec> fields = {
        required("timestamp", "str"),
        required("action", "str"),
        required("skill_name", "str"),
        required("reason", "str"),
        {"details",
         "dict[str, Any]",
         {},
         py::Ref::borrow(reinterpret_cast<PyObject*>(&PyDict_Type))},
        {"success", "bool", py::boolean(true), {}},
    };
    declarations().add_dataclass(module, "ImprovementEntry",
                                 "A log entry for a self-improvement action.", fields);
}

}  // namespace

void add_records(PyObject* module) {
    add_blueprint(module);
    add_improvement_entry(module);
}

}  // namespace tarvel::creator
