#include "repo_finder/worker_binding.h"

#include "runtime/arguments.h"

namespace quenlet::repo_finder {

void def_worker(Class& cls, const char* name, const char* qualname, PackageWorker worker) {
    cls.def(
        name,
        [worker, qualname](nb::handle self, nb::handle package_name, nb::handle index_url) {
            rt::require_str(package_name, "package_name");
            rt::require_str(index_url, "index_url");
            return worker(nb::borrow(self), nb::borrow(package_name), nb::borrow(index_url))
                .into_python(qualname);
        },
        nb::arg("package_name").none(), nb::arg("index_url").none());
}

void def_worker(Class& cls, const char* name, const char* qualname, VersionWorker worker) {
    cls.def(
        name,
        [worker, qualname](nb::handle self, nb::handle package_name, nb::handle version,
                           nb::handle index_url) {
            rt::require_str(package_name, "package_name");
            rt::require_str(version, "version");
            rt::require_str(index_url, "index_url");
            return worker(nb::borrow(self), nb::borrow(package_name), nb::borrow(version),
                          nb::borrow(index_url))
                .into_python(qualname);
        },
        nb::arg("package_name").none(), nb::arg("version").none(), nb::arg("index_url").none());
}

}  // namespace quenlet::repo_finder
