// What the runtime's coroutine and async generator objects share: the frame they run, their
// names, weak references, and the state of the module that made them, which they keep alive.
// Each object type begins with a FrameObject; these functions serve both. Internal.
#pragma once

#include "runtime/driver.h"

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

// tp_traverse and tp_clear for what FrameObject holds; tp_dealloc given the finalizer ran.
int visit_frame_object(PyObject* self, visitproc visit, void* arg);
void clear_frame_object(PyObject* self);
void free_frame_object(PyObject* self);

// "<native {kind} {qualname} at {address}>".
PyObject* frame_object_repr(PyObject* self, const char* kind);

// Getters: __qualname__, __name__ (its last part), whether the frame is suspended, and what it
// awaits (cr_/ag_suspended, cr_/ag_await).
PyObject* get_qualname(PyObject* self, void*);
PyObject* get_name(PyObject* self, void*);
PyObject* get_suspended(PyObject* self, void*);
PyObject* get_awaited(PyObject* self, void*);
// __weaklistoffset__.
extern PyMemberDef frame_object_members[];

}  // namespace quenlet::rt
