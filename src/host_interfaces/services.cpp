#include "host_interfaces/services.h"

#include "runtime/errors.h"
#include "runtime/values.h"

namespace quenlet::host {

namespace {
const rt::InternedName get_name("get");
}

std::pair<nb::object, nb::object> PackageCache::generate_install_path() const {
    nb::object pair = service_.attr("generate_install_path")();
    nb::object iterator = rt::steal_or_throw(PyObject_GetIter(pair.ptr()));
    auto next = [&iterator]() -> nb::object {
        PyObject* item = PyIter_Next(iterator.ptr());
        if (item == nullptr) {
            if (PyErr_Occurred()) rt::throw_pending();
            return {};
        }
        return nb::steal(item);
    };
    nb::object install_uuid = next();
    nb::object install_path = install_uuid.is_valid() ? next() : nb::object();
    if (!install_path.is_valid()) {
        rt::throw_error(PyExc_ValueError, "not enough values to unpack (expected 2)");
    }
    if (next().is_valid())
        rt::throw_error(PyExc_ValueError, "too many values to unpack (expected 2)");
    return {std::move(install_uuid), std::move(install_path)};
}

bool Settings::present() const {
    return service_.is_valid() && rt::truthy(service_);
}

nb::object Settings::get(const rt::InternedName& key, nb::handle fallback) const {
    PyObject* args[] = {service_.ptr(), key.get().ptr(), fallback.ptr()};
    return rt::steal_or_throw(PyObject_VectorcallMethod(get_name.get().ptr(), args, 3, nullptr));
}

}  // namespace quenlet::host
