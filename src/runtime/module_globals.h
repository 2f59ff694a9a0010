// Module-level names read when an operation runs, not when the module loads: the optional
// libraries (None when missing), their flags, and the host's logger. Reading them from the
// module's namespace at call time is what lets a host replace them (or a test simulate a missing
// library) after import; a dictionary lookup with an interned key keeps that cheap.
#pragma once

#include "runtime/interned_name.h"
#include "runtime/python.h"

namespace quenlet::rt {

class ModuleGlobal {
  public:
    constexpr explicit ModuleGlobal(const char* name) noexcept : key_(name) {}
    // The current value; NameError if the module has no such name.
    nb::object get() const;
    // The module's name for it, for setting it during module set-up.
    const char* name() const noexcept { return key_.text(); }

  private:
    InternedName key_;
};

}  // namespace quenlet::rt
