#include "runtime/driver.h"

namespace quenlet::rt {

void FrameState::discard() noexcept {
    if (!frame) return;
    std::coroutine_handle<> ending = std::exchange(frame, {});
    promise = nullptr;
    ending.destroy();
}

nb::object awaitable_iterator(nb::handle awaitable) {
    PyTypeObject* type = Py_TYPE(awaitable.ptr());
    // A native coroutine is driven directly; `await` would wrap it first.
    if (PyCoro_CheckExact(awaitable.ptr())) return nb::borrow(awaitable);
    if (type->tp_as_async == nullptr || type->tp_as_async->am_await == nullptr) {
        PyErr_Format(PyExc_TypeError, "'%.100s' object can't be awaited", type->tp_name);
        throw_pending();
    }
    nb::object iterator = steal_or_throw(type->tp_as_async->am_await(awaitable.ptr()));
    if (!PyIter_Check(iterator.ptr())) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(iterator.ptr())->tp_name);
        throw_pending();
    }
    return iterator;
}

PyObject* take_stop_iteration_value() noexcept {
    PyObject* exception = fetch_raised_exception();
    PyObject* value = PyObject_GetAttrString(exception, "value");
    Py_DECREF(exception);
    return value;
}

void set_stop_iteration(PyObject* value) noexcept {
    if (value == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    PyObject* exception = PyObject_CallOneArg(PyExc_StopIteration, value);
    if (exception == nullptr) return;
    restore_raised_exception(exception);
}

namespace {

// `yield from` semantics for throwing into the iterator we delegate to. GeneratorExit closes the
// delegate and is then raised in the frame itself; anything else goes to the delegate's throw().
PySendResult throw_into_delegate(nb::handle delegate, PyObject* exception, PyObject** out) {
    if (PyErr_GivenExceptionMatches(exception, PyExc_GeneratorExit)) {
        PyObject* close = PyObject_GetAttrString(delegate.ptr(), "close");
        if (close == nullptr) {
            PyErr_Clear();
        } else {
            PyObject* closed = PyObject_CallNoArgs(close);
            Py_DECREF(close);
            if (closed == nullptr) return PYGEN_ERROR;  // close()'s own error replaces ours
            Py_DECREF(closed);
        }
        restore_raised_exception(Py_NewRef(exception));
        return PYGEN_ERROR;
    }
    PyObject* throw_method = PyObject_GetAttrString(delegate.ptr(), "throw");
    if (throw_method == nullptr) {
        PyErr_Clear();
        restore_raised_exception(Py_NewRef(exception));
        return PYGEN_ERROR;
    }
    PyObject* result = PyObject_CallOneArg(throw_method, exception);
    Py_DECREF(throw_method);
    if (result != nullptr) {
        *out = result;
        return PYGEN_NEXT;
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        *out = take_stop_iteration_value();
        return *out != nullptr ? PYGEN_RETURN : PYGEN_ERROR;
    }
    return PYGEN_ERROR;
}

// The frame at the bottom of the chain of native Tasks the outermost frame awaits: the one that
// waits on a Python awaitable, or is about to run.
struct Innermost {
    std::coroutine_handle<> frame;
    FramePromise* promise;
};

Innermost innermost(const FrameState& state) noexcept {
    Innermost found{state.frame, state.promise};
    while (found.promise->child != nullptr) {
        found = {found.promise->child_frame, found.promise->child};
    }
    return found;
}

}  // namespace

Outcome run_frame(FrameState& state, PyObject* value, PyObject* exception,
                  PyObject** out) noexcept {
    *out = nullptr;
    if (state.running) {
        PyErr_SetString(PyExc_ValueError, "native coroutine already executing");
        return Outcome::failed;
    }
    if (state.finished()) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse an ended native coroutine");
        return Outcome::failed;
    }
    if (!state.started && exception != nullptr) {
        // Like a generator that never ran: the exception comes straight back and it is over.
        state.discard();
        restore_raised_exception(Py_NewRef(exception));
        return Outcome::failed;
    }
    // Set when the innermost frame is a Task that has just been awaited, or the frame that
    // awaited a Task that has just ended: it resumes with nothing sent.
    bool linked = false;
    for (;;) {
        Innermost current = innermost(state);
        FramePromise& promise = *current.promise;
        if (linked) {
            linked = false;
        } else if (promise.delegate.is_valid()) {
            PyObject* produced = nullptr;
            PySendResult status = exception != nullptr
                                      ? throw_into_delegate(promise.delegate, exception, &produced)
                                      : PyIter_Send(promise.delegate.ptr(), value, &produced);
            exception = nullptr;
            value = Py_None;
            if (status == PYGEN_NEXT) {
                *out = produced;
                return Outcome::next;
            }
            promise.delegate.reset();
            if (status == PYGEN_RETURN) {
                promise.sent_value = nb::steal(produced);
            } else {
                promise.sent_error = nb::steal(fetch_raised_exception());
            }
        } else if (exception != nullptr) {
            promise.sent_error = nb::borrow(exception);
            exception = nullptr;
        } else if (state.started) {
            promise.sent_value = nb::borrow(value);
        }

        state.started = true;
        state.running = true;
        current.frame.resume();  // C++ exceptions end up in promise.failure
        state.running = false;

        if (current.frame.done()) {
            if (FramePromise* awaiting = promise.parent) {
                // The awaiter in the awaiting frame takes the outcome and the ended frame.
                awaiting->child = nullptr;
                awaiting->child_frame = {};
                linked = true;
                continue;
            }
            std::exception_ptr failure = std::move(promise.failure);
            nb::object result = std::move(promise.result);
            state.discard();
            if (failure) {
                set_python_error(failure);
                return Outcome::failed;
            }
            *out = result.release().ptr();
            return Outcome::finished;
        }
        if (promise.child != nullptr) {
            linked = true;  // now awaiting a Task: run it
            continue;
        }
        if (promise.delegate.is_valid())
            continue;  // now awaiting: give the awaitable its first step
        *out = promise.yielded.release().ptr();
        return Outcome::yielded;
    }
}

int visit_frames(const FrameState& state, visitproc visit, void* arg) noexcept {
    for (FramePromise* promise = state.promise; promise != nullptr; promise = promise->child) {
        Py_VISIT(promise->delegate.ptr());
        Py_VISIT(promise->sent_value.ptr());
        Py_VISIT(promise->sent_error.ptr());
        Py_VISIT(promise->yielded.ptr());
        Py_VISIT(promise->result.ptr());
    }
    return 0;
}

PyObject* exception_from_throw_args(PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs < 1 || nargs > 3) {
        PyErr_SetString(PyExc_TypeError, "throw expected 1 to 3 arguments");
        return nullptr;
    }
    PyObject* type = args[0];
    PyObject* value = nargs > 1 ? args[1] : Py_None;
    PyObject* traceback = nargs > 2 ? args[2] : Py_None;
    if (traceback != Py_None && !PyTraceBack_Check(traceback)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    PyObject* exception = nullptr;
    if (PyExceptionInstance_Check(type)) {
        if (value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exception = Py_NewRef(type);
    } else if (PyExceptionClass_Check(type)) {
        if (PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(type))) {
            exception = Py_NewRef(value);
        } else if (value == Py_None) {
            exception = PyObject_CallNoArgs(type);
        } else {
            exception = PyObject_CallOneArg(type, value);
        }
        if (exception == nullptr) return nullptr;
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return nullptr;
    }
    if (traceback != Py_None && PyException_SetTraceback(exception, traceback) < 0) {
        Py_DECREF(exception);
        return nullptr;
    }
    return exception;
}

}  // namespace quenlet::rt
