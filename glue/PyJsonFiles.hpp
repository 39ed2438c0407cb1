// glue/PyJsonFiles.hpp: JSON files read again only when they changed
#pragma once

#include <functional>

#include "glue/PyRef.hpp"

namespace tarvel::py {

// json.loads(read_text(path)) through `json_module`, as it parses now. While `json_module.loads`
// is the standard library's, what it parsed of a file is kept and given again while the file's
// size, times, inode and device are those it had when it was read (see file_identity).
//
// The value is shared with later calls: the caller must not change it, and hands out only
// fresh_copy() of its lists and dicts.
Ref json_file(PyObject* json_module, PyObject* path);

// json_file for a file that stock_listing found, by str(path): `make_path` gives the path itself
// when the file must be read.
Ref json_file_named(PyObject* json_module, PyObject* path_text,
                    const std::function<Ref()>& make_path);

// A copy of a value json.loads gave whose lists and dicts, at every depth, are new objects; the
// other values (str, int, float, bool, None) are the same ones.
Ref fresh_copy(PyObject* value);

}  // namespace tarvel::py
