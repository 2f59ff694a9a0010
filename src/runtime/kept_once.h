// An object made on first need and kept in the module's state, where the collector sees it and
// the module's teardown releases it: names interned once, a record read once. Declared at
// namespace scope (its constructor is constant), never as a function-local static.
#pragma once

#include <atomic>
#include <utility>

#include "runtime/python.h"

namespace quenlet::rt {

class KeptOnce {
  public:
    constexpr KeptOnce() noexcept = default;

    // The object, made the first time by `make`, which returns an nb::object or throws. No lock
    // or guard is held while `make` runs, since it may run Python code that lets another thread
    // in: threads that ask at once may each make one, and the first one kept is the one every
    // caller gets.
    template <class Make>
    nb::handle get(Make&& make) const {
        PyObject* object = object_.load(std::memory_order_acquire);
        return object != nullptr ? object : publish(std::forward<Make>(make)());
    }

    // The module state lets go of the object: the next use makes it anew.
    void forget() const noexcept { object_.store(nullptr, std::memory_order_release); }

  private:
    PyObject* publish(nb::object made) const;

    mutable std::atomic<PyObject*> object_{nullptr};
};

}  // namespace quenlet::rt
