// The host's settings manager contract: any object with get(key, default), or None. A missing
// or false manager means "use the defaults and ask nothing".
#pragma once

#include "runtime/interned_name.h"
#include "runtime/python.h"

namespace quenlet::host {

class Settings {
  public:
    explicit Settings(nb::object manager) noexcept : manager_(std::move(manager)) {}

    // Tests the manager's truth value (which may call into the host and raise).
    bool present() const;

    // manager.get(key, fallback); only call when present(). Keys are interned: queries read the
    // settings on every call.
    nb::object get(const rt::InternedName& key, nb::handle fallback) const;

  private:
    nb::object manager_;
};

}  // namespace quenlet::host
