// glue/PyJsonFiles.hpp: JSON files read again only when they changed
#pragma once

#include <array>
#include <functional>
#include <optional>
#include <string>

#include "glue/PyRef.hpp"

namespace tarvel::py {

// json.loads(read_text(path)) through `json_module`, as it parses now. While `json_module.loads`
// is the standard library's, what it parsed of a file is kept and given again while the file's
// size, times, inode and device are those it had when it was read (see file_identity).
//
// The value is shared with later calls: the caller must not change it, and hands out only
// fresh_copy() of its lists and dicts.
Ref json_file(PyObject* json_module, PyObject* path);

// json_file for a file that stock_listing found, turned by `derive` into what the caller hands
// out: `fs_name` names the file (os.fsencode of its path), `identity` is the one the listing read,
// and `make_path` gives the path itself when the file must be read. What `derive` gave is kept
// beside the parsed value and given again while the file is unchanged: it is shared, and the
// caller hands out only fresh_copy() of it.
Ref derived_json_file(PyObject* json_module, const std::string& fs_name,
                      const std::optional<std::array<long long, 5>>& identity,
                      const std::function<Ref()>& make_path,
                      const std::function<Ref(PyObject*)>& derive);

// A copy of a value json.loads gave whose lists and dicts, at every depth, are new objects; the
// other values (str, int, float, bool, None) are the same ones.
Ref fresh_copy(PyObject* value);

}  // namespace tarvel::py
