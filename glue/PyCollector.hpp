// glue/PyCollector.hpp: the cyclic collector held off while many new objects are built
#pragma once

#include <Python.h>

namespace tarvel::py {

// The collector held off for a scope in which many objects are made that all live on (the
// records of a load): it runs again afterwards, as the new objects' count tells it to.
class CollectorPaused {
  public:
    CollectorPaused() : was_enabled_(PyGC_Disable() != 0) {}
    ~CollectorPaused() {
        if (was_enabled_) PyGC_Enable();
    }
    CollectorPaused(const CollectorPaused&) = delete;
    CollectorPaused& operator=(const CollectorPaused&) = delete;

  private:
    bool was_enabled_;
};

}  // namespace tarvel::py
