// skills/creator/PyReview.cpp: review_skill, a report of what a skill would do, read from its steps
// or from its code's syntax tree (Python's own ast); nothing is imported or run
#include "glue/PyMethods.hpp"
#include "skills/creator/PyCreator.hpp"

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tarvel::creator {

namespace {

TARVEL_DECLARATIONS

// The "pc" operations that start, run or end programs or run code: a shell
// command, script in a web page, a program opened, closed or killed, and a
// file opened with whatever program the system picks for it.
constexpr std::string_view kRiskyOperations[] = {
    "run_command", "evaluate_js", "kill_process", "open_app", "close_app", "open_file",
};

// Calls that run code or programs, reach the network, or write or remove
// files, by their dotted names once aliases are followed.
constexpr std::string_view kRiskyNames[] = {
    "eval",
    "exec",
    "compile",
    "__import__",
    "open",
    "breakpoint",
    "io.open",
    "os.open",
    "os.system",
    "os.popen",
    "os.startfile",
    "os.fork",
    "os.forkpty",
    "os.kill",
    "os.killpg",
    "os.remove",
    "os.unlink",
    "os.rmdir",
    "os.removedirs",
    "os.truncate",
    "shutil.rmtree",
    "shutil.move",
    "pickle.load",
    "pickle.loads",
    "marshal.load",
    "marshal.loads",
    "importlib.import_module",
    "asyncio.create_subprocess_exec",
    "asyncio.create_subprocess_shell",
    "webbrowser.open",
};
// ... and every name that begins with one of these.
constexpr std::string_view kRiskyPrefixes[] = {
    "os.exec",          "os.spawn",  "os.posix_spawn",  "subprocess.",  "socket.", "ctypes.",
    "multiprocessing.", "pty.",      "urllib.request.", "http.client.", "ftplib.", "telnetlib.",
    "smtplib.",         "requests.", "httpx.",          "aiohttp.",
};

bool risky(std::string_view name) {
    for (std::string_view known : kRiskyNames) {
        if (name == known) return true;
    }
    for (std::string_view prefix : kRiskyPrefixes) {
        if (name.starts_with(prefix)) return true;
    }
    return false;
}

std::string text_of(PyObject* str) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
    py::check(utf8 == nullptr);
    return {utf8, static_cast<std::size_t>(size)};
}

py::Ref str_of(const std::string& text) {
    return py::Ref::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"));
}

py::Ref sorted_list(const std::set<std::string>& names) {
    py::Ref list = py::Ref::steal(PyList_New(0));
    for (const std::string& name : names)
        py::check(PyList_Append(list.get(), str_of(name).get()) < 0);
    return list;
}

// The report as it is filled in, turned into the returned dict at the end.
struct Report {
    py::Ref kind = py::none();
    py::Ref has_run = py::none();
    std::set<std::string> imports, risky_calls;
    py::Ref risky_operations = py::Ref::steal(PyList_New(0));
    std::set<std::string> declared, used, optional;
    py::Ref problems = py::Ref::steal(PyList_New(0));

    void problem(const py::Ref& text) { py::check(PyList_Append(problems.get(), text.get()) < 0); }

    py::Ref to_dict() const {
        std::set<std::string> undeclared, unused;
        for (const std::string& name : used) {
            if (!declared.contains(name)) undeclared.insert(name);
        }
        for (const std::string& name : declared) {
            if (!used.contains(name)) unused.insert(name);
        }
        py::Ref placeholders = py::Ref::steal(PyDict_New());
        py::dict_set(placeholders.get(), "declared", sorted_list(declared).get());
        py::dict_set(placeholders.get(), "used", sorted_list(used).get());
        py::dict_set(placeholders.get(), "undeclared", sorted_list(undeclared).get());
        py::dict_set(placeholders.get(), "unused", sorted_list(unused).get());
        py::Ref report = py::Ref::steal(PyDict_New());
        py::dict_set(report.get(), "kind", kind.get());
        py::dict_set(report.get(), "has_run", has_run.get());
        py::dict_set(report.get(), "imports", sorted_list(imports).get());
        py::dict_set(report.get(), "risky_calls", sorted_list(risky_calls).get());
        py::dict_set(report.get(), "risky_operations", risky_operations.get());
        py::dict_set(report.get(), "placeholders", placeholders.get());
        py::dict_set(report.get(), "problems", problems.get());
        return report;
    }
};

// The texts among the items of a parameter list (anything else declares nothing).
void add_names(PyObject* names, std::set<std::string>& into) {
    if (!PyList_Check(names) && !PyTuple_Check(names)) return;
    py::Ref items = py::Ref::steal(PySequence_List(names));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        if (PyUnicode_Check(item)) into.insert(text_of(item));
    }
}

void read_declared(PyObject* data, Report& report) {
    py::Ref required = mapping_get(data, TARVEL_NAME("required_params"), Py_None);
    py::Ref optional = mapping_get(data, TARVEL_NAME("optional_params"), Py_None);
    add_names(required.get(), report.declared);
    add_names(optional.get(), report.declared);
    add_names(optional.get(), report.optional);
}

