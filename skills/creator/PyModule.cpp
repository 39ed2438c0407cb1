// skills/creator/PyModule.cpp: the module tarvel.skills.creator: its docstring, imports and names
#include "glue/PyModule.hpp"
#include "glue/PyFiles.hpp"
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

// Path.home() / ".tarvel" / leaf
py::Ref under_home(PyObject* globals, const char* leaf) {
    py::Ref path_class = py::global(globals, TARVEL_NAME("Path"));
    py::Ref home = py::call_method(path_class.get(), TARVEL_NAME("home"));
    py::Ref tarvel = py::Ref::steal(PyNumber_TrueDivide(home.get(), py::str(".tarvel").get()));
    return py::Ref::steal(PyNumber_TrueDivide(tarvel.get(), py::str(leaf).get()));
}

void build(PyObject* module) {
    PyObject* globals = PyModule_GetDict(module);
    py::remember_stock_paths();
    py::remember_stock_logging();
    for (const char* name : {"ast", "json", "logging", "re"})
        py::bind(module, name, py::import(name));
    py::bind(module, "dataclass", py::import_from("dataclasses", "dataclass"));
    py::bind(module, "field", py::import_from("dataclasses", "field"));
    py::bind(module, "datetime", py::import_from("datetime", "datetime"));
    py::bind(module, "Path", py::import_from("pathlib", "Path"));
    py::bind(module, "Any", py::import_from("typing", "Any"));
    py::bind(module, "SkillDefinition", py::import_from("tarvel.skills.engine", "SkillDefinition"));
    py::bind(module, "SkillStep", py::import_from("tarvel.skills.engine", "SkillStep"));
    py::Ref logging = py::global(globals, TARVEL_NAME("logging"));
    py::bind(
        module, "logger",
        py::call_method(logging.get(), TARVEL_NAME("getLogger"), py::str("tarvel.skills.creator")));
    py::bind(module, "SKILLS_DIR", under_home(globals, "skills"));
    py::bind(module, "IMPROVEMENT_LOG", under_home(globals, "improvement_log.json"));
    // Writes flush to stable storage before they replace a file; a host may trade that for speed.
    py::bind(module, "DURABLE_WRITES", py::boolean(true));
    // Where full paths are limited (260 on Windows), a save's temporary file takes a short name.
    py::bind(module, "_MAX_PATH", py::max_path());
    add_records(module);
    add_dynamic_skill(module);
    add_skill_creator(module);
    py::bind(module, "_creator_instance", py::none());
    py::bind(module, "get_skill_creator", make_get_skill_creator(module));
}

}  // namespace

}  // namespace tarvel::creator

TARVEL_MODULE(creator, "tarvel.skills.creator", tarvel::creator::kDoc, tarvel::creator::build)
