// The Python asynchronous-generator type behind every AsyncGenerator. It follows CPython's own
// (Objects/genobject.c) state for state: the running and closed flags, and the steps of its frame
// that its awaitables (async_generator_awaitables.cpp) take.
//
// Like CPython's async generators it calls the event loop's async-generator hooks
// (sys.get_asyncgen_hooks) itself: firstiter when it is first iterated, so
// loop.shutdown_asyncgens() closes it, and the finalizer when it is dropped while suspended
// (finalize_frame_object), so its clean-up runs as an aclose() task on the loop.
#include "runtime/async_generator_object.h"

namespace quenlet::rt {

Step generator_send(AsyncGeneratorObject* generator, PyObject* value) {
    Step step{};
    step.outcome = send_to_frame(generator->frame.state, value, &step.value);
    return step;
}

Step generator_throw(AsyncGeneratorObject* generator, Thrown thrown, bool close_awaited_on_exit) {
    Step step{};
    step.outcome =
        throw_into_frame(generator->frame.state, thrown, close_awaited_on_exit, &step.value);
    return step;
}

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
    ModuleState* state = owned_state(generator->frame.module_state);
    if (state == nullptr) return 0;  // the module has gone: no loop to tell
    PyObject* hooks = PyObject_CallNoArgs(state->get_asyncgen_hooks.ptr());
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

namespace {

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

PyObject* generator_running(PyObject* self, void*) {
    return PyBool_FromLong(as_generator(self)->running_async);
}

PyMethodDef generator_methods[] = {
    {"asend", generator_asend, METH_O, "Send a value into the generator."},
    {"athrow", generator_athrow, METH_VARARGS, "Raise an exception inside the generator."},
    {"aclose", generator_aclose, METH_NOARGS, "Raise GeneratorExit inside the generator."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef generator_getset[] = {
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"ag_running", generator_running, nullptr, nullptr, nullptr},
    {"ag_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"ag_await", get_awaited, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

nb::object AsyncGenerator::into_python(const char* qualname) && {
    std::coroutine_handle<promise_type> frame = std::exchange(frame_, {});
    auto* generator = reinterpret_cast<AsyncGeneratorObject*>(
        new_frame_object(module_state()->async_generator_type, frame, &frame.promise(),
                         FrameKind::async_generator, qualname));
    generator->finalizer = nullptr;
    generator->hooks_inited = false;
    generator->running_async = false;
    generator->closed = false;
    PyObject_GC_Track(generator);
    return nb::steal(reinterpret_cast<PyObject*>(generator));
}

void init_async_generator_types(ModuleState& state, const char* module_name) {
    state.async_generator_type =
        make_frame_type(module_name, "native_async_generator", sizeof(AsyncGeneratorObject),
                        {
                            {Py_am_aiter, reinterpret_cast<void*>(PyObject_SelfIter)},
                            {Py_am_anext, reinterpret_cast<void*>(generator_anext)},
                            {Py_tp_methods, generator_methods},
                            {Py_tp_getset, generator_getset},
                        });
    init_async_generator_awaitable_types(state, module_name);
}

}  // namespace quenlet::rt
