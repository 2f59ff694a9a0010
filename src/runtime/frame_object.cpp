#include "runtime/frame_object.h"

#include <cstddef>
#include <cstring>

#include "runtime/module_state.h"

namespace quenlet::rt {

namespace {

const char* qualname_of(PyObject* self) {
    const char* qualname = as_frame_object(self)->qualname;
    return qualname != nullptr ? qualname : "<native>";
}

}  // namespace

PyObject* get_qualname(PyObject* self, void*) {
    return PyUnicode_FromString(qualname_of(self));
}

PyObject* get_name(PyObject* self, void*) {
    const char* qualname = qualname_of(self);
    const char* dot = strrchr(qualname, '.');
    return PyUnicode_FromString(dot != nullptr ? dot + 1 : qualname);
}

PyObject* get_suspended(PyObject* self, void*) {
    return PyBool_FromLong(as_frame_object(self)->state.suspended());
}

PyObject* get_awaited(PyObject* self, void*) {
    return as_frame_object(self)->state.awaited().release().ptr();
}

FrameObject* new_frame_object(PyTypeObject* type, std::coroutine_handle<> frame,
                              FramePromise* promise, FrameKind kind, const char* qualname) {
    FrameObject* object = PyObject_GC_New(FrameObject, type);
    if (object == nullptr) throw_pending();
    new (&object->state) FrameState(frame, promise, kind);
    object->qualname = qualname;
    object->weakrefs = nullptr;
    object->module_state = Py_NewRef(module_state_owner().ptr());
    return object;
}

int visit_frame_object(PyObject* self, visitproc visit, void* arg) {
    FrameObject* object = as_frame_object(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(object->module_state);
    return visit_frames(object->state, visit, arg);
}

void clear_frame_object(PyObject* self) {
    FrameObject* object = as_frame_object(self);
    object->state.discard();
    Py_CLEAR(object->module_state);
}

void free_frame_object(PyObject* self) {
    FrameObject* object = as_frame_object(self);
    if (object->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    clear_frame_object(self);
    object->state.~FrameState();
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject* frame_object_repr(PyObject* self, const char* kind) {
    return PyUnicode_FromFormat("<native %s %s at %p>", kind, qualname_of(self), self);
}

PyMemberDef frame_object_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FrameObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace quenlet::rt
