// The driver that runs a native frame on behalf of the Python object that owns it; shared by
// the coroutine and async-generator types. Internal to the runtime.
#pragma once

#include "runtime/frame.h"

namespace quenlet::rt {

struct FrameState {
    std::coroutine_handle<> frame;  // null once the frame has ended or was discarded
    FramePromise* promise = nullptr;
    bool started = false;
    bool running = false;

    bool finished() const noexcept { return !frame; }
    // Destroys the frame (running its C++ destructors) without resuming it.
    void discard() noexcept;
};

enum class Outcome {
    next,      // the frame waits: *out is what the awaited object yielded, for the event loop
    yielded,   // an async generator produced *out
    finished,  // the frame ended: *out is its result (null for a generator)
    failed,    // the frame ended with an exception, now set in the interpreter
};

// Runs the frame from where it stopped: hands `value` to what it waits on, or throws
// `exception` (borrowed, may be null) into it, until the frame needs the event loop, yields or
// ends. Refuses re-entry. Never throws.
Outcome run_frame(FrameState& state, PyObject* value, PyObject* exception, PyObject** out) noexcept;

// Visits the Python objects held by the frame and the native Tasks it awaits, for tp_traverse.
int visit_frames(const FrameState& state, visitproc visit, void* arg) noexcept;

// An exception instance from the arguments of throw()/athrow(): (type[, value[, traceback]]),
// validated like the built-in generators do. Returns null with an error set.
PyObject* exception_from_throw_args(PyObject* const* args, Py_ssize_t nargs) noexcept;

// The value carried by a StopIteration that is now set (cleared), as a new reference.
PyObject* take_stop_iteration_value() noexcept;

// Sets StopIteration(value) so that `value` arrives intact even if it is a tuple or exception.
void set_stop_iteration(PyObject* value) noexcept;

}  // namespace quenlet::rt
