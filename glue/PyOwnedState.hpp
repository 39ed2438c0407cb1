// glue/PyOwnedState.hpp: C++ state that belongs to one Python object, in a holder kept in a
// private attribute of it
//
// Rules:
//
// - A holder is a small Python object of a type made for its kind of state (`State`), stored in
//   a private attribute of the object it belongs to (its owner), which it knows by a weak
//   reference. The collector visits and clears what the state holds through the holder.
// - A copy or a deepcopy of a holder is a new, empty one that no owner has taken yet: the copy of
//   the owner takes it at its first use. Pickled, a holder is None. A holder found in the
//   attribute that belongs to another object (a copy's attribute before it took its own) is
//   replaced by a new one, so that no two owners share a state.
// - `State` is default-constructible and has `int traverse(visitproc, void*) const` and
//   `void clear()`; both are called under the interpreter lock, from the collector too.
#pragma once

#include <utility>

#include "glue/PyRef.hpp"

namespace tarvel::py {

namespace owned_detail {

struct Holder {
    PyObject_HEAD void* state;  // owned; null only while the holder is made
    PyObject* owner;  // a weak reference to the object it belongs to; null until one takes it
};

struct Slots {
    traverseproc traverse;
    inquiry clear;
    destructor dealloc;
    PyCFunction copy;  // __copy__ and __deepcopy__: a new, empty holder
    Ref (*make)();
};

// A new holder type named `name` with the given functions.
PyTypeObject* make_type(const char* name, const Slots& slots);
// The holder of `owner` in its attribute `attr` (of `type`); when it holds none that is the
// owner's, a new one from `slots.make` stored there, or, without `make_new`, a null Ref.
Ref holder_of(PyObject* owner, PyObject* attr, PyTypeObject* type, const Slots& slots,
              bool make_new);

}  // namespace owned_detail

template <class State>
class OwnedState {
  public:
    // The holder of `owner`'s state in its attribute `attr`, whose type is named `type_name`
    // (the same name at every call); one is made and stored there when it holds none that is the
    // owner's, unless `make` is false: then a null Ref.
    static Ref holder_of(PyObject* owner, PyObject* attr, const char* type_name, bool make = true) {
        return owned_detail::holder_of(owner, attr, type(type_name), slots(), make);
    }
    // The state in `holder`, a holder this class gave.
    static State& in(PyObject* holder) {
        return *static_cast<State*>(reinterpret_cast<owned_detail::Holder*>(holder)->state);
    }

  private:
    static owned_detail::Holder* as_holder(PyObject* self) {
        return reinterpret_cast<owned_detail::Holder*>(self);
    }
    static PyTypeObject* type(const char* type_name) {
        // Made at first use, under the interpreter lock; one made meanwhile keeps the first.
        static PyTypeObject* made = nullptr;
        if (made == nullptr) {
            PyTypeObject* fresh = owned_detail::make_type(type_name, slots());
            if (made == nullptr) {
                made = fresh;
            } else {
                Py_DECREF(fresh);  // another thread's, made while this one was, is kept
            }
        }
        return made;
    }
    static const owned_detail::Slots& slots() {
        static const owned_detail::Slots s{traverse, clear, dealloc, copy, make};
        return s;
    }
    static PyObject* copy(PyObject*, PyObject*) {
        return guard([] { return make(); });
    }
    static Ref make() {
        PyTypeObject* t = type(nullptr);
        Ref made = Ref::steal(t->tp_alloc(t, 0));
        as_holder(made.get())->state = new State;
        return made;
    }
    static int traverse(PyObject* self, visitproc visit, void* arg) {
        Py_VISIT(Py_TYPE(self));
        owned_detail::Holder* h = as_holder(self);
        Py_VISIT(h->owner);
        return h->state == nullptr ? 0 : static_cast<State*>(h->state)->traverse(visit, arg);
    }
    static int clear(PyObject* self) {
        owned_detail::Holder* h = as_holder(self);
        Py_CLEAR(h->owner);
        if (h->state != nullptr) static_cast<State*>(h->state)->clear();
        return 0;
    }
    static void dealloc(PyObject* self) {
        PyTypeObject* t = Py_TYPE(self);
        PyObject_GC_UnTrack(self);
        owned_detail::Holder* h = as_holder(self);
        delete static_cast<State*>(std::exchange(h->state, nullptr));  // nothing reaches it now
        Py_CLEAR(h->owner);
        t->tp_free(self);
        Py_DECREF(t);
    }
};

}  // namespace tarvel::py
