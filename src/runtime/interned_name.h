// A str interned once and kept in the module's state: the names and keys looked up on every
// call, where building the str each time would cost more than the lookup. Objects of it are made
// at static initialisation, before the interpreter exists, so the str is made on first use.
#pragma once

#include <atomic>

#include "runtime/python.h"

namespace quenlet::rt {

class InternedName {
  public:
    constexpr explicit InternedName(const char* text) noexcept : text_(text) {}

    // The str; MemoryError if it cannot be made.
    nb::handle get() const {
        PyObject* object = object_.load(std::memory_order_acquire);
        return object != nullptr ? object : intern();
    }
    const char* text() const noexcept { return text_; }

    // The module state lets go of the str: the next use makes it anew.
    void forget() const noexcept { object_.store(nullptr, std::memory_order_release); }

  private:
    PyObject* intern() const;

    const char* text_;
    // Atomic because executor threads read names too, and a build that keeps the GIL off lets
    // two of them make the str at once.
    mutable std::atomic<PyObject*> object_{nullptr};
};

}  // namespace quenlet::rt
