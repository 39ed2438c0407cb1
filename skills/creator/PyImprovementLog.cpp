// skills/creator/PyImprovementLog.cpp: the improvement log in memory and in improvement_log.json,
// and the statistics over it
#include "skills/creator/PyCreator.hpp"

namespace tarvel::creator {

namespace {

py::Ref log_of(PyObject* self) {
    return py::getattr(self, TARVEL_NAME("_improvement_log"));
}

py::Ref log_improvement_impl(const py::Frame& frame) {
    PyObject* self = frame.args[0];
    py::call_method(log_of(self).get(), TARVEL_NAME("append"), frame.args[1]);
    py::call_method(self, TARVEL_NAME("_save_improvement_log"));
    return py::none();
}

py::Ref log_learning_impl(const py::Frame& frame) {
    PyObject* details = frame.args[3];
    require_str(frame.args[1], "skill_name");
    require_str(frame.args[2], "reason");
    if (details != Py_None && !PyDict_CheckExact(details))
        py::wrong_type("details", "a dict or None", details);
    py::Ref kept = PyDict_CheckExact(details) && PyDict_GET_SIZE(details) > 0
                       ? py::Ref::borrow(details)
                       : py::Ref::steal(PyDict_New());
    py::Ref timestamp = local_time(frame.globals);
    log_improvement(frame.globals, frame.args[0],
                    {{"timestamp", timestamp.get()},
                     {"action", py::str("learned").get()},
                     {"skill_name", frame.args[1]},
                     {"reason", frame.args[2]},
                     {"details", kept.get()}});
    return py::none();
}

py::Ref to_dicts(PyObject* entries) {
    py::Ref out = py::Ref::steal(PyList_New(0));
    py::Ref iter = py::Ref::steal(PyObject_GetIter(entries));
    while (py::Ref entry = py::Ref::steal_maybe(PyIter_Next(iter.get()))) {
        py::Ref d = py::call_method(entry.get(), TARVEL_NAME("to_dict"));
        py::check(PyList_Append(out.get(), d.get()) < 0);
    }
    py::check(PyErr_Occurred() != nullptr);
    return out;
}

py::Ref get_improvement_log_impl(const py::Frame& frame) {
    PyObject* limit = frame.args[1];
    if (!PyLong_CheckExact(limit)) py::wrong_type("limit", "an int", limit);
    // log[-limit:]: the newest `limit` entries; all of them for 0.
    py::Ref start = py::Ref::steal(PyNumber_Negative(limit));
    py::Ref window = py::Ref::steal(PySlice_New(start.get(), Py_None, Py_None));
    py::Ref tail = py::Ref::steal(PyObject_GetItem(log_of(frame.args[0]).get(), window.get()));
    return to_dicts(tail.get());
}

py::Ref get_improvement_stats_impl(const py::Frame& frame) {
    PyObject* self = frame.args[0];
    py::Ref entries = log_of(self);
    const Py_ssize_t total = PyObject_Length(entries.get());
    py::check(total < 0);
    PyObject* const words[] = {TARVEL_NAME("created"), TARVEL_NAME("updated"),
                               TARVEL_NAME("deleted"), TARVEL_NAME("learned")};
    long long counts[4] = {0, 0, 0, 0};
    py::Ref iter = py::Ref::steal(PyObject_GetIter(entries.get()));
    while (py::Ref entry = py::Ref::steal_maybe(PyIter_Next(iter.get()))) {
        py::Ref action = py::getattr(entry.get(), TARVEL_NAME("action"));
        for (int i = 0; i < 4; ++i) {
            if (PyUnicode_CheckExact(action.get())) {
                if (PyUnicode_Compare(action.get(), words[i]) == 0) ++counts[i];
            } else if (py::compare(action.get(), words[i], Py_EQ)) {
                ++counts[i];
            }
        }
    }
    py::check(PyErr_Occurred() != nullptr);
    py::Ref skills = py::call_method(self, TARVEL_NAME("list_saved_skills"));
    const Py_ssize_t active = PyObject_Length(skills.get());
    py::check(active < 0);
    py::Ref categories = py::Ref::steal(PySet_New(nullptr));
    py::Ref skill_iter = py::Ref::steal(PyObject_GetIter(skills.get()));
    while (py::Ref skill = py::Ref::steal_maybe(PyIter_Next(skill_iter.get()))) {
        py::Ref category = py::Ref::steal(PyObject_GetItem(skill.get(), TARVEL_NAME("category")));
        py::check(PySet_Add(categories.get(), category.get()) < 0);
    }
    py::check(PyErr_Occurred() != nullptr);
    py::Ref stats = py::Ref::steal(PyDict_New());
    py::dict_set(stats.get(), "total_improvements", py::integer(total).get());
    py::dict_set(stats.get(), "skills_created", py::integer(counts[0]).get());
    py::dict_set(stats.get(), "skills_updated", py::integer(counts[1]).get());
    py::dict_set(stats.get(), "skills_deleted", py::integer(counts[2]).get());
    py::dict_set(stats.get(), "learnings_recorded", py::integer(counts[3]).get());
    py::dict_set(stats.get(), "active_custom_skills", py::integer(active).get());
    py::dict_set(stats.get(), "categories_covered",
                 py::Ref::steal(PySequence_List(categories.get())).get());
    return stats;
}

// ImprovementEntry(**element), with the TypeError Python gives for a non-mapping.
py::Ref entry_from(PyObject* entry_class, PyObject* element) {
    py::Ref kwargs;
    if (PyDict_Check(element)) {
        kwargs = py::Ref::borrow(element);
    } else if (PyObject_HasAttr(element, TARVEL_NAME("keys"))) {
        kwargs = py::Ref::steal(PyDict_New());
        py::check(PyDict_Merge(kwargs.get(), element, 1) < 0);
    } else {
        py::Ref module = py::getattr(entry_class, TARVEL_NAME("__module__"));
        py::Ref qualname = py::getattr(entry_class, TARVEL_NAME("__qualname__"));
        py::Ref type_name = py::Ref::steal(PyType_GetName(Py_TYPE(element)));
        PyErr_Format(PyExc_TypeError, "%U.%U() argument after ** must be a mapping, not %U",
                     module.get(), qualname.get(), type_name.get());
        throw py::Error();
    }
    py::Ref no_args = py::Ref::steal(PyTuple_New(0));
    return py::Ref::steal(PyObject_Call(entry_class, no_args.get(), kwargs.get()));
}

void load_failure(PyObject* globals, const py::Error& e) {
    log(globals, "warning", py::fstring("Failed to load improvement log: ", e.value()));
}

py::Ref load_impl(const py::Frame& frame) {
    PyObject* self = frame.args[0];
    PyObject* globals = frame.globals;
    py::Ref path = py::global(globals, TARVEL_NAME("IMPROVEMENT_LOG"));
    if (!py::exists(path.get())) return py::none();
    bool complete = true;
    try {
        py::Ref data = read_json(globals, path.get());
        py::Ref entry_class = py::global(globals, TARVEL_NAME("ImprovementEntry"));
        py::Ref entries = py::Ref::steal(PyList_New(0));
        py::Ref iter = py::Ref::steal(PyObject_GetIter(data.get()));
        while (py::Ref element = py::Ref::steal_maybe(PyIter_Next(iter.get()))) {
            // An element that cannot be built is skipped; the others are kept.
            try {
                py::Ref entry = entry_from(entry_class.get(), element.get());
                py::check(PyList_Append(entries.get(), entry.get()) < 0);
            } catch (py::Error& e) {
                if (!is_exception(e)) throw;
                load_failure(globals, e);
                complete = false;
            }
        }
        py::check(PyErr_Occurred() != nullptr);
        py::setattr(self, TARVEL_NAME("_improvement_log"), entries.get());
    } catch (py::Error& e) {
        if (!is_exception(e)) throw;
        load_failure(globals, e);
        py::setattr(self, TARVEL_NAME("_improvement_log"), py::Ref::steal(PyList_New(0)).get());
        complete = false;
    }
    if (!complete) py::keep_unreadable(globals, path.get(), "warning", "improvement log");
    return py::none();
}

// The records JSON can encode, in order; the others are counted in `left_out`.
py::Ref encodable_records(PyObject* globals, PyObject* records, Py_ssize_t& left_out) {
    py::Ref kept = py::Ref::steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(records); ++i) {
        PyObject* record = PyList_GET_ITEM(records, i);
        try {
            json_text(globals, record);
            py::check(PyList_Append(kept.get(), record) < 0);
        } catch (py::Error& e) {
            if (!is_exception(e)) throw;
            ++left_out;
        }
    }
    return kept;
}

py::Ref save_impl(const py::Frame& frame) {
    PyObject* globals = frame.globals;
    try {
        py::Ref path = py::global(globals, TARVEL_NAME("IMPROVEMENT_LOG"));
        py::Ref parent = py::getattr(path.get(), TARVEL_NAME("parent"));
        py::Ref mkdir = py::getattr(parent.get(), TARVEL_NAME("mkdir"));
        py::call_kw(mkdir.get(), {}, {{"parents", Py_True}, {"exist_ok", Py_True}});
        py::Ref records = to_dicts(log_of(frame.args[0]).get());
        py::Ref text;
        Py_ssize_t left_out = 0;
        try {
            text = json_text(globals, records.get());
        } catch (py::Error& e) {
            if (!is_exception(e)) throw;
            // An entry JSON cannot encode (a set among its details) stays in
            // memory, but never keeps the other entries from the file.
            log(globals, "warning", py::fstring("Failed to save improvement log: ", e.value()));
            py::Ref kept = encodable_records(globals, records.get(), left_out);
            text = json_text(globals, kept.get());
        }
        py::replace_file(globals, path.get(), text.get());
        if (left_out > 0) {
            log(globals, "warning",
                py::fstring("Saved the improvement log without ", py::integer(left_out),
                            left_out == 1 ? " entry" : " entries", " that JSON cannot encode"));
        }
    } catch (py::Error& e) {
        if (!is_exception(e)) throw;
        log(globals, "warning", py::fstring("Failed to save improvement log: ", e.value()));
    }
    return py::none();
}

}  // namespace

