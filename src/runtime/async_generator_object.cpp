// The Python asynchronous-generator type behind every AsyncGenerator, and the awaitables that
// its __anext__/asend (one type) and athrow/aclose (another) return. They follow CPython's own
// (Objects/genobject.c) state for state: the generator's running and closed flags, each
// awaitable's init/iterating/closed states, and what closing or dropping an awaitable does.
//
// Like CPython's async generators it calls the event loop's async-generator hooks
// (sys.get_asyncgen_hooks) itself: firstiter when it is first iterated, so
// loop.shutdown_asyncgens() closes it, and the finalizer when it is dropped while suspended, so
// its clean-up runs as an aclose() task on the loop.
#include <cstddef>
#include <string>

#include "runtime/async_generator.h"
#include "runtime/driver.h"
#include "runtime/types.h"

namespace quenlet::rt {

PyTypeObject* async_generator_type = nullptr;
PyTypeObject* async_generator_asend_type = nullptr;
PyTypeObject* async_generator_athrow_type = nullptr;

namespace {

struct AsyncGeneratorObject {
    PyObject_HEAD FrameState state;
    const char* qualname;  // static storage
    PyObject* weakrefs;
    PyObject* finalizer;  // the loop's finalizer hook, captured on first use
    bool hooks_inited;
    bool running_async;  // an awaitable of this generator is being iterated (ag_running)
    bool closed;         // aclose() was awaited, or the generator has run to its end
};

enum class AwaitableState { init, iterating, closed };

// __anext__() and asend(value).
struct ASendObject {
    PyObject_HEAD AsyncGeneratorObject* generator;  // strong
    PyObject* sent;                                 // the value to send; null for __anext__()
    AwaitableState state;
};

// athrow(...) and aclose().
struct AThrowObject {
    PyObject_HEAD AsyncGeneratorObject* generator;  // strong
    PyObject* arguments;                            // athrow's argument tuple; null for aclose()
    AwaitableState state;
};

AsyncGeneratorObject* as_generator(PyObject* self) {
    return reinterpret_cast<AsyncGeneratorObject*>(self);
}
ASendObject* as_asend(PyObject* self) {
    return reinterpret_cast<ASendObject*>(self);
}
AThrowObject* as_athrow(PyObject* self) {
    return reinterpret_cast<AThrowObject*>(self);
}

PyObject* sys_get_asyncgen_hooks = nullptr;

// What one step of the generator's frame gave, as CPython's gen_send/gen_throw give it: an
// object the frame awaits passes through to the event loop, an item comes wrapped (`yielded`),
// the end is StopAsyncIteration.
struct Step {
    Outcome outcome;
    PyObject* value;  // new reference for next and yielded
};

Step generator_send(AsyncGeneratorObject* generator, PyObject* value) {
    Step step{};
    step.outcome = send_to_frame(generator->state, value, &step.value);
    return step;
}

Step generator_throw(AsyncGeneratorObject* generator, Thrown thrown, bool close_awaited_on_exit) {
    Step step{};
    step.outcome = throw_into_frame(generator->state, thrown, close_awaited_on_exit, &step.value);
    return step;
}

// async_gen_unwrap_value: an item ends the awaitable with StopIteration(item); the generator's
// end or GeneratorExit closes the generator.
PyObject* unwrap(AsyncGeneratorObject* generator, Step step) {
    switch (step.outcome) {
        case Outcome::next:
            return step.value;
        case Outcome::yielded:
            set_stop_iteration(step.value);
            Py_DECREF(step.value);
            generator->running_async = false;
            return nullptr;
        case Outcome::finished:
            Py_XDECREF(step.value);
            PyErr_SetNone(PyExc_StopAsyncIteration);
            break;
        case Outcome::failed:
            break;
    }
    if (PyErr_ExceptionMatches(PyExc_StopAsyncIteration) ||
        PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        generator->closed = true;
    }
    generator->running_async = false;
    return nullptr;
}

int init_hooks(AsyncGeneratorObject* generator) {
    if (generator->hooks_inited) return 0;
    generator->hooks_inited = true;
    PyObject* hooks = PyObject_CallNoArgs(sys_get_asyncgen_hooks);
    if (hooks == nullptr) return -1;
    PyObject* firstiter = PyTuple_GetItem(hooks, 0);
    PyObject* finalizer = PyTuple_GetItem(hooks, 1);
    if (firstiter == nullptr || finalizer == nullptr) {
        Py_DECREF(hooks);
        return -1;
    }
    if (finalizer != Py_None) generator->finalizer = Py_NewRef(finalizer);
    int status = 0;
    if (firstiter != Py_None) {
        PyObject* done = PyObject_CallOneArg(firstiter, reinterpret_cast<PyObject*>(generator));
        if (done == nullptr) status = -1;
        Py_XDECREF(done);
    }
    Py_DECREF(hooks);
    return status;
}

void warn_unawaited_method(AsyncGeneratorObject* generator, const char* method) {
    PyObject* saved = fetch_raised_exception();
    PyObject* self = reinterpret_cast<PyObject*>(generator);
    PyObject* message =
        PyUnicode_FromFormat("coroutine method '%s' of '%s' was never awaited", method,
                             generator->qualname ? generator->qualname : "<native>");
    if (message == nullptr || warn_never_awaited(message, self) < 0) {
        write_unraisable("finalizing async generator", self);
    }
    Py_XDECREF(message);
    restore_raised_exception(saved);
}

// ---- __anext__() and asend() ----

PyObject* new_asend(PyObject* self, PyObject* sent) {
    AsyncGeneratorObject* generator = as_generator(self);
    if (init_hooks(generator) < 0) return nullptr;
    ASendObject* asend = PyObject_GC_New(ASendObject, async_generator_asend_type);
    if (asend == nullptr) return nullptr;
    asend->generator = reinterpret_cast<AsyncGeneratorObject*>(Py_NewRef(self));
    asend->sent = Py_XNewRef(sent);
    asend->state = AwaitableState::init;
    PyObject_GC_Track(asend);
    return reinterpret_cast<PyObject*>(asend);
}

PyObject* asend_send(PyObject* self, PyObject* value) {
    ASendObject* asend = as_asend(self);
    if (asend->state == AwaitableState::closed) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited __anext__()/asend()");
        return nullptr;
    }
    if (asend->state == AwaitableState::init) {
        if (asend->generator->running_async) {
            asend->state = AwaitableState::closed;
            PyErr_SetString(PyExc_RuntimeError,
                            "anext(): asynchronous generator is already running");
            return nullptr;
        }
        if (value == Py_None && asend->sent != nullptr) value = asend->sent;
        asend->state = AwaitableState::iterating;
    }
    asend->generator->running_async = true;
    PyObject* result = unwrap(asend->generator, generator_send(asend->generator, value));
    if (result == nullptr) asend->state = AwaitableState::closed;
    return result;
}

PyObject* asend_iternext(PyObject* self) {
    return asend_send(self, Py_None);
}

// Throws into the generator as the awaitable's throw(): `thrown` as throw() received it.
PyObject* asend_throw_thrown(ASendObject* asend, Thrown thrown) {
    if (asend->state == AwaitableState::closed) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited __anext__()/asend()");
        return nullptr;
    }
    if (asend->state == AwaitableState::init) {
        if (asend->generator->running_async) {
            asend->state = AwaitableState::closed;
            PyErr_SetString(PyExc_RuntimeError,
                            "anext(): asynchronous generator is already running");
            return nullptr;
        }
        asend->state = AwaitableState::iterating;
        asend->generator->running_async = true;
    }
    PyObject* result = unwrap(asend->generator, generator_throw(asend->generator, thrown, true));
    if (result == nullptr) {
        asend->generator->running_async = false;
        asend->state = AwaitableState::closed;
    }
    return result;
}

