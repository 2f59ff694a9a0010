// A str interned once and kept in the module's state: the names and keys looked up on every
// call, where building the str each time would cost more than the lookup. Objects of it are made
// at static initialisation, before the interpreter exists, so the str is made on first use.
#pragma once

#include "runtime/errors.h"
#include "runtime/kept_once.h"

namespace quenlet::rt {

class InternedName {
  public:
    constexpr explicit InternedName(const char* text) noexcept : text_(text) {}

    // The str; MemoryError if it cannot be made.
    nb::handle get() const {
        return str_.get([this] { return steal_or_throw(PyUnicode_InternFromString(text_)); });
    }
    const char* text() const noexcept { return text_; }

  private:
    const char* text_;
    KeptOnce str_;
};

}  // namespace quenlet::rt
