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
// - Each save has a number. A text notes the last save that wrote it; a record's texts are found
//   first at the place they had in the last save; once far more texts are kept than the last
//   save wrote, those it did not write are dropped.
#pragma once

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
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

    // The text of a document that is one list or dict of records (standing at depth 0).
    Ref assemble(KeptItems& items);
    // The text of a document that is a dict of lists or dicts of records (each at depth 1), in
    // turn: the JSON text of its key (quotes included), and its records.
    Ref assemble(const std::vector<std::pair<std::string_view, KeptItems*>>& parts);

  private:
    friend class KeptItems;
    KeptTexts& texts_;
    PyObject* json_;
    std::uint64_t number_;
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
    // holds; else `encode(kept)` gives the value json.dumps writes for the record (it may throw
    // WholePath), and its text is written again. `immutable(value)` tells the field values that
    // cannot change.
    template <class Immutable, class Encode>
    KeptText& add(PyObject* record, PyObject* fields, const Immutable& immutable,
                  const Encode& encode) {
        KeptText& kept = records_.at(record, order_.size(), save_.number_);
        if (!kept.still_valid(fields, save_.json_)) {
            kept.note(fields, nested_, immutable, save_.json_);
            const bool reusable = kept.reusable && (policy_ == kKeepNested || kept.nested_at < 0);
            kept.reusable = false;  // until the text is written
            const Ref value = encode(static_cast<const KeptText&>(kept));
            write(kept, value.get());
            kept.reusable = reusable;
        }
        order_.push_back(&kept);
        return kept;
    }

    // Adds `record` under `key` (to a dict), as add() above.
    template <class Immutable, class Encode>
    void add(PyObject* key, PyObject* record, PyObject* fields, const Immutable& immutable,
             const Encode& encode) {
        keys_.push_back(key_of(add(record, fields, immutable, encode), key));
    }

    // How many records were written again, not taken from their kept texts.
    std::size_t written() const { return written_; }

  private:
    friend class KeptSave;
    void write(KeptText& kept, PyObject* value);
    const std::string* key_of(KeptText& kept, PyObject* key);
    template <class Out>
    void put(Out& out) const;
    void finish();

    KeptSave& save_;
    KeptRecords& records_;
    Shape shape_;
    std::size_t depth_;
    const char* nested_;
    Nested policy_;
    std::vector<KeptText*> order_;
    std::vector<const std::string*> keys_;  // each record's key text, in a dict
    std::deque<std::string> other_keys_;    // a record's second key in this save
    std::size_t written_ = 0;
};

}  // namespace tarvel::py
