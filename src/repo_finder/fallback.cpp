#include "repo_finder/fallback.h"

#include "runtime/text.h"

namespace quenlet::repo_finder {

nb::object Fallback::answer(const nb::python_error& error) const {
    if (log_ != nullptr) log_(prefix_ + ": " + rt::error_text(error));
    return empty_;
}

rt::Task await_or_fall_back(rt::FunctionRef<nb::object()> start, Fallback fallback) {
    try {
        co_return co_await rt::awaited(start());
    } catch (nb::python_error& error) {
        if (!rt::is_ordinary(error)) throw;
        co_return fallback.answer(error);
    }
}

}  // namespace quenlet::repo_finder
