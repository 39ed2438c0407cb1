// skills/creator/PyDynamicSkill.cpp: DynamicSkill, a host SkillDefinition built from a blueprint
#include <optional>
#include <utility>
#include <vector>

#include "glue/PyMethods.hpp"
#include "skills/creator/PyCreator.hpp"

namespace tarvel::creator {

namespace {

TARVEL_DECLARATIONS

TARVEL_METHOD(DynamicSkill, "__init__", init_impl, "self, blueprint: SkillBlueprint", nullptr,
              nullptr)
(const py::Frame&, PyObject* self, PyObject* blueprint) {
    py::setattr(self, TARVEL_NAME("_blueprint"), blueprint);
    for (PyObject* name : {TARVEL_NAME("name"), TARVEL_NAME("description"), TARVEL_NAME("app"),
                           TARVEL_NAME("category"), TARVEL_NAME("triggers"),
                           TARVEL_NAME("required_params"), TARVEL_NAME("optional_params")}) {
        py::setattr(self, name, py::getattr(blueprint, name).get());
    }
    py::setattr(self, TARVEL_NAME("_raw_steps"),
                py::getattr(blueprint, TARVEL_NAME("steps")).get());
    return py::none();
}

// step.get(key, default); `make_default` runs only when the default is needed.
template <class MakeDefault>
py::Ref step_get(PyObject* step, PyObject* key, MakeDefault make_default) {
    if (PyDict_CheckExact(step)) {
        py::Ref found = py::dict_get(step, key);
        return found ? found : make_default();
    }
    return py::call_method(step, TARVEL_NAME("get"), key, make_default());
}

// Whether str() of `value` (format() for a name) is the same text at every call
// and runs no code of the caller's: such texts are made once per build_steps.
bool plain_text(PyObject* value) {
    return PyUnicode_CheckExact(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value) ||
           PyBool_Check(value) || value == Py_None;
}

// The caller's parameters, replaced into a text as
// `text.replace(f"{{{{{name}}}}}", str(value))` for each pair in the dict's
// order, each on the result of the one before.
class Replacements {
  public:
    explicit Replacements(PyObject* params) : params_(params) {}

    bool empty() const { return PyDict_GET_SIZE(params_) == 0; }

    py::Ref apply(py::Ref text) {
        if (!pairs_) collect();
        for (Pair& pair : *pairs_) {
            // The method first, then the two texts, as the call evaluates them.
            py::Ref method;
            if (!PyUnicode_CheckExact(text.get()))
                method = py::getattr(text.get(), TARVEL_NAME("replace"));
            py::Ref placeholder =
                pair.placeholder ? pair.placeholder : placeholder_of(pair.name.get());
            py::Ref value =
                pair.value_text ? pair.value_text : py::Ref::steal(PyObject_Str(pair.value.get()));
            if (method) {
                text = py::call(method.get(), placeholder, value);
            } else {
                text = py::Ref::steal(
                    PyUnicode_Replace(text.get(), placeholder.get(), value.get(), -1));
            }
        }
        return text;
    }

  private:
    struct Pair {
        py::Ref name, value;
        py::Ref placeholder, value_text;  // made once when plain
    };

    static py::Ref placeholder_of(PyObject* name) {
        py::Ref name_text = py::Ref::steal(PyObject_Format(name, nullptr));
        py::Ref left = py::Ref::steal(PyUnicode_Concat(py::str("{{").get(), name_text.get()));
        return py::Ref::steal(PyUnicode_Concat(left.get(), py::str("}}").get()));
    }

    void collect() {
        pairs_.emplace();
        Py_ssize_t pos = 0;
        PyObject *name, *value;
        while (PyDict_Next(params_, &pos, &name, &value)) {
            Pair pair{py::Ref::borrow(name), py::Ref::borrow(value), {}, {}};
            if (plain_text(name)) pair.placeholder = placeholder_of(name);
            if (plain_text(value)) pair.value_text = py::Ref::steal(PyObject_Str(value));
            pairs_->push_back(std::move(pair));
        }
    }

    PyObject* params_;
    std::optional<std::vector<Pair>> pairs_;
};

// The step's "params" with the caller's values written into its texts (a new dict).
py::Ref resolve_params(PyObject* step, Replacements& replacements) {
    py::Ref raw =
        step_get(step, TARVEL_NAME("params"), [] { return py::Ref::steal(PyDict_New()); });
    py::Ref resolved = py::Ref::steal(PyDict_New());
    if (PyDict_CheckExact(raw.get())) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(raw.get(), &pos, &key, &value)) {
            if (PyUnicode_Check(value) && !replacements.empty()) {
                py::dict_set(resolved.get(), key, replacements.apply(py::Ref::borrow(value)).get());
            } else {
                py::dict_set(resolved.get(), key, value);
            }
        }
        return resolved;
    }
    py::Ref items = py::call_method(raw.get(), TARVEL_NAME("items"));
    for (const py::Ref& item : py::iterate(items.get())) {
        auto [key, value] = unpack_pair(item.get());
        if (PyUnicode_Check(value.get())) value = replacements.apply(std::move(value));
        py::check(PyObject_SetItem(resolved.get(), key.get(), value.get()) < 0);
    }
    return resolved;
}