// --- simple skills ----------------------------------------------------------------------------

// The {{placeholders}} of a text, as validation finds them (the module's re).
std::vector<std::string> placeholders_in(PyObject* globals, PyObject* text) {
    std::vector<std::string> names;
    if (!PyUnicode_Check(text)) return names;
    py::Ref re = py::global(globals, TARVEL_NAME("re"));
    py::Ref found =
        py::call_method(re.get(), TARVEL_NAME("findall"), py::str("\\{\\{(\\w+)\\}\\}"), text);
    py::Ref items = py::Ref::steal(PySequence_List(found.get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i)
        names.push_back(text_of(PyList_GET_ITEM(items.get(), i)));
    return names;
}

// validate_blueprint's errors for the skill, or why it cannot be validated.
void add_validation(PyObject* globals, PyObject* self, PyObject* data, PyObject* name,
                    Report& report) {
    try {
        auto field = [&](const char* key, const py::Ref& otherwise) {
            return mapping_get(data, py::str(key).get(), otherwise);
        };
        auto list = [] { return py::Ref::steal(PyList_New(0)); };
        py::Ref blueprint_class = py::global(globals, TARVEL_NAME("SkillBlueprint"));
        py::Ref blueprint =
            py::call_kw(blueprint_class.get(), {},
                        {{"name", name},
                         {"description", field("description", py::str("")).get()},
                         {"app", field("app", py::str("")).get()},
                         {"category", field("category", py::str("custom")).get()},
                         {"triggers", field("triggers", list()).get()},
                         {"required_params", field("required_params", list()).get()},
                         {"optional_params", field("optional_params", list()).get()},
                         {"steps", field("steps", list()).get()},
                         {"reason", field("reason", py::str("")).get()}});
        py::Ref checked = py::call_method(self, TARVEL_NAME("validate_blueprint"), blueprint);
        auto [valid, errors] = unpack_pair(checked.get());
        for (const py::Ref& error : py::iterate(errors.get()))
            report.problem(error);
    } catch (py::Error& e) {
        if (!is_exception(e)) throw;
        report.problem(py::fstring("The skill cannot be validated: ", e.value()));
    }
}

void review_steps(PyObject* globals, PyObject* self, PyObject* data, PyObject* name,
                  Report& report) {
    report.kind = py::str("simple");
    read_declared(data, report);
    add_validation(globals, self, data, name, report);
    py::Ref steps = mapping_get(data, TARVEL_NAME("steps"), Py_None);
    if (!PyList_Check(steps.get())) return;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(steps.get()); ++i) {
        PyObject* step = PyList_GET_ITEM(steps.get(), i);
        if (!PyDict_Check(step)) continue;  // validation has said so
        py::Ref n = py::integer(i + 1);
        py::Ref operation = mapping_get(step, TARVEL_NAME("operation"), Py_None);
        if (PyUnicode_Check(operation.get())) {
            const std::string op = text_of(operation.get());
            for (std::string_view known : kRiskyOperations) {
                if (op != known) continue;
                py::Ref entry = py::Ref::steal(PyDict_New());
                py::dict_set(entry.get(), "step", py::integer(i).get());
                py::dict_set(entry.get(), "operation", operation.get());
                py::check(PyList_Append(report.risky_operations.get(), entry.get()) < 0);
            }
        }
        // Validation reads the placeholders of the params only; build_steps fills the description
        // too.
        py::Ref description = mapping_get(step, TARVEL_NAME("description"), Py_None);
        for (const std::string& found : placeholders_in(globals, description.get())) {
            report.used.insert(found);
            if (report.declared.contains(found)) continue;
            report.problem(py::fstring("Step ", n, ": placeholder '{{", str_of(found),
                                       "}}' in the description not in required_params or "
                                       "optional_params"));
        }
        py::Ref params = mapping_get(step, TARVEL_NAME("params"), Py_None);
        if (!PyDict_Check(params.get())) continue;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(params.get(), &pos, &key, &value)) {
            for (const std::string& found : placeholders_in(globals, value))
                report.used.insert(found);
        }
    }
    for (const std::string& found : report.used) {
        if (!report.optional.contains(found)) continue;
        py::Ref shown = py::fstring("'{{", str_of(found), "}}'");
        report.problem(py::fstring("Optional parameter '", str_of(found), "' is used as ", shown,
                                   ": a call without it passes ", shown, " on literally"));
    }
}

// --- Python skills ----------------------------------------------------------------------------

// The node classes of the ast module that the review reads.
struct Kinds {
    py::Ref Import, ImportFrom, Assign, AnnAssign, NamedExpr, Call, Name, Attribute, Subscript,
        Constant, List, Tuple, Dict, Starred, UnaryOp, USub, Lambda, Return, FunctionDef,
        AsyncFunctionDef, ClassDef;

