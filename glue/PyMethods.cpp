// glue/PyMethods.cpp: methods declared once, beside their bodies, and bound to their class from
// there
#include "glue/PyMethods.hpp"

#include <cstring>
#include <string>

namespace tarvel::py {

// Module initialisation checks each count against the compiled parameter list; these are the
// forms that none of the declarations may happen to use yet.
static_assert(count_params("") == 0);
static_assert(count_params("cls, data: dict[str, Any]") == 2);
static_assert(count_params("self, *, key: str = 'a, b', pair: tuple = (1, 2)") == 3);
static_assert(count_params("a, /, b=\"]\", c: dict[str, int] | None = None") == 3);

void Declarations::add_to(PyObject* module, const char* cls, Members& members) const {
    for (const MethodDecl& decl : list_) {
        if (std::strcmp(decl.cls, cls) != 0) continue;
        const std::string qualname = std::string(decl.cls) + "." + decl.name;
        const bool coroutine = decl.kind == MethodDecl::Kind::Coroutine;
        Ref function =
            make_function({decl.name, qualname.c_str(), decl.params, decl.returns, decl.doc,
                           decl.impl, coroutine, static_cast<Py_ssize_t>(decl.arity)},
                          module);
        if (decl.kind == MethodDecl::Kind::Property)
            function = call(reinterpret_cast<PyObject*>(&PyProperty_Type), function);
        if (decl.kind == MethodDecl::Kind::StaticMethod)
            function = Ref::steal(PyStaticMethod_New(function.get()));
        if (decl.kind == MethodDecl::Kind::ClassMethod)
            function = Ref::steal(PyClassMethod_New(function.get()));
        members.emplace_back(decl.name, std::move(function));
    }
}

void Declarations::add_dataclass(PyObject* module, const char* cls, const char* doc,
                                 const std::vector<FieldSpec>& fields) const {
    Members members;
    add_to(module, cls, members);
    Ref made = make_dataclass(module, cls, doc, fields, members);
    check(PyModule_AddObjectRef(module, cls, made.get()) < 0);
}

}  // namespace tarvel::py
