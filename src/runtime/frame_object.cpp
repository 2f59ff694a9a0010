#include "runtime/frame_object.h"

#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "runtime/async_generator_object.h"

namespace quenlet::rt {

const char* qualname_of(PyObject* self) noexcept {
    const char* qualname = as_frame_object(self)->qualname;
    return qualname != nullptr ? qualname : "<native>";
}

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

namespace {

// An async generator also holds the loop's finalizer hook, as CPython's gen_traverse and
// gen_dealloc look for an async generator's.
int visit_frame_object(PyObject* self, visitproc visit, void* arg) {
    FrameObject* object = as_frame_object(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(object->module_state);
    if (object->state.kind == FrameKind::async_generator) Py_VISIT(as_generator(self)->finalizer);
    return visit_frames(object->state, visit, arg);
}

// The finalizer has already closed the frame of an unreachable object; what is left of it can
// only be dropped.
int clear_frame_object(PyObject* self) {
    FrameObject* object = as_frame_object(self);
    object->state.discard();
    Py_CLEAR(object->module_state);
    if (object->state.kind == FrameKind::async_generator) Py_CLEAR(as_generator(self)->finalizer);
    return 0;
}

void free_frame_object(PyObject* self) {
    PyObject_GC_UnTrack(self);
    // An async generator's finalizer hook may resurrect it.
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;
    FrameObject* object = as_frame_object(self);
    if (object->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    clear_frame_object(self);
    object->state.~FrameState();
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

// As CPython's _PyGen_Finalize: an async generator dropped while suspended hands its clean-up
// to the event loop when there is one; a coroutine never started warns. Otherwise GeneratorExit
// is raised where the frame waits, and whatever it would still await is refused.
void finalize_frame_object(PyObject* self) {
    FrameObject* object = as_frame_object(self);
    if (object->state.finished()) return;
    PyObject* saved = fetch_raised_exception();
    AsyncGeneratorObject* generator =
        object->state.kind == FrameKind::async_generator ? as_generator(self) : nullptr;
    if (generator != nullptr && generator->finalizer != nullptr && !generator->closed) {
        // The loop schedules aclose() as a task; the generator lives on until it has run.
        PyObject* done = PyObject_CallOneArg(generator->finalizer, self);
        if (done == nullptr) write_unraisable("finalizing generator", self);
        Py_XDECREF(done);
    } else if (generator == nullptr && !object->state.started) {
        warn_never_awaited(self, "coroutine '%s' was never awaited", qualname_of(self));
        object->state.discard();
    } else {
        PyObject* closed = close_frame(object->state);
        if (closed == nullptr && PyErr_Occurred()) write_unraisable("closing generator", self);
        Py_XDECREF(closed);
    }
    restore_raised_exception(saved);
}

PyObject* frame_object_repr(PyObject* self) {
    const char* kind =
        as_frame_object(self)->state.kind == FrameKind::coroutine ? "coroutine" : "async_generator";
    return PyUnicode_FromFormat("<native %s %s at %p>", kind, qualname_of(self), self);
}

PyMemberDef frame_object_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FrameObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot shared_slots[] = {
    {Py_tp_members, frame_object_members},
    {Py_tp_finalize, reinterpret_cast<void*>(finalize_frame_object)},
    {Py_tp_traverse, reinterpret_cast<void*>(visit_frame_object)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_frame_object)},
    {Py_tp_dealloc, reinterpret_cast<void*>(free_frame_object)},
    {Py_tp_repr, reinterpret_cast<void*>(frame_object_repr)},
    {0, nullptr},
};

}  // namespace

void warn_never_awaited(PyObject* self, const char* format, ...) noexcept {
    PyObject* saved = fetch_raised_exception();
    va_list arguments;
    va_start(arguments, format);
    PyObject* message = PyUnicode_FromFormatV(format, arguments);
    va_end(arguments);
    int status = -1;
    if (ModuleState* state = owned_state(as_frame_object(self)->module_state)) {
        PyObject* stacklevel = PyLong_FromLong(1);
        PyObject* names = Py_BuildValue("(ss)", "stacklevel", "source");
        if (message != nullptr && stacklevel != nullptr && names != nullptr) {
            PyObject* args[] = {message, PyExc_RuntimeWarning, stacklevel, self};
            PyObject* done = PyObject_Vectorcall(state->warnings_warn.ptr(), args, 2, names);
            status = done != nullptr ? 0 : -1;
            Py_XDECREF(done);
        }
        Py_XDECREF(stacklevel);
        Py_XDECREF(names);
    } else if (const char* text = message != nullptr ? PyUnicode_AsUTF8(message) : nullptr) {
        // The module has gone, warnings.warn with it: the warning has no source then.
        status = PyErr_WarnEx(PyExc_RuntimeWarning, text, 1);
    }
    if (status < 0) {
        write_unraisable(as_frame_object(self)->state.kind == FrameKind::coroutine
                             ? "finalizing coroutine"
                             : "finalizing async generator",
                         self);
    }
    Py_XDECREF(message);
    restore_raised_exception(saved);
}

PyTypeObject* make_type(const char* module_name, const char* type_name, int size,
                        PyType_Slot* slots) {
    std::string name = std::string(module_name) + "." + type_name;
    PyType_Spec spec = {name.c_str(), size, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
    nb::handle type = keep(steal_or_throw(PyType_FromSpec(&spec)));
    return reinterpret_cast<PyTypeObject*>(type.ptr());
}

PyTypeObject* make_frame_type(const char* module_name, const char* type_name, int size,
                              std::initializer_list<PyType_Slot> own_slots) {
    std::vector<PyType_Slot> slots(own_slots);
    slots.insert(slots.end(), std::begin(shared_slots), std::end(shared_slots));
    return make_type(module_name, type_name, size, slots.data());
}

}  // namespace quenlet::rt
