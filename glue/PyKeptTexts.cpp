// glue/PyKeptTexts.cpp: kept record texts, and the holder that keeps them in their owner
#include "glue/PyKeptTexts.hpp"

#include <algorithm>
#include <iterator>
#include <memory>
#include <utility>

namespace tarvel::py {

int KeptText::traverse(visitproc visit, void* arg) const {
    Py_VISIT(key.get());
    return KeptFields::traverse(visit, arg);
}

KeptText& KeptRecords::at(PyObject* record, std::size_t place, std::uint64_t save) {
    KeptText* kept =
        place < order_.size() && order_[place]->record == record ? order_[place] : &texts_[record];
    kept->record = record;
    kept->used = save;
    return *kept;
}

void KeptRecords::finish(std::vector<KeptText*> order, std::uint64_t save) {
    order_ = std::move(order);  // texts this save used, which stay
    if (texts_.size() <= 2 * order_.size() + 256) return;
    // Taken out first and dropped once the map holds none of them: dropping a reference may
    // run code.
    std::vector<decltype(texts_)::node_type> dropped;
    for (auto it = texts_.begin(); it != texts_.end();) {
        const auto next = std::next(it);
        if (it->second.used != save) dropped.push_back(texts_.extract(it));
        it = next;
    }
}

void KeptRecords::clear() {
    order_.clear();
    auto dropped = std::move(texts_);
    texts_.clear();
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
        clear();
        context_.swap(context);  // the last context is dropped on return
        tags_.assign(tags);
    }
    return ++saves_;
}

void KeptTexts::clear() {
    for (KeptRecords& records : records_)
        records.clear();
    auto dropped = std::move(context_);
    context_.clear();
    tags_.clear();
}

int KeptTexts::traverse(visitproc visit, void* arg) const {
    for (const Ref& r : context_)
        Py_VISIT(r.get());
    for (const KeptRecords& records : records_) {
        if (const int r = records.traverse(visit, arg)) return r;
    }
    return 0;
}

// --- the holder ---------------------------------------------------------------------------------

namespace {

struct HolderObject {
    PyObject_HEAD KeptTexts* texts;  // owned; null only while the holder is made
    PyObject* owner;  // a weak reference to the object it belongs to; null until one takes it
    bool in_use;      // a save is using `texts`
};

HolderObject* as_holder(PyObject* self) {
    return reinterpret_cast<HolderObject*>(self);
}

PyTypeObject* holder_type();

// A new, empty holder that belongs to no object yet.
Ref new_holder() {
    PyTypeObject* type = holder_type();
    Ref made = Ref::steal(type->tp_alloc(type, 0));
    as_holder(made.get())->texts = new KeptTexts;
    return made;
}

PyObject* holder_copy(PyObject*, PyObject*) {
    return guard([] { return new_holder(); });
}

PyObject* holder_deepcopy(PyObject*, PyObject*) {
    return guard([] { return new_holder(); });
}

// Pickled as None: the owner's next save makes itself a holder.
PyObject* holder_reduce(PyObject*, PyObject*) {
    return Py_BuildValue("(O())", reinterpret_cast<PyObject*>(Py_TYPE(Py_None)));
}

// While a save uses the texts they change under it; the save holds the holder, so it is
// reachable then anyway, and what the texts hold only looks held from elsewhere.
int holder_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    HolderObject* h = as_holder(self);
    Py_VISIT(h->owner);
    if (h->in_use || h->texts == nullptr) return 0;
    return h->texts->traverse(visit, arg);
}

int holder_clear(PyObject* self) {
    HolderObject* h = as_holder(self);
    Py_CLEAR(h->owner);
    if (!h->in_use && h->texts != nullptr) h->texts->clear();
    return 0;
}

void holder_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    HolderObject* h = as_holder(self);
    delete std::exchange(h->texts, nullptr);  // nothing reaches the holder any more
    Py_CLEAR(h->owner);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef holder_methods[] = {
    {"__copy__", holder_copy, METH_NOARGS, nullptr},
    {"__deepcopy__", holder_deepcopy, METH_O, nullptr},
    {"__reduce__", holder_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* holder_type() {
    // Made at first use, under the GIL. Making it may run the collector and so other threads: one
    // of those that made a type meanwhile keeps the first, and its own is dropped.
    static PyTypeObject* type = nullptr;
    if (type != nullptr) return type;
    PyType_Slot slots[] = {
        {Py_tp_traverse, reinterpret_cast<void*>(holder_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(holder_clear)},
        {Py_tp_dealloc, reinterpret_cast<void*>(holder_dealloc)},
        {Py_tp_methods, holder_methods},
        {0, nullptr},
    };
    PyType_Spec layout = {
        "tarvel._native.kept_texts",
        sizeof(HolderObject),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
            Py_TPFLAGS_IMMUTABLETYPE,
        slots,
    };
    Ref made = Ref::steal(PyType_FromSpec(&layout));
    if (type == nullptr) type = reinterpret_cast<PyTypeObject*>(made.release());
    return type;
}

// Whether the weak reference `ref` refers to `obj`.
bool refers_to(PyObject* ref, PyObject* obj) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* target = nullptr;
    check(PyWeakref_GetRef(ref, &target) < 0);
    Py_XDECREF(target);  // only its address is compared
    return target == obj;
#else
    return PyWeakref_GetObject(ref) == obj;
#endif
}

// The holder of `owner`'s texts in its attribute `name`; one is made and stored there when the
// attribute holds none that is the owner's (a copy's holder is its original's).
Ref holder_of(PyObject* owner, PyObject* name) {
    PyTypeObject* type = holder_type();
    Ref me = Ref::steal(PyWeakref_NewRef(owner, nullptr));
    Ref found = Ref::steal_maybe(PyObject_GetAttr(owner, name));
    if (!found) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw Error();
        PyErr_Clear();
    } else if (Py_TYPE(found.get()) == type) {
        HolderObject* h = as_holder(found.get());
        if (h->owner == nullptr)
            h->owner = me.release();  // a copied holder, taken by its first save
        if (refers_to(h->owner, owner)) return found;
    }
    Ref made = new_holder();
    as_holder(made.get())->owner = me.release();
    setattr(owner, name, made.get());
    return made;
}

}  // namespace

KeptTextsInUse::KeptTextsInUse(PyObject* owner, PyObject* name) : holder_(holder_of(owner, name)) {
    HolderObject* h = as_holder(holder_.get());
    if (h->in_use) return;
    h->in_use = true;
    texts_ = h->texts;
}

KeptTextsInUse::~KeptTextsInUse() {
    if (texts_ != nullptr) as_holder(holder_.get())->in_use = false;
}

}  // namespace tarvel::py
