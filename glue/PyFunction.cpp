// glue/PyFunction.cpp: the native function type, its argument binding and its introspection
#include "glue/PyFunction.hpp"

#include <structmember.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace tarvel::py {

namespace {

constexpr Py_ssize_t kMaxParams = 16;

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    Impl impl;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* code;
    PyObject* defaults;     // tuple or None
    PyObject* kwdefaults;   // dict or None
    PyObject* annotations;  // dict of strings
    PyObject* globals;
    PyObject* stub;  // a Python function with the same parameters, called only to raise TypeError
    PyObject* varnames;  // tuple: the parameter names
    PyObject* dict;
    PyObject* weakrefs;
    Py_ssize_t argcount;  // positional parameters, positional-only ones included
    Py_ssize_t posonly;
    Py_ssize_t nparams;  // positional and keyword-only parameters
};

PyTypeObject* function_type = nullptr;

FunctionObject* as_function(PyObject* obj) {
    return reinterpret_cast<FunctionObject*>(obj);
}

// The arguments did not fit: let the stub, which has the same parameters,
// raise the TypeError that Python would raise.
PyObject* bind_error(FunctionObject* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* result = PyObject_Vectorcall(fn->stub, args, nargsf, kwnames);
    if (result == nullptr) return nullptr;
    if (PyCoro_CheckExact(result)) {
        PyObject* closed = PyObject_CallMethod(result, "close", nullptr);
        Py_XDECREF(closed);
    }
    Py_DECREF(result);
    PyErr_Format(PyExc_SystemError, "%U(): arguments could not be bound", fn->qualname);
    return nullptr;
}

thread_local PyObject* running_name = nullptr;

PyObject* run(FunctionObject* fn, PyObject* const* bound) {
    Frame frame{bound, fn->globals, reinterpret_cast<PyObject*>(fn)};
    RunningFunction running(fn->name);
    return guard([&] { return fn->impl(frame); });
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    FunctionObject* fn = as_function(self);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames == nullptr && nargs == fn->nparams) return run(fn, args);
    if (nargs > fn->argcount) return bind_error(fn, args, nargsf, kwnames);

    PyObject* bound[kMaxParams] = {};
    for (Py_ssize_t i = 0; i < nargs; ++i)
        bound[i] = args[i];
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t slot = -1;
        for (Py_ssize_t j = fn->posonly; j < fn->nparams; ++j) {
            PyObject* param = PyTuple_GET_ITEM(fn->varnames, j);
            if (param == key || PyUnicode_Compare(param, key) == 0) {
                slot = j;
                break;
            }
        }
        if (PyErr_Occurred()) return nullptr;
        if (slot < 0 || bound[slot] != nullptr) return bind_error(fn, args, nargsf, kwnames);
        bound[slot] = args[nargs + k];
    }
    if (fn->defaults != Py_None) {
        const Py_ssize_t ndefaults = PyTuple_GET_SIZE(fn->defaults);
        for (Py_ssize_t j = fn->argcount - ndefaults; j < fn->argcount; ++j) {
            if (bound[j] == nullptr)
                bound[j] = PyTuple_GET_ITEM(fn->defaults, j - (fn->argcount - ndefaults));
        }
    }
    for (Py_ssize_t j = 0; j < fn->nparams; ++j) {
        if (bound[j] != nullptr) continue;
        if (j >= fn->argcount && fn->kwdefaults != Py_None) {
            bound[j] = PyDict_GetItemWithError(fn->kwdefaults, PyTuple_GET_ITEM(fn->varnames, j));
            if (bound[j] != nullptr) continue;
            if (PyErr_Occurred()) return nullptr;
        }
        return bind_error(fn, args, nargsf, kwnames);
    }
    return run(fn, bound);
}

