// glue/PyKeptTexts.hpp: a document's text assembled from its records' texts kept between saves
//
// json.dumps(document, indent=2) writes each record of a document as it writes the record alone,
// its lines indented to the record's depth (ensure_ascii leaves no newline inside a string). So a
// save can keep each record's text and encode again only the records that changed. A document
// (the scheduler's state file, the creator's improvement log) says only which records it has,
// under which keys, and its top-level layout; this component does the rest: the texts, the checks,
// the indenting, the order, the pruning and the joining into one str.
//
// Invariants:
//
// - A kept text is the text json.dumps(record, indent=2) gave one record, indented to the
//   record's place in its document, with what it was written from (KeptFields in
//   glue/PyJsonKept.hpp): the record's __dict__ (key and value objects, in order, held), its one
//   dict field that may change in place (a job's metadata, an entry's details) noted by the
//   objects it holds or by its own text, and, for the whole owner, the save's context (the
//   classes and globals the writing reads, held, and the classes' version tags).
// - It holds, and is joined into the document instead of encoding the record again, only while
//   json.dumps is the standard library's own, the context is the same objects and tags, the
//   record's __dict__ holds the same keys and value objects in the same order, every value but
//   the dict field is of a type that cannot change, and the dict field holds the same objects
//   or gives the same text. Anything else writes the record again.
// - Kept texts belong to one owner object (a Scheduler, a SkillCreator), in a holder stored in a
//   private attribute of it; a copy or a pickle of the owner gets none of them, and makes its own
//   at its first save. One save at a time uses them, under the interpreter lock, through
//   KeptTextsInUse, which marks them in use for the whole save: the code a save runs (to_dict, a
//   patched global, a finalizer, other threads meanwhile) cannot reach them, and the collector
//   neither visits nor clears them while they are in use.
// - A save that finds them in use (another thread's save, or a save started from code a save
//   runs) takes the whole path: it builds its document and encodes it whole, as if nothing were
//   kept. So does a save whose record cannot take the kept path (WholePath is thrown) or that
//   meets an error: the whole path then does and reports everything as it always did.
// - Each save has a number. A text notes the last save that used it; a record's texts are found
//   first at the place they had in the last save; the texts a save did not use are dropped when
//   it joins its document (they show the document it replaces).
// - A kept text (and a kept key text) is a view, never a copy: into the owner's document (the
//   text the last save joined, or the text a load read, held here as the str it is; the
//   scheduler remembers the same str as the base of its merges), or, while a save runs, into the
//   texts that save wrote anew. Joining the document moves every view of the save into the new
//   document, which then takes the old one's place; a save that does not join its document
//   (an error, the whole path) drops every kept text, so no view outlives what it shows.
// - A load may leave each record's text where it lies in the document it read, with the record
//   built from it (KeptTexts::load, which drops every kept text of another document first). The
//   next save keeps such a text only where the document's check (`verify` of KeptItems::add)
//   finds it to be exactly what that save would write for the record's present values at its
//   place, told without encoding the record; it is then noted with the record's fields as if
//   that save had written it. Else the record is written again. That save forgets the rest of
//   what the load left; a record found nowhere near its place in the load's order is written
//   again.
#pragma once

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "glue/PyJsonKept.hpp"
#include "glue/PyJsonMatch.hpp"
#include "glue/PyRef.hpp"

namespace tarvel::py {

// The text of one record at its place in the document, with what it was written from.
struct KeptText : KeptFields {
    std::string_view text;       // indented for the record's place in the document
    PyObject* record = nullptr;  // not held: the fields decide whether the text still holds
    std::uint64_t used = 0;      // the last save that wrote the record
    // A record saved as a dict's value: the key it was last saved under, with its text, and the
    // save that gave it that key.
    Ref key;
    std::string_view key_text;
    std::uint64_t keyed = 0;