    explicit Kinds(PyObject* ast) {
        auto get = [&](const char* name) { return py::getattr(ast, py::str(name).get()); };
        Import = get("Import");
        ImportFrom = get("ImportFrom");
        Assign = get("Assign");
        AnnAssign = get("AnnAssign");
        NamedExpr = get("NamedExpr");
        Call = get("Call");
        Name = get("Name");
        Attribute = get("Attribute");
        Subscript = get("Subscript");
        Constant = get("Constant");
        List = get("List");
        Tuple = get("Tuple");
        Dict = get("Dict");
        Starred = get("Starred");
        UnaryOp = get("UnaryOp");
        USub = get("USub");
        Lambda = get("Lambda");
        Return = get("Return");
        FunctionDef = get("FunctionDef");
        AsyncFunctionDef = get("AsyncFunctionDef");
        ClassDef = get("ClassDef");
    }
};

bool is(PyObject* node, const py::Ref& kind) {
    return reinterpret_cast<PyObject*>(Py_TYPE(node)) == kind.get();
}

py::Ref field(PyObject* node, const char* name) {
    return py::getattr(node, py::str(name).get());
}

std::string id_of(PyObject* node, const char* name) {
    py::Ref value = field(node, name);
    return PyUnicode_Check(value.get()) ? text_of(value.get()) : std::string();
}

// The text of a constant string node, if it is one.
std::optional<std::string> constant_text(const Kinds& kinds, PyObject* node) {
    if (!is(node, kinds.Constant)) return std::nullopt;
    py::Ref value = field(node, "value");
    if (!PyUnicode_Check(value.get())) return std::nullopt;
    return text_of(value.get());
}

// The value of a constant str or int node (an int written with a minus sign too), if it is one.
py::Ref constant_key(const Kinds& kinds, PyObject* node) {
    const bool negative = is(node, kinds.UnaryOp) && is(field(node, "op").get(), kinds.USub);
    py::Ref constant = negative ? field(node, "operand") : py::Ref::borrow(node);
    if (!is(constant.get(), kinds.Constant)) return {};
    py::Ref value = field(constant.get(), "value");
    if (negative) {
        if (!PyLong_Check(value.get())) return {};
        return py::Ref::steal(PyNumber_Negative(value.get()));
    }
    return PyUnicode_Check(value.get()) || PyLong_Check(value.get()) ? value : py::Ref();
}

// literal[key] for a list, tuple or dict written in the code: the item's node (borrowed from
// the tree), or null when the key picks none that can be told.
PyObject* item_of(const Kinds& kinds, PyObject* literal, PyObject* key_node) {
    py::Ref key = constant_key(kinds, key_node);
    if (!key) return nullptr;
    if (!is(literal, kinds.Dict)) {
        py::Ref items = field(literal, "elts");
        const Py_ssize_t count = PyList_GET_SIZE(items.get());
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (is(PyList_GET_ITEM(items.get(), i), kinds.Starred)) return nullptr;
        }
        if (!PyLong_Check(key.get())) return nullptr;
        const Py_ssize_t at = PyLong_AsSsize_t(key.get());
        if (at == -1 && PyErr_Occurred()) {
            PyErr_Clear();  // far out of range
            return nullptr;
        }
        const Py_ssize_t index = at < 0 ? at + count : at;
        return index >= 0 && index < count ? PyList_GET_ITEM(items.get(), index) : nullptr;
    }
    // The last entry written with that key (a **mapping, whose keys are not known, is passed
    // over).
    py::Ref keys = field(literal, "keys");
    py::Ref values = field(literal, "values");
    PyObject* found = nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        PyObject* written = PyList_GET_ITEM(keys.get(), i);
        if (written == Py_None) continue;
        py::Ref value = constant_key(kinds, written);
        if (!value || (PyUnicode_Check(value.get()) != 0) != (PyUnicode_Check(key.get()) != 0))
            continue;
        const int same = PyObject_RichCompareBool(value.get(), key.get(), Py_EQ);
        py::check(same < 0);
        if (same) found = PyList_GET_ITEM(values.get(), i);
    }
    return found;
}

// What a name is bound to: a dotted name (imports), an expression to follow
// (assignments), or something of the code's own (a def or class, with the
// values a def returns).
struct Binding {
    std::string dotted;
    PyObject* value = nullptr;  // borrowed from the tree
    bool own = false;
    std::vector<PyObject*> returns;  // borrowed from the tree
};

// Follows names through imports, assignments (:= too), getattr with constant
// names, __import__, vars() and __dict__ to the dotted names they stand for;
// also constant subscripts of globals(), locals(), vars(), sys.modules and of
// lists, tuples and dicts written in the code, and the results of calls of the
// code's own functions and lambdas.
class Resolver {
  public:
    Resolver(const Kinds& kinds, const std::map<std::string, Binding>& bindings)
        : kinds_(kinds), bindings_(bindings) {}

    std::optional<std::string> operator()(PyObject* node) const {
        std::optional<std::string> found = resolve(node, 0);
        if (found) *found = normalised(*found);
        return found;
    }

