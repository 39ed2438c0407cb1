// glue/PyLogging.hpp: log records made as a Python module's own logging calls make them
#pragma once

#include "glue/PyRef.hpp"

namespace tarvel::py {

// logger.<level>(message[, exc_info=...]) through the module's `logger` global
// (level: "debug", "info", "warning" or "error").
//
// While that logger is a standard logging.Logger whose level method and _log
// are logging's own, the record is made here with what a Python module's call
// would give it: the module's file as "<dir>/<name>.py", and the running
// function's name, instead of the caller that logging's own frame search would
// find above native code. Otherwise the level method is called as it is.
void log(PyObject* globals, const char* level, const Ref& message, PyObject* exc_info = nullptr);

// Notes logging's own Logger methods. Call at module import, before a host or test can patch them.
void remember_stock_logging();

}  // namespace tarvel::py