    int traverse(visitproc visit, void* arg) const;
};

// Where a load found a record's text in the document it read, with the record it built: 16 bytes
// a record until the next save. A dict's value has its key's text before it on its line.
struct LoadedText {
    PyObject* record;  // not held: only a hint where to look; the text is checked in full
    std::uint32_t begin, size;
};

// The kept texts of one kind of record (a state file's jobs, its executions, a log's entries), by
// record, with the order of the last save, where most records are found again. A text stays
// where it is while others are added (the map keeps its elements in place).
class KeptRecords {
  public:
    // The kept text of `record`, written at `place` by the save `save` (a new, empty one when it
    // has none).
    KeptText& at(PyObject* record, std::size_t place, std::uint64_t save);
    // What the last load left for `record`, looked for a few places on from the last one found
    // (records come in the order the load built them, some removed or added since); null when
    // nothing.
    const LoadedText* loaded(PyObject* record);
    // Takes what a load left, in the order it built the records.
    void load(std::vector<LoadedText> loaded);
    // Ends the save `save`, which wrote `order` in turn (`written` of them written again), and
    // drops the texts it did not use.
    void finish(std::vector<KeptText*> order, std::uint64_t save, std::size_t written);
    // The last save that finished these records, and how many records it wrote again.
    std::uint64_t finished() const { return finished_; }
    std::size_t written() const { return written_; }
    // Drops the texts (what a load left stays).
    void clear_texts();
    void clear();
    int traverse(visitproc visit, void* arg) const;

  private:
    std::unordered_map<PyObject*, KeptText> texts_;
    std::vector<KeptText*> order_;  // the last save's, into texts_
    std::size_t used_ = 0;          // texts the save in progress has used so far
    std::uint64_t finished_ = 0;
    std::size_t written_ = 0;
    std::vector<LoadedText> loaded_;
    std::size_t next_loaded_ = 0;
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
    // The document the kept texts show: an ASCII str, or empty.
    std::string_view document() const { return document_text_; }
    // The save `save` joined `document` (an ASCII str): its records' texts are views into it
    // now; the kinds of record it did not write are dropped.
    void joined(Ref document, std::uint64_t save);
    // A load read `document` (an ASCII str) and left, for the kind of record `kind`, where each
    // record's text lies in it. Every kept text is dropped first when it is another document.
    void load(Ref document, std::size_t kind, std::vector<LoadedText> loaded);
    void clear();
    int traverse(visitproc visit, void* arg) const;

  private:
    Ref document_;
    std::string_view document_text_;
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

// The __dict__ of `record` when it is an instance of exactly `cls`; else the whole path.
Ref record_fields(PyObject* record, PyObject* cls);

// The text json.dumps(key, indent=2) gives a dict's key: an exact str, else the whole path.
std::string key_text(PyObject* json, PyObject* key);

class KeptItems;

// One save of a document from the kept texts in use: started with what the texts depend on
// besides the records (see KeptTexts::begin), it gives its number to the records' lists and
// dicts (KeptItems), then joins them into the document's text.
class KeptSave {
  public:
    KeptSave(KeptTexts& texts, PyObject* json, std::vector<Ref> context,
             std::initializer_list<unsigned int> tags);
    KeptSave(const KeptSave&) = delete;
    KeptSave& operator=(const KeptSave&) = delete;
    // A save that did not join its document drops every kept text (some show its new texts).
    ~KeptSave();

    // The text of a document that is one list or dict of records (standing at depth 0).
    Ref assemble(KeptItems& items);
    // The text of a document that is a dict of lists or dicts of records (each at depth 1), in
    // turn: the JSON text of its key (quotes included), and its records.
    Ref assemble(const std::vector<std::pair<std::string_view, KeptItems*>>& parts);

  private:
    friend class KeptItems;
    // Keeps a text written in this save until the document is joined.
    std::string_view fresh(std::string text) { return fresh_.emplace_back(std::move(text)); }
    Ref joined(Ref document);