  private:
    static constexpr int kDepth = 16;

    static std::string normalised(std::string name) {
        for (std::size_t at; (at = name.find(".__dict__")) != std::string::npos;)
            name.erase(at, std::string_view(".__dict__").size());
        for (std::string_view prefix : {"builtins.", "__builtins__."}) {
            if (name.starts_with(prefix)) name.erase(0, prefix.size());
        }
        return name;
    }

    std::optional<std::string> resolve(PyObject* node, int depth) const {
        if (depth > kDepth) return std::nullopt;
        if (is(node, kinds_.Name)) return resolve_name(id_of(node, "id"), depth);
        if (is(node, kinds_.NamedExpr)) return resolve(field(node, "value").get(), depth + 1);
        if (is(node, kinds_.Attribute)) {
            auto base = resolve(field(node, "value").get(), depth + 1);
            if (!base) return std::nullopt;
            return *base + "." + id_of(node, "attr");
        }
        if (is(node, kinds_.Subscript)) return resolve_item(node, depth);
        if (is(node, kinds_.Call)) {
            py::Ref func = field(node, "func");
            if (auto returned = resolve_returned(func.get(), depth)) return returned;
            auto callee = resolve(func.get(), depth + 1);
            py::Ref args = field(node, "args");
            const Py_ssize_t count = PyList_Check(args.get()) ? PyList_GET_SIZE(args.get()) : 0;
            if (!callee || count == 0) return std::nullopt;
            const std::string name = normalised(*callee);
            PyObject* first = PyList_GET_ITEM(args.get(), 0);
            if (name == "getattr" && count >= 2) {
                auto attr = constant_text(kinds_, PyList_GET_ITEM(args.get(), 1));
                auto base = attr ? resolve(first, depth + 1) : std::nullopt;
                if (!base) return std::nullopt;
                return *base + "." + *attr;
            }
            if (name == "__import__" || name == "importlib.import_module")
                return constant_text(kinds_, first);
            if (name == "vars" && count == 1) {
                auto base = resolve(first, depth + 1);
                if (!base) return std::nullopt;
                return *base + ".__dict__";
            }
        }
        return std::nullopt;
    }

    std::optional<std::string> resolve_name(const std::string& id, int depth) const {
        auto bound = bindings_.find(id);
        if (bound == bindings_.end()) return id;  // a builtin, or a name never bound
        if (bound->second.own) return std::nullopt;
        if (bound->second.value != nullptr) return resolve(bound->second.value, depth + 1);
        return bound->second.dotted;
    }

    // The node a name or := stands for, followed through assignments.
    PyObject* bound_node(PyObject* node, int depth) const {
        for (; depth <= kDepth; ++depth) {
            if (is(node, kinds_.NamedExpr)) {
                node = field(node, "value").get();  // the tree holds it
                continue;
            }
            if (!is(node, kinds_.Name)) return node;
            auto bound = bindings_.find(id_of(node, "id"));
            if (bound == bindings_.end() || bound->second.value == nullptr) return nullptr;
            node = bound->second.value;
        }
        return nullptr;
    }

    // value[key] with a constant key.
    std::optional<std::string> resolve_item(PyObject* node, int depth) const {
        py::Ref value = field(node, "value");
        py::Ref key = field(node, "slice");
        PyObject* literal = bound_node(value.get(), depth + 1);
        if (literal != nullptr &&
            (is(literal, kinds_.List) || is(literal, kinds_.Tuple) || is(literal, kinds_.Dict))) {
            PyObject* item = item_of(kinds_, literal, key.get());
            if (item == nullptr) return std::nullopt;
            return resolve(item, depth + 1);
        }
        auto text = constant_text(kinds_, key.get());
        if (!text) return std::nullopt;
        if (namespace_call(value.get(), depth)) return resolve_name(*text, depth + 1);
        auto base = resolve(value.get(), depth + 1);
        if (!base) return std::nullopt;
        if (normalised(*base) == "sys.modules") return *text;
        return *base + "." + *text;
    }

    // globals(), locals() or vars(): the names of the code.
    bool namespace_call(PyObject* node, int depth) const {
        if (!is(node, kinds_.Call) || PyObject_Length(field(node, "args").get()) != 0 ||
            PyObject_Length(field(node, "keywords").get()) != 0) {
            return false;
        }
        auto callee = resolve(field(node, "func").get(), depth + 1);
        if (!callee) return false;
        const std::string name = normalised(*callee);
        return name == "globals" || name == "locals" || name == "vars";
    }

