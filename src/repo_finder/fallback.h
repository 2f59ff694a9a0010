// How a per-index worker answers when its query fails: an index that is down, a finder or a
// document that cannot be read, a worker that cannot run at all. The search goes on to the next
// index, so the failure is logged and the answer is the worker's empty one. Only ordinary errors
// are answered so: cancellation, GeneratorExit and KeyboardInterrupt pass through.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "repo_finder/repo_finder.h"
#include "runtime/coroutine.h"
#include "runtime/function_ref.h"

namespace quenlet::repo_finder {

// Constructors rather than an aggregate: g++ 12 destroys twice the members of an aggregate that is
// built among the arguments of a co_await expression.
class Fallback {
  public:
    // Logs "<prefix>: <error text>" through `log`, one of host::log_debug ... host::log_error.
    Fallback(void (*log)(std::string_view message), std::string prefix, nb::object empty)
        : log_(log), prefix_(std::move(prefix)), empty_(std::move(empty)) {}
    // Logs nothing: the failure is a plain no.
    explicit Fallback(nb::object empty) : empty_(std::move(empty)) {}

    // The empty answer, once `error` is logged.
    nb::object answer(const nb::python_error& error) const;

    int traverse(visitproc visit, void* arg) const noexcept {
        Py_VISIT(empty_.ptr());
        return 0;
    }

  private:
    void (*log_)(std::string_view message) = nullptr;
    std::string prefix_;
    nb::object empty_;
};

// work(), or the fallback's answer when it fails with an ordinary error.
template <class Work>
nb::object run_or_fall_back(const Fallback& fallback, Work&& work) {
    try {
        return work();
    } catch (nb::python_error& error) {
        if (!rt::is_ordinary(error)) throw;
        return fallback.answer(error);
    }
}

// await start(), or the fallback's answer when starting or awaiting fails with an ordinary
// error. `start` runs inside this coroutine, so it may use the caller's locals by reference (the
// caller waits for it), and an error in the hand-off itself is answered like any other.
rt::Task await_or_fall_back(rt::FunctionRef<nb::object()> start, Fallback fallback);

}  // namespace quenlet::repo_finder
