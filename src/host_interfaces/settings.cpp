#include "host_interfaces/settings.h"

#include "runtime/errors.h"
#include "runtime/values.h"

namespace quenlet::host {

namespace {
const rt::InternedName get_name("get");
}

bool Settings::present() const {
    if (!manager_.is_valid() || manager_.is_none()) return false;
    return rt::truthy(manager_);
}

nb::object Settings::get(const rt::InternedName& key, nb::handle fallback) const {
    PyObject* args[] = {manager_.ptr(), key.get().ptr(), fallback.ptr()};
    return rt::steal_or_throw(PyObject_VectorcallMethod(get_name.get().ptr(), args, 3, nullptr));
}

}  // namespace quenlet::host