    // What a call of a function of the code's own gives: what its def returns (a risky
    // callable if one of its returns is, else the last it can follow), or its lambda's body.
    std::optional<std::string> resolve_returned(PyObject* func, int depth) const {
        if (is(func, kinds_.Name)) {
            auto bound = bindings_.find(id_of(func, "id"));
            if (bound != bindings_.end() && bound->second.own) {
                // Each def is read once: a def that returns calls of itself, or of
                // defs with many returns of their own, costs no more than its text.
                auto [known, first] = returned_.try_emplace(&bound->second);
                if (!first) return known->second;
                std::optional<std::string> found;
                for (PyObject* value : bound->second.returns) {
                    auto name = resolve(value, depth + 1);
                    if (!name) continue;
                    found = name;
                    if (risky(normalised(*name))) break;
                }
                returned_[&bound->second] = found;
                return found;
            }
        }
        PyObject* lambda = bound_node(func, depth + 1);
        if (lambda == nullptr || !is(lambda, kinds_.Lambda)) return std::nullopt;
        return resolve(field(lambda, "body").get(), depth + 1);
    }

    const Kinds& kinds_;
    const std::map<std::string, Binding>& bindings_;
    // What a call of each def gives, as far as it has been read.
    mutable std::map<const Binding*, std::optional<std::string>> returned_;
};

// Whether a def can be called as run(ctx, params): two positional arguments
// fill its parameters, and it needs no keyword-only one.
bool takes_ctx_and_params(PyObject* def) {
    py::Ref args = field(def, "args");
    const Py_ssize_t positional = PyObject_Length(field(args.get(), "posonlyargs").get()) +
                                  PyObject_Length(field(args.get(), "args").get());
    const Py_ssize_t defaults = PyObject_Length(field(args.get(), "defaults").get());
    const bool varargs = field(args.get(), "vararg").get() != Py_None;
    py::Ref kw_defaults = field(args.get(), "kw_defaults");
    const Py_ssize_t kw_count = PyObject_Length(kw_defaults.get());
    py::check(positional < 0 || defaults < 0 || kw_count < 0);
    for (Py_ssize_t i = 0; i < kw_count; ++i) {
        if (PyList_GET_ITEM(kw_defaults.get(), i) == Py_None) return false;
    }
    return positional - defaults <= 2 && (positional >= 2 || varargs);
}

// The name of run's second parameter: where the host's parameter values arrive.
std::string params_name(PyObject* def) {
    py::Ref args = field(def, "args");
    py::Ref all = py::Ref::steal(
        PySequence_Concat(field(args.get(), "posonlyargs").get(), field(args.get(), "args").get()));
    if (PyList_GET_SIZE(all.get()) < 2) return "params";
    return id_of(PyList_GET_ITEM(all.get(), 1), "arg");
}

py::Ref line_of(PyObject* node) {
    py::Ref line = py::Ref::steal_maybe(PyObject_GetAttrString(node, "lineno"));
    if (!line) {
        PyErr_Clear();
        return py::str("?");
    }
    return line;
}

class CodeReview {
  public:
    CodeReview(PyObject* globals, Report& report) : globals_(globals), report_(report) {}

