// The awaitables of an async generator: __anext__()/asend() (one type) and athrow()/aclose()
// (another), with CPython's states for each (init, iterating, closed), its messages, and what
// closing or dropping one does. What the two kinds do alike is written once here; CPython writes
// it out for each.
#include "runtime/async_generator_object.h"

namespace quenlet::rt {

namespace {

enum class AwaitableKind { asend, athrow, aclose };
enum class AwaitableState { init, iterating, closed };

struct AwaitableObject {
    PyObject_HEAD AsyncGeneratorObject* generator;  // strong
    // asend: the value to send, null for __anext__(); athrow: its argument tuple.
    PyObject* argument;
    AwaitableKind kind;
    AwaitableState state;
};

AwaitableObject* as_awaitable(PyObject* self) {
    return reinterpret_cast<AwaitableObject*>(self);
}

const char* method_name(const AwaitableObject* awaitable) {
    switch (awaitable->kind) {
        case AwaitableKind::asend:
            return "asend";
        case AwaitableKind::athrow:
            return "athrow";
        case AwaitableKind::aclose:
            break;
    }
    return "aclose";
}

bool refuse_reuse(const AwaitableObject* awaitable) {
    if (awaitable->state != AwaitableState::closed) return false;
    PyErr_SetString(PyExc_RuntimeError, awaitable->kind == AwaitableKind::asend
                                            ? "cannot reuse already awaited __anext__()/asend()"
                                            : "cannot reuse already awaited aclose()/athrow()");
    return true;
}

// A second awaitable may not start while another of the generator's is being iterated.
bool refuse_running(AwaitableObject* awaitable) {
    if (!awaitable->generator->running_async) return false;
    awaitable->state = AwaitableState::closed;
    PyErr_Format(PyExc_RuntimeError, "%s(): asynchronous generator is already running",
                 awaitable->kind == AwaitableKind::asend ? "anext" : method_name(awaitable));
    return true;
}

// What a step gives once the awaitable has begun: what the generator awaits passes through;
// otherwise the awaitable is over (unwrap). An aclose() refuses an item the generator yields
// instead of ending, and the generator's end or GeneratorExit is its plain end.
PyObject* answer(AwaitableObject* awaitable, Step step) {
    if (awaitable->kind == AwaitableKind::aclose && step.outcome == Outcome::yielded) {
        Py_DECREF(step.value);
        PyErr_SetString(PyExc_RuntimeError, "async generator ignored GeneratorExit");
        step = Step{Outcome::failed, nullptr};
    }
    PyObject* result = unwrap(awaitable->generator, step);
    if (result != nullptr) return result;
    awaitable->state = AwaitableState::closed;
    if (awaitable->kind == AwaitableKind::aclose &&
        (PyErr_ExceptionMatches(PyExc_StopAsyncIteration) ||
         PyErr_ExceptionMatches(PyExc_GeneratorExit))) {
        PyErr_Clear();
        PyErr_SetNone(PyExc_StopIteration);
    }
    return nullptr;
}

PyObject* asend_send(PyObject* self, PyObject* value) {
    AwaitableObject* asend = as_awaitable(self);
    if (refuse_reuse(asend)) return nullptr;
    if (asend->state == AwaitableState::init) {
        if (refuse_running(asend)) return nullptr;
        if (value == Py_None && asend->argument != nullptr) value = asend->argument;
        asend->state = AwaitableState::iterating;
    }
    asend->generator->running_async = true;
    return answer(asend, generator_send(asend->generator, value));
}

PyObject* athrow_send(PyObject* self, PyObject* value) {
    AwaitableObject* athrow = as_awaitable(self);
    AsyncGeneratorObject* generator = athrow->generator;
    if (refuse_reuse(athrow)) return nullptr;
    if (generator->frame.state.finished()) {
        athrow->state = AwaitableState::closed;
        PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
    if (athrow->state == AwaitableState::iterating) {
        Step step = generator_send(generator, value);
        // As CPython: an athrow() that is already iterating stays so when it ends here.
        if (athrow->kind == AwaitableKind::athrow) return unwrap(generator, step);
        return answer(athrow, step);
    }
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
    if (athrow->kind == AwaitableKind::aclose) {
        generator->closed = true;
        return answer(athrow, generator_throw(generator, Thrown{PyExc_GeneratorExit}, false));
    }
    Thrown thrown{};
    // athrow() itself gave the deprecation warning.
    if (!unpack_thrown("athrow", PySequence_Fast_ITEMS(athrow->argument),
                       PyTuple_GET_SIZE(athrow->argument), &thrown, false)) {
        return nullptr;
    }
    return answer(athrow, generator_throw(generator, thrown, false));
}

PyObject* awaitable_send(PyObject* self, PyObject* value) {
    return as_awaitable(self)->kind == AwaitableKind::asend ? asend_send(self, value)
                                                            : athrow_send(self, value);
}

PyObject* awaitable_iternext(PyObject* self) {
    return awaitable_send(self, Py_None);
}

// The awaitable's throw(): `thrown` raised where the generator waits.
PyObject* throw_thrown(AwaitableObject* awaitable, Thrown thrown) {
    if (refuse_reuse(awaitable)) return nullptr;
    if (awaitable->state == AwaitableState::init) {
        if (refuse_running(awaitable)) return nullptr;
        awaitable->state = AwaitableState::iterating;
        awaitable->generator->running_async = true;
    }
    return answer(awaitable, generator_throw(awaitable->generator, thrown, true));
}

PyObject* awaitable_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    Thrown thrown{};
    if (!unpack_thrown("throw", args, nargs, &thrown)) return nullptr;
    return throw_thrown(as_awaitable(self), thrown);
}

// Closing a pending awaitable raises GeneratorExit in the generator where it waits, as when the
// coroutine awaiting it is closed: the generator's clean-up runs, and may not await.
PyObject* awaitable_close(PyObject* self, PyObject*) {
    AwaitableObject* awaitable = as_awaitable(self);
    if (awaitable->state == AwaitableState::closed) Py_RETURN_NONE;
    PyObject* result = throw_thrown(awaitable, Thrown{PyExc_GeneratorExit, nullptr, nullptr, true});
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

void awaitable_finalize(PyObject* self) {
    AwaitableObject* awaitable = as_awaitable(self);
    if (awaitable->state == AwaitableState::init) {
        PyObject* generator = reinterpret_cast<PyObject*>(awaitable->generator);
        warn_never_awaited(generator, "coroutine method '%s' of '%s' was never awaited",
                           method_name(awaitable), qualname_of(generator));
    }
}

int awaitable_traverse(PyObject* self, visitproc visit, void* arg) {
    AwaitableObject* awaitable = as_awaitable(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<PyObject*>(awaitable->generator));
    Py_VISIT(awaitable->argument);
    return 0;
}

void awaitable_dealloc(PyObject* self) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;
    PyObject_GC_UnTrack(self);
    AwaitableObject* awaitable = as_awaitable(self);
    Py_CLEAR(awaitable->generator);
    Py_CLEAR(awaitable->argument);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject* new_awaitable(PyTypeObject* type, PyObject* self, AwaitableKind kind,
                        PyObject* argument) {
    if (init_hooks(as_generator(self)) < 0) return nullptr;
    AwaitableObject* awaitable = PyObject_GC_New(AwaitableObject, type);
    if (awaitable == nullptr) return nullptr;
    awaitable->generator = reinterpret_cast<AsyncGeneratorObject*>(Py_NewRef(self));
    awaitable->argument = Py_XNewRef(argument);
    awaitable->kind = kind;
    awaitable->state = AwaitableState::init;
    PyObject_GC_Track(awaitable);
    return reinterpret_cast<PyObject*>(awaitable);
}

PyMethodDef awaitable_methods[] = {
    {"send", awaitable_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(awaitable_throw)),
     METH_FASTCALL, nullptr},
    {"close", awaitable_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Both types: what differs between them is the awaitable's kind.
PyType_Slot awaitable_slots[] = {
    {Py_am_await, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(awaitable_iternext)},
    {Py_tp_methods, awaitable_methods},
    {Py_tp_finalize, reinterpret_cast<void*>(awaitable_finalize)},
    {Py_tp_traverse, reinterpret_cast<void*>(awaitable_traverse)},
    {Py_tp_dealloc, reinterpret_cast<void*>(awaitable_dealloc)},
    {0, nullptr},
};

}  // namespace

PyObject* new_asend(PyObject* generator, PyObject* sent) {
    return new_awaitable(module_state()->asend_type, generator, AwaitableKind::asend, sent);
}

PyObject* new_athrow(PyObject* generator, PyObject* arguments) {
    return new_awaitable(module_state()->athrow_type, generator,
                         arguments != nullptr ? AwaitableKind::athrow : AwaitableKind::aclose,
                         arguments);
}

void init_async_generator_awaitable_types(ModuleState& state, const char* module_name) {
    state.asend_type = make_type(module_name, "native_async_generator_asend",
                                 sizeof(AwaitableObject), awaitable_slots);
    state.athrow_type = make_type(module_name, "native_async_generator_athrow",
                                  sizeof(AwaitableObject), awaitable_slots);
}

}  // namespace quenlet::rt
