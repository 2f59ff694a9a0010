// Task: a C++20 coroutine that Python sees as a coroutine object. It awaits Python awaitables
// with co_await awaited(x), other Tasks with co_await task (run in the same Python object), and
// ends with co_return value.
//
// Parameters of a Task function are copied into its frame: take nb::object and std::string by
// value, never nb::handle or references, because the frame outlives the call. What the frame
// owns across suspensions must be visible to the collector (frame.h).
#pragma once

#include "runtime/frame.h"

namespace quenlet::rt {

class TaskAwaiter;
class TaskPromise;

class Task : public FrameOwner<TaskPromise> {
  public:
    using promise_type = TaskPromise;

    // The Python coroutine object that owns and runs this frame. `qualname` (static storage)
    // names it in reprs and warnings.
    nb::object into_python(const char* qualname) &&;

    // Awaiting a Task from another native frame runs it below that frame, by the same driver.
    TaskAwaiter operator co_await() && noexcept;

  private:
    friend class TaskPromise;
    friend class TaskAwaiter;
    explicit Task(std::coroutine_handle<TaskPromise> frame) noexcept : FrameOwner(frame) {}
};

class TaskPromise : public FramePromise {
  public:
    using FramePromise::FramePromise;
    Task get_return_object() noexcept {
        return Task(std::coroutine_handle<TaskPromise>::from_promise(*this));
    }
    void return_value(nb::object value) noexcept { result = std::move(value); }
};

class TaskAwaiter {
  public:
    // The Task, and so its frame, goes with the awaiter: when the awaiting frame has taken the
    // outcome, or is itself destroyed while it waits.
    explicit TaskAwaiter(Task task) noexcept : task_(std::move(task)) {}

    bool await_ready() const noexcept { return false; }

    template <class Promise>
    void await_suspend(std::coroutine_handle<Promise> awaiting) noexcept {
        FramePromise& parent = awaiting.promise();
        TaskPromise& child = task_.frame_.promise();
        child.parent = &parent;
        parent.child = &child;
        parent.child_frame = task_.frame_;
    }

    // The driver resumes the awaiting frame only once the Task has ended.
    nb::object await_resume() {
        TaskPromise& child = task_.frame_.promise();
        if (child.failure) std::rethrow_exception(std::exchange(child.failure, {}));
        return std::move(child.result);
    }

  private:
    Task task_;
};

inline TaskAwaiter Task::operator co_await() && noexcept {
    return TaskAwaiter(std::move(*this));
}

}  // namespace quenlet::rt