    void run(PyObject* code, PyObject* file_name) {
        report_.kind = py::str("python");
        report_.has_run = py::boolean(false);
        if (!PyUnicode_Check(code)) {
            report_.problem(py::fstring("The code must be a str, not ",
                                        py::Ref::steal(PyType_GetName(Py_TYPE(code)))));
            return;
        }
        code_ = py::Ref::borrow(code);
        ast_ = py::global(globals_, TARVEL_NAME("ast"));
        py::Ref tree;
        try {
            tree = py::call_method(ast_.get(), TARVEL_NAME("parse"), code, file_name);
        } catch (py::Error& e) {
            if (too_deeply_nested(e)) {
                report_.problem(nesting_error(e, file_name));
                return;
            }
            if (!e.matches(PyExc_SyntaxError) && !e.matches(PyExc_ValueError)) throw;
            report_.problem(py::fstring(e.matches(PyExc_SyntaxError) ? "Syntax error in code: "
                                                                     : "The code cannot be read: ",
                                        e.value()));
            return;
        }
        Kinds kinds(ast_.get());
        kinds_ = &kinds;
        py::Ref walk = py::call_method(ast_.get(), TARVEL_NAME("walk"), tree);
        nodes_ = py::Ref::steal(PySequence_List(walk.get()));
        bind_names();
        check_run(tree.get());
        note_text_check(code);
        Resolver resolve(kinds, bindings_);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(nodes_.get()); ++i) {
            PyObject* node = PyList_GET_ITEM(nodes_.get(), i);
            if (is(node, kinds.Call)) review_call(node, resolve);
            if (is(node, kinds.Subscript)) read_params_item(node);
        }
        check_params_read();
    }

  private:
    // Parameters read but not declared, and optional ones read so that a call without them
    // fails.
    void check_params_read() {
        for (const std::string& name : report_.used) {
            if (!report_.declared.contains(name)) {
                report_.problem(py::fstring("Parameter '", str_of(name), "' is read from ",
                                            str_of(params_),
                                            " but not declared in "
                                            "required_params or optional_params"));
            }
        }
        for (const std::string& name : optional_indexed_) {
            report_.problem(py::fstring("Optional parameter '", str_of(name), "' is read as ",
                                        str_of(params_), "['", str_of(name),
                                        "'], which fails when a call leaves it out"));
        }
    }

    void bind_names() {
        const Kinds& k = *kinds_;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(nodes_.get()); ++i) {
            PyObject* node = PyList_GET_ITEM(nodes_.get(), i);
            if (is(node, k.Import) || is(node, k.ImportFrom)) {
                bind_import(node);
            } else if (is(node, k.Assign) || is(node, k.AnnAssign)) {
                py::Ref value = field(node, "value");
                if (value.get() == Py_None) continue;
                py::Ref targets =
                    is(node, k.Assign) ? field(node, "targets") : py::Ref::steal(PyList_New(0));
                if (is(node, k.AnnAssign))
                    py::check(PyList_Append(targets.get(), field(node, "target").get()) < 0);
                for (Py_ssize_t t = 0; t < PyList_GET_SIZE(targets.get()); ++t) {
                    PyObject* target = PyList_GET_ITEM(targets.get(), t);
                    if (is(target, k.Name))
                        bindings_[id_of(target, "id")] = {{}, value.get(), false, {}};
                }
            } else if (is(node, k.NamedExpr)) {
                py::Ref target = field(node, "target");
                if (is(target.get(), k.Name))
                    bindings_[id_of(target.get(), "id")] = {
                        {}, field(node, "value").get(), false, {}};
            } else if (is(node, k.FunctionDef)) {
                bindings_[id_of(node, "name")] = {{}, nullptr, true, returns_of(node)};
            } else if (is(node, k.AsyncFunctionDef) || is(node, k.ClassDef)) {
                bindings_[id_of(node, "name")] = {{}, nullptr, true, {}};
            }
        }
    }

    // The values a def's return statements give, not those of the defs, classes and lambdas
    // inside it.
    std::vector<PyObject*> returns_of(PyObject* def) {
        const Kinds& k = *kinds_;
        std::vector<PyObject*> returns;
        std::vector<PyObject*> todo;
        py::Ref body = field(def, "body");
        for (const py::Ref& statement : py::iterate(body.get()))
            todo.push_back(statement.get());  // the tree holds each node
        while (!todo.empty()) {
            PyObject* node = todo.back();
            todo.pop_back();
            if (is(node, k.Return)) {
                py::Ref value = field(node, "value");
                if (value.get() != Py_None) returns.push_back(value.get());
                continue;
            }
            if (is(node, k.FunctionDef) || is(node, k.AsyncFunctionDef) || is(node, k.ClassDef) ||
                is(node, k.Lambda)) {
                continue;
            }
            py::Ref children = py::call_method(ast_.get(), TARVEL_NAME("iter_child_nodes"), node);
            for (const py::Ref& child : py::iterate(children.get()))
                todo.push_back(child.get());
        }
        return returns;
    }

    void bind_import(PyObject* node) {
        std::string module;
        const bool from = is(node, kinds_->ImportFrom);
        if (from) {
            py::Ref level = field(node, "level");
            const long dots = PyLong_Check(level.get()) ? PyLong_AsLong(level.get()) : 0;
            module = std::string(static_cast<std::size_t>(dots > 0 ? dots : 0), '.') +
                     id_of(node, "module");
            report_.imports.insert(module);
        }
        py::Ref names = field(node, "names");
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
            PyObject* alias = PyList_GET_ITEM(names.get(), i);
            const std::string name = id_of(alias, "name");
            const std::string as = id_of(alias, "asname");
            if (!from) {
                report_.imports.insert(name);
                if (!as.empty()) {
                    bindings_[as] = {name, nullptr, false, {}};
                } else {
                    const std::string top = name.substr(0, name.find('.'));
                    bindings_[top] = {top, nullptr, false, {}};
                }
            } else if (name == "*") {
                report_.problem(py::fstring("Line ", line_of(node), ": 'from ", str_of(module),
                                            " import *' hides which of its names are used"));
            } else {
                bindings_[as.empty() ? name : as] = {module + "." + name, nullptr, false, {}};
            }
        }
    }

    // has_run, and what is wrong with run when it is not there as the host calls it.
    void check_run(PyObject* tree) {
        const Kinds& k = *kinds_;
        PyObject* run = nullptr;
        py::Ref body = field(tree, "body");
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(body.get()); ++i) {
            PyObject* node = PyList_GET_ITEM(body.get(), i);
            if ((is(node, k.FunctionDef) || is(node, k.AsyncFunctionDef)) &&
                id_of(node, "name") == "run") {
                run = node;  // the last definition is the one that counts
            }
        }
        if (run == nullptr) {
            bool nested = false;
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(nodes_.get()) && !nested; ++i) {
                PyObject* node = PyList_GET_ITEM(nodes_.get(), i);
                nested = (is(node, k.FunctionDef) || is(node, k.AsyncFunctionDef)) &&
                         id_of(node, "name") == "run";
            }
            report_.problem(py::str(nested ? "run is defined only inside another definition, "
                                             "not at module level"
                                           : "No module-level 'async def run(ctx, params)'"));
            return;
        }
        params_ = params_name(run);
        async_run_ = is(run, k.AsyncFunctionDef);
        py::Ref line = line_of(run);
        if (is(run, k.FunctionDef)) {
            report_.problem(py::fstring("Line ", line,
                                        ": run is defined with 'def', not 'async "
                                        "def': the host awaits run(ctx, params)"));
        } else if (!takes_ctx_and_params(run)) {
            report_.problem(py::fstring("Line ", line,
                                        ": async def run cannot be called as "
                                        "run(ctx, params)"));
        } else {
            report_.has_run = py::boolean(true);
        }
    }

    // The creator's check finds the text "async def run" anywhere, comments and strings too.
    void note_text_check(PyObject* code) {
        if (async_run_) return;
        const int found = PySequence_Contains(code, py::str("async def run").get());
        py::check(found < 0);
        if (found) {
            report_.problem(
                py::str("The text 'async def run' appears, but not as a module-level "
                        "'async def run(ctx, params)' (a comment or a string?)"));
        }
    }

    // The node as ast.unparse writes it; where its nesting is too deep for unparse, the text
    // the code has there.
    std::string written(PyObject* node) {
        py::Ref text;
        try {
            text = py::call_method(ast_.get(), TARVEL_NAME("unparse"), node);
        } catch (py::Error& e) {
            if (!e.matches(PyExc_RecursionError)) throw;
            text = py::call_method(ast_.get(), TARVEL_NAME("get_source_segment"), code_, node);
            if (!PyUnicode_Check(text.get())) text = py::str("...");
        }
        return text_of(text.get());
    }

    void review_call(PyObject* call, const Resolver& resolve) {
        py::Ref func = field(call, "func");
        py::Ref line = line_of(call);
        auto name = resolve(func.get());
        py::Ref args = field(call, "args");
        if (name) review_named_call(*name, func.get(), args.get(), line.get());
        note_params_get(func.get(), args.get());
        review_handed(call, func.get(), args.get(), line.get(), resolve);
    }

    // A call of a function the review can name: a risky one called under another name, a
    // module imported by name, an attribute read by a computed name.
    void review_named_call(const std::string& name, PyObject* func, PyObject* args,
                           PyObject* line) {
        const Kinds& k = *kinds_;
        if (risky(name)) {
            report_.risky_calls.insert(name);
            const std::string as_written = written(func);
            if (as_written != name) {
                report_.problem(py::fstring("Line ", line, ": ", str_of(as_written), "() calls ",
                                            str_of(name)));
            }
        }
        if ((name == "__import__" || name == "importlib.import_module") &&
            PyList_GET_SIZE(args) > 0) {
            auto module = constant_text(k, PyList_GET_ITEM(args, 0));
            if (module) report_.imports.insert(*module);
        }
        if (name == "getattr" && PyList_GET_SIZE(args) >= 2 &&
            !constant_text(k, PyList_GET_ITEM(args, 1))) {
            report_.problem(py::fstring("Line ", line,
                                        ": getattr() with a computed name "
                                        "cannot be followed"));
        }
    }

    // params.get("name"): a parameter read.
    void note_params_get(PyObject* func, PyObject* args) {
        const Kinds& k = *kinds_;
        if (!is(func, k.Attribute) || id_of(func, "attr") != "get" || PyList_GET_SIZE(args) == 0)
            return;
        py::Ref owner = field(func, "value");
        auto key = constant_text(k, PyList_GET_ITEM(args, 0));
        if (key && is(owner.get(), k.Name) && id_of(owner.get(), "id") == params_)
            report_.used.insert(*key);
    }

    // A risky function handed to another call (an executor, a callback) runs as well.
    void review_handed(PyObject* call, PyObject* func, PyObject* args, PyObject* line,
                       const Resolver& resolve) {
        const Kinds& k = *kinds_;
        py::Ref keywords = field(call, "keywords");
        std::vector<PyObject*> handed;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(args); ++i)
            handed.push_back(PyList_GET_ITEM(args, i));
        std::vector<py::Ref> values;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keywords.get()); ++i) {
            values.push_back(field(PyList_GET_ITEM(keywords.get(), i), "value"));
            handed.push_back(values.back().get());
        }
        for (PyObject* arg : handed) {
            if (!is(arg, k.Name) && !is(arg, k.Attribute) && !is(arg, k.Subscript) &&
                !is(arg, k.NamedExpr) && !is(arg, k.Call)) {
                continue;
            }
            auto passed = resolve(arg);
            if (!passed || !risky(*passed)) continue;
            report_.risky_calls.insert(*passed);
            const std::string as_written = written(arg);
            py::Ref shown = as_written == *passed
                                ? str_of(as_written)
                                : py::fstring(str_of(as_written), " (", str_of(*passed), ")");
            report_.problem(py::fstring("Line ", line, ": ", shown, " is handed to ",
                                        str_of(written(func)), "()"));
        }
    }

    // params["name"]: a parameter read that fails when the call leaves it out.
    void read_params_item(PyObject* node) {
        py::Ref owner = field(node, "value");
        if (!is(owner.get(), kinds_->Name) || id_of(owner.get(), "id") != params_) return;
        auto key = constant_text(*kinds_, field(node, "slice").get());
        if (!key) return;
        report_.used.insert(*key);
        if (report_.optional.contains(*key)) optional_indexed_.insert(*key);
    }

    PyObject* globals_;
    Report& report_;
    py::Ref code_, ast_, nodes_;
    const Kinds* kinds_ = nullptr;
    std::map<std::string, Binding> bindings_;
    std::string params_ = "params";
    bool async_run_ = false;  // a module-level async def run, whatever its parameters
    std::set<std::string> optional_indexed_;
};

