#include "host_interfaces/settings.h"

#include "runtime/errors.h"

namespace quenlet::host {

bool Settings::present() const {
    if (!manager_.is_valid() || manager_.is_none()) return false;
    int truth = PyObject_IsTrue(manager_.ptr());
    if (truth < 0) rt::throw_pending();
    return truth == 1;
}

nb::object Settings::get(const rt::InternedName& key, nb::handle fallback) const {
    static const rt::InternedName get_name("get");
    PyObject* args[] = {manager_.ptr(), key.get().ptr(), fallback.ptr()};
    return rt::steal_or_throw(PyObject_VectorcallMethod(get_name.get().ptr(), args, 3, nullptr));
}

}  // namespace quenlet::host
