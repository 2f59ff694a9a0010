// The Python asynchronous-generator type behind every AsyncGenerator, and the awaitable that
// each __anext__/asend/athrow/aclose call returns. Like CPython's own async generators it calls
// the event loop's async-generator hooks (sys.get_asyncgen_hooks) itself: firstiter when it is
// first iterated, so loop.shutdown_asyncgens() closes it, and the finalizer when it is dropped
// while suspended, so its clean-up runs as an aclose() task on the loop.
#include <cstddef>
#include <string>

#include "runtime/async_generator.h"
#include "runtime/driver.h"
#include "runtime/types.h"

namespace quenlet::rt {

PyTypeObject* async_generator_type = nullptr;
PyTypeObject* async_generator_step_type = nullptr;

namespace {

struct AsyncGeneratorObject {
    PyObject_HEAD FrameState state;
    const char* qualname;  // static storage
    PyObject* weakrefs;
    PyObject* finalizer;  // the loop's finalizer hook, captured on first use
    bool hooks_called;
    bool step_running;  // one step awaitable at a time, like CPython's ag_running_async
};

enum class StepKind { send, throw_in, close };
enum class StepState { ready, iterating, used };

// The awaitable that performs one asend/athrow/aclose.
struct StepObject {
    PyObject_HEAD AsyncGeneratorObject* generator;  // strong
    PyObject* argument;                             // value to send or exception to throw, or null
    StepKind kind;
    StepState state;
};

AsyncGeneratorObject* as_generator(PyObject* self) {
    return reinterpret_cast<AsyncGeneratorObject*>(self);
}
StepObject* as_step(PyObject* self) {
    return reinterpret_cast<StepObject*>(self);
}

PyObject* sys_get_asyncgen_hooks = nullptr;

int call_hooks_once(AsyncGeneratorObject* generator) {
    if (generator->hooks_called) return 0;
    generator->hooks_called = true;
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

PyObject* new_step(PyObject* self, StepKind kind, PyObject* argument) {
    AsyncGeneratorObject* generator = as_generator(self);
    if (call_hooks_once(generator) < 0) return nullptr;
    StepObject* step = PyObject_GC_New(StepObject, async_generator_step_type);
    if (step == nullptr) return nullptr;
    step->generator = reinterpret_cast<AsyncGeneratorObject*>(Py_NewRef(self));
    step->argument = Py_XNewRef(argument);
    step->kind = kind;
    step->state = StepState::ready;
    PyObject_GC_Track(step);
    return reinterpret_cast<PyObject*>(step);
}

PyObject* generator_anext(PyObject* self) {
    return new_step(self, StepKind::send, Py_None);
}

PyObject* generator_asend(PyObject* self, PyObject* value) {
    return new_step(self, StepKind::send, value);
}

PyObject* generator_athrow(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    PyObject* exception = exception_from_throw_args(args, nargs);
    if (exception == nullptr) return nullptr;
    PyObject* step = new_step(self, StepKind::throw_in, exception);
    Py_DECREF(exception);
    return step;
}

PyObject* generator_aclose(PyObject* self, PyObject*) {
    return new_step(self, StepKind::close, nullptr);
}

// Maps how the frame stopped onto what the step's awaiter sees.
PySendResult finish_step(StepObject* step, Outcome outcome, PyObject** out) {
    if (outcome == Outcome::next) return PYGEN_NEXT;
    step->state = StepState::used;
    step->generator->step_running = false;
    switch (outcome) {
        case Outcome::yielded:
            if (step->kind != StepKind::close) return PYGEN_RETURN;
            Py_CLEAR(*out);
            PyErr_SetString(PyExc_RuntimeError, "async generator ignored GeneratorExit");
            return PYGEN_ERROR;
        case Outcome::finished:
            Py_CLEAR(*out);
            if (step->kind == StepKind::close) {
                *out = Py_NewRef(Py_None);
                return PYGEN_RETURN;
            }
            PyErr_SetNone(PyExc_StopAsyncIteration);
            return PYGEN_ERROR;
        default:
            if (step->kind == StepKind::close &&
                (PyErr_ExceptionMatches(PyExc_GeneratorExit) ||
                 PyErr_ExceptionMatches(PyExc_StopAsyncIteration))) {
                PyErr_Clear();
                *out = Py_NewRef(Py_None);
                return PYGEN_RETURN;
            }
            return PYGEN_ERROR;
    }
}

PySendResult step_start(StepObject* step, PyObject** out) {
    AsyncGeneratorObject* generator = step->generator;
    FrameState& state = generator->state;
    if (generator->step_running) {
        PyErr_SetString(PyExc_RuntimeError, "anext(): asynchronous generator is already running");
        return PYGEN_ERROR;
    }
    if (state.finished() || (step->kind == StepKind::close && !state.started)) {
        state.discard();
        step->state = StepState::used;
        if (step->kind == StepKind::close) {
            *out = Py_NewRef(Py_None);
            return PYGEN_RETURN;
        }
        if (step->kind == StepKind::throw_in) {
            restore_raised_exception(Py_NewRef(step->argument));
        } else {
            PyErr_SetNone(PyExc_StopAsyncIteration);
        }
        return PYGEN_ERROR;
    }
    if (step->kind == StepKind::send && !state.started && step->argument != Py_None) {
        PyErr_SetString(PyExc_TypeError,
                        "can't send non-None value to a just-started async generator");
        return PYGEN_ERROR;
    }
    PyObject* exception = nullptr;
    if (step->kind == StepKind::throw_in) {
        exception = Py_NewRef(step->argument);
    } else if (step->kind == StepKind::close) {
        exception = PyObject_CallNoArgs(PyExc_GeneratorExit);
        if (exception == nullptr) return PYGEN_ERROR;
    }
    step->state = StepState::iterating;
    generator->step_running = true;
    PyObject* value = step->kind == StepKind::send ? step->argument : Py_None;
    Outcome outcome = run_frame(state, value, exception, out);
    Py_XDECREF(exception);
    return finish_step(step, outcome, out);
}

PySendResult step_am_send(PyObject* self, PyObject* value, PyObject** out) {
    StepObject* step = as_step(self);
    *out = nullptr;
    switch (step->state) {
        case StepState::used:
            PyErr_SetString(PyExc_RuntimeError,
                            "cannot reuse already awaited __anext__()/asend()/athrow()/aclose()");
            return PYGEN_ERROR;
        case StepState::ready:
            if (value != Py_None) {
                PyErr_SetString(PyExc_RuntimeError,
                                "can't send non-None value to a just-started awaitable");
                return PYGEN_ERROR;
            }
            return step_start(step, out);
        case StepState::iterating:
            break;
    }
    return finish_step(step, run_frame(step->generator->state, value, nullptr, out), out);
}

PyObject* step_iternext(PyObject* self) {
    PyObject* result = nullptr;
    PySendResult status = step_am_send(self, Py_None, &result);
    if (status == PYGEN_NEXT) return result;
    if (status == PYGEN_RETURN) {
        set_stop_iteration(result);
        Py_DECREF(result);
    }
    return nullptr;
}

PyObject* step_send(PyObject* self, PyObject* value) {
    PyObject* result = nullptr;
    PySendResult status = step_am_send(self, value, &result);
    if (status == PYGEN_NEXT) return result;
    if (status == PYGEN_RETURN) {
        set_stop_iteration(result);
        Py_DECREF(result);
    }
    return nullptr;
}

// The event loop throws into the step (cancellation): it goes into the generator's frame.
PyObject* step_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    StepObject* step = as_step(self);
    PyObject* exception = exception_from_throw_args(args, nargs);
    if (exception == nullptr) return nullptr;
    if (step->state != StepState::iterating) {
        step->state = StepState::used;
        restore_raised_exception(exception);
        return nullptr;
    }
    PyObject* result = nullptr;
    Outcome outcome = run_frame(step->generator->state, nullptr, exception, &result);
    Py_DECREF(exception);
    PySendResult status = finish_step(step, outcome, &result);
    if (status == PYGEN_NEXT) return result;
    if (status == PYGEN_RETURN) {
        set_stop_iteration(result);
        Py_DECREF(result);
    }
    return nullptr;
}

PyObject* step_close(PyObject* self, PyObject*) {
    StepObject* step = as_step(self);
    if (step->state == StepState::iterating) step->generator->step_running = false;
    step->state = StepState::used;
    Py_RETURN_NONE;
}

PyObject* step_await(PyObject* self) {
    return Py_NewRef(self);
}

int step_traverse(PyObject* self, visitproc visit, void* arg) {
    StepObject* step = as_step(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<PyObject*>(step->generator));
    Py_VISIT(step->argument);
    return 0;
}

int step_clear(PyObject* self) {
    StepObject* step = as_step(self);
    Py_CLEAR(step->argument);
    return 0;
}

void step_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    StepObject* step = as_step(self);
    if (step->state == StepState::iterating) step->generator->step_running = false;
    Py_CLEAR(step->argument);
    Py_CLEAR(step->generator);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

void generator_finalize(PyObject* self) {
    AsyncGeneratorObject* generator = as_generator(self);
    if (generator->state.finished()) return;
    PyObject* saved = fetch_raised_exception();
    if (generator->state.started && generator->finalizer != nullptr) {
        // The loop schedules aclose() as a task; the generator lives on until it has run.
        PyObject* finalizer = generator->finalizer;
        generator->finalizer = nullptr;
        PyObject* done = PyObject_CallOneArg(finalizer, self);
        if (done == nullptr) PyErr_WriteUnraisable(self);
        Py_XDECREF(done);
        Py_DECREF(finalizer);
    } else {
        // No loop to run an asynchronous clean-up on: the frame's destructors do what can be
        // done synchronously.
        generator->state.discard();
    }
    if (saved != nullptr) restore_raised_exception(saved);
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
    return PyBool_FromLong(as_generator(self)->step_running);
}

PyObject* generator_repr(PyObject* self) {
    const char* qualname = as_generator(self)->qualname;
    return PyUnicode_FromFormat("<native async_generator %s at %p>",
                                qualname ? qualname : "<native>", self);
}

PyMethodDef generator_methods[] = {
    {"asend", generator_asend, METH_O, "Send a value into the generator."},
    {"athrow", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(generator_athrow)),
     METH_FASTCALL, "Raise an exception inside the generator."},
    {"aclose", generator_aclose, METH_NOARGS, "Raise GeneratorExit inside the generator."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef generator_getset[] = {
    {"__qualname__", generator_qualname, nullptr, nullptr, nullptr},
    {"__name__", generator_qualname, nullptr, nullptr, nullptr},
    {"ag_running", generator_running, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef generator_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(AsyncGeneratorObject, weakrefs), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef step_methods[] = {
    {"send", step_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(step_throw)),
     METH_FASTCALL, nullptr},
    {"close", step_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

nb::object AsyncGenerator::into_python(const char* qualname) && {
    AsyncGeneratorObject* generator = PyObject_GC_New(AsyncGeneratorObject, async_generator_type);
    if (generator == nullptr) throw_pending();
    std::coroutine_handle<promise_type> frame = std::exchange(frame_, {});
    new (&generator->state) FrameState{frame, &frame.promise()};
    generator->qualname = qualname;
    generator->weakrefs = nullptr;
    generator->finalizer = nullptr;
    generator->hooks_called = false;
    generator->step_running = false;
    PyObject_GC_Track(generator);
    return nb::steal(reinterpret_cast<PyObject*>(generator));
}

void init_async_generator_types(const char* module_name) {
    nb::object sys = nb::module_::import_("sys");
    sys_get_asyncgen_hooks = nb::getattr(sys, "get_asyncgen_hooks").release().ptr();

    static std::string generator_name = std::string(module_name) + ".native_async_generator";
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
    static PyType_Spec generator_spec = {generator_name.c_str(), sizeof(AsyncGeneratorObject), 0,
                                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, generator_slots};
    async_generator_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&generator_spec));
    if (async_generator_type == nullptr) throw_pending();

    static std::string step_name = std::string(module_name) + ".native_async_generator_step";
    static PyType_Slot step_slots[] = {
        {Py_am_await, reinterpret_cast<void*>(step_await)},
        {Py_am_send, reinterpret_cast<void*>(step_am_send)},
        {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
        {Py_tp_iternext, reinterpret_cast<void*>(step_iternext)},
        {Py_tp_methods, step_methods},
        {Py_tp_traverse, reinterpret_cast<void*>(step_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(step_clear)},
        {Py_tp_dealloc, reinterpret_cast<void*>(step_dealloc)},
        {0, nullptr},
    };
    static PyType_Spec step_spec = {step_name.c_str(), sizeof(StepObject), 0,
                                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, step_slots};
    async_generator_step_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&step_spec));
    if (async_generator_step_type == nullptr) throw_pending();
}

}  // namespace quenlet::rt
