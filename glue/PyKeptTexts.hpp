// glue/PyKeptTexts.hpp: the texts of a document's records kept between saves, owned by the
// object that saves the document
//
// json.dumps(document, indent=2) writes each record of a document as it writes the record alone,
// its lines indented to the record's depth. So a save can keep each record's text with the objects
// it was written from (KeptFields) and encode again only the records whose objects changed. The
// texts belong to the object that saves (a Scheduler's state file, a SkillCreator's log), in a
// holder stored in a private attribute of it, and one save at a time uses them: a save that finds
// them in use (another thread, or a save started from code a save runs) builds its text whole.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "glue/PyJsonKept.hpp"
#include "glue/PyRef.hpp"

namespace tarvel::py {

// The text of one record at its place in the document, with what it was written from.
struct KeptText : KeptFields {
    std::string text;            // indented for the record's place in the document
    PyObject* record = nullptr;  // not held: the fields decide whether the text still holds
    std::uint64_t used = 0;      // the last save that wrote the record
    // A record saved as a dict's value: the key it was last saved under, with its text, and the
    // save that gave it that key.
    Ref key;
    std::string key_text;
    std::uint64_t keyed = 0;

    int traverse(visitproc visit, void* arg) const;
};

// The kept texts of one kind of record (a state file's jobs, its executions, a log's entries), by
// record, with the order of the last save, where most records are found again. A text stays
// where it is while others are added (the map keeps its elements in place).
class KeptRecords {
  public:
    // The kept text of `record`, written at `place` by the save `save` (a new, empty one when it
    // has none).
    KeptText& at(PyObject* record, std::size_t place, std::uint64_t save);
    // Ends the save `save`, which wrote `order` in turn, and drops the texts no save used lately.
    void finish(std::vector<KeptText*> order, std::uint64_t save);
    void clear();
    int traverse(visitproc visit, void* arg) const;

  private:
    std::unordered_map<PyObject*, KeptText> texts_;
    std::vector<KeptText*> order_;  // the last save's, into texts_
};

// The kept texts of one object's document: what they depend on besides the records, the records
// of each kind, and the count of saves.
class KeptTexts {
  public:
    static constexpr std::size_t kKinds = 2;

    // Starts a save whose texts depend on `context` (objects compared by identity, and held
    // here so that none can take another's place) and on the classes' version tags `tags`;
    // every kept text is dropped when either differs from the last save's. Returns the save's
    // number.
    std::uint64_t begin(std::vector<Ref> context, std::initializer_list<unsigned int> tags);
    KeptRecords& records(std::size_t kind) { return records_[kind]; }
    void clear();
    int traverse(visitproc visit, void* arg) const;

  private:
    std::vector<Ref> context_;
    std::vector<unsigned int> tags_;
    KeptRecords records_[kKinds];
    std::uint64_t saves_ = 0;
};

// The kept texts of `owner`, from its attribute `name` (a holder made and stored there when it
// holds none of the owner's own: on first use, or in a copy), held and marked in use while this
// lives. False when they are in use already: the caller then takes its whole path.
class KeptTextsInUse {
  public:
    KeptTextsInUse(PyObject* owner, PyObject* name);
    KeptTextsInUse(const KeptTextsInUse&) = delete;
    KeptTextsInUse& operator=(const KeptTextsInUse&) = delete;
    ~KeptTextsInUse();

    explicit operator bool() const { return texts_ != nullptr; }
    KeptTexts& operator*() const { return *texts_; }
    KeptTexts* operator->() const { return texts_; }

  private:
    Ref holder_;
    KeptTexts* texts_ = nullptr;
};

// An ASCII str made of pieces written straight into it: `layout(out)` calls out.put(piece) for
// each piece in turn, once to count them and once to write them, so it must put the same pieces
// both times (it may run no Python code).
template <class Layout>
Ref ascii_text(const Layout& layout) {
    struct Count {
        std::size_t size = 0;
        void put(std::string_view t) { size += t.size(); }
    } count;
    layout(count);
    Ref text = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(count.size), 127));
    struct Write {
        char* at;
        char* end;
        void put(std::string_view t) {
            if (t.size() > static_cast<std::size_t>(end - at)) throw WholePath{};
            std::memcpy(at, t.data(), t.size());
            at += t.size();
        }
    } out{reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get())),
          reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get())) + count.size};
    layout(out);
    if (out.at != out.end) throw WholePath{};
    return text;
}

// The pieces json.dumps(..., indent=2) writes for a list or dict of `items` that stands at
// depth `depth` of its document: `open`, each item (`put(out, item)`) on a line of its own one
// level deeper, then `close` on a line of its own; `open` and `close` together when it is empty.
template <class Out, class Items, class Put>
void put_items(Out& out, std::string_view open, std::string_view close, std::size_t depth,
               const Items& items, const Put& put) {
    constexpr std::string_view lines = "\n                ";
    out.put(open);
    if (!items.empty()) {
        const std::string_view inner = lines.substr(0, 3 + 2 * depth);
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (i > 0) out.put(",");
            out.put(inner);
            put(out, items[i]);
        }
        out.put(lines.substr(0, 1 + 2 * depth));
    }
    out.put(close);
}

}  // namespace tarvel::py
