#include "runtime/module_state.h"

#include <atomic>
#include <string>
#include <utility>

#include "runtime/errors.h"
#include "runtime/frame_object.h"
#include "runtime/kept_once.h"
#include "runtime/runtime.h"

namespace quenlet::rt {

namespace {

struct StateOwner {
    PyObject_HEAD ModuleState* state;
};

StateOwner* as_owner(PyObject* self) {
    return reinterpret_cast<StateOwner*>(self);
}

// The module's current state and its owner. Atomic: executor threads read names too, and a build
// that keeps the GIL off lets them do so while the module is torn down.
std::atomic<ModuleState*> current{nullptr};
std::atomic<PyObject*> current_owner{nullptr};

int owner_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    const ModuleState* state = as_owner(self)->state;
    if (state == nullptr) return 0;
    for (const nb::object& object : state->kept) Py_VISIT(object.ptr());
    return 0;
}

int owner_clear(PyObject* self) {
    ModuleState* state = std::exchange(as_owner(self)->state, nullptr);
    if (state == nullptr) return 0;
    ModuleState* expected = state;
    if (current.compare_exchange_strong(expected, nullptr)) current_owner.store(nullptr);
    for (const KeptOnce* once : state->forgotten_at_teardown) once->forget();
    delete state;
    return 0;
}

void owner_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    owner_clear(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

}  // namespace

// The state first, owned by `module`, then what the runtime keeps in it.
void init_runtime(nb::module_& module, const char* module_name) {
    static PyType_Slot slots[] = {
        {Py_tp_traverse, reinterpret_cast<void*>(owner_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(owner_clear)},
        {Py_tp_dealloc, reinterpret_cast<void*>(owner_dealloc)},
        {0, nullptr},
    };
    std::string name = nb::cast<std::string>(module.attr("__name__")) + ".ModuleState";
    PyType_Spec spec = {name.c_str(), sizeof(StateOwner), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
    nb::object type = steal_or_throw(PyType_FromSpec(&spec));
    StateOwner* owner = PyObject_GC_New(StateOwner, reinterpret_cast<PyTypeObject*>(type.ptr()));
    if (owner == nullptr) throw_pending();
    ModuleState& state = *(owner->state = new ModuleState());
    PyObject_GC_Track(owner);
    nb::object kept_owner = nb::steal(reinterpret_cast<PyObject*>(owner));
    module.attr("__quenlet_state__") = kept_owner;
    current_owner.store(kept_owner.ptr());
    current.store(&state);
    state.module_dict = keep(nb::borrow(PyModule_GetDict(module.ptr())));
    state.asyncio = keep(nb::module_::import_("asyncio"));
    state.get_event_loop = keep(state.asyncio.attr("get_event_loop"));
    state.get_asyncgen_hooks = keep(nb::module_::import_("sys").attr("get_asyncgen_hooks"));
    state.warnings_warn = keep(nb::module_::import_("warnings").attr("warn"));
    init_coroutine_type(state, module_name);
    init_async_generator_types(state, module_name);
}

ModuleState* module_state() noexcept {
    return current.load(std::memory_order_acquire);
}

nb::handle module_state_owner() noexcept {
    return current_owner.load(std::memory_order_acquire);
}

ModuleState* owned_state(PyObject* owner) noexcept {
    return owner != nullptr ? as_owner(owner)->state : nullptr;
}

nb::handle keep(nb::object object) {
    ModuleState* state = module_state();
    if (state == nullptr) throw_error(PyExc_RuntimeError, "the module has been unloaded");
    nb::handle kept = object;
    std::lock_guard<std::mutex> guard(state->lock);
    state->kept.push_back(std::move(object));
    return kept;
}

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
