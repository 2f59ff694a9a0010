#include "runtime/driver.h"

namespace quenlet::rt {

void FrameState::discard() noexcept {
    if (!frame) return;
    std::coroutine_handle<> ending = std::exchange(frame, {});
    promise = nullptr;
    ending.destroy();
}

nb::object FrameState::awaited() const {
    if (!suspended()) return nb::none();
    const FramePromise* current = promise;
    while (current->child != nullptr) current = current->child;
    if (!current->delegate.is_valid()) return nb::none();
    return current->delegate;
}

namespace {

const char* kind_name(FrameKind kind) noexcept {
    return kind == FrameKind::coroutine ? "coroutine" : "async generator";
}

// Marks the frame as executing for the whole of one call, as CPython does while it runs a
// frame or the object that frame awaits: a re-entrant call is refused instead of resuming a
// frame that is already on the stack.
class Running {
  public:
    explicit Running(FrameState& state) noexcept : state_(state) { state_.running = true; }
    ~Running() { state_.running = false; }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

  private:
    FrameState& state_;
};

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

// What the awaited object answered becomes what the frame resumes with, as `yield from` hands
// the iterator's return value, or its exception, to the frame that awaits.
void settle(FramePromise& promise, PySendResult status, PyObject* produced) noexcept {
    promise.delegate.reset();
    promise.closing = false;
    if (status == PYGEN_RETURN) {
        promise.sent_value = nb::steal(produced);
    } else if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        // A throw() that the awaited object answered by returning.
        PyObject* value = take_stop_iteration_value();
        if (value != nullptr) {
            promise.sent_value = nb::steal(value);
        } else {
            promise.sent_error = nb::steal(fetch_raised_exception());
        }
    } else {
        promise.sent_error = nb::steal(fetch_raised_exception());
    }
}

// Feeds `value` to the iterator the frame awaits, as `yield from` does: true with *out set when it
// yields (for the event loop); otherwise its answer is what the frame resumes with.
bool feed_delegate(FramePromise& promise, PyObject* value, PyObject** out) noexcept {
    PyObject* produced = nullptr;
    PySendResult status = PyIter_Send(promise.delegate.ptr(), value, &produced);
    if (status == PYGEN_NEXT) {
        *out = produced;
        return true;
    }
    settle(promise, status, produced);
    return false;
}

// A frame that lets StopIteration (or, an async generator, StopAsyncIteration) escape would
// look to its driver as if it had returned: like Python, raise RuntimeError instead.
void refuse_escaped_stop(FramePromise& promise, FrameKind kind) noexcept {
    if (!promise.failure) return;
    PyObject* stop = nullptr;
    try {
        std::rethrow_exception(promise.failure);
    } catch (const nb::python_error& error) {
        if (error.matches(PyExc_StopIteration)) {
            stop = PyExc_StopIteration;
        } else if (kind == FrameKind::async_generator && error.matches(PyExc_StopAsyncIteration)) {
            stop = PyExc_StopAsyncIteration;
        }
    } catch (...) {
    }
    if (stop == nullptr) return;
    set_python_error(promise.failure);
    PyObject* escaped = fetch_raised_exception();
    PyErr_Format(PyExc_RuntimeError, "%s raised %s", kind_name(kind),
                 stop == PyExc_StopIteration ? "StopIteration" : "StopAsyncIteration");
    PyObject* replacement = fetch_raised_exception();
    PyException_SetCause(replacement, Py_NewRef(escaped));
    PyException_SetContext(replacement, escaped);
    restore_raised_exception(replacement);
    promise.failure = std::make_exception_ptr(nb::python_error());
}

// Resumes the innermost frame, which has what it resumes with in its promise, and runs the
// chain until it needs the event loop, yields or ends.
Outcome resume_chain(FrameState& state, PyObject** out) noexcept {
    for (;;) {
        Innermost current = innermost(state);
        FramePromise& promise = *current.promise;
        state.started = true;
        current.frame.resume();  // C++ exceptions end up in promise.failure

        if (current.frame.done()) {
            if (FramePromise* awaiting = promise.parent) {
                // The awaiter in the awaiting frame takes the outcome and the ended frame.
                refuse_escaped_stop(promise, FrameKind::coroutine);
                awaiting->child = nullptr;
                awaiting->child_frame = {};
                continue;
            }
            refuse_escaped_stop(promise, state.kind);
            std::exception_ptr failure = std::move(promise.failure);
            nb::object result = std::move(promise.result);
            state.discard();
            if (failure) {
                set_python_error(failure);
                return Outcome::failed;
            }
            *out = result.is_valid() ? result.release().ptr() : Py_NewRef(Py_None);
            return Outcome::finished;
        }
        if (promise.child != nullptr) continue;  // now awaiting a Task: run it
        if (promise.delegate.is_valid()) {
            // Now awaiting: give the awaitable its first step.
            if (feed_delegate(promise, Py_None, out)) return Outcome::next;
            continue;
        }
        *out = promise.yielded.release().ptr();
        return Outcome::yielded;
    }
}

// Resumes the innermost frame by raising the error that is set; `closing` tells the frame that
// the caller is close(), which will refuse any await that follows.
Outcome resume_raising(FrameState& state, PyObject** out, bool closing) noexcept {
    Innermost current = innermost(state);
    if (!state.started) {
        // A frame that never ran raises at once, before its first statement, and is over.
        state.discard();
        return Outcome::failed;
    }
    current.promise->delegate.reset();
    current.promise->sent_error = nb::steal(fetch_raised_exception());
    current.promise->closing = closing;
    return resume_chain(state, out);
}

// The checks gen_send_ex2 makes before it resumes a frame. An ended async generator sets no
// error: a send ends it, and an exception thrown into it goes through.
bool may_resume(const FrameState& state) noexcept {
    if (state.running) {
        PyErr_Format(PyExc_ValueError, "%s already executing", kind_name(state.kind));
        return false;
    }
    if (state.finished()) {
        if (state.kind == FrameKind::coroutine) {
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        }
        return false;
    }
    return true;
}

// close() of the awaited object, as gen_close_iter: -1 with its error set if it failed.
int close_awaited(nb::handle delegate) noexcept {
    PyObject* close = nullptr;
    if (PyObject_GetOptionalAttrString(delegate.ptr(), "close", &close) < 0) {
        PyErr_WriteUnraisable(delegate.ptr());
    }
    if (close == nullptr) return 0;
    PyObject* closed = PyObject_CallNoArgs(close);
    Py_DECREF(close);
    if (closed == nullptr) return -1;
    Py_DECREF(closed);
    return 0;
}

}  // namespace

