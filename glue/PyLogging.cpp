// glue/PyLogging.cpp: log records made as a Python module's own logging calls make them
#include "glue/PyLogging.hpp"

#include <cstring>
#include <utility>
#include <vector>

#include "glue/PyFunction.hpp"

namespace tarvel::py {

namespace {

struct Level {
    const char* name;
    int number;
};
constexpr Level kLevels[] = {{"debug", 10}, {"info", 20}, {"warning", 30}, {"error", 40}};
constexpr std::size_t kLevelCount = sizeof(kLevels) / sizeof(kLevels[0]);

// logging.Logger's own level methods (in kLevels order) and _log.
struct StockLogging {
    PyObject* methods[kLevelCount] = {};
    PyObject* log = nullptr;
};
StockLogging stock;

// "<dir of the module's file>/<last part of its name>.py", once per module;
// held for the life of the process (never destroyed after the interpreter).
auto& source_paths = *new std::vector<std::pair<PyObject*, PyObject*>>();

Ref source_path(PyObject* globals) {
    for (const auto& [known, path] : source_paths) {
        if (known == globals) return Ref::borrow(path);
    }
    Ref file = dict_get(globals, TARVEL_NAME("__file__"));
    Ref name = dict_get(globals, TARVEL_NAME("__name__"));
    Ref path;
    if (file && name && PyUnicode_Check(file.get()) && PyUnicode_Check(name.get())) {
        Ref os_path = import("os.path");
        Ref dir = call_method(os_path.get(), TARVEL_NAME("dirname"), file);
        Ref parts = call_method(name.get(), TARVEL_NAME("rpartition"), str("."));
        Ref leaf = fstring(PyTuple_GET_ITEM(parts.get(), 2), ".py");
        path = call_method(os_path.get(), TARVEL_NAME("join"), dir, leaf);
    } else {
        path = str("(unknown file)");
    }
    // The module's dict is held too, so no later dict can take its address.
    source_paths.emplace_back(Py_NewRef(globals), Ref(path).release());
    return path;
}

}  // namespace

void remember_stock_logging() {
    if (stock.log != nullptr) return;
    Ref logging = import("logging");
    Ref logger_class = getattr(logging.get(), TARVEL_NAME("Logger"));
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(logger_class.get());
    StockLogging found;
    for (std::size_t i = 0; i < kLevelCount; ++i) {
        Ref name = str(kLevels[i].name);
        found.methods[i] = type_lookup(type, name.get());
        if (found.methods[i] == nullptr) return;
    }
    found.log = type_lookup(type, TARVEL_NAME("_log"));
    if (found.log == nullptr) return;
    // Held for the life of the process, as the interned names are.
    for (PyObject* method : found.methods)
        Py_INCREF(method);
    Py_INCREF(found.log);
    stock = found;
}

void log(PyObject* globals, const char* level, const Ref& message, PyObject* exc_info) {
    Ref logger = global(globals, TARVEL_NAME("logger"));
    Ref name = Ref::steal(PyUnicode_InternFromString(level));
    Ref method = getattr(logger.get(), name.get());
    std::size_t index = 0;
    while (index < kLevelCount && std::strcmp(kLevels[index].name, level) != 0)
        ++index;
    auto is_own = [&](PyObject* bound, PyObject* original) {
        return PyMethod_Check(bound) && PyMethod_GET_FUNCTION(bound) == original &&
               PyMethod_GET_SELF(bound) == logger.get();
    };
    bool standard =
        index < kLevelCount && stock.log != nullptr && is_own(method.get(), stock.methods[index]);
    if (standard) {
        Ref inner = getattr(logger.get(), TARVEL_NAME("_log"));
        standard = is_own(inner.get(), stock.log);
    }
    if (!standard) {
        if (exc_info == nullptr) {
            call(method.get(), message);
        } else {
            call_kw(method.get(), {message.get()}, {{"exc_info", exc_info}});
        }
        return;
    }
    // What Logger.<level> and Logger._log do, with the caller a Python module would name.
    Ref number = integer(kLevels[index].number);
    if (!truthy(call_method(logger.get(), TARVEL_NAME("isEnabledFor"), number).get())) return;
    Ref logger_name = getattr(logger.get(), TARVEL_NAME("name"));
    // Without logging's source file (logging._srcfile = None) no caller is looked for.
    Ref logging = import("logging");
    Ref source_file = getattr(logging.get(), TARVEL_NAME("_srcfile"));
    PyObject* running = running_function_name();
    const bool known = source_file.get() != Py_None && running != nullptr;
    Ref function = known ? Ref::borrow(running) : str("(unknown function)");
    Ref file = source_file.get() != Py_None ? source_path(globals) : str("(unknown file)");
    Ref no_args = Ref::steal(PyTuple_New(0));
    Ref record = call_method(logger.get(), TARVEL_NAME("makeRecord"), logger_name, number, file,
                             integer(0), message, no_args, exc_info != nullptr ? exc_info : Py_None,
                             function, Py_None, Py_None);
    call_method(logger.get(), TARVEL_NAME("handle"), record);
}

}  // namespace tarvel::py
