// skills/creator/PyModule.cpp: the module tarvel.skills.creator: its docstring, imports and names
#include "skills/creator/PyCreator.hpp"

namespace tarvel::creator {

namespace {

constexpr const char* kDoc =
    "Skill Creator \xe2\x80\x94 lets the agent create, improve and manage its own skills.\n"
    "\n"
    "Skills come in two kinds:\n"
    "- simple: a named, linear list of \"pc\" tool steps whose parameters may hold\n"
    "  {{placeholders}}, stored as ~/.tarvel/skills/<name>.json and hot-loaded\n"
    "  into the live skill registry\n"
    "- python: a script defining `async def run(ctx, params)`, stored as\n"
    "  ~/.tarvel/skills/<name>.py beside its metadata file <name>.json\n"
    "\n"
    "Every skill created, updated or deleted, and every lesson the agent records,\n"
    "goes to the improvement log ~/.tarvel/improvement_log.json.\n";

void bind(PyObject* module, const char* name, const py::Ref& value) {
    py::check(PyModule_AddObjectRef(module, name, value.get()) < 0);
}

// Path.home() / ".tarvel" / leaf
py::Ref under_home(PyObject* globals, const char* leaf) {
    py::Ref path_class = py::global(globals, TARVEL_NAME("Path"));
    py::Ref home = py::call_method(path_class.get(), TARVEL_NAME("home"));
    py::Ref tarvel = py::Ref::steal(PyNumber_TrueDivide(home.get(), py::str(".tarvel").get()));
    return py::Ref::steal(PyNumber_TrueDivide(tarvel.get(), py::str(leaf).get()));
}

int exec_module(PyObject* module) {
    PyObject* result = py::guard([&] {
        PyObject* globals = PyModule_GetDict(module);
        for (const char* name : {"json", "logging", "re"})
            bind(module, name, py::import(name));
        bind(module, "dataclass", py::import_from("dataclasses", "dataclass"));
        bind(module, "field", py::import_from("dataclasses", "field"));
        bind(module, "datetime", py::import_from("datetime", "datetime"));
        bind(module, "Path", py::import_from("pathlib", "Path"));
        bind(module, "Any", py::import_from("typing", "Any"));
        bind(module, "SkillDefinition", py::import_from("tarvel.skills.engine", "SkillDefinition"));
        bind(module, "SkillStep", py::import_from("tarvel.skills.engine", "SkillStep"));
        py::Ref logging = py::global(globals, TARVEL_NAME("logging"));
        bind(module, "logger",
             py::call_method(logging.get(), TARVEL_NAME("getLogger"),
                             py::str("tarvel.skills.creator")));
        bind(module, "SKILLS_DIR", under_home(globals, "skills"));
        bind(module, "IMPROVEMENT_LOG", under_home(globals, "improvement_log.json"));
        add_records(module);
        add_dynamic_skill(module);
        add_skill_creator(module);
        bind(module, "_creator_instance", py::none());
        bind(module, "get_skill_creator", make_get_skill_creator(module));
        return py::none();
    });
    if (result == nullptr) return -1;
    Py_DECREF(result);
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // Native types and caches are shared by the whole process.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tarvel.skills.creator",
    kDoc,
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace tarvel::creator

PyMODINIT_FUNC PyInit_creator() {
    return PyModuleDef_Init(&tarvel::creator::module_def);
}
