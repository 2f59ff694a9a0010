// Task: a C++20 coroutine that Python sees as a coroutine object. It awaits Python awaitables
// with co_await awaited(x), other Tasks with co_await task (run in the same Python object), and
// ends with co_return value.
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

    // Awaiting a Task from another native frame runs it below that frame, by the same driver.
    class Awaiter {
      public:
        explicit Awaiter(std::coroutine_handle<promise_type> frame) noexcept : frame_(frame) {}
        Awaiter(Awaiter&& other) noexcept : frame_(std::exchange(other.frame_, {})) {}
        Awaiter(const Awaiter&) = delete;
        Awaiter& operator=(const Awaiter&) = delete;
        Awaiter& operator=(Awaiter&&) = delete;
        // The Task's frame goes with the awaiter: when the awaiting frame has taken the outcome,
        // or is itself destroyed while it waits.
        ~Awaiter() {
            if (frame_) frame_.destroy();
        }

        bool await_ready() const noexcept { return false; }

        template <class Promise>
        void await_suspend(std::coroutine_handle<Promise> awaiting) noexcept {
            FramePromise& parent = awaiting.promise();
            promise_type& child = frame_.promise();
            child.parent = &parent;
            parent.child = &child;
            parent.child_frame = frame_;
        }

        // The driver resumes the awaiting frame only once the Task has ended.
        nb::object await_resume() {
            promise_type& child = frame_.promise();
            if (child.failure) std::rethrow_exception(std::exchange(child.failure, {}));
            return std::move(child.result);
        }

      private:
        std::coroutine_handle<promise_type> frame_;
    };
    Awaiter operator co_await() && noexcept { return Awaiter(std::exchange(frame_, {})); }

  private:
    explicit Task(std::coroutine_handle<promise_type> frame) noexcept : frame_(frame) {}
    std::coroutine_handle<promise_type> frame_;
};

}  // namespace quenlet::rt