PyObject* asend_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    Thrown thrown{};
    if (!unpack_thrown("throw", args, nargs, &thrown)) return nullptr;
    return asend_throw_thrown(as_asend(self), thrown);
}

// Closing a pending __anext__()/asend() raises GeneratorExit in the generator where it waits,
// as when the coroutine awaiting it is closed: the generator's clean-up runs.
PyObject* asend_close(PyObject* self, PyObject*) {
    ASendObject* asend = as_asend(self);
    if (asend->state == AwaitableState::closed) Py_RETURN_NONE;
    PyObject* result =
        asend_throw_thrown(asend, Thrown{PyExc_GeneratorExit, nullptr, nullptr, true});
    if (result == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_StopIteration) ||
            PyErr_ExceptionMatches(PyExc_StopAsyncIteration) ||
            PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
            PyErr_Clear();
            Py_RETURN_NONE;
        }
        return nullptr;
    }
    Py_DECREF(result);
    PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
    return nullptr;
}

void asend_finalize(PyObject* self) {
    ASendObject* asend = as_asend(self);
    if (asend->state == AwaitableState::init) warn_unawaited_method(asend->generator, "asend");
}

int asend_traverse(PyObject* self, visitproc visit, void* arg) {
    ASendObject* asend = as_asend(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<PyObject*>(asend->generator));
    Py_VISIT(asend->sent);
    return 0;
}

