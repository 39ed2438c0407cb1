// glue/PyLoadProblems.hpp: what a load of a JSON file found wrong, as the sentences of an object's
// load_problems
#pragma once

#include "glue/PyRef.hpp"

namespace tarvel::py {

// What a value parsed from JSON is, in JSON's words: "an object", "a list", "a string",
// "a number", "a boolean" or "null" ("a <type name>" for anything else).
Ref json_kind(PyObject* value);

// TypeError "<what> must be <expected>, not <json_kind(value)>": a document of the wrong shape.
[[noreturn]] void wrong_shape(const char* what, const char* expected, PyObject* value);

// The problems met in one read of the file at `path`, each a sentence "<path>: <what was
// wrong>", gathered in a list of texts:
//   "<path>: the file could not be read: <error>"
//   "<path>: the file is empty"
//   "<path>: the file is not valid JSON: <json's error>"
//   "<path>: <what has the wrong shape>"   ("\"jobs\" must be an object, not a list")
//   "<path>: <record> skipped: <reason>"   ("job a skipped: ...", "entry 2 skipped: ...")
//   "<path>: kept a copy of the file as <copy>", or
//   "<path>: no copy of the file could be kept: <error>"
class LoadProblems {
  public:
    // Gathers into a new list.
    explicit LoadProblems(PyObject* path);

    // The list the sentences go to (borrowed; the object holds it).
    PyObject* list() const { return list_.get(); }
    bool empty() const { return PyList_GET_SIZE(list_.get()) == 0; }

    // How far a read of the file had come when it failed: reading its text, parsing it as
    // JSON, or reading the document.
    enum class Stage { Read, Parse, Document };
    // The read failed with `error` at `stage`: "the file could not be read: <error>" (Read),
    // "the file is empty" or "the file is not valid JSON: <error>" (Parse, `text` the file's
    // text), "<error>" (Document: a document of the wrong shape, see wrong_shape).
    void failed(Stage stage, PyObject* text, const Error& error);
    // "<path>: <what> must be <expected>, not <json_kind(value)>", as wrong_shape says it.
    void shape(const char* what, const char* expected, PyObject* value);
    // "<path>: <record> skipped: <error's text>".
    void skipped(const Ref& record, const Error& error);
    // keep_unreadable() for the file (and its `companions`), then what became of the copy;
    // true when it was kept.
    bool keep_copy(PyObject* globals, const char* level, const char* what,
                   std::initializer_list<const char*> companions = {});

    // Adds the sentences to `owner`.load_problems (a list made when it has none). Never raises
    // for an Exception: the problems were logged already, and a merge must go on.
    void append_to(PyObject* owner) const;

  private:
    void sentence(const Ref& what);

    Ref path_;
    Ref list_;
};

}  // namespace tarvel::py
