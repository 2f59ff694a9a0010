// The driver that runs a native frame on behalf of the Python object that owns it; shared by
// the coroutine and async-generator types. Internal to the runtime.
//
// It follows CPython's generator machinery (Objects/genobject.c) step for step: send, throw and
// close behave as gen_send_ex2, _gen_throw and gen_close do for a Python coroutine or async
// generator, with the same checks in the same order and the same messages, so that a host sees
// no difference between a native operation and one written in Python.
#pragma once

#include <cstdint>

#include "runtime/frame.h"
#include "runtime/protocol.h"

namespace quenlet::rt {

enum class FrameKind : std::uint8_t { coroutine, async_generator };

struct FrameState {
    FrameState(std::coroutine_handle<> frame, FramePromise* promise, FrameKind kind) noexcept
        : frame(frame), promise(promise), kind(kind) {}

    std::coroutine_handle<> frame;  // null once the frame has ended or was discarded
    FramePromise* promise;
    FrameKind kind;
    bool started = false;
    // True for the whole of a send, throw or close, also while the awaited object runs.
    bool running = false;

    bool finished() const noexcept { return !frame; }
    bool suspended() const noexcept { return started && !running && frame; }
    // Destroys the frame (running its C++ destructors) without resuming it.
    void discard() noexcept;
    // The object the frame waits on (cr_await, ag_await), or None.
    nb::object awaited() const;
};

enum class Outcome {
    next,      // the frame waits: *out is what the awaited object yielded, for the event loop
    yielded,   // an async generator produced *out
    finished,  // the frame ended: *out is its result
    failed,    // the frame ended with an exception, or the call was refused: the error is set
};

// send(value): resumes the frame, or what it waits on, with `value` (borrowed).
Outcome send_to_frame(FrameState& state, PyObject* value, PyObject** out) noexcept;

// throw(...): raises the exception where the frame waits. What it waits on gets it first;
// GeneratorExit closes that object instead when `close_awaited_on_exit` (a coroutine's throw),
// and goes to its throw() otherwise (an async generator's athrow and aclose).
Outcome throw_into_frame(FrameState& state, Thrown thrown, bool close_awaited_on_exit,
                         PyObject** out) noexcept;

// close(): raises GeneratorExit where the frame waits. The return value of a frame that
// returns, None if it ends by GeneratorExit; null with an error set otherwise.
PyObject* close_frame(FrameState& state) noexcept;

// Visits the Python objects held by the frame and the native Tasks it awaits, for tp_traverse.
int visit_frames(const FrameState& state, visitproc visit, void* arg) noexcept;

}  // namespace quenlet::rt
