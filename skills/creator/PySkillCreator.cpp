// skills/creator/PySkillCreator.cpp: the SkillCreator class, its catalogues and constructor, and
// the helpers its method files share
#include "glue/PyFiles.hpp"
#include "glue/PyJson.hpp"
#include "glue/PyJsonRead.hpp"
#include "glue/PyMethods.hpp"
#include "skills/creator/PyCreator.hpp"

namespace tarvel::creator {

namespace {

TARVEL_DECLARATIONS

constexpr const char* kClassDoc =
    "Creates, validates, persists, and manages dynamic skills.\n"
    "\n"
    "    Supports two skill types:\n"
    "    - \"simple\" (default): JSON-based linear step sequences\n"
    "    - \"python\": Full Python scripts with TarvelContext access\n"
    "    ";

// The operations of the host's "pc" tool that a step may name.
constexpr const char* kOperations[] = {
    "open_app",
    "close_app",
    "open_url",
    "open_file",
    "open_folder",
    "run_command",
    "list_processes",
    "kill_process",
    "get_clipboard",
    "set_clipboard",
    "send_notification",
    "list_apps",
    "system_info",
    "active_window",
    "navigate",
    "browser_click",
    "browser_type",
    "browser_press",
    "fill_form",
    "select_option",
    "browser_hover",
    "browser_scroll",
    "get_page",
    "get_elements",
    "browser_screenshot",
    "new_tab",
    "close_tab",
    "switch_tab",
    "list_tabs",
    "evaluate_js",
    "wait_for_text",
    "mouse_click",
    "mouse_move",
    "mouse_scroll",
    "keyboard_type",
    "keyboard_press",
    "keyboard_hotkey",
    "keyboard_shortcut",
    "screenshot",
    "read_screen",
    "find_text_on_screen",
};

constexpr const char* kCategories[] = {
    "messaging", "calendar", "email",   "music",       "files",         "browser", "productivity",
    "social",    "shopping", "finance", "development", "system",        "media",   "education",
    "health",    "travel",   "food",    "gaming",      "communication", "utility", "custom",
};

template <std::size_t N>
py::Ref string_set(const char* const (&names)[N]) {
    py::Ref set = py::Ref::steal(PySet_New(nullptr));
    for (const char* name : names)
        py::check(PySet_Add(set.get(), py::str(name).get()) < 0);
    return set;
}

TARVEL_METHOD(SkillCreator, "__init__", init_impl, "self", nullptr, nullptr)
(const py::Frame& frame, PyObject* self) {
    py::Ref skills_dir = py::global(frame.globals, TARVEL_NAME("SKILLS_DIR"));
    py::make_dirs(skills_dir.get());
    py::setattr(self, TARVEL_NAME("_improvement_log"), py::Ref::steal(PyList_New(0)).get());
    py::call_method(self, TARVEL_NAME("_load_improvement_log"));
    return py::none();
}

}  // namespace

py::Ref local_time(PyObject* globals) {
    py::Ref datetime = py::global(globals, TARVEL_NAME("datetime"));
    py::Ref now = py::call_method(datetime.get(), TARVEL_NAME("now"));
    return py::call_method(now.get(), TARVEL_NAME("strftime"), py::str("%Y-%m-%d %H:%M:%S"));
}

py::Ref skill_file(PyObject* globals, PyObject* name, const char* suffix) {
    py::Ref dir = py::global(globals, TARVEL_NAME("SKILLS_DIR"));
    py::Ref file_name = py::fstring(name, suffix);
    return py::Ref::steal(PyNumber_TrueDivide(dir.get(), file_name.get()));
}

py::Ref mapping_get(PyObject* mapping, PyObject* key, PyObject* otherwise) {
    if (PyDict_CheckExact(mapping)) {
        py::Ref found = py::dict_get(mapping, key);
        return found ? found : py::Ref::borrow(otherwise);
    }
    return py::call_method(mapping, TARVEL_NAME("get"), key, otherwise);
}

py::Ref read_json(PyObject* globals, PyObject* path) {
    py::Ref text = py::read_text(path);
    py::Ref json = py::global(globals, TARVEL_NAME("json"));
    return py::loads(json.get(), text.get());
}

py::Ref json_text(PyObject* globals, PyObject* value) {
    py::Ref json = py::global(globals, TARVEL_NAME("json"));
    return py::dumps_indent2(json.get(), value);
}

py::Ref validation_failure(PyObject* errors) {
    py::Ref lines = py::Ref::steal(PyList_New(0));
    for (const py::Ref& error : py::iterate(errors)) {
        py::check(PyList_Append(lines.get(), py::fstring("  - ", error).get()) < 0);
    }
    py::Ref joined = py::Ref::steal(PyUnicode_Join(py::str("\n").get(), lines.get()));
    return py::Ref::steal(PyUnicode_Concat(py::str("Validation failed:\n").get(), joined.get()));
}

py::Ref result(bool success, const py::Ref& message, PyObject* skill) {
    return py::Ref::steal(PyTuple_Pack(3, success ? Py_True : Py_False, message.get(), skill));
}

void log_improvement(PyObject* globals, PyObject* self,
                     std::initializer_list<std::pair<const char*, PyObject*>> fields) {
    py::Ref entry_class = py::global(globals, TARVEL_NAME("ImprovementEntry"));
    py::Ref entry = py::call_kw(entry_class.get(), {}, fields);
    py::call_method(self, TARVEL_NAME("_log_improvement"), entry);
}

std::pair<py::Ref, py::Ref> unpack_pair(PyObject* value) {
    py::Ref iter = py::Ref::steal_maybe(PyObject_GetIter(value));
    if (!iter) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::Error();
        PyErr_Clear();
        py::Ref type_name = py::Ref::steal(PyType_GetName(Py_TYPE(value)));
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %U object", type_name.get());
        throw py::Error();
    }
    py::Ref items[3];
    Py_ssize_t got = 0;
    for (; got < 3; ++got) {
        items[got] = py::Ref::steal_maybe(PyIter_Next(iter.get()));
        if (!items[got]) break;
    }
    py::check(PyErr_Occurred() != nullptr);
    if (got < 2) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", got);
        throw py::Error();
    }
    if (got > 2) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw py::Error();
    }
    return {std::move(items[0]), std::move(items[1])};
}

