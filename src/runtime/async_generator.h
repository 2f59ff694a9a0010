// AsyncGenerator: a C++20 coroutine that Python sees as an asynchronous generator. It yields
// items with co_yield item, awaits with co_await like a Task, and ends with co_return.
//
// When the consumer closes it early (aclose(), cancellation, or dropping it), GeneratorExit or
// CancelledError is raised inside the frame at the co_yield or co_await where it waits, so the
// frame can run its asynchronous clean-up before the exception leaves it.
#pragma once

#include "runtime/frame.h"

namespace quenlet::rt {

class AsyncGeneratorPromise;

class AsyncGenerator : public FrameOwner<AsyncGeneratorPromise> {
  public:
    using promise_type = AsyncGeneratorPromise;

    // The Python asynchronous generator object that owns and runs this frame.
    nb::object into_python(const char* qualname) &&;

  private:
    friend class AsyncGeneratorPromise;
    explicit AsyncGenerator(std::coroutine_handle<AsyncGeneratorPromise> frame) noexcept
        : FrameOwner(frame) {}
};

class AsyncGeneratorPromise : public FramePromise {
  public:
    using FramePromise::FramePromise;
    AsyncGenerator get_return_object() noexcept {
        return AsyncGenerator(std::coroutine_handle<AsyncGeneratorPromise>::from_promise(*this));
    }
    void return_void() noexcept {}

    class YieldAwaiter {
      public:
        explicit YieldAwaiter(FramePromise* promise) noexcept : promise_(promise) {}
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<>) const noexcept {}
        // asend() values are not used by our generators; athrow()/aclose() raise here.
        void await_resume() { promise_->take_sent(); }

      private:
        FramePromise* promise_;
    };

    YieldAwaiter yield_value(nb::object item) noexcept {
        yielded = std::move(item);
        return YieldAwaiter(this);
    }
};

}  // namespace quenlet::rt
