// What the runtime's coroutine and async generator objects share: the frame they run, their
// names, weak references, and the state of the module that made them, which they keep alive.
// Each object type begins with a FrameObject; these functions serve both, as CPython's generator
// functions serve its coroutines and async generators. Internal.
#pragma once

#include <initializer_list>

#include "runtime/driver.h"
#include "runtime/module_state.h"

namespace quenlet::rt {

struct FrameObject {
    PyObject_HEAD FrameState state;
    const char* qualname;    // static storage
    PyObject* weakrefs;      // the list of weak references to the object
    PyObject* module_state;  // the owner of the state of the module that made it
};

inline FrameObject* as_frame_object(PyObject* self) {
    return reinterpret_cast<FrameObject*>(self);
}

// A new object of `type` (of the module being run) that runs `frame`, not yet tracked by the
// collector: the caller sets what its type adds, then tracks it.
FrameObject* new_frame_object(PyTypeObject* type, std::coroutine_handle<> frame,
                              FramePromise* promise, FrameKind kind, const char* qualname);

// Warns RuntimeWarning, with the message made from `format` as PyUnicode_FromFormat makes it, as
// CPython warns about what was never awaited: with `self` as the source, for the warning's
// consumers (tracemalloc shows where it was made). An error is reported as unraisable; the one
// that was set before is kept.
void warn_never_awaited(PyObject* self, const char* format, ...) noexcept;

// Getters: __qualname__, __name__ (its last part), whether the frame is suspended, and what it
// awaits (cr_/ag_suspended, cr_/ag_await).
const char* qualname_of(PyObject* self) noexcept;
PyObject* get_qualname(PyObject* self, void*);
PyObject* get_name(PyObject* self, void*);
PyObject* get_suspended(PyObject* self, void*);
PyObject* get_awaited(PyObject* self, void*);

// The runtime's Python types, made once per module by init_runtime() into its state.
void init_coroutine_type(ModuleState& state, const char* module_name);
void init_async_generator_types(ModuleState& state, const char* module_name);

// A heap type from `slots`, kept by the module's state.
PyTypeObject* make_type(const char* module_name, const char* type_name, int size,
                        PyType_Slot* slots);

// The same for a type whose objects begin with a FrameObject: its own slots, and the finalizer,
// collection, freeing, repr ("<native {kind} {qualname} at {address}>") and weak references
// that all of them share.
PyTypeObject* make_frame_type(const char* module_name, const char* type_name, int size,
                              std::initializer_list<PyType_Slot> own_slots);

}  // namespace quenlet::rt
