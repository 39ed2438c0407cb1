// glue/PyJsonMatch.hpp: whether a text is what json.dumps(value, indent=2) writes for a value,
// told without encoding it
//
// A load keeps where each record's text lies in the document it read; the next save keeps such a
// text only where it is exactly what that save would write (glue/PyKeptTexts.hpp). This walks
// the text and the value together, writing only the scalars (into a buffer used again), so a
// check costs less than encoding the record and stops at the first difference.
#pragma once

#include <cstddef>
#include <string_view>

#include "glue/PyRef.hpp"
#include "native/json/TJsonText.hpp"

namespace tarvel::py {

// A text read from its start, piece by piece, against what json.dumps(..., indent=2) writes
// (ensure_ascii, separators "," and ": "): each step is false once the text differs.
class JsonMatch {
  public:
    explicit JsonMatch(std::string_view text) : text_(text) {}

    // The characters `piece` next.
    bool literal(std::string_view piece);
    // The next member of an object standing at `depth` (its "{" read already): "," unless it is
    // the first, a new line indented for its members, then `key` (its JSON text) and ": ".
    bool member(std::string_view key, std::size_t depth, bool first);
    // The end of a non-empty object or array at `depth`: a new line indented to it, then
    // `bracket`.
    bool close(char bracket, std::size_t depth);
    // The text json.dumps writes for `value` standing at `depth`: exact dicts with str keys,
    // exact lists, str, int, float, bool and None only (anything else gives false).
    bool value(PyObject* value, std::size_t depth);
    // The text of a str, quoted and escaped.
    bool string(PyObject* text);
    // Whether the whole text has been read.
    bool done() const { return at_ == text_.size(); }

  private:
    // The start of the next item of a container at `depth`: "," unless it is the first, then a
    // new line indented for its items.
    bool item(std::size_t depth, bool first);
    bool scratch_is();

    std::string_view text_;
    std::size_t at_ = 0;
    json::TextWriter scratch_;
};

// Whether `text` is all of what json.dumps(value, indent=2) writes for `value` standing at
// `depth` of a document, as JsonMatch::value tells it.
bool json_text_is(std::string_view text, PyObject* value, std::size_t depth);

}  // namespace tarvel::py