PyObject* function_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* fn = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(fn->name);
    Py_VISIT(fn->qualname);
    Py_VISIT(fn->module);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->code);
    Py_VISIT(fn->defaults);
    Py_VISIT(fn->kwdefaults);
    Py_VISIT(fn->annotations);
    Py_VISIT(fn->globals);
    Py_VISIT(fn->stub);
    Py_VISIT(fn->varnames);
    Py_VISIT(fn->dict);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* fn = as_function(self);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->code);
    Py_CLEAR(fn->defaults);
    Py_CLEAR(fn->kwdefaults);
    Py_CLEAR(fn->annotations);
    Py_CLEAR(fn->globals);
    Py_CLEAR(fn->stub);
    Py_CLEAR(fn->varnames);
    Py_CLEAR(fn->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// Attributes. Each getter hands out the stored object; the writable ones
// check the type as Python's function object does.
template <std::size_t Offset>
PyObject* get_field(PyObject* self, void*) {
    PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset);
    return Py_NewRef(value != nullptr ? value : Py_None);
}

template <std::size_t Offset>
int set_string_field(PyObject* self, PyObject* value, void* closure) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object",
                     static_cast<const char*>(closure));
        return -1;
    }
    Py_XSETREF(*reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset),
               Py_NewRef(value));
    return 0;
}

int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, value != nullptr ? Py_NewRef(value) : PyDict_New());
    return as_function(self)->annotations != nullptr ? 0 : -1;
}

#define FN_OFFSET(member) offsetof(FunctionObject, member)

// __module__ is answered here rather than by a descriptor in the type's dict:
// there it would stand for the type's own __module__, which introspection
// tools (inspect, stubgen) read as text.
PyObject* function_getattro(PyObject* self, PyObject* name) {
    if (PyUnicode_Check(name) && PyUnicode_Compare(name, TARVEL_NAME("__module__")) == 0)
        return Py_NewRef(as_function(self)->module);
    return PyObject_GenericGetAttr(self, name);
}

int function_setattro(PyObject* self, PyObject* name, PyObject* value) {
    if (PyUnicode_Check(name) && PyUnicode_Compare(name, TARVEL_NAME("__module__")) == 0) {
        Py_XSETREF(as_function(self)->module, Py_NewRef(value != nullptr ? value : Py_None));
        return 0;
    }
    return PyObject_GenericSetAttr(self, name, value);
}

// __doc__ is a data descriptor in the type's dict, so object.__getattribute__
// (what pydoc and inspect read) finds each function's docstring. Read on the
// type itself it answers None, the type's own docstring, as text tools expect.
FunctionObject* doc_owner(PyObject* obj) {
    if (Py_TYPE(obj) == function_type) return as_function(obj);
    PyErr_Format(PyExc_TypeError,
                 "descriptor '__doc__' for 'function' objects doesn't apply to a '%s' object",
                 Py_TYPE(obj)->tp_name);
    return nullptr;
}

PyObject* doc_get(PyObject*, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) Py_RETURN_NONE;
    FunctionObject* fn = doc_owner(obj);
    return fn != nullptr ? Py_NewRef(fn->doc) : nullptr;
}

int doc_set(PyObject*, PyObject* obj, PyObject* value) {
    FunctionObject* fn = doc_owner(obj);
    if (fn == nullptr) return -1;
    Py_XSETREF(fn->doc, Py_NewRef(value != nullptr ? value : Py_None));
    return 0;
}

// Puts the __doc__ descriptor in the function type's dict.
void add_doc_descriptor(PyTypeObject* type) {
    PyType_Slot slots[] = {
        {Py_tp_descr_get, reinterpret_cast<void*>(doc_get)},
        {Py_tp_descr_set, reinterpret_cast<void*>(doc_set)},
        {0, nullptr},
    };
    PyType_Spec layout = {"tarvel._native.function_doc", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT,
                          slots};
    Ref doc_type = Ref::steal(PyType_FromSpec(&layout));
    Ref descriptor =
        Ref::steal(PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(doc_type.get()), 0));
    setattr(reinterpret_cast<PyObject*>(type), TARVEL_NAME("__doc__"), descriptor.get());
}