    KeptTexts& texts_;
    PyObject* json_;
    std::uint64_t number_;
    std::deque<std::string> fresh_;
    bool joined_ = false;
};

// A kind of record with no check of what a load left: its records are written again.
struct NoLoadedCheck {
    bool operator()(std::string_view, std::size_t) const { return false; }
};

// The records of one kind in one save, in the order they are added: a list, or a dict whose
// values they are, standing at `depth` in the document (0 for the document itself). Each record
// is told unchanged by its fields (its __dict__); `nested` names its one dict field that may
// change in place. A kind whose records that have that field are written again at every save
// says kWriteNested.
class KeptItems {
  public:
    enum Shape { kList, kDict };
    enum Nested { kKeepNested, kWriteNested };

    KeptItems(KeptSave& save, std::size_t kind, Shape shape, std::size_t depth, const char* nested,
              Nested policy = kKeepNested);

    // Adds `record` (to a list), whose present values are `fields`. Its kept text stays while it
    // holds; else the text a load left for it, when `verify(text, depth)` finds it to be what
    // json.dumps writes for the record at that depth of the document; else `encode(kept)` gives
    // the value json.dumps writes for the record (it may throw WholePath), and its text is
    // written again. `immutable(value)` tells the field values that cannot change.
    template <class Immutable, class Encode, class Verify = NoLoadedCheck>
    KeptText& add(PyObject* record, PyObject* fields, const Immutable& immutable,
                  const Encode& encode, const Verify& verify = {}, PyObject* key = nullptr) {
        KeptText& kept = records_.at(record, order_.size(), save_.number_);
        if (!kept.still_valid(fields, save_.json_) &&
            !took_loaded(kept, fields, immutable, verify, key)) {
            kept.note(fields, nested_, immutable, save_.json_);
            const bool reusable = kept.reusable && (policy_ == kKeepNested || kept.nested_at < 0);
            kept.reusable = false;  // until the text is written
            const Ref value = encode(static_cast<const KeptText&>(kept));
            write(kept, value.get());
            kept.reusable = reusable;
        }
        order_.push_back(&kept);
        text_bytes_ += kept.text.size();
        return kept;
    }

    // Adds `record` under `key` (to a dict), as add() above.
    template <class Immutable, class Encode, class Verify = NoLoadedCheck>
    void add(PyObject* key, PyObject* record, PyObject* fields, const Immutable& immutable,
             const Encode& encode, const Verify& verify = {}) {
        keys_.push_back(key_of(add(record, fields, immutable, encode, verify, key), key));
        text_bytes_ += keys_.back().size();
    }

    // How many records were written again, not taken from their kept texts.
    std::size_t written() const { return written_; }

  private:
    friend class KeptSave;
    // Takes the text a load left for `kept`'s record when `verify` finds it holds (and its key's
    // text, under `key`, when that is the key's), noting the record's `fields`.
    template <class Immutable, class Verify>
    bool took_loaded(KeptText& kept, PyObject* fields, const Immutable& immutable,
                     const Verify& verify, PyObject* key) {
        if constexpr (std::is_same_v<Verify, NoLoadedCheck>) {
            return false;
        } else {
            const LoadedText* loaded = records_.loaded(kept.record);
            if (loaded == nullptr) return false;
            const std::string_view text =
                save_.texts_.document().substr(loaded->begin, loaded->size);
            if (!verify(text, depth_ + 1)) return false;
            kept.note(fields, nested_, immutable, save_.json_);
            kept.reusable = kept.reusable && (policy_ == kKeepNested || kept.nested_at < 0);
            kept.text = text;
            take_loaded_key(kept, loaded->begin, key);
            return true;
        }
    }
    void take_loaded_key(KeptText& kept, std::size_t begin, PyObject* key);
    void write(KeptText& kept, PyObject* value);
    std::string_view key_of(KeptText& kept, PyObject* key);
    template <class Out>
    void put(Out& out);
    void finish();

    KeptSave& save_;
    KeptRecords& records_;
    Shape shape_;
    std::size_t depth_;
    const char* nested_;
    Nested policy_;
    std::vector<KeptText*> order_;
    std::vector<std::string_view> keys_;  // each record's key text, in a dict
    std::size_t text_bytes_ = 0;          // of the texts and key texts added
    std::size_t written_ = 0;
};

}  // namespace tarvel::py
