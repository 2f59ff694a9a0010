#include "runtime/interned_name.h"

#include "runtime/errors.h"

namespace quenlet::rt {

PyObject* InternedName::intern() const {
    nb::object object = steal_or_throw(PyUnicode_InternFromString(text_));
    PyObject* kept = nullptr;
    if (object_.compare_exchange_strong(kept, object.ptr(), std::memory_order_acq_rel)) {
        return object.release().ptr();
    }
    // Another thread was first: its reference is the one kept, and ours goes.
    return kept;
}

}  // namespace quenlet::rt
