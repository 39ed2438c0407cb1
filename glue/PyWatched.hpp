// glue/PyWatched.hpp: standard-library names captured once and watched where they are bound
#pragma once

#include <memory>
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

// The names `capture` gives (null when they are not what the standard library defines), captured
// by the first call that succeeds and kept for the life of the process; null until then, each
// call trying again. Capturing runs code (imports), so another thread may capture meanwhile: the
// first kept stays, and a later capture, which no other thread has seen, is dropped.
template <class Names>
const Names* captured_once(std::unique_ptr<Names> (*capture)()) {
    static Names* kept = nullptr;
    if (kept != nullptr) return kept;
    std::unique_ptr<Names> fresh;
    try {
        fresh = capture();
    } catch (Error&) {
        // no usable module: calling its function itself reports whatever is wrong
    }
    if (kept == nullptr) kept = fresh.release();
    return kept;
}

// Whether `obj` is a Python function of the module whose globals are `globals`, named `qualname`.
bool is_function(PyObject* obj, PyObject* globals, const char* qualname);

// The dict of the class `type` (the mapping its attributes are looked up in).
Ref type_dict(PyObject* type);

}  // namespace tarvel::py
