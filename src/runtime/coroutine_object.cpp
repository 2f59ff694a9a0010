// The Python coroutine type behind every Task. Modelled on the future iterator of CPython's
// asyncio module: am_send does the work and returns NEXT/RETURN/ERROR without allocating a
// StopIteration; tp_iternext, send, throw and close are thin layers over it. The interpreter's
// `await` steps it through tp_iternext/send, asyncio's Task through am_send.
#include "runtime/coroutine.h"
#include "runtime/frame_object.h"

namespace quenlet::rt {

namespace {

PySendResult as_send_result(Outcome outcome, PyObject** out) {
    switch (outcome) {
        case Outcome::next:
            return PYGEN_NEXT;
        case Outcome::finished:
            return PYGEN_RETURN;
        case Outcome::failed:
            return PYGEN_ERROR;
        case Outcome::yielded:
            break;
    }
    Py_CLEAR(*out);
    PyErr_SetString(PyExc_SystemError, "native coroutine used co_yield");
    return PYGEN_ERROR;
}

PySendResult coroutine_am_send(PyObject* self, PyObject* value, PyObject** out) {
    return as_send_result(send_to_frame(as_frame_object(self)->state, value, out), out);
}

PyObject* coroutine_send(PyObject* self, PyObject* value) {
    PyObject* result = nullptr;
    PySendResult status = coroutine_am_send(self, value, &result);
    return as_iteration(status, result);
}

PyObject* coroutine_iternext(PyObject* self) {
    return coroutine_send(self, Py_None);
}

PyObject* coroutine_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    Thrown thrown{};
    if (!unpack_thrown("throw", args, nargs, &thrown)) return nullptr;
    PyObject* result = nullptr;
    Outcome outcome = throw_into_frame(as_frame_object(self)->state, thrown, true, &result);
    return as_iteration(as_send_result(outcome, &result), result);
}

PyObject* coroutine_close(PyObject* self, PyObject*) {
    return close_frame(as_frame_object(self)->state);
}

PyObject* coroutine_running(PyObject* self, void*) {
    return PyBool_FromLong(as_frame_object(self)->state.running);
}

PyMethodDef coroutine_methods[] = {
    {"send", coroutine_send, METH_O, "Resume the coroutine, sending a value into it."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coroutine_throw)),
     METH_FASTCALL, "Raise an exception inside the coroutine where it waits."},
    {"close", coroutine_close, METH_NOARGS, "Raise GeneratorExit inside the coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coroutine_getset[] = {
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"cr_running", coroutine_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_await", get_awaited, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

nb::object Task::into_python(const char* qualname) && {
    std::coroutine_handle<promise_type> frame = std::exchange(frame_, {});
    FrameObject* coroutine = new_frame_object(module_state()->coroutine_type, frame,
                                              &frame.promise(), FrameKind::coroutine, qualname);
    PyObject_GC_Track(coroutine);
    return nb::steal(reinterpret_cast<PyObject*>(coroutine));
}

void init_coroutine_type(ModuleState& state, const char* module_name) {
    state.coroutine_type =
        make_frame_type(module_name, "native_coroutine", sizeof(FrameObject),
                        {
                            {Py_am_await, reinterpret_cast<void*>(PyObject_SelfIter)},
                            {Py_am_send, reinterpret_cast<void*>(coroutine_am_send)},
                            {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
                            {Py_tp_iternext, reinterpret_cast<void*>(coroutine_iternext)},
                            {Py_tp_methods, coroutine_methods},
                            {Py_tp_getset, coroutine_getset},
                        });
}

}  // namespace quenlet::rt
