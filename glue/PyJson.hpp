// glue/PyJson.hpp: json.dumps(obj, indent=2) written natively while json is the standard library's
#pragma once

#include "glue/PyRef.hpp"

namespace tarvel::py {

// The str that `json_module.dumps(obj, indent=2)` returns, with the same exceptions.
//
// While `json_module.dumps` is the standard library's own json.dumps (and json.JSONEncoder and
// the json.encoder functions it relies on are the original ones), a value made only of exact
// dict, list, tuple, str, int, float, bool and None, not nested too deep, is written natively.
// Any other value, as a whole, goes to `json_module.dumps(obj, indent=2)` before any code of
// its own has run.
Ref dumps_indent2(PyObject* json_module, PyObject* obj);

// Whether dumps_indent2(json_module, ...) writes natively at present: `json_module.dumps` is the
// standard library's, unpatched. Text it gave may then be kept and reused for the same values.
bool dumps_is_native(PyObject* json_module);

}  // namespace tarvel::py
