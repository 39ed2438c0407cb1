// core/scheduler/PyLoadedTexts.hpp: the check that a job's text as a load found it is what the
// next save writes for it
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "glue/PyRef.hpp"

namespace tarvel::scheduler {

// The kinds of record among a scheduler's kept texts.
inline constexpr std::size_t kKeptJobs = 0, kKeptExecutions = 1;

// What _format_timestamp(ts) gives, when that is the module's own and tells it without running
// Python code (an exact int or float, the standard datetime, a time the platform converts);
// nullopt otherwise.
std::optional<std::string> timestamp_text(PyObject* globals, PyObject* ts);

// Tells, for one save, whether the text a load found for a job is what the save writes for it:
// json.dumps of its record (to_dict with the whole prompt and the metadata) at its place, read
// from the job's present fields. The human times are told by the module's own time formatting,
// for the local time zone of now; anything it cannot tell without running Python code is not
// the same, and the job is written again.
class LoadedJobCheck {
  public:
    LoadedJobCheck(PyObject* globals, PyObject* job_type, PyObject* job_state)
        : globals_(globals), job_type_(job_type), job_state_(job_state) {}

    // Whether `text`, standing at `depth` of the state file, is that of the job whose __dict__ is
    // `fields`.
    bool operator()(PyObject* fields, std::string_view text, std::size_t depth);

  private:
    void prepare();
    PyObject* value_of(PyObject* member) const;

    PyObject* globals_;
    PyObject* job_type_;
    PyObject* job_state_;
    bool prepared_ = false;
    // The members of JobType and JobState, with their values, read before any check
    std::vector<std::pair<py::Ref, py::Ref>> values_;
};

#ifdef TARVEL_TEST_HOOKS
// Test builds only: _keep_loaded_texts and _kept_jobs_written, to hand texts over as a load does
// and to see how many jobs a save wrote again.
void add_loaded_text_hooks(PyObject* module);
#endif

}  // namespace tarvel::scheduler