void review_code(PyObject* globals, PyObject* data, PyObject* code, PyObject* name,
                 Report& report) {
    read_declared(data, report);
    py::Ref file_name = PyUnicode_Check(name) ? code_file_name(name) : py::str("<skill>");
    CodeReview(globals, report).run(code, file_name.get());
}

// --- the skill to review ----------------------------------------------------------------------

py::Ref type_of(PyObject* data) {
    return mapping_get(data, TARVEL_NAME("type"), py::str("simple"));
}

bool python_kind(PyObject* data) {
    return py::compare(type_of(data).get(), py::str("python").get(), Py_EQ);
}

void review_data(PyObject* globals, PyObject* self, PyObject* data, Report& report) {
    py::Ref name = mapping_get(data, TARVEL_NAME("name"), py::str(""));
    if (python_kind(data)) {
        py::Ref code = mapping_get(data, TARVEL_NAME("code"), py::str(""));
        review_code(globals, data, code.get(), name.get(), report);
    } else {
        review_steps(globals, self, data, name.get(), report);
    }
}

void review_stored(PyObject* globals, PyObject* self, PyObject* name, Report& report) {
    if (unsafe_name(name)) {
        report.problem(py::fstring("Invalid skill name '", name, "'"));
        return;
    }
    py::Ref path = skill_file(globals, name, ".json");
    if (!py::exists(path.get())) {
        report.problem(py::fstring("Skill '", name, "' not found"));
        return;
    }
    py::Ref data;
    try {
        data = read_json(globals, path.get());
        if (!PyDict_Check(data.get())) {
            report.problem(
                py::fstring("Skill '", name, "' cannot be read: ", path, " holds no JSON object"));
            return;
        }
    } catch (py::Error& e) {
        if (!is_exception(e)) throw;
        report.problem(py::fstring("Skill '", name, "' cannot be read: ", e.value()));
        return;
    }
    if (!python_kind(data.get())) {
        review_steps(globals, self, data.get(), name, report);
        return;
    }
    py::Ref code;
    try {
        py::Ref script = skill_file(globals, name, ".py");
        py::Ref read_text = py::getattr(script.get(), TARVEL_NAME("read_text"));
        code = py::call_kw(read_text.get(), {}, {{"encoding", py::str("utf-8").get()}});
    } catch (py::Error& e) {
        if (!is_exception(e)) throw;
        report.kind = py::str("python");
        report.has_run = py::boolean(false);
        read_declared(data.get(), report);
        report.problem(py::fstring("The script of skill '", name, "' cannot be read: ", e.value()));
        return;
    }
    review_code(globals, data.get(), code.get(), name, report);
}