void asend_dealloc(PyObject* self) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;
    PyObject_GC_UnTrack(self);
    ASendObject* asend = as_asend(self);
    Py_CLEAR(asend->generator);
    Py_CLEAR(asend->sent);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

// ---- athrow() and aclose() ----

PyObject* new_athrow(PyObject* self, PyObject* arguments) {
    AsyncGeneratorObject* generator = as_generator(self);
    if (init_hooks(generator) < 0) return nullptr;
    AThrowObject* athrow = PyObject_GC_New(AThrowObject, async_generator_athrow_type);
    if (athrow == nullptr) return nullptr;
    athrow->generator = reinterpret_cast<AsyncGeneratorObject*>(Py_NewRef(self));
    athrow->arguments = Py_XNewRef(arguments);
    athrow->state = AwaitableState::init;
    PyObject_GC_Track(athrow);
    return reinterpret_cast<PyObject*>(athrow);
}

bool refuse_running(AThrowObject* athrow) {
    if (!athrow->generator->running_async) return false;
    athrow->state = AwaitableState::closed;
    PyErr_SetString(PyExc_RuntimeError,
                    athrow->arguments == nullptr
                        ? "aclose(): asynchronous generator is already running"
                        : "athrow(): asynchronous generator is already running");
    return true;
}

// The end of an aclose(): the generator's end or GeneratorExit is the awaitable's plain end.
PyObject* end_athrow(AThrowObject* athrow) {
    athrow->generator->running_async = false;
    athrow->state = AwaitableState::closed;
    if (athrow->arguments == nullptr && (PyErr_ExceptionMatches(PyExc_StopAsyncIteration) ||
                                         PyErr_ExceptionMatches(PyExc_GeneratorExit))) {
        PyErr_Clear();
        PyErr_SetNone(PyExc_StopIteration);
    }
    return nullptr;
}

PyObject* refuse_ignored_exit(AThrowObject* athrow) {
    athrow->generator->running_async = false;
    athrow->state = AwaitableState::closed;
    PyErr_SetString(PyExc_RuntimeError, "async generator ignored GeneratorExit");
    return nullptr;
}

