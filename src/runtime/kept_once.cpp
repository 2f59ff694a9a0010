#include "runtime/kept_once.h"

#include "runtime/module_state.h"

namespace quenlet::rt {

PyObject* KeptOnce::publish(nb::object made) const {
    PyObject* object = made.ptr();
    if (ModuleState* state = module_state()) {
        std::lock_guard<std::mutex> guard(state->lock);
        state->kept.push_back(std::move(made));
        state->forgotten_at_teardown.push_back(this);
    } else {
        // No module to keep it: it lives as long as the process.
        made.release();
    }
    PyObject* known = nullptr;
    if (object_.compare_exchange_strong(known, object, std::memory_order_acq_rel)) return object;
    // Another thread was first: both are kept, and the first one is used.
    return known;
}

}  // namespace quenlet::rt
