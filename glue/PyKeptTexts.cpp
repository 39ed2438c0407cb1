// glue/PyKeptTexts.cpp: kept record texts, a save's records and document, and the holder that
// keeps the texts in their owner
#include "glue/PyKeptTexts.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <utility>

#include "glue/PyJson.hpp"
#include "glue/PyOwnedState.hpp"

namespace tarvel::py {

int KeptText::traverse(visitproc visit, void* arg) const {
    Py_VISIT(key.get());
    return KeptFields::traverse(visit, arg);
}

KeptText& KeptRecords::at(PyObject* record, std::size_t place, std::uint64_t save) {
    KeptText* kept =
        place < order_.size() && order_[place]->record == record ? order_[place] : &texts_[record];
    if (kept->used != save) ++used_;
    kept->record = record;
    kept->used = save;
    return *kept;
}

const LoadedText* KeptRecords::loaded(PyObject* record) {
    // A few places on: the records removed since the load are skipped, those added are not found.
    constexpr std::size_t kLookAhead = 8;
    if (next_loaded_ == 0 && !loaded_.empty())
        texts_.reserve(texts_.size() + loaded_.size());  // most are kept
    const std::size_t end = std::min(loaded_.size(), next_loaded_ + kLookAhead);
    for (std::size_t i = next_loaded_; i < end; ++i) {
        if (loaded_[i].record == record) {
            next_loaded_ = i + 1;
            return &loaded_[i];
        }
    }
    return nullptr;
}

void KeptRecords::load(std::vector<LoadedText> loaded) {
    loaded_ = std::move(loaded);
    next_loaded_ = 0;
}

void KeptRecords::finish(std::vector<KeptText*> order, std::uint64_t save, std::size_t written) {
    order_ = std::move(order);  // texts this save used, which stay
    finished_ = save;
    written_ = written;
    std::vector<LoadedText>().swap(loaded_);  // the first save after a load has looked
    next_loaded_ = 0;
    const std::size_t used = std::exchange(used_, 0);
    if (texts_.size() <= used) return;
    // The others show the document this save replaces. Taken out first and dropped once the map
    // holds none of them: dropping a reference may run code.
    std::vector<decltype(texts_)::node_type> dropped;
    for (auto it = texts_.begin(); it != texts_.end();) {
        const auto next = std::next(it);
        if (it->second.used != save) dropped.push_back(texts_.extract(it));
        it = next;
    }
}

void KeptRecords::clear_texts() {
    order_.clear();
    used_ = 0;
    auto dropped = std::move(texts_);
    texts_.clear();
}

void KeptRecords::clear() {
    std::vector<LoadedText>().swap(loaded_);
    next_loaded_ = 0;
    clear_texts();
}

int KeptRecords::traverse(visitproc visit, void* arg) const {
    for (const auto& item : texts_) {
        if (const int r = item.second.traverse(visit, arg)) return r;
    }
    return 0;
}

std::uint64_t KeptTexts::begin(std::vector<Ref> context, std::initializer_list<unsigned int> tags) {
    bool same = context.size() == context_.size() &&
                std::equal(tags.begin(), tags.end(), tags_.begin(), tags_.end());
    for (std::size_t i = 0; same && i < context.size(); ++i)
        same = context[i].get() == context_[i].get();
    if (!same) {
        // what a load left does not depend on the last save's context: it is checked in full
        for (KeptRecords& records : records_)
            records.clear_texts();
        context_.swap(context);  // the last context is dropped on return
        tags_.assign(tags);
    }
    return ++saves_;
}

void KeptTexts::joined(Ref document, std::uint64_t save) {
    for (KeptRecords& records : records_) {
        if (records.finished() != save) records.clear();
    }
    document_text_ = ascii_view(document.get()).value_or(std::string_view());
    document_ = std::move(document);  // the old document is dropped on return
}

void KeptTexts::load(Ref document, std::size_t kind, std::vector<LoadedText> loaded) {
    if (document.get() != document_.get()) {
        clear();
        document_text_ = ascii_view(document.get()).value_or(std::string_view());
        document_ = std::move(document);
    }
    records_[kind].load(std::move(loaded));
}

void KeptTexts::clear() {
    for (KeptRecords& records : records_)
        records.clear();
    auto dropped = std::move(context_);
    context_.clear();
    tags_.clear();
    document_text_ = {};
    auto old = std::move(document_);
}

int KeptTexts::traverse(visitproc visit, void* arg) const {
    for (const Ref& r : context_)
        Py_VISIT(r.get());
    for (const KeptRecords& records : records_) {
        if (const int r = records.traverse(visit, arg)) return r;
    }
    return 0;
}

// --- one save's records and document ----------------------------------------------------------

namespace {

// Records nested deeper than this are left to the whole path, whose recursion limits count the
// document's own levels.
constexpr std::size_t kDeepestKept = 64;

std::string_view ascii_of(PyObject* text) {
    const auto t = ascii_view(text);
    if (!t) throw WholePath{};
    return *t;
}

// An ASCII str made of pieces written straight into it: `layout(out)` calls out.put(piece), or
// out.place(piece) that gives where the piece stands, for each piece in turn, once to count them
// (place gives the piece itself) and once to write them (place gives it in the new str), so it
// must put the same pieces both times (it may run no Python code).
template <class Layout>
Ref ascii_text(const Layout& layout) {
    struct Count {
        static constexpr bool counting() { return true; }
        std::size_t size = 0;
        void put(std::string_view t) { size += t.size(); }
        std::string_view place(std::string_view t) {
            size += t.size();
            return t;
        }
    } count;
    layout(count);
    Ref text = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(count.size), 127));
    struct Write {
        static constexpr bool counting() { return false; }
        char* at;
        char* end;
        void put(std::string_view t) {
            if (t.size() > static_cast<std::size_t>(end - at)) throw WholePath{};
            std::memcpy(at, t.data(), t.size());
            at += t.size();
        }
        // Writes `t` and gives where it now stands.
        std::string_view place(std::string_view t) {
            const char* from = at;
            put(t);
            return {from, t.size()};
        }
    } out{reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get())),
          reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get())) + count.size};
    layout(out);
    if (out.at != out.end) throw WholePath{};
    return text;
}

