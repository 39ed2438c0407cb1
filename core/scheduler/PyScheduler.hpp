// core/scheduler/PyScheduler.hpp: the parts of tarvel.core.scheduler, each built by its own source
// file
#pragma once

#include "glue/PyRef.hpp"

namespace tarvel::scheduler {

// JobType, JobState, ScheduledJob and JobExecution, bound in that order.
void add_records(PyObject* module);

// CronExpression.
void add_cron(PyObject* module);

// The module function _format_timestamp.
py::Ref make_format_timestamp(PyObject* module);

// _format_timestamp(ts) as Python code calls it: through the module's globals.
py::Ref format_timestamp(PyObject* globals, PyObject* ts);

}  // namespace tarvel::scheduler
