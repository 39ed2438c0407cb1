// native/json/TJsonText.hpp: JSON text laid out as json.dumps(obj, indent=2) writes it (no Python)
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace tarvel::json {

// ---------------------------------------------------------------------------------------------
// Numbers
// ---------------------------------------------------------------------------------------------

// Longest text format_double() writes: "-2.2250738585072014e-308" is 24 characters.
inline constexpr std::size_t kDoubleChars = 32;

// Writes the text Python's float.__repr__ gives for a finite `v` (shortest round-trip digits,
// positional notation for decimal exponents -4..15, else "1.5e+16" / "1e-05") and returns its
// length. Non-finite values are the caller's business (see TextWriter::number).
std::size_t format_double(double v, char* out);

// ---------------------------------------------------------------------------------------------
// The writer
// ---------------------------------------------------------------------------------------------

// An ASCII output buffer with the layout of indent=2: an empty container is "{}" or "[]", every
// item of a non-empty one starts on a new line indented by two spaces per open container, items
// are separated by ",", a key is followed by ": ", and the text has no trailing newline.
// Strings are escaped as with ensure_ascii: the short escapes \" \\ \n \r \t \b \f, \u00XX for
// the other control characters, \uXXXX (lowercase hex) for everything from U+007F up, a UTF-16
// surrogate pair for characters above U+FFFF, and a lone surrogate as its own \udXXX.
//
// A typical object member: next_item(); string(key...); key_separator(); <value>.
class TextWriter {
  public:
    TextWriter() = default;
    TextWriter(TextWriter&& other) noexcept;
    TextWriter& operator=(TextWriter&& other) noexcept;
    TextWriter(const TextWriter&) = delete;
    TextWriter& operator=(const TextWriter&) = delete;
    ~TextWriter();

    std::string_view text() const { return {data_, size_}; }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    // Empties the text and forgets open containers; the memory is kept for reuse.
    void clear();

    // ---- containers -------------------------------------------------------------------------

    void open_object() { open('{'); }
    void open_array() { open('['); }
    // Starts the next item of the innermost container: "," unless it is the first, then a
    // newline and the indentation of that container's items.
    void next_item() {
        Level& level = levels_.back();
        char* out = reserve(2 + 2 * levels_.size() + kIndentSlack);
        if (level.has_items) *out++ = ',';
        level.has_items = true;
        commit(newline_indent_at(out, levels_.size()));
    }
    // ": " between a key and its value.
    void key_separator() { raw(": "); }
    // "}" or "]": directly after the bracket when no item was started, else on a new line
    // indented to the container's own level.
    void close_object() { close('}'); }
    void close_array() { close(']'); }
    // How many containers are open.
    std::size_t depth() const { return levels_.size(); }

    // ---- scalars ----------------------------------------------------------------------------

    void null() { raw("null"); }
    void boolean(bool v) { v ? raw("true") : raw("false"); }
    void integer(std::int64_t v);
    // float.__repr__ text; NaN, Infinity and -Infinity for the non-finite values.
    void number(double v);
    // Text the caller knows to be ASCII and valid at this point (a big integer's digits).
    void raw(std::string_view ascii) {
        char* out = reserve(ascii.size());
        std::memcpy(out, ascii.data(), ascii.size());
        size_ += ascii.size();
    }

    // A quoted, escaped string from code points stored in 1-, 2- or 4-byte units (the three
    // storage kinds of a Python str). Code points above U+10FFFF are not valid input.
    void string(const std::uint8_t* units, std::size_t n);
    void string(const std::uint16_t* units, std::size_t n);
    void string(const std::uint32_t* units, std::size_t n);

  private:
    struct Level {
        bool has_items;
    };

    void open(char bracket);
    void close(char bracket);
    // The indentation is stored in whole blocks of 16 spaces, so its room is reserved with
    // kIndentSlack bytes to spare.
    static constexpr std::size_t kIndentSlack = 16;
    void newline_indent(std::size_t level) {
        commit(newline_indent_at(reserve(1 + 2 * level + kIndentSlack), level));
    }
    static char* newline_indent_at(char* out, std::size_t level) {
        *out++ = '\n';
        for (std::size_t done = 0; done < 2 * level; done += 16)
            std::memcpy(out + done, "                ", 16);
        return out + 2 * level;
    }
    // Makes room for `n` more bytes and returns where they go; commit() then sets the size.
    char* reserve(std::size_t n) {
        if (capacity_ - size_ < n) grow(size_ + n);
        return data_ + size_;
    }
    void commit(char* end) { size_ = static_cast<std::size_t>(end - data_); }
    void grow(std::size_t need);
    template <class Unit>
    void write_string(const Unit* units, std::size_t n);

    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::vector<Level> levels_;
};

}  // namespace tarvel::json
