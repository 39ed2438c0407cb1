// core/scheduler/PyScheduler.hpp: the parts of tarvel.core.scheduler, each built by its own source
// file
#pragma once

#include "glue/PyClass.hpp"
#include "glue/PyFiles.hpp"
#include "glue/PyLogging.hpp"
#include "glue/PyRef.hpp"

namespace tarvel::scheduler {

// JobType, JobState, ScheduledJob and JobExecution, bound in that order.
void add_records(PyObject* module);

// CronExpression.
void add_cron(PyObject* module);

// Scheduler: the class with its registry operations (which call the two below).
void add_scheduler(PyObject* module);
// start, stop, _loop and _fire_job.
void add_loop_methods(PyObject* module, py::Members& members);
// _save and _load.
void add_state_file_methods(PyObject* module, py::Members& members);

// logger.<level>(message) through the module's globals.
using py::log;

// The module function _format_timestamp.
py::Ref make_format_timestamp(PyObject* module);

// _format_timestamp(ts) as Python code calls it: through the module's globals.
py::Ref format_timestamp(PyObject* globals, PyObject* ts);

}  // namespace tarvel::scheduler
