// glue/PyWatched.hpp: standard-library names captured once and watched where they are bound
#pragma once

#include <vector>

#include "glue/PyRef.hpp"

namespace tarvel::py {

// Names of the standard library captured once, with the first use, and kept for the life of the
// process: while each is still bound where it was found, what it does is known, and native code
// may stand in for it.
struct WatchedNames {
    struct Watched {
        PyObject* dict;
        PyObject* name;
        PyObject* value;
    };
    std::vector<Ref> owned;  // the references behind every pointer here
    std::vector<Watched> watched;

    // Holds `r` for the life of these names; its object.
    PyObject* keep(Ref r) { return owned.emplace_back(std::move(r)).get(); }
    // dict[name], watched from now on; null when the dict has no such name.
    PyObject* watch(PyObject* dict, const char* name);
    // Whether every watched name is still bound to what was captured.
    bool unchanged() const;
};

// Whether `obj` is a Python function of the module whose globals are `globals`, named `qualname`.
bool is_function(PyObject* obj, PyObject* globals, const char* qualname);

// The dict of the class `type` (the mapping its attributes are looked up in).
Ref type_dict(PyObject* type);

}  // namespace tarvel::py
