// glue/PyNativeFiles.hpp: the native file steps of replace_file, make_dirs and exists
#pragma once

#include "glue/PyRef.hpp"

#include <optional>

namespace tarvel::py {

// replace_file done with system calls (native/fs): for a stock path whose os and io functions
// are unpatched, text whose bytes are plain to tell, and a regular file the user may write or no
// file at all. Every step is the one replace_file takes through Python, with its audit events.
// False, with nothing changed, when it cannot be done so or a step before the rename fails:
// replace_file then takes every step through Python and meets the failure as it always has.
// Always false where the native steps make no POSIX calls.
bool replaced_natively(PyObject* globals, PyObject* path, PyObject* text, const char* encoding);

// path.mkdir(parents=True, exist_ok=True) with system calls, step by step as pathlib takes
// them (a missing parent made first, through its own path), raising what os.mkdir raises. False
// where Python must do it.
bool made_natively(PyObject* path);

// path.exists() told with a system call while `path` is a stock path (a name too long for the
// file system names no file); nothing where Python must look, and for what Path.exists reports
// as an error.
std::optional<bool> exists_natively(PyObject* path);

}  // namespace tarvel::py