Outcome send_to_frame(FrameState& state, PyObject* value, PyObject** out) noexcept {
    *out = nullptr;
    if (!state.started && !state.finished() && value != Py_None) {
        PyErr_Format(PyExc_TypeError, "can't send non-None value to a just-started %s",
                     kind_name(state.kind));
        return Outcome::failed;
    }
    if (!may_resume(state)) {
        if (state.running || state.kind == FrameKind::coroutine) return Outcome::failed;
        *out = Py_NewRef(Py_None);
        return Outcome::finished;
    }
    Running running(state);
    Innermost current = innermost(state);
    FramePromise& promise = *current.promise;
    if (promise.delegate.is_valid()) {
        if (feed_delegate(promise, value, out)) return Outcome::next;
    } else if (state.started) {
        promise.sent_value = nb::borrow(value);
        promise.closing = false;
    }
    return resume_chain(state, out);
}

Outcome throw_into_frame(FrameState& state, Thrown thrown, bool close_awaited_on_exit,
                         PyObject** out) noexcept {
    *out = nullptr;
    nb::object delegate;
    if (state.suspended()) delegate = innermost(state).promise->delegate;
    if (delegate.is_valid()) {
        if (close_awaited_on_exit &&
            PyErr_GivenExceptionMatches(thrown.type, PyExc_GeneratorExit)) {
            int closed;
            {
                Running running(state);
                closed = close_awaited(delegate);
            }
            delegate.reset();
            if (closed < 0) {
                // The awaited object's own error from close() replaces GeneratorExit.
                Running running(state);
                return resume_raising(state, out, thrown.closing);
            }
        } else {
            PyObject* throw_method = nullptr;
            if (PyObject_GetOptionalAttrString(delegate.ptr(), "throw", &throw_method) < 0) {
                return Outcome::failed;
            }
            if (throw_method != nullptr) {
                Running running(state);
                PyObject* produced = nullptr;
                if (PyGen_CheckExact(delegate.ptr()) || PyCoro_CheckExact(delegate.ptr())) {
                    // CPython hands a generator or coroutine the exception as it was given,
                    // without the deprecation warning its throw() would add for more than one
                    // argument; an instance made here is the same exception.
                    if (raise_thrown(thrown)) {
                        PyObject* exception = fetch_raised_exception();
                        produced = PyObject_CallOneArg(throw_method, exception);
                        Py_DECREF(exception);
                    }
                } else {
                    PyObject* argv[] = {thrown.type, thrown.value, thrown.traceback};
                    size_t argc = thrown.traceback != nullptr ? 3 : thrown.value != nullptr ? 2 : 1;
                    produced = PyObject_Vectorcall(throw_method, argv, argc, nullptr);
                }
                Py_DECREF(throw_method);
                if (produced != nullptr) {
                    *out = produced;
                    return Outcome::next;
                }
                // The frame lets go of what it awaited before it handles the error, as Python's.
                delegate.reset();
                settle(*innermost(state).promise, PYGEN_ERROR, nullptr);
                return resume_chain(state, out);
            }
        }
    }
    if (!raise_thrown(thrown)) return Outcome::failed;
    if (!may_resume(state)) return Outcome::failed;
    Running running(state);
    return resume_raising(state, out, thrown.closing);
}

PyObject* close_frame(FrameState& state) noexcept {
    if (!state.started && !state.finished()) {
        state.discard();
        Py_RETURN_NONE;
    }
    if (state.finished()) Py_RETURN_NONE;
    int closed = 0;
    if (state.suspended()) {
        nb::object delegate = innermost(state).promise->delegate;
        if (delegate.is_valid()) {
            Running running(state);
            closed = close_awaited(delegate);
        }
    }
    if (closed == 0) PyErr_SetNone(PyExc_GeneratorExit);
    if (!may_resume(state)) return nullptr;
    PyObject* result = nullptr;
    Outcome outcome;
    {
        Running running(state);
        outcome = resume_raising(state, &result, true);
    }
    switch (outcome) {
        case Outcome::next:
        case Outcome::yielded:
            Py_DECREF(result);
            PyErr_Format(PyExc_RuntimeError, "%s ignored GeneratorExit", kind_name(state.kind));
            return nullptr;
        case Outcome::finished:
            if (state.kind == FrameKind::coroutine) return result;
            // As CPython: an async generator that returns reports StopAsyncIteration here.
            Py_DECREF(result);
            PyErr_SetNone(PyExc_StopAsyncIteration);
            return nullptr;
        case Outcome::failed:
            break;
    }
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

int visit_frames(const FrameState& state, visitproc visit, void* arg) noexcept {
    for (FramePromise* promise = state.promise; promise != nullptr; promise = promise->child) {
        if (int status = promise->traverse(visit, arg)) return status;
    }
    return 0;
}

}  // namespace quenlet::rt