PyGetSetDef function_getset[] = {
    {"__name__", get_field<FN_OFFSET(name)>, set_string_field<FN_OFFSET(name)>, nullptr,
     const_cast<char*>("__name__")},
    {"__qualname__", get_field<FN_OFFSET(qualname)>, set_string_field<FN_OFFSET(qualname)>, nullptr,
     const_cast<char*>("__qualname__")},
    {"__code__", get_field<FN_OFFSET(code)>, nullptr, nullptr, nullptr},
    {"__defaults__", get_field<FN_OFFSET(defaults)>, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_field<FN_OFFSET(kwdefaults)>, nullptr, nullptr, nullptr},
    {"__annotations__", get_field<FN_OFFSET(annotations)>, set_annotations, nullptr, nullptr},
    {"__globals__", get_field<FN_OFFSET(globals)>, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Pickled by reference, as Python functions are: the module plus the qualified name.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, FN_OFFSET(vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, FN_OFFSET(dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, FN_OFFSET(weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject* ensure_type() {
    if (function_type != nullptr) return function_type;
    PyType_Slot slots[] = {
        {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
        {Py_tp_descr_get, reinterpret_cast<void*>(function_get)},
        {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
        {Py_tp_getattro, reinterpret_cast<void*>(function_getattro)},
        {Py_tp_setattro, reinterpret_cast<void*>(function_setattro)},
        {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
        {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
        {Py_tp_getset, function_getset},
        {Py_tp_methods, function_methods},
        {Py_tp_members, function_members},
        {0, nullptr},
    };
    PyType_Spec type_def = {
        "tarvel._native.function",
        sizeof(FunctionObject),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR |
            Py_TPFLAGS_HAVE_VECTORCALL,
        slots,
    };
    Ref made = Ref::steal(PyType_FromSpec(&type_def));
    add_doc_descriptor(reinterpret_cast<PyTypeObject*>(made.get()));
    function_type = reinterpret_cast<PyTypeObject*>(made.release());
    return function_type;
}

// Compiles `def <name>(<params>) -> <returns>: pass` (annotations kept as text)
// and returns the function: it supplies the code object, defaults and
// annotations, and raises Python's TypeError texts for calls that do not bind.
Ref compile_stub(const FunctionSpec& def, PyObject* module_name) {
    std::string source = "from __future__ import annotations\n";
    source += def.coroutine ? "async def __stub__(" : "def __stub__(";
    source += def.params;
    source += ")";
    if (def.returns != nullptr) {
        source += " -> ";
        source += def.returns;
    }
    source += ":\n    pass\n";
    Ref filename = Ref::steal(PyUnicode_FromFormat("<%U>", module_name));
    Ref code = Ref::steal(
        Py_CompileStringObject(source.c_str(), filename.get(), Py_file_input, nullptr, -1));
    Ref ns = Ref::steal(PyDict_New());
    dict_set(ns.get(), "__name__", module_name);
    dict_set(ns.get(), "__builtins__", PyEval_GetBuiltins());
    Ref done = Ref::steal(PyEval_EvalCode(code.get(), ns.get(), ns.get()));
    Ref stub = dict_get(ns.get(), TARVEL_NAME("__stub__"));
    Ref name = str(def.name);
    Ref qualname = str(def.qualname);
    setattr(stub.get(), TARVEL_NAME("__name__"), name.get());
    setattr(stub.get(), TARVEL_NAME("__qualname__"), qualname.get());
    Ref stub_code = getattr(stub.get(), TARVEL_NAME("__code__"));
    Ref replace = getattr(stub_code.get(), TARVEL_NAME("replace"));
    Ref kwargs = Ref::steal(PyDict_New());
    dict_set(kwargs.get(), "co_name", name.get());
    dict_set(kwargs.get(), "co_qualname", qualname.get());
    Ref empty = Ref::steal(PyTuple_New(0));
    Ref renamed = Ref::steal(PyObject_Call(replace.get(), empty.get(), kwargs.get()));
    setattr(stub.get(), TARVEL_NAME("__code__"), renamed.get());
    return stub;
}

}  // namespace

PyObject* running_function_name() {
    return running_name;
}

RunningFunction::RunningFunction(PyObject* name) noexcept
    : previous_(std::exchange(running_name, name)) {}

RunningFunction::~RunningFunction() {
    running_name = previous_;
}

Ref docstring(const char* text) {
#if PY_VERSION_HEX >= 0x030D0000
    // The compiler's cleaning: the smallest indentation (in spaces) of the
    // non-blank lines after the first is removed from each of them.
    std::string_view doc(text);
    const std::size_t first_end = doc.find('\n');
    std::size_t margin = std::string_view::npos;
    if (first_end != std::string_view::npos) {
        std::size_t p = first_end + 1;
        while (p < doc.size()) {
            const std::size_t start = p;
            while (p < doc.size() && doc[p] == ' ')
                ++p;
            if (p < doc.size() && doc[p] != '\n') margin = std::min(margin, p - start);
            while (p < doc.size() && doc[p++] != '\n') {
            }
        }
    }
    if (margin == std::string_view::npos) margin = 0;
    std::string clean;
    clean.reserve(doc.size());
    std::size_t p = doc.find_first_not_of(' ');
    if (p == std::string_view::npos) p = doc.size();
    bool first = true;
    while (p < doc.size()) {
        if (!first) {
            for (std::size_t i = 0; i < margin && p < doc.size() && doc[p] == ' '; ++i)
                ++p;
        }
        first = false;
        const std::size_t end = doc.find('\n', p);
        const std::size_t stop = end == std::string_view::npos ? doc.size() : end + 1;
        clean.append(doc.substr(p, stop - p));
        p = stop;
    }
    return str(clean);
#else
    return str(text);
#endif
}

Ref make_function(const FunctionSpec& def, PyObject* module) {
    PyTypeObject* type = ensure_type();
    PyObject* globals = PyModule_GetDict(module);
    check(globals == nullptr);
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    Ref stub = compile_stub(def, module_name.get());

    Ref self = Ref::steal(PyType_GenericAlloc(type, 0));
    FunctionObject* fn = as_function(self.get());
    fn->vectorcall = function_vectorcall;
    fn->impl = def.impl;
    fn->name = str(def.name).release();
    fn->qualname = str(def.qualname).release();
    fn->module = module_name.release();
    fn->doc = def.doc != nullptr ? docstring(def.doc).release() : Py_NewRef(Py_None);
    fn->code = getattr(stub.get(), TARVEL_NAME("__code__")).release();
    fn->defaults = getattr(stub.get(), TARVEL_NAME("__defaults__")).release();
    fn->kwdefaults = getattr(stub.get(), TARVEL_NAME("__kwdefaults__")).release();
    fn->annotations = getattr(stub.get(), TARVEL_NAME("__annotations__")).release();
    fn->globals = Py_NewRef(globals);
    fn->stub = stub.release();

    PyCodeObject* code = reinterpret_cast<PyCodeObject*>(fn->code);
    fn->argcount = code->co_argcount;
    fn->posonly = code->co_posonlyargcount;
    fn->nparams = code->co_argcount + code->co_kwonlyargcount;
    if (fn->nparams > kMaxParams || (code->co_flags & (CO_VARARGS | CO_VARKEYWORDS)) != 0) {
        throw Error(PyExc_SystemError, "native functions take at most 16 named parameters");
    }
    if (def.arity != -1 && def.arity != fn->nparams) {
        PyErr_Format(PyExc_SystemError, "%s(): its body takes %zd parameters, not the %zd of (%s)",
                     def.qualname, def.arity, fn->nparams, def.params);
        throw Error();
    }
    Ref varnames = getattr(fn->code, TARVEL_NAME("co_varnames"));
    fn->varnames = Ref::steal(PyTuple_GetSlice(varnames.get(), 0, fn->nparams)).release();
    return self;
}

bool runs(PyObject* obj, Impl impl) {
    return obj != nullptr && function_type != nullptr && Py_TYPE(obj) == function_type &&
           as_function(obj)->impl == impl;
}

bool type_runs(PyTypeObject* type, PyObject* name, Impl impl) {
    PyObject* found = type_lookup(type, name);
    if (found != nullptr && Py_TYPE(found) == &PyStaticMethod_Type) {
        found = PyObject_GetAttrString(found, "__func__");
        Py_XDECREF(found);  // the staticmethod keeps it alive
        if (found == nullptr) PyErr_Clear();
    }
    return runs(found, impl);
}

}  // namespace tarvel::py
