// The awaitables of an async generator: __anext__()/asend() (one type) and athrow()/aclose()
// (another), with CPython's states for each (init, iterating, closed) and what closing or
// dropping one does.
#include "runtime/async_generator_object.h"
#include "runtime/types.h"

namespace quenlet::rt {

namespace {

// ---- __anext__() and asend() ----

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

PyType_Slot asend_slots[] = {
    {Py_am_await, reinterpret_cast<void*>(awaitable_await)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(asend_iternext)},
    {Py_tp_methods, asend_methods},
    {Py_tp_finalize, reinterpret_cast<void*>(asend_finalize)},
    {Py_tp_traverse, reinterpret_cast<void*>(asend_traverse)},
    {Py_tp_dealloc, reinterpret_cast<void*>(asend_dealloc)},
    {0, nullptr},
};

PyType_Slot athrow_slots[] = {
    {Py_am_await, reinterpret_cast<void*>(awaitable_await)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(athrow_iternext)},
    {Py_tp_methods, athrow_methods},
    {Py_tp_finalize, reinterpret_cast<void*>(athrow_finalize)},
    {Py_tp_traverse, reinterpret_cast<void*>(athrow_traverse)},
    {Py_tp_dealloc, reinterpret_cast<void*>(athrow_dealloc)},
    {0, nullptr},
};

}  // namespace

PyObject* new_asend(PyObject* self, PyObject* sent) {
    AsyncGeneratorObject* generator = as_generator(self);
    if (init_hooks(generator) < 0) return nullptr;
    ASendObject* asend = PyObject_GC_New(ASendObject, module_state()->asend_type);
    if (asend == nullptr) return nullptr;
    asend->generator = reinterpret_cast<AsyncGeneratorObject*>(Py_NewRef(self));
    asend->sent = Py_XNewRef(sent);
    asend->state = AwaitableState::init;
    PyObject_GC_Track(asend);
    return reinterpret_cast<PyObject*>(asend);
}

PyObject* new_athrow(PyObject* self, PyObject* arguments) {
    AsyncGeneratorObject* generator = as_generator(self);
    if (init_hooks(generator) < 0) return nullptr;
    AThrowObject* athrow = PyObject_GC_New(AThrowObject, module_state()->athrow_type);
    if (athrow == nullptr) return nullptr;
    athrow->generator = reinterpret_cast<AsyncGeneratorObject*>(Py_NewRef(self));
    athrow->arguments = Py_XNewRef(arguments);
    athrow->state = AwaitableState::init;
    PyObject_GC_Track(athrow);
    return reinterpret_cast<PyObject*>(athrow);
}

void init_async_generator_awaitable_types(ModuleState& state, const char* module_name) {
    state.asend_type =
        make_type(module_name, "native_async_generator_asend", sizeof(ASendObject), asend_slots);
    state.athrow_type =
        make_type(module_name, "native_async_generator_athrow", sizeof(AThrowObject), athrow_slots);
}

}  // namespace quenlet::rt
