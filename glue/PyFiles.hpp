// glue/PyFiles.hpp: crash-safe file replacement and the keeping of unreadable files, through Path
#pragma once

#include "glue/PyRef.hpp"

namespace tarvel::py {

// path.write_text(text[, encoding=...]) made crash-safe: the text is written
// beside `path` and renamed over it in one step, so a killed process leaves the
// old file or the new one, never a part of either, and a failed write leaves no
// temporary file. Errors read as the direct write's would: they name `path`.
void replace_file(PyObject* path, PyObject* text, const char* encoding = nullptr);

// path.exists(), where a name longer than the file system allows names no file
// (instead of raising on some Python versions and not on others).
bool exists(PyObject* path);

// Copies the bytes of `path` to "<name>.bad-<local time %Y%m%d-%H%M%S>" beside
// it ("-2", "-3", ... when taken), the time from the module's `datetime.now()`.
// Returns the copy's path.
Ref keep_copy(PyObject* globals, PyObject* path);

// logger.<level>(message) through the module's `logger` global.
void log(PyObject* globals, const char* level, const Ref& message);

}  // namespace tarvel::py
