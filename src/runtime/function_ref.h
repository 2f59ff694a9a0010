// A reference to a callable that some caller owns: what a native coroutine takes for code to run
// on its behalf (a lambda that uses the caller's locals). It owns nothing, so a suspended frame
// that holds one owns no Python reference through it, and the caller's frame, which awaits, keeps
// the callable alive.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace quenlet::rt {

template <class Signature>
class FunctionRef;

template <class Result, class... Arguments>
class FunctionRef<Result(Arguments...)> {
  public:
    template <class Callable>
        requires(!std::is_same_v<std::remove_cvref_t<Callable>, FunctionRef> &&
                 std::is_invocable_r_v<Result, Callable&, Arguments...>)
    FunctionRef(Callable&& callable) noexcept  // NOLINT: converts as a function argument
        : callable_(const_cast<void*>(static_cast<const void*>(std::addressof(callable)))),
          call_([](void* target, Arguments... arguments) -> Result {
              return (*static_cast<std::remove_reference_t<Callable>*>(target))(
                  std::forward<Arguments>(arguments)...);
          }) {}

    Result operator()(Arguments... arguments) const {
        return call_(callable_, std::forward<Arguments>(arguments)...);
    }

  private:
    void* callable_;
    Result (*call_)(void*, Arguments...);
};

}  // namespace quenlet::rt
