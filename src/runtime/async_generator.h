// AsyncGenerator: a C++20 coroutine that Python sees as an asynchronous generator. It yields
// items with co_yield item, awaits with co_await like a Task, and ends with co_return.
//
// When the consumer closes it early (aclose(), cancellation, or dropping it), GeneratorExit or
// CancelledError is raised inside the frame at the co_yield or co_await where it waits, so the
// frame can run its asynchronous clean-up before the exception leaves it.
#pragma once

#include "runtime/frame.h"

namespace quenlet::rt {

class AsyncGenerator {
  public:
    class promise_type : public FramePromise {
      public:
        template <class... Parameters>
        explicit promise_type(Parameters&... parameters) noexcept : FramePromise(parameters...) {}
        AsyncGenerator get_return_object() noexcept {
            return AsyncGenerator(std::coroutine_handle<promise_type>::from_promise(*this));
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

    AsyncGenerator(AsyncGenerator&& other) noexcept : frame_(std::exchange(other.frame_, {})) {}
    AsyncGenerator(const AsyncGenerator&) = delete;
    AsyncGenerator& operator=(const AsyncGenerator&) = delete;
    AsyncGenerator& operator=(AsyncGenerator&&) = delete;
    ~AsyncGenerator() {
        if (frame_) frame_.destroy();
    }

    // The Python asynchronous generator object that owns and runs this frame.
    nb::object into_python(const char* qualname) &&;

  private:
    explicit AsyncGenerator(std::coroutine_handle<promise_type> frame) noexcept : frame_(frame) {}
    std::coroutine_handle<promise_type> frame_;
};

}  // namespace quenlet::rt
