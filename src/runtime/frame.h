// What every native coroutine frame shares, whatever Python object runs it: the protocol
// between C++ awaiters inside the frame and the driver (driver.cpp) outside it.
//
// A frame never blocks. When its code awaits a Python awaitable, the awaiter stores the
// awaitable's iterator in `delegate` and the frame suspends; the driver then feeds that
// iterator exactly as `yield from` would, passing whatever it yields (a future) up to the event
// loop, and resumes the frame with the iterator's return value or exception.
//
// When its code awaits another native Task, the awaiter links the Task's frame below it as its
// `child` and the frame suspends; the driver then runs the chain's innermost frame as if it were
// the outermost one, and resumes the awaiting frame once the child has ended. A chain of native
// calls thus costs one Python object, not one per call, and a value sent from the event loop
// reaches the frame that waits without passing through every frame above it.
#pragma once

#include <coroutine>
#include <exception>
#include <new>
#include <utility>

#include "runtime/errors.h"
#include "runtime/python.h"

namespace quenlet::rt {

class FramePromise {
  public:
    // User-declared so that the promise is never an aggregate: otherwise C++20 may build it
    // from the coroutine's own arguments.
    FramePromise() noexcept {}

    // Frames come from the interpreter's allocator: most frames are small blocks, which it serves
    // faster than the C library does. Every frame is made and destroyed on a thread attached to
    // the interpreter, as that allocator requires.
    static void* operator new(std::size_t size) {
        void* frame = PyMem_Malloc(size);
        if (frame == nullptr) throw std::bad_alloc();
        return frame;
    }
    static void operator delete(void* frame) noexcept { PyMem_Free(frame); }

    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void unhandled_exception() noexcept { failure = std::current_exception(); }

    // The value or exception handed back to the frame where it suspended; an exception is
    // re-raised inside the frame as nb::python_error.
    nb::object take_sent() {
        if (sent_error.is_valid()) {
            nb::object error = std::move(sent_error);
            sent_value.reset();
            throw_exception(error);
        }
        if (!sent_value.is_valid()) return nb::none();
        return std::move(sent_value);
    }

    // The iterator of the Python awaitable the frame waits on, or null.
    nb::object delegate;
    nb::object sent_value;
    nb::object sent_error;
    // Set by co_yield in an async generator: the item for the consumer.
    nb::object yielded;
    // Set by co_return in a coroutine.
    nb::object result;
    std::exception_ptr failure;
    // The native Task this frame awaits (its promise and frame), and the frame awaiting this one.
    FramePromise* child = nullptr;
    std::coroutine_handle<> child_frame;
    FramePromise* parent = nullptr;
};

// The iterator that `await awaitable` would drive (the object's __await__ result).
nb::object awaitable_iterator(nb::handle awaitable);

// co_await awaited(x) inside a native coroutine behaves like `await x` in Python.
class PythonAwaiter {
  public:
    explicit PythonAwaiter(nb::object awaitable) noexcept : awaitable_(std::move(awaitable)) {}

    bool await_ready() const noexcept { return false; }

    template <class Promise>
    void await_suspend(std::coroutine_handle<Promise> frame) {
        promise_ = &frame.promise();
        // A non-awaitable raises here; the frame then resumes with that exception at once.
        promise_->delegate = awaitable_iterator(awaitable_);
        awaitable_.reset();
    }

    nb::object await_resume() { return promise_->take_sent(); }

  private:
    nb::object awaitable_;
    FramePromise* promise_ = nullptr;
};

inline PythonAwaiter awaited(nb::object awaitable) noexcept {
    return PythonAwaiter(std::move(awaitable));
}

}  // namespace quenlet::rt