constexpr const char* kReviewDoc =
    "Report what a skill would do, before a host loads it.\n"
    "\n"
    "        `name_or_data` names a stored skill, or is a dict as create_from_dict\n"
    "        takes it. The code of a Python skill is only parsed (with ast), never\n"
    "        imported or run. Returns a dict with \"kind\", \"has_run\" (whether a\n"
    "        module-level `async def run(ctx, params)` exists; None for a simple\n"
    "        skill), \"imports\", \"risky_calls\" (dotted names, aliases followed),\n"
    "        \"risky_operations\" (the steps that start, run or end programs, as\n"
    "        {\"step\": index, \"operation\": name}), \"placeholders\" ({\"declared\",\n"
    "        \"used\", \"undeclared\", \"unused\"}) and \"problems\" (texts).\n"
    "        ";

TARVEL_METHOD(SkillCreator, "review_skill", review_skill_impl, "self, name_or_data: str | dict",
              "dict", kReviewDoc)
(const py::Frame& frame, PyObject* self, PyObject* name_or_data) {
    if (!PyUnicode_CheckExact(name_or_data) && !PyDict_CheckExact(name_or_data))
        py::wrong_type("name_or_data", "a str or a dict", name_or_data);
    Report report;
    if (PyUnicode_CheckExact(name_or_data)) {
        review_stored(frame.globals, self, name_or_data, report);
    } else {
        review_data(frame.globals, self, name_or_data, report);
    }
    return report.to_dict();
}

}  // namespace

void add_review_method(PyObject* module, py::Members& members) {
    declarations().add_to(module, "SkillCreator", members);
}

}  // namespace tarvel::creator
