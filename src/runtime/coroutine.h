// Task: a C++20 coroutine that Python sees as a coroutine object. It awaits Python awaitables
// with co_await awaited(x), other Tasks with co_await task, and ends with co_return value.
//
// Parameters of a Task function are copied into its frame: take nb::object and std::string by
// value, never nb::handle or references, because the frame outlives the call.
#pragma once

#include "runtime/frame.h"

namespace quenlet::rt {

class Task {
  public:
    class promise_type : public FramePromise {
      public:
        promise_type() noexcept {}
        Task get_return_object() noexcept {
            return Task(std::coroutine_handle<promise_type>::from_promise(*this));
        }
        void return_value(nb::object value) noexcept { result = std::move(value); }
    };

    Task(Task&& other) noexcept : frame_(std::exchange(other.frame_, {})) {}
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    Task& operator=(Task&&) = delete;
    ~Task() {
        if (frame_) frame_.destroy();
    }

    // The Python coroutine object that owns and runs this frame. `qualname` (static storage)
    // names it in reprs and warnings.
    nb::object into_python(const char* qualname) &&;

    // Awaiting a Task from another native coroutine runs it as its own coroutine object.
    PythonAwaiter operator co_await() && { return awaited(std::move(*this).into_python(nullptr)); }

  private:
    explicit Task(std::coroutine_handle<promise_type> frame) noexcept : frame_(frame) {}
    std::coroutine_handle<promise_type> frame_;
};

}  // namespace quenlet::rt
