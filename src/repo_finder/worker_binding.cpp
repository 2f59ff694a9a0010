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

rt::Task awaiting(nb::object awaitable) {
    co_return co_await rt::awaited(std::move(awaitable));
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
    bound_ = nb::object(cls.attr(method_.name())).release().ptr();
}

rt::Task Worker::start(nb::handle self, nb::handle arguments, nb::handle index_url) const {
    PyObject* const* items = &PyTuple_GET_ITEM(arguments.ptr(), 0);
    Py_ssize_t count = PyTuple_GET_SIZE(arguments.ptr());
    if (bound_ != nullptr &&
        rt::is_class_function(self, method_.name(), bound_, class_holds_bound_)) {
        if (auto* worker = std::get_if<PackageWorker>(&run_)) {
            return run(*worker, self, items[0], index_url);
        }
        return run(std::get<VersionWorker>(run_), self, items[0], items[1], index_url);
    }
    nb::object method = method_.get(self);
    PyObject* argv[3];
    for (Py_ssize_t i = 0; i < count; ++i) argv[i] = items[i];
    argv[count] = index_url.ptr();
    return awaiting(rt::steal_or_throw(
        PyObject_Vectorcall(method.ptr(), argv, static_cast<size_t>(count + 1), nullptr)));
}

}  // namespace quenlet::repo_finder
