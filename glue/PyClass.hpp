// glue/PyClass.hpp: classes built with Python's own machinery (type(), dataclass, EnumType)
#pragma once

#include <utility>
#include <vector>

#include "glue/PyRef.hpp"

namespace tarvel::py {

// One field of a dataclass: an annotation (text) and either no default, a
// default value, or a default factory.
struct FieldSpec {
    const char* name;
    const char* annotation;
    Ref default_value;  // null: no default value
    Ref factory;        // null: no default factory
};

// A class body's other members, in order: methods, class attributes.
using Members = std::vector<std::pair<const char*, Ref>>;

// class <name>: with the module's own `dataclass` decorator applied, as a class statement would.
Ref make_dataclass(PyObject* module, const char* name, const char* doc,
                   const std::vector<FieldSpec>& fields, const Members& members);

// class <name>(str, Enum) with members given as (NAME, "value").
Ref make_str_enum(PyObject* module, const char* name,
                  const std::vector<std::pair<const char*, const char*>>& members);

// class <name>(base): through types.prepare_class, so the base's metaclass builds it.
Ref make_subclass(PyObject* module, const char* name, const char* doc, PyObject* base,
                  const Members& members);

// A plain class: type(name, (), namespace).
Ref make_class(PyObject* module, const char* name, const char* doc, const Members& members);

}  // namespace tarvel::py