// SkillStep(description=, operation=, params=, wait_after=, retry_on_fail=, max_retries=,
// optional=)
PyObject* step_keywords() {
    static PyObject* const names =
        PyTuple_Pack(7, TARVEL_NAME("description"), TARVEL_NAME("operation"), TARVEL_NAME("params"),
                     TARVEL_NAME("wait_after"), TARVEL_NAME("retry_on_fail"),
                     TARVEL_NAME("max_retries"), TARVEL_NAME("optional"));
    py::check(names == nullptr);
    return names;
}

TARVEL_METHOD(DynamicSkill, "build_steps", build_steps_impl, "self, params: dict[str, Any]",
              "list[SkillStep]", "Build steps from the blueprint, substituting parameter values.")
(const py::Frame& frame, PyObject* self, PyObject* params) {
    if (!PyDict_CheckExact(params)) py::wrong_type("params", "a dict", params);
    Replacements replacements(params);
    py::Ref raw_steps = py::getattr(self, TARVEL_NAME("_raw_steps"));
    py::Ref steps = py::Ref::steal(PyList_New(0));
    py::Ref step_class;
    for (const py::Ref& step : py::iterate(raw_steps.get())) {
        py::Ref resolved = resolve_params(step.get(), replacements);
        py::Ref description =
            step_get(step.get(), TARVEL_NAME("description"), [] { return py::str(""); });
        if (!replacements.empty()) description = replacements.apply(std::move(description));
        py::Ref operation =
            step_get(step.get(), TARVEL_NAME("operation"), [] { return py::str(""); });
        py::Ref wait_after = step_get(step.get(), TARVEL_NAME("wait_after"),
                                      [] { return py::Ref::steal(PyFloat_FromDouble(1.0)); });
        py::Ref retry_on_fail =
            step_get(step.get(), TARVEL_NAME("retry_on_fail"), [] { return py::boolean(false); });
        py::Ref max_retries =
            step_get(step.get(), TARVEL_NAME("max_retries"), [] { return py::integer(2); });
        py::Ref optional =
            step_get(step.get(), TARVEL_NAME("optional"), [] { return py::boolean(false); });
        step_class = py::global(frame.globals, TARVEL_NAME("SkillStep"));
        PyObject* argv[] = {nullptr,           description.get(), operation.get(),
                            resolved.get(),    wait_after.get(),  retry_on_fail.get(),
                            max_retries.get(), optional.get()};
        py::Ref built = py::Ref::steal(PyObject_Vectorcall(
            step_class.get(), argv + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, step_keywords()));
        py::check(PyList_Append(steps.get(), built.get()) < 0);
    }
    return steps;
}

// The class whose own namespace holds `function`: what a method's super() starts after.
PyObject* defining_class(PyObject* self, PyObject* function) {
    PyObject* mro = Py_TYPE(self)->tp_mro;
    for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* cls = PyTuple_GET_ITEM(mro, i);
        PyObject* own = reinterpret_cast<PyTypeObject*>(cls)->tp_dict;
        if (own != nullptr && PyDict_GetItemWithError(own, TARVEL_NAME("to_dict")) == function)
            return cls;
    }
    throw py::Error(PyExc_TypeError,
                    "super(type, obj): obj must be an instance or subtype of type");
}

TARVEL_METHOD(DynamicSkill, "to_dict", to_dict_impl, "self", "dict[str, Any]", nullptr)
(const py::Frame& frame, PyObject* self) {
    py::Ref base = py::call(reinterpret_cast<PyObject*>(&PySuper_Type),
                            defining_class(self, frame.function), self);
    py::Ref d = py::call_method(base.get(), TARVEL_NAME("to_dict"));
    py::Ref blueprint = py::getattr(self, TARVEL_NAME("_blueprint"));
    py::check(PyObject_SetItem(d.get(), TARVEL_NAME("dynamic"), Py_True) < 0);
    py::check(PyObject_SetItem(d.get(), TARVEL_NAME("version"),
                               py::getattr(blueprint.get(), TARVEL_NAME("version")).get()) < 0);
    py::check(PyObject_SetItem(d.get(), TARVEL_NAME("reason"),
                               py::getattr(blueprint.get(), TARVEL_NAME("reason")).get()) < 0);
    py::check(PyObject_SetItem(d.get(), TARVEL_NAME("steps"),
                               py::getattr(self, TARVEL_NAME("_raw_steps")).get()) < 0);
    return d;
}

}  // namespace

void add_dynamic_skill(PyObject* module) {
    py::Members members;
    declarations().add_to(module, "DynamicSkill", members);
    py::Ref base = py::global(PyModule_GetDict(module), TARVEL_NAME("SkillDefinition"));
    py::Ref cls =
        py::make_subclass(module, "DynamicSkill",
                          "A skill created at runtime from a JSON blueprint.", base.get(), members);
    py::check(PyModule_AddObjectRef(module, "DynamicSkill", cls.get()) < 0);
}

}  // namespace tarvel::creator
