#include "repo_finder/worker_binding.h"

#include "runtime/arguments.h"

namespace quenlet::repo_finder {

namespace {

rt::Task run(PackageWorker worker, nb::handle self, nb::handle package_name, nb::handle index_url) {
    rt::require_str(package_name, "package_name");
    rt::require_str(index_url, "index_url");
    return worker(nb::borrow(self), nb::borrow(package_name), nb::borrow(index_url));
}

rt::Task run(VersionWorker worker, nb::handle self, nb::handle package_name, nb::handle version,
             nb::handle index_url) {
    rt::require_str(package_name, "package_name");
    rt::require_str(version, "version");
    rt::require_str(index_url, "index_url");
    return worker(nb::borrow(self), nb::borrow(package_name), nb::borrow(version),
                  nb::borrow(index_url));
}

}  // namespace

void Worker::bind(Class& cls) {
    const char* name = PyUnicode_AsUTF8(method_.name().ptr());
    if (name == nullptr) rt::throw_pending();
    const char* qualname = qualname_;
    if (auto* worker = std::get_if<PackageWorker>(&run_)) {
        cls.def(
            name,
            [worker = *worker, qualname](nb::handle self, nb::handle package_name,
                                         nb::handle index_url) {
                return run(worker, self, package_name, index_url).into_python(qualname);
            },
            nb::arg("package_name").none(), nb::arg("index_url").none());
    } else {
        cls.def(
            name,
            [worker = std::get<VersionWorker>(run_), qualname](
                nb::handle self, nb::handle package_name, nb::handle version,
                nb::handle index_url) {
                return run(worker, self, package_name, version, index_url).into_python(qualname);
            },
            nb::arg("package_name").none(), nb::arg("version").none(), nb::arg("index_url").none());
    }
    method_.remember(cls);
}

rt::Task Worker::start(nb::handle self, nb::handle arguments, nb::handle index_url) const {
    nb::handle package_name = PyTuple_GET_ITEM(arguments.ptr(), 0);
    if (auto* worker = std::get_if<PackageWorker>(&run_)) {
        return method_.start(
            self,
            [worker](nb::handle own, nb::handle name, nb::handle url) {
                return run(*worker, own, name, url);
            },
            package_name, index_url);
    }
    return method_.start(
        self,
        [worker = std::get<VersionWorker>(run_)](nb::handle own, nb::handle name,
                                                 nb::handle version, nb::handle url) {
            return run(worker, own, name, version, url);
        },
        package_name, PyTuple_GET_ITEM(arguments.ptr(), 1), index_url);
}

}  // namespace quenlet::repo_finder
