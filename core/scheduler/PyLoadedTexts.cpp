// core/scheduler/PyLoadedTexts.cpp: the texts of the records a load built, kept for the next save
#include "core/scheduler/PyScheduler.hpp"

namespace tarvel::scheduler {

void keep_loaded_texts(PyObject* /*globals*/, PyObject* /*self*/, PyObject* /*text*/,
                       const std::vector<LoadedRecord>& /*jobs*/,
                       const std::vector<LoadedRecord>& /*executions*/) {}

}  // namespace tarvel::scheduler
