#include "runtime/interned_name.h"

#include "runtime/errors.h"
#include "runtime/module_state.h"

namespace quenlet::rt {

PyObject* InternedName::intern() const {
    nb::object object = steal_or_throw(PyUnicode_InternFromString(text_));
    PyObject* made = object.ptr();
    if (ModuleState* state = module_state()) {
        std::lock_guard<std::mutex> guard(state->lock);
        state->kept.push_back(std::move(object));
        state->interned.push_back(this);
    } else {
        // No module to keep it: an interned str lives as long as the interpreter anyway.
        object.release();
    }
    PyObject* known = nullptr;
    if (object_.compare_exchange_strong(known, made, std::memory_order_acq_rel)) return made;
    // Another thread was first: both are kept, and the first one is used.
    return known;
}

}  // namespace quenlet::rt