void add_log_methods(PyObject* module, py::Members& members) {
    members.emplace_back(
        "_log_improvement",
        method(module, "_log_improvement", "self, entry: ImprovementEntry", nullptr,
               "Add an entry to the improvement log.", log_improvement_impl));
    members.emplace_back(
        "log_learning",
        method(module, "log_learning",
               "self, skill_name: str, reason: str, details: dict | None = None", nullptr,
               "Log a learning event (e.g., skill worked well, or needs improvement).",
               log_learning_impl));
    members.emplace_back(
        "get_improvement_log",
        method(module, "get_improvement_log", "self, limit: int = 50", "list[dict]",
               "Get recent improvement log entries.", get_improvement_log_impl));
}

void add_stats_method(PyObject* module, py::Members& members) {
    members.emplace_back(
        "get_improvement_stats",
        method(module, "get_improvement_stats", "self", "dict",
               "Get statistics about self-improvement.", get_improvement_stats_impl));
}

void add_log_file_methods(PyObject* module, py::Members& members) {
    members.emplace_back("_load_improvement_log",
                         method(module, "_load_improvement_log", "self", nullptr,
                                "Load the improvement log from disk.", load_impl));
    members.emplace_back("_save_improvement_log",
                         method(module, "_save_improvement_log", "self", nullptr,
                                "Save the improvement log to disk.", save_impl));
}

}  // namespace tarvel::creator