PyObject* athrow_send(PyObject* self, PyObject* value) {
    AThrowObject* athrow = as_athrow(self);
    AsyncGeneratorObject* generator = athrow->generator;
    if (athrow->state == AwaitableState::closed) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited aclose()/athrow()");
        return nullptr;
    }
    if (generator->state.finished()) {
        athrow->state = AwaitableState::closed;
        PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
    if (athrow->state == AwaitableState::init) {
        if (refuse_running(athrow)) return nullptr;
        if (generator->closed) {
            athrow->state = AwaitableState::closed;
            PyErr_SetNone(PyExc_StopAsyncIteration);
            return nullptr;
        }
        if (value != Py_None) {
            PyErr_SetString(PyExc_RuntimeError,
                            "can't send non-None value to a just-started coroutine");
            return nullptr;
        }
        athrow->state = AwaitableState::iterating;
        generator->running_async = true;
        if (athrow->arguments == nullptr) {
            generator->closed = true;
            Step step = generator_throw(generator, Thrown{PyExc_GeneratorExit}, false);
            if (step.outcome == Outcome::yielded) {
                Py_DECREF(step.value);
                return refuse_ignored_exit(athrow);
            }
            if (step.outcome == Outcome::next) return step.value;
            if (step.outcome == Outcome::finished) {
                Py_DECREF(step.value);
                PyErr_SetNone(PyExc_StopAsyncIteration);
            }
            return end_athrow(athrow);
        }
        Thrown thrown{};
        // athrow() itself gave the deprecation warning.
        if (!unpack_thrown("athrow", PySequence_Fast_ITEMS(athrow->arguments),
                           PyTuple_GET_SIZE(athrow->arguments), &thrown, false)) {
            return nullptr;
        }
        PyObject* result = unwrap(generator, generator_throw(generator, thrown, false));
        return result != nullptr ? result : end_athrow(athrow);
    }
    Step step = generator_send(generator, value);
    // As CPython: an athrow() that is already iterating stays so when it ends here.
    if (athrow->arguments != nullptr) return unwrap(generator, step);
    switch (step.outcome) {
        case Outcome::next:
            return step.value;
        case Outcome::yielded:
            Py_DECREF(step.value);
            return refuse_ignored_exit(athrow);
        case Outcome::finished:
            Py_DECREF(step.value);
            PyErr_SetNone(PyExc_StopAsyncIteration);
            break;
        case Outcome::failed:
            break;
    }
    return end_athrow(athrow);
}

PyObject* athrow_iternext(PyObject* self) {
    return athrow_send(self, Py_None);
}

PyObject* athrow_throw_thrown(AThrowObject* athrow, Thrown thrown) {
    if (athrow->state == AwaitableState::closed) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited aclose()/athrow()");
        return nullptr;
    }
    if (athrow->state == AwaitableState::init) {
        if (refuse_running(athrow)) return nullptr;
        athrow->state = AwaitableState::iterating;
        athrow->generator->running_async = true;
    }
    Step step = generator_throw(athrow->generator, thrown, true);
    if (athrow->arguments != nullptr) {
        PyObject* result = unwrap(athrow->generator, step);
        if (result == nullptr) {
            athrow->generator->running_async = false;
            athrow->state = AwaitableState::closed;
        }
        return result;
    }
    switch (step.outcome) {
        case Outcome::next:
            return step.value;
        case Outcome::yielded:
            Py_DECREF(step.value);
            return refuse_ignored_exit(athrow);
        case Outcome::finished:
            Py_DECREF(step.value);
            PyErr_SetNone(PyExc_StopAsyncIteration);
            break;
        case Outcome::failed:
            break;
    }
    return end_athrow(athrow);
}

PyObject* athrow_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    Thrown thrown{};
    if (!unpack_thrown("throw", args, nargs, &thrown)) return nullptr;
    return athrow_throw_thrown(as_athrow(self), thrown);
}

PyObject* athrow_close(PyObject* self, PyObject*) {
    AThrowObject* athrow = as_athrow(self);
    if (athrow->state == AwaitableState::closed) Py_RETURN_NONE;
    PyObject* result =
        athrow_throw_thrown(athrow, Thrown{PyExc_GeneratorExit, nullptr, nullptr, true});
    if (result == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_StopIteration) ||
            PyErr_ExceptionMatches(PyExc_StopAsyncIteration) ||
            PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
            PyErr_Clear();
            Py_RETURN_NONE;
        }
        return nullptr;
    }
    Py_DECREF(result);
    PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
    return nullptr;
}

void athrow_finalize(PyObject* self) {
    AThrowObject* athrow = as_athrow(self);
    if (athrow->state == AwaitableState::init) {
        warn_unawaited_method(athrow->generator, athrow->arguments ? "athrow" : "aclose");
    }
}