py::Ref type_name(PyObject* value) {
    return py::Ref::steal(PyType_GetName(Py_TYPE(value)));
}

py::Ref registry_problem(PyObject* registry) {
    if (registry == Py_None) return {};
    // callable(getattr(registry, "register", None)): only a missing attribute means "none".
    py::Ref method = py::Ref::steal_maybe(PyObject_GetAttr(registry, TARVEL_NAME("register")));
    if (method) {
        if (PyCallable_Check(method.get())) return {};
    } else {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::Error();
        PyErr_Clear();
    }
    return py::fstring("registry must have a register() method, not ", type_name(registry));
}

py::Ref text_list_problem(const char* field, PyObject* value) {
    if (!PyList_Check(value))
        return py::fstring(field, " must be a list of strings, not ", type_name(value));
    // Only type checks run until an item fails: no code can change the list between them.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
        if (PyUnicode_Check(PyList_GET_ITEM(value, i))) continue;
        py::Ref item_type = type_name(PyList_GET_ITEM(value, i));
        return py::fstring(field, " must be a list of strings; item ", py::integer(i + 1), " is ",
                           item_type);
    }
    return {};
}

bool unsafe_name(PyObject* name) {
    for (Py_UCS4 c : {Py_UCS4('/'), Py_UCS4('\\'), Py_UCS4(':'), Py_UCS4(0)}) {
        const Py_ssize_t at = PyUnicode_FindChar(name, c, 0, PyUnicode_GET_LENGTH(name), 1);
        py::check(at == -2);
        if (at >= 0) return true;
    }
    return false;
}

py::Ref device_name_problem(PyObject* name) {
    if (!PyUnicode_Check(name)) return {};
    // As Windows reads a file name: trailing dots and spaces go, then the part before the
    // first dot, without trailing spaces, is compared regardless of case.
    py::Ref stem = py::call_method(name, TARVEL_NAME("rstrip"), py::str(". "));
    stem = py::call_method(stem.get(), TARVEL_NAME("partition"), py::str("."));
    stem = py::call_method(PyTuple_GET_ITEM(stem.get(), 0), TARVEL_NAME("rstrip"), py::str(" "));
    stem = py::call_method(stem.get(), TARVEL_NAME("upper"));
    const Py_ssize_t length = PyUnicode_GET_LENGTH(stem.get());
    bool device = false;
    if (length == 3) {
        for (const char* word : {"CON", "PRN", "AUX", "NUL"}) {
            device = device || PyUnicode_CompareWithASCIIString(stem.get(), word) == 0;
        }
    } else if (length == 4) {
        py::Ref prefix = py::Ref::steal(PyUnicode_Substring(stem.get(), 0, 3));
        const Py_UCS4 digit = PyUnicode_READ_CHAR(stem.get(), 3);
        const bool port = PyUnicode_CompareWithASCIIString(prefix.get(), "COM") == 0 ||
                          PyUnicode_CompareWithASCIIString(prefix.get(), "LPT") == 0;
        device = port && ((digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 ||
                          digit == 0xB3);
    }
    if (!device) return {};
    return py::fstring("Skill name '", name, "' is a device name on Windows");
}

py::Ref code_file_name(PyObject* name) {
    py::Ref file_name = py::fstring(name, ".py");
    if (!PyUnicode_Check(name)) return file_name;
    const Py_ssize_t at = PyUnicode_FindChar(name, 0, 0, PyUnicode_GET_LENGTH(name), 1);
    py::check(at == -2);
    if (at < 0) return file_name;
    return py::call_method(file_name.get(), TARVEL_NAME("replace"),
                           py::str(std::string_view("\0", 1)), py::str("\\x00"));
}

bool too_deeply_nested(const py::Error& e) {
    return e.matches(PyExc_RecursionError) || e.matches(PyExc_MemoryError);
}

py::Ref nesting_error(const py::Error& e, PyObject* file_name) {
    py::Ref words = py::Ref::steal_maybe(PyObject_Str(e.value()));
    py::check(!words);
    // 3.11's parser gives its MemoryError no words.
    if (PyUnicode_GET_LENGTH(words.get()) == 0)
        words = py::str("Python source too complex to parse");
    return py::fstring("Syntax error in code: ", words, " (", file_name, ")");
}

void add_skill_creator(PyObject* module) {
    py::Members members;
    members.emplace_back("VALID_OPERATIONS", string_set(kOperations));
    members.emplace_back("VALID_CATEGORIES", string_set(kCategories));
    declarations().add_to(module, "SkillCreator", members);
    add_creation_methods(module, members);
    add_python_skill_methods(module, members);
    add_store_methods(module, members);
    add_log_methods(module, members);
    add_history_methods(module, members);
    add_review_method(module, members);
    py::Ref cls = py::make_class(module, "SkillCreator", kClassDoc, members);
    py::check(PyModule_AddObjectRef(module, "SkillCreator", cls.get()) < 0);
}

}  // namespace tarvel::creator
