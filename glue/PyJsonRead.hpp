// glue/PyJsonRead.hpp: JSON text read natively into Python values, as json.loads reads it, while
// json is the standard library's
#pragma once

#include <string_view>
#include <vector>

#include "glue/PyRef.hpp"
#include "json/TJsonParse.hpp"

namespace tarvel::py {

// Whether `json_module.loads` is the standard library's own json.loads, unpatched, with its
// default decoder: the values a native read builds are then the ones it returns.
bool loads_is_native(PyObject* json_module);

// A str's text as UTF-8 bytes for the reader: its own storage when it is ASCII, else an encoded
// copy held here (freed with it). Not ok() for anything but an exact str, or one with lone
// surrogates (no UTF-8 can hold them; json.loads reads those).
class Utf8Text {
  public:
    explicit Utf8Text(PyObject* text);
    bool ok() const { return ok_; }
    std::string_view view() const { return view_; }

  private:
    Ref bytes_;
    std::string_view view_;
    bool ok_ = false;
};

// Builds the values a json::Reader reads as json.loads builds them: dict, list, str, int, float,
// True, False and None, the constants NaN, Infinity and -Infinity the json module's own objects,
// keys shared as its scanner shares them within one read. A null Ref (no error pending) when the
// reader fails or a value is one json.loads must build itself (a big int past the digits limit).
class ValueBuilder {
  public:
    ValueBuilder();
    // The next value the reader reads, whole.
    Ref build(json::Reader& reader);
    // `value`, just read; an object's or an array's items are read from the reader.
    Ref build(json::Reader& reader, const json::Value& value);
    // A string value (or key), as json.loads makes it.
    Ref string(const json::Value& value);
    // A key, shared with the same key read before.
    Ref key(const json::Value& value);

  private:
    Ref scalar(const json::Value& value);
    Ref memo_;
    std::vector<char32_t> buffer_;
};

// json_module.loads(text) built natively: a null Ref (no error pending) when it must be called
// instead (json is not the standard library's, the text is no exact str, or the reader fails
// or declines it, whose errors json.loads then raises itself).
Ref loads_native(PyObject* json_module, PyObject* text);

// loads(text), where `loads` is what a json module's "loads" holds: built natively while it is the
// standard library's own, unpatched, and the reader takes the text; else called.
Ref call_loads(PyObject* loads, PyObject* text);
// json_module.loads(text), the same way.
Ref loads(PyObject* json_module, PyObject* text);

}  // namespace tarvel::py