int athrow_traverse(PyObject* self, visitproc visit, void* arg) {
    AThrowObject* athrow = as_athrow(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<PyObject*>(athrow->generator));
    Py_VISIT(athrow->arguments);
    return 0;
}

void athrow_dealloc(PyObject* self) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;
    PyObject_GC_UnTrack(self);
    AThrowObject* athrow = as_athrow(self);
    Py_CLEAR(athrow->generator);
    Py_CLEAR(athrow->arguments);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject* awaitable_await(PyObject* self) {
    return Py_NewRef(self);
}

// ---- the generator ----

PyObject* generator_anext(PyObject* self) {
    return new_asend(self, nullptr);
}

PyObject* generator_asend(PyObject* self, PyObject* value) {
    return new_asend(self, value);
}

PyObject* generator_athrow(PyObject* self, PyObject* args) {
    if (PyTuple_GET_SIZE(args) > 1 &&
        PyErr_WarnEx(PyExc_DeprecationWarning,
                     "the (type, exc, tb) signature of athrow() is deprecated, use the "
                     "single-arg signature instead.",
                     1) < 0) {
        return nullptr;
    }
    return new_athrow(self, args);
}

PyObject* generator_aclose(PyObject* self, PyObject*) {
    return new_athrow(self, nullptr);
}

void generator_finalize(PyObject* self) {
    AsyncGeneratorObject* generator = as_generator(self);
    if (generator->state.finished()) return;
    PyObject* saved = fetch_raised_exception();
    if (generator->finalizer != nullptr && !generator->closed) {
        // The loop schedules aclose() as a task; the generator lives on until it has run.
        PyObject* done = PyObject_CallOneArg(generator->finalizer, self);
        if (done == nullptr) write_unraisable("finalizing generator", self);
        Py_XDECREF(done);
    } else {
        // No loop to run an asynchronous clean-up on: GeneratorExit is raised where the frame
        // waits, and whatever it would still await is refused.
        PyObject* closed = close_frame(generator->state);
        if (closed == nullptr && PyErr_Occurred()) write_unraisable("closing generator", self);
        Py_XDECREF(closed);
    }
    restore_raised_exception(saved);
}

