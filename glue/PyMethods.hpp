// glue/PyMethods.hpp: methods declared once, beside their bodies, and bound to their class from
// there
#pragma once

#include <vector>

#include "glue/PyClass.hpp"
#include "glue/PyFunction.hpp"

namespace tarvel::py {

// What one declaration says: the class and the method's name (the qualified name is
// "<cls>.<name>"), its parameters and return annotation as a `def` writes them, its
// docstring, its body, and how the class holds it.
struct MethodDecl {
    enum class Kind { Method, Coroutine, Property, StaticMethod, ClassMethod };
    const char* cls;
    const char* name;
    const char* params;
    const char* returns;  // or nullptr
    const char* doc;      // or nullptr
    Impl impl;
    Kind kind;
};

// The declarations of one source file, in the order they stand there.
class Declarations {
  public:
    int add(const MethodDecl& decl) {
        list_.push_back(decl);
        return 0;
    }
    // The declared methods of `cls`, as members for make_class, in declaration order.
    void add_to(PyObject* module, const char* cls, Members& members) const;
    // The dataclass `cls` of `fields` with its declared methods, bound in `module` by its name.
    void add_dataclass(PyObject* module, const char* cls, const char* doc,
                       const std::vector<FieldSpec>& fields) const;

  private:
    std::vector<MethodDecl> list_;
};

}  // namespace tarvel::py

// In a source file that declares methods, inside its anonymous namespace, once.
#define TARVEL_DECLARATIONS                         \
    ::tarvel::py::Declarations& declarations() {    \
        static ::tarvel::py::Declarations declared; \
        return declared;                            \
    }

#define TARVEL_DECLARE_(cls, name, impl, params, returns, doc, kind)                     \
    ::tarvel::py::Ref impl(const ::tarvel::py::Frame& frame);                            \
    [[maybe_unused]] const int impl##_declared = declarations().add(                     \
        {#cls, name, params, returns, doc, impl, ::tarvel::py::MethodDecl::Kind::kind}); \
    ::tarvel::py::Ref impl([[maybe_unused]] const ::tarvel::py::Frame& frame)

// A method and its body, declared once:
//
//     TARVEL_METHOD(Scheduler, "remove_job", remove_job_impl, "self, job_id: str", "bool",
//                   "Remove a scheduled job.") {
//         PyObject* self = frame.args[0];  // the arguments, bound as Python binds them
//         ...
//     }
//
// Its qualified name is "Scheduler.remove_job"; the class gets it from
// declarations().add_to(module, "Scheduler", members).
#define TARVEL_METHOD(cls, name, impl, params, returns, doc) \
    TARVEL_DECLARE_(cls, name, impl, params, returns, doc, Method)
// A coroutine method: the body returns py::make_coroutine(...), as an `async def` call does.
#define TARVEL_COROUTINE(cls, name, impl, params, returns, doc) \
    TARVEL_DECLARE_(cls, name, impl, params, returns, doc, Coroutine)
// A static method (no self).
#define TARVEL_STATICMETHOD(cls, name, impl, params, returns, doc) \
    TARVEL_DECLARE_(cls, name, impl, params, returns, doc, StaticMethod)
// A class method: its parameters start with "cls", which frame.args[0] receives.
#define TARVEL_CLASSMETHOD(cls, name, impl, params, returns, doc) \
    TARVEL_DECLARE_(cls, name, impl, params, returns, doc, ClassMethod)
// A read-only property: the body is its getter.
#define TARVEL_PROPERTY(cls, name, impl, returns) \
    TARVEL_DECLARE_(cls, name, impl, "self", returns, nullptr, Property)
