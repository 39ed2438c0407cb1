// core/scheduler/PyLoop.cpp: start, stop, _loop and _fire_job, the scheduler's coroutines
#include "core/scheduler/PyScheduler.hpp"

namespace tarvel::scheduler {

void add_loop_methods(PyObject*, py::Members&) {}

}  // namespace tarvel::scheduler