// The pieces json.dumps(..., indent=2) writes for a list or dict of `count` items that stands at
// depth `depth` of its document: `open`, each item (`put(out, i)`) on a line of its own one level
// deeper, then `close` on a line of its own; `open` and `close` together when it is empty.
template <class Out, class Put>
void put_items(Out& out, std::string_view open, std::string_view close, std::size_t depth,
               std::size_t count, const Put& put) {
    constexpr std::string_view lines = "\n                ";
    out.put(open);
    if (count > 0) {
        const std::string_view inner = lines.substr(0, 3 + 2 * depth);
        for (std::size_t i = 0; i < count; ++i) {
            if (i > 0) out.put(",");
            out.put(inner);
            put(out, i);
        }
        out.put(lines.substr(0, 1 + 2 * depth));
    }
    out.put(close);
}

}  // namespace

Ref record_fields(PyObject* record, PyObject* cls) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(record)) != cls) throw WholePath{};
    return Ref::steal(PyObject_GenericGetDict(record, nullptr));
}

std::string key_text(PyObject* json, PyObject* key) {
    if (!PyUnicode_CheckExact(key)) throw WholePath{};
    return std::string(ascii_of(dumps_indent2(json, key).get()));
}

KeptSave::KeptSave(KeptTexts& texts, PyObject* json, std::vector<Ref> context,
                   std::initializer_list<unsigned int> tags)
    : texts_(texts), json_(json), number_(texts.begin(std::move(context), tags)) {}

KeptSave::~KeptSave() {
    if (!joined_) texts_.clear();
}

Ref KeptSave::joined(Ref document) {
    texts_.joined(document, number_);
    joined_ = true;
    return document;
}

Ref KeptSave::assemble(KeptItems& items) {
    Ref text = ascii_text([&](auto& out) { items.put(out); });
    items.finish();
    return joined(std::move(text));
}

Ref KeptSave::assemble(const std::vector<std::pair<std::string_view, KeptItems*>>& parts) {
    Ref text = ascii_text([&](auto& out) {
        put_items(out, "{", "}", 0, parts.size(), [&](auto& o, std::size_t i) {
            o.put(parts[i].first);
            o.put(": ");
            parts[i].second->put(o);
        });
    });
    for (const auto& part : parts)
        part.second->finish();
    return joined(std::move(text));
}

