// glue/PyClass.cpp: class namespaces filled as class bodies fill them
#include "glue/PyClass.hpp"

#include "glue/PyFunction.hpp"

namespace tarvel::py {

namespace {

// __module__, __qualname__ and __doc__, in the order a class body sets them.
Ref class_namespace(PyObject* module, const char* name, const char* doc) {
    Ref ns = Ref::steal(PyDict_New());
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    dict_set(ns.get(), "__module__", module_name.get());
    dict_set(ns.get(), "__qualname__", str(name).get());
    if (doc != nullptr) dict_set(ns.get(), "__doc__", docstring(doc).get());
    return ns;
}

Ref new_class(const char* name, PyObject* ns) {
    Ref bases = Ref::steal(PyTuple_New(0));
    return call(reinterpret_cast<PyObject*>(&PyType_Type), str(name), bases, ns);
}

void add_members(PyObject* ns, const Members& members) {
    for (const auto& [member_name, value] : members)
        dict_set(ns, member_name, value.get());
}

}  // namespace

Ref make_dataclass(PyObject* module, const char* name, const char* doc,
                   const std::vector<FieldSpec>& fields, const Members& members) {
    PyObject* globals = PyModule_GetDict(module);
    Ref ns = class_namespace(module, name, doc);
    Ref annotations = Ref::steal(PyDict_New());
    dict_set(ns.get(), "__annotations__", annotations.get());
    Ref field = global(globals, TARVEL_NAME("field"));
    for (const FieldSpec& f : fields) {
        dict_set(annotations.get(), f.name, str(f.annotation).get());
        if (f.factory) {
            Ref kwargs = Ref::steal(PyDict_New());
            dict_set(kwargs.get(), "default_factory", f.factory.get());
            Ref empty = Ref::steal(PyTuple_New(0));
            Ref described = Ref::steal(PyObject_Call(field.get(), empty.get(), kwargs.get()));
            dict_set(ns.get(), f.name, described.get());
        } else if (f.default_value) {
            dict_set(ns.get(), f.name, f.default_value.get());
        }
    }
    add_members(ns.get(), members);
    Ref cls = new_class(name, ns.get());
    return call(global(globals, TARVEL_NAME("dataclass")).get(), cls);
}

Ref make_str_enum(PyObject* module, const char* name,
                  const std::vector<std::pair<const char*, const char*>>& members) {
    Ref enum_base = global(PyModule_GetDict(module), TARVEL_NAME("Enum"));
    PyObject* metaclass = reinterpret_cast<PyObject*>(Py_TYPE(enum_base.get()));
    Ref bases =
        Ref::steal(PyTuple_Pack(2, reinterpret_cast<PyObject*>(&PyUnicode_Type), enum_base.get()));
    Ref cls_name = str(name);
    Ref classdict = call_method(metaclass, TARVEL_NAME("__prepare__"), cls_name, bases);
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    check(PyObject_SetItem(classdict.get(), TARVEL_NAME("__module__"), module_name.get()) < 0);
    check(PyObject_SetItem(classdict.get(), TARVEL_NAME("__qualname__"), cls_name.get()) < 0);
    for (const auto& [member, value] : members) {
        check(PyObject_SetItem(classdict.get(), str(member).get(), str(value).get()) < 0);
    }
    return call(metaclass, cls_name, bases, classdict);
}

Ref make_subclass(PyObject* module, const char* name, const char* doc, PyObject* base,
                  const Members& members) {
    Ref types = import("types");
    Ref cls_name = str(name);
    Ref bases = Ref::steal(PyTuple_Pack(1, base));
    Ref prepared = call_method(types.get(), TARVEL_NAME("prepare_class"), cls_name, bases);
    PyObject* metaclass = PyTuple_GET_ITEM(prepared.get(), 0);
    PyObject* ns = PyTuple_GET_ITEM(prepared.get(), 1);
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    check(PyObject_SetItem(ns, TARVEL_NAME("__module__"), module_name.get()) < 0);
    check(PyObject_SetItem(ns, TARVEL_NAME("__qualname__"), cls_name.get()) < 0);
    if (doc != nullptr)
        check(PyObject_SetItem(ns, TARVEL_NAME("__doc__"), docstring(doc).get()) < 0);
    for (const auto& [member_name, value] : members)
        check(PyObject_SetItem(ns, str(member_name).get(), value.get()) < 0);
    return call(metaclass, cls_name, bases, ns);
}

Ref make_class(PyObject* module, const char* name, const char* doc, const Members& members) {
    Ref ns = class_namespace(module, name, doc);
    add_members(ns.get(), members);
    return new_class(name, ns.get());
}

}  // namespace tarvel::py
