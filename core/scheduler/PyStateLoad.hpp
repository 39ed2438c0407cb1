// core/scheduler/PyStateLoad.hpp: the state file read natively, its records built directly
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "core/scheduler/PyScheduler.hpp"

namespace tarvel::scheduler {

// Notes the module's own classes and the names a job's record depends on, as the module defines
// them: while the module's globals still hold them, a load may build records natively.
void remember_own_names(PyObject* module);

// A record of the state file, read natively: the object built, or the record as json.loads gives
// it when only the Python way can build it (with the errors and log lines that way gives).
struct ReadRecord {
    py::Ref key;        // its key in "jobs"; null for an execution
    py::Ref built;      // the job or execution built natively, or null
    py::Ref data;       // else the record's value, for the Python way
    std::size_t begin;  // its text: from its "{" (or first byte) ...
    std::size_t end;    // ... to its "}" (or last byte), in bytes of the text's UTF-8
};

struct ReadDocument {
    std::vector<ReadRecord> jobs;
    std::vector<ReadRecord> executions;
};

// The state file's text read natively; nullopt when the whole document must go the Python way
// (json or a name the records depend on is not the module's own, the text is not what json.loads
// reads natively, or its shape is one that json.loads and read_jobs must report).
std::optional<ReadDocument> read_natively(PyObject* globals, PyObject* text);

// The records of `document` put into `jobs` (by the job's id) and `history` in order, as
// read_jobs and read_executions put them; a record left to the Python way goes through read_job
// or read_execution. False when one was skipped.
bool install_jobs(PyObject* globals, const ReadDocument& document, PyObject* jobs,
                  py::LoadProblems& problems);
bool install_executions(PyObject* globals, const ReadDocument& document, PyObject* history,
                        py::LoadProblems& problems);

// Hands the natively built records of `document` and their texts to keep_loaded_texts.
void keep_texts_of(PyObject* globals, PyObject* self, PyObject* text, const ReadDocument& document);

}  // namespace tarvel::scheduler