KeptItems::KeptItems(KeptSave& save, std::size_t kind, Shape shape, std::size_t depth,
                     const char* nested, Nested policy)
    : save_(save),
      records_(save.texts_.records(kind)),
      shape_(shape),
      depth_(depth),
      nested_(nested),
      policy_(policy) {}

// The record's text at its place in the document; too deep a record takes the whole path.
void KeptItems::write(KeptText& kept, PyObject* value) {
    auto text =
        indented(dumps_indent2(save_.json_, value).get(), 2 * (depth_ + 1), 2 * kDeepestKept);
    if (!text) throw WholePath{};
    kept.text = save_.fresh(std::move(*text));
    ++written_;
}

// A dict's value stands on the line of its key: `"key": {`, indented.
void KeptItems::take_loaded_key(KeptText& kept, std::size_t begin, PyObject* key) {
    const std::string_view document = save_.texts_.document();
    if (key == nullptr || begin < 4 || document.substr(begin - 2, 2) != ": ") return;
    const std::size_t line = document.rfind('\n', begin - 2);
    std::size_t start = line == std::string_view::npos ? 0 : line + 1;
    while (start < begin - 2 && document[start] == ' ')
        ++start;
    const std::string_view text = document.substr(start, begin - 2 - start);
    if (!json_text_is(text, key, 0)) return;
    kept.key = Ref::borrow(key);
    kept.key_text = text;
}

// The key text `kept` shows under `key` in this save: its own, unless this save gave it another
// key already (a record under two keys), whose text then stands for this save alone.
std::string_view KeptItems::key_of(KeptText& kept, PyObject* key) {
    std::string_view shown = kept.key_text;
    if (kept.key.get() != key) {
        if (kept.keyed == save_.number_) {
            shown = save_.fresh(key_text(save_.json_, key));
        } else {
            kept.key_text = save_.fresh(key_text(save_.json_, key));
            kept.key = Ref::borrow(key);
            shown = kept.key_text;
        }
    }
    kept.keyed = save_.number_;
    return shown;
}

// Each record's text (and key text) is placed in the document, and shows it from then on.
template <class Out>
void KeptItems::put(Out& out) {
    if constexpr (Out::counting()) {
        // told from the sizes noted as the records were added, without reading them again
        const std::size_t n = order_.size();
        if (n == 0) {
            out.put("[]");
            return;
        }
        const std::size_t separators = shape_ == kDict ? 2 * n : 0;  // ": " after each key
        out.size += text_bytes_ + separators + n * (3 + 2 * depth_) + (n - 1) + 2 * depth_ + 3;
        return;
    }
    if (shape_ == kList) {
        put_items(out, "[", "]", depth_, order_.size(),
                  [&](Out& o, std::size_t i) { order_[i]->text = o.place(order_[i]->text); });
        return;
    }
    put_items(out, "{", "}", depth_, order_.size(), [&](Out& o, std::size_t i) {
        KeptText& kept = *order_[i];
        const std::string_view key = o.place(keys_[i]);
        if (keys_[i].data() == kept.key_text.data()) kept.key_text = key;
        o.put(": ");
        kept.text = o.place(kept.text);
    });
}

void KeptItems::finish() {
    records_.finish(std::move(order_), save_.number_, written_);
    order_.clear();
    keys_.clear();
    text_bytes_ = 0;
}

// --- the holder ---------------------------------------------------------------------------------

namespace {

// The kept texts of one owner, and whether a save is using them. While one is, the texts change
// under it; the save holds the holder, so it is reachable then anyway, and what the texts hold
// only looks held from elsewhere: the collector neither visits nor clears them.
struct KeptHolder {
    KeptTexts texts;
    bool in_use = false;

    int traverse(visitproc visit, void* arg) const {
        return in_use ? 0 : texts.traverse(visit, arg);
    }
    void clear() {
        if (!in_use) texts.clear();
    }
};

using Holders = OwnedState<KeptHolder>;

}  // namespace

KeptTextsInUse::KeptTextsInUse(PyObject* owner, PyObject* name)
    : holder_(Holders::holder_of(owner, name, "tarvel._native.kept_texts")) {
    KeptHolder& h = Holders::in(holder_.get());
    if (h.in_use) return;
    h.in_use = true;
    texts_ = &h.texts;
}

KeptTextsInUse::~KeptTextsInUse() {
    if (texts_ != nullptr) Holders::in(holder_.get()).in_use = false;
}

}  // namespace tarvel::py
