// native/json/TJsonParse.hpp: JSON text read as Python's json.loads reads it (no Python)
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarvel::json {

// ---------------------------------------------------------------------------------------------
// Scalars as the reader hands them over
// ---------------------------------------------------------------------------------------------

// What a value is, as far as the reader has read it: a scalar has been read whole; an object or
// an array has had its opening bracket read, and its items are read with next_member() or
// next_element().
enum class Kind : std::uint8_t {
    Object,
    Array,
    String,
    Integer,  // small: `integer` holds it; big (over 18 digits): `text` holds its digits
    Float,    // `number` holds it, correctly rounded as float() rounds the same text
    True,
    False,
    Null,
    NaN,
    Infinity,
    NegInfinity,
};

// A value as read: its kind, where its text begins in the document (for an object or an array,
// its opening bracket), and for scalars what it holds.
struct Value {
    Kind kind = Kind::Null;
    std::size_t begin = 0;
    // A string's contents between its quotes, escapes undone by decode(); a number's text.
    std::string_view text;
    // For a string: whether it holds a backslash (an escape) or a byte from 0x80 up (UTF-8).
    bool escaped = false;
    bool non_ascii = false;
    // For an Integer: whether it fits `integer` (at most 18 digits); if not, `text` is its digits.
    bool small = true;
    std::int64_t integer = 0;
    double number = 0.0;
};

// The code points of a string value's text (`value.text`, where `value.escaped` or
// `value.non_ascii`), escapes undone: \uXXXX pairs of a high and a low surrogate are one code
// point, a lone surrogate stays as it is. The text is one the reader accepted, so it is valid.
void decode(const Value& value, std::vector<char32_t>& out);

// ---------------------------------------------------------------------------------------------
// The reader
// ---------------------------------------------------------------------------------------------

// Reads one JSON document from UTF-8 text, in the order of its text, as Python's json.loads
// accepts it: whitespace is " \t\n\r"; strings hold no control character below U+0020 and only
// the escapes \" \\ \/ \b \f \n \r \t and \uXXXX; numbers are -?(0|[1-9][0-9]*)(.[0-9]+)?
// ([eE][-+]?[0-9]+)?; NaN, Infinity and -Infinity are numbers too; duplicate keys are for the
// caller (json.loads keeps the last value at the first key's place). Anything else (bad syntax,
// a float that float() would make infinite or zero from non-zero digits, an integer of more than
// kMaxIntDigits digits, nesting deeper than kMaxDepth, text after the document) makes the reader
// fail: every call then returns false, and the caller reads the document another way.
//
// A typical object: value(v) gives Kind::Object; while (next_member(key)) { value(v); ... };
// then ok() tells whether the whole object was read.
class Reader {
  public:
    // Containers nested deeper than this make the reader fail.
    static constexpr std::size_t kMaxDepth = 64;
    // So do integers of more digits than this: the lowest limit Python can be given for turning
    // digits into an int (sys.set_int_max_str_digits), past which json.loads raises.
    static constexpr std::size_t kMaxIntDigits = 640;

    explicit Reader(std::string_view text) : text_(text) {}

    bool ok() const { return !failed_; }
    // Where the next byte to read is.
    std::size_t position() const { return pos_; }
    std::string_view text() const { return text_; }

    // Reads the next value (see Value). False when the reader fails.
    bool value(Value& out);
    // Inside an object: reads the next key and its ":" and returns true, or reads the closing
    // "}" and returns false (check ok()). After it returned true, the member's value is next.
    bool next_member(Value& key);
    // Inside an array: returns true when another element follows (read it with value()), or
    // reads the closing "]" and returns false (check ok()).
    bool next_element();
    // Reads the next value whole, checking it, and builds nothing.
    bool skip_value();
    // Where the last closed container's closing bracket is.
    std::size_t last_close() const { return last_close_; }
    // After the document's value: true when only whitespace follows.
    bool finish();

  private:
    struct Level {
        bool has_items;
    };

    bool fail() {
        failed_ = true;
        return false;
    }
    void skip_space() {
        if (pos_ < text_.size() && static_cast<unsigned char>(text_[pos_]) <= ' ') skip_run();
    }
    // Past a run of whitespace.
    void skip_run();
    bool string(Value& out);
    bool number(Value& out);
    bool word(std::string_view w, Kind kind, Value& out);
    bool close(char bracket);

    std::string_view text_;
    std::size_t pos_ = 0;
    std::size_t last_close_ = 0;
    bool failed_ = false;
    std::vector<Level> levels_;
};

}  // namespace tarvel::json
