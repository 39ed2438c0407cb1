// glue/PyMethods.hpp: methods declared once, beside their bodies, and bound to their class from
// there
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "glue/PyClass.hpp"
#include "glue/PyFunction.hpp"

namespace tarvel::py {

// How many parameters a `def` parameter list names: its entries between commas outside brackets
// and quotes, less the bare "*" and "/" markers ("self, *, key: str = 'a, b'" names two).
constexpr std::size_t count_params(std::string_view params) {
    std::size_t count = 0;
    int depth = 0;
    char quote = 0;
    bool named = false;  // the entry so far holds more than blanks, "*" and "/"
    for (const char c : params) {
        if (quote != 0) {
            if (c == quote) quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '(' || c == '[' || c == '{') {
            ++depth;
        } else if (c == ')' || c == ']' || c == '}') {
            --depth;
        } else if (c == ',' && depth == 0) {
            count += named ? 1 : 0;
            named = false;
            continue;
        }
        if (c != ' ' && c != '*' && c != '/') named = true;
    }
    return count + (named ? 1 : 0);
}

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
    std::size_t arity;  // the parameters the body takes after the frame
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

// The body's type comes from the parameter list, so a body that takes another number of
// parameters is an overload of its own and the declared one is never defined: the build fails.
// Module initialisation checks the count against Python's reading of the list as well.
#define TARVEL_DECLARE_(cls, name, impl, params, returns, doc, kind)                            \
    ::tarvel::py::Body<::tarvel::py::count_params(params)> impl##_body;                         \
    ::tarvel::py::Ref impl(const ::tarvel::py::Frame& frame) {                                  \
        return ::tarvel::py::call_body<::tarvel::py::count_params(params)>(impl##_body, frame); \
    }                                                                                           \
    [[maybe_unused]] const int impl##_declared = declarations().add(                            \
        {#cls, name, params, returns, doc, impl, ::tarvel::py::MethodDecl::Kind::kind,          \
         ::tarvel::py::count_params(params)});                                                  \
    ::tarvel::py::Ref impl##_body

// A method and its body, declared once. The body names its parameters: the call's frame first
// (unnamed when the body does not use it), then the arguments, bound as Python binds them, in
// the order of the parameter list, self included:
//
//     TARVEL_METHOD(Scheduler, "remove_job", remove_job_impl, "self, job_id: str", "bool",
//                   "Remove a scheduled job.")
//     (const py::Frame& frame, PyObject* self, PyObject* job_id) {
//         ...
//     }
//
// Its qualified name is "Scheduler.remove_job"; the class gets it from
// declarations().add_to(module, "Scheduler", members). remove_job_impl is its py::Impl (what
// py::runs compares), which unpacks the frame into the body, remove_job_impl_body.
#define TARVEL_METHOD(cls, name, impl, params, returns, doc) \
    TARVEL_DECLARE_(cls, name, impl, params, returns, doc, Method)
// A coroutine method: the body returns py::make_coroutine(...), as an `async def` call does.
#define TARVEL_COROUTINE(cls, name, impl, params, returns, doc) \
    TARVEL_DECLARE_(cls, name, impl, params, returns, doc, Coroutine)
// A static method (no self).
#define TARVEL_STATICMETHOD(cls, name, impl, params, returns, doc) \
    TARVEL_DECLARE_(cls, name, impl, params, returns, doc, StaticMethod)
// A class method: its parameters start with "cls", the body's first argument after the frame.
#define TARVEL_CLASSMETHOD(cls, name, impl, params, returns, doc) \
    TARVEL_DECLARE_(cls, name, impl, params, returns, doc, ClassMethod)
// A read-only property: the body, (frame, self), is its getter.
#define TARVEL_PROPERTY(cls, name, impl, returns) \
    TARVEL_DECLARE_(cls, name, impl, "self", returns, nullptr, Property)