int generator_traverse(PyObject* self, visitproc visit, void* arg) {
    AsyncGeneratorObject* generator = as_generator(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(generator->finalizer);
    return visit_frames(generator->state, visit, arg);
}

int generator_clear(PyObject* self) {
    AsyncGeneratorObject* generator = as_generator(self);
    Py_CLEAR(generator->finalizer);
    generator->state.discard();
    return 0;
}

void generator_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected by the finalizer hook
    AsyncGeneratorObject* generator = as_generator(self);
    if (generator->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    generator->state.discard();
    generator->state.~FrameState();
    Py_CLEAR(generator->finalizer);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject* generator_qualname(PyObject* self, void*) {
    const char* qualname = as_generator(self)->qualname;
    return PyUnicode_FromString(qualname ? qualname : "<native>");
}

PyObject* generator_running(PyObject* self, void*) {
    return PyBool_FromLong(as_generator(self)->running_async);
}

PyObject* generator_suspended(PyObject* self, void*) {
    return PyBool_FromLong(as_generator(self)->state.suspended());
}

PyObject* generator_awaited(PyObject* self, void*) {
    return as_generator(self)->state.awaited().release().ptr();
}

PyObject* generator_repr(PyObject* self) {
    const char* qualname = as_generator(self)->qualname;
    return PyUnicode_FromFormat("<native async_generator %s at %p>",
                                qualname ? qualname : "<native>", self);
}

PyMethodDef generator_methods[] = {
    {"asend", generator_asend, METH_O, "Send a value into the generator."},
    {"athrow", generator_athrow, METH_VARARGS, "Raise an exception inside the generator."},
    {"aclose", generator_aclose, METH_NOARGS, "Raise GeneratorExit inside the generator."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef generator_getset[] = {
    {"__qualname__", generator_qualname, nullptr, nullptr, nullptr},
    {"__name__", generator_qualname, nullptr, nullptr, nullptr},
    {"ag_running", generator_running, nullptr, nullptr, nullptr},
    {"ag_suspended", generator_suspended, nullptr, nullptr, nullptr},
    {"ag_await", generator_awaited, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef generator_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(AsyncGeneratorObject, weakrefs), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef asend_methods[] = {
    {"send", asend_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(asend_throw)),
     METH_FASTCALL, nullptr},
    {"close", asend_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef athrow_methods[] = {
    {"send", athrow_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(athrow_throw)),
     METH_FASTCALL, nullptr},
    {"close", athrow_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* make_type(const std::string& name, int size, PyType_Slot* slots) {
    PyType_Spec spec = {name.c_str(), size, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    if (type == nullptr) throw_pending();
    return type;
}

}  // namespace

nb::object AsyncGenerator::into_python(const char* qualname) && {
    AsyncGeneratorObject* generator = PyObject_GC_New(AsyncGeneratorObject, async_generator_type);
    if (generator == nullptr) throw_pending();
    std::coroutine_handle<promise_type> frame = std::exchange(frame_, {});
    new (&generator->state) FrameState(frame, &frame.promise(), FrameKind::async_generator);
    generator->qualname = qualname;
    generator->weakrefs = nullptr;
    generator->finalizer = nullptr;
    generator->hooks_inited = false;
    generator->running_async = false;
    generator->closed = false;
    PyObject_GC_Track(generator);
    return nb::steal(reinterpret_cast<PyObject*>(generator));
}

void init_async_generator_types(const char* module_name) {
    nb::object sys = nb::module_::import_("sys");
    sys_get_asyncgen_hooks = nb::getattr(sys, "get_asyncgen_hooks").release().ptr();
    std::string prefix = std::string(module_name) + ".native_async_generator";

    static PyType_Slot generator_slots[] = {
        {Py_am_aiter, reinterpret_cast<void*>(PyObject_SelfIter)},
        {Py_am_anext, reinterpret_cast<void*>(generator_anext)},
        {Py_tp_methods, generator_methods},
        {Py_tp_getset, generator_getset},
        {Py_tp_members, generator_members},
        {Py_tp_finalize, reinterpret_cast<void*>(generator_finalize)},
        {Py_tp_traverse, reinterpret_cast<void*>(generator_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(generator_clear)},
        {Py_tp_dealloc, reinterpret_cast<void*>(generator_dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(generator_repr)},
        {0, nullptr},
    };
    async_generator_type = make_type(prefix, sizeof(AsyncGeneratorObject), generator_slots);

    static PyType_Slot asend_slots[] = {
        {Py_am_await, reinterpret_cast<void*>(awaitable_await)},
        {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
        {Py_tp_iternext, reinterpret_cast<void*>(asend_iternext)},
        {Py_tp_methods, asend_methods},
        {Py_tp_finalize, reinterpret_cast<void*>(asend_finalize)},
        {Py_tp_traverse, reinterpret_cast<void*>(asend_traverse)},
        {Py_tp_dealloc, reinterpret_cast<void*>(asend_dealloc)},
        {0, nullptr},
    };
    async_generator_asend_type = make_type(prefix + "_asend", sizeof(ASendObject), asend_slots);

    static PyType_Slot athrow_slots[] = {
        {Py_am_await, reinterpret_cast<void*>(awaitable_await)},
        {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
        {Py_tp_iternext, reinterpret_cast<void*>(athrow_iternext)},
        {Py_tp_methods, athrow_methods},
        {Py_tp_finalize, reinterpret_cast<void*>(athrow_finalize)},
        {Py_tp_traverse, reinterpret_cast<void*>(athrow_traverse)},
        {Py_tp_dealloc, reinterpret_cast<void*>(athrow_dealloc)},
        {0, nullptr},
    };
    async_generator_athrow_type = make_type(prefix + "_athrow", sizeof(AThrowObject), athrow_slots);
}

}  // namespace quenlet::rt
