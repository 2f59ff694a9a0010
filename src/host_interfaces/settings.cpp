#include "host_interfaces/settings.h"

#include "runtime/errors.h"

namespace quenlet::host {

bool Settings::present() const {
    if (!manager_.is_valid() || manager_.is_none()) return false;
    int truth = PyObject_IsTrue(manager_.ptr());
    if (truth < 0) rt::throw_pending();
    return truth == 1;
}

nb::object Settings::get(const char* key, nb::handle fallback) const {
    return manager_.attr("get")(key, fallback);
}

}  // namespace quenlet::host
