#include "host_interfaces/services.h"

#include "runtime/errors.h"

namespace quenlet::host {

using namespace nb::literals;

nb::object PackageCache::get_cached_package(nb::handle name, nb::handle version,
                                            nb::handle extras_key) const {
    return cache_.attr("get_cached_package")(name, version, extras_key);
}

std::pair<nb::object, nb::object> PackageCache::generate_install_path() const {
    nb::object pair = cache_.attr("generate_install_path")();
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

nb::object PackageCache::get_current_platform() const {
    return cache_.attr("get_current_platform")();
}

nb::object PackageCache::get_python_version() const {
    return cache_.attr("get_python_version")();
}

void PackageCache::add_cached_package(nb::handle install_uuid, nb::handle name, nb::handle version,
                                      nb::handle extras_key, nb::handle platform,
                                      nb::handle python_version, nb::handle install_path) const {
    cache_.attr("add_cached_package")(install_uuid, name, version, extras_key, platform,
                                      python_version, install_path);
}

nb::object PipCommandBuilder::build_install_command(nb::handle spec, nb::handle target_dir) const {
    return builder_.attr("build_install_command")(spec, target_dir);
}

nb::object PipCommandBuilder::build_cache_install_command(nb::handle spec,
                                                          nb::handle target_dir) const {
    return builder_.attr("build_install_command")(spec, target_dir, "no_deps"_a = true,
                                                  "prefer_binary"_a = true);
}

nb::object VersionResolver::get_available_versions(nb::handle name) const {
    return resolver_.attr("get_available_versions")(name);
}

nb::object ExtrasResolver::get_package_extras(nb::handle name, nb::handle version) const {
    return resolver_.attr("get_package_extras")(name, version);
}

}  // namespace quenlet::host
