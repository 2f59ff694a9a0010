// Does one index have a package, or one version of it? Through the index's JSON API when a
// pattern is configured for it (the status alone answers), else through the finder on the
// executor. Every failure is a no; only the pattern lookup may raise.
#include "host_interfaces/logger.h"
#include "repo_finder/api_pattern.h"
#include "repo_finder/finder.h"
#include "repo_finder/index_api.h"
#include "repo_finder/worker_binding.h"
#include "runtime/arguments.h"
#include "runtime/text.h"

namespace quenlet::repo_finder {

namespace {

rt::Task api_has(nb::object self, nb::object api_url) {
    co_return co_await with_api_response(
        std::move(self), std::move(api_url), [](nb::object response) -> rt::Task {
            int found =
                PyObject_RichCompareBool(response.attr("status").ptr(), nb::int_(200).ptr(), Py_EQ);
            if (found < 0) rt::throw_pending();
            co_return nb::bool_(found == 1);
        });
}

rt::Task package_exists_in_index(nb::object self, nb::object package_name, nb::object index_url) {
    nb::object pattern = method::get_api_pattern_for_index.call(self, index_url);
    if (is_nonempty_str(pattern)) {
        try {
            co_return co_await api_has(self, package_api_url(pattern, package_name));
        } catch (nb::python_error& error) {
            if (!rt::is_ordinary(error)) throw;
            host::log_debug("API check failed for " + rt::utf8_text(package_name) + " at " +
                            rt::utf8_text(index_url) + ": " + rt::error_text(error));
        }
        co_return nb::bool_(false);
    }
    if (!truthy(global::unearth_available().get())) {
        host::log_debug("No API pattern and unearth not available for " + rt::utf8_text(index_url));
        co_return nb::bool_(false);
    }
    try {
        co_return co_await rt::awaited(
            in_executor(self, method::package_exists_via_unearth, package_name, index_url));
    } catch (nb::python_error& error) {
        if (!rt::is_ordinary(error)) throw;
        host::log_debug("Unearth check failed for " + rt::utf8_text(package_name) + " at " +
                        rt::utf8_text(index_url) + ": " + rt::error_text(error));
    }
    co_return nb::bool_(false);
}

// Blocking; runs on the executor. The finder's first file answers: its version does not matter.
nb::object package_exists_via_unearth(nb::handle, nb::handle package_name, nb::handle index_url) {
    rt::require_str(package_name, "package_name");
    rt::require_str(index_url, "index_url");
    try {
        return with_finder(index_url, [&](nb::handle finder) -> nb::object {
            nb::object files = finder.attr("find_all_packages")(package_name);
            nb::object iterator = rt::steal_or_throw(PyObject_GetIter(files.ptr()));
            nb::object first = nb::steal(PyIter_Next(iterator.ptr()));
            if (!first.is_valid() && PyErr_Occurred()) rt::throw_pending();
            return nb::bool_(first.is_valid());
        });
    } catch (nb::python_error& error) {
        if (!rt::is_ordinary(error)) throw;
        host::log_debug("Unearth check failed for " + rt::utf8_text(package_name) + " at " +
                        rt::utf8_text(index_url) + ": " + rt::error_text(error));
        return nb::bool_(false);
    }
}

rt::Task package_version_exists_in_index(nb::object self, nb::object package_name,
                                         nb::object version, nb::object index_url) {
    nb::object pattern = method::get_api_pattern_for_index.call(self, index_url);
    if (is_nonempty_str(pattern)) {
        try {
            co_return co_await api_has(self, version_api_url(pattern, package_name, version));
        } catch (nb::python_error& error) {
            if (!rt::is_ordinary(error)) throw;
            host::log_debug("API check failed for " + rt::utf8_text(package_name) +
                            "==" + rt::utf8_text(version) + " at " + rt::utf8_text(index_url) +
                            ": " + rt::error_text(error));
        }
        co_return nb::bool_(false);
    }
    if (!truthy(global::unearth_available().get())) co_return nb::bool_(false);
    try {
        co_return co_await rt::awaited(in_executor(self, method::package_version_exists_via_unearth,
                                                   package_name, version, index_url));
    } catch (nb::python_error& error) {
        if (!rt::is_ordinary(error)) throw;
    }
    co_return nb::bool_(false);
}

// Blocking; runs on the executor.
nb::object package_version_exists_via_unearth(nb::handle, nb::handle package_name,
                                              nb::handle version, nb::handle index_url) {
    rt::require_str(package_name, "package_name");
    rt::require_str(version, "version");
    rt::require_str(index_url, "index_url");
    try {
        return with_finder(index_url, [&](nb::handle finder) -> nb::object {
            nb::object match =
                finder.attr("find_best_match")(exact_requirement(package_name, version));
            return nb::bool_(!match.is_none() && !match.attr("best").is_none());
        });
    } catch (nb::python_error& error) {
        if (!rt::is_ordinary(error)) throw;
        return nb::bool_(false);
    }
}

}  // namespace

void bind_existence_workers(Class& cls) {
    def_worker(cls, "_package_exists_in_index", "RepoFinder._package_exists_in_index",
               &package_exists_in_index);
    cls.def("_package_exists_via_unearth", &package_exists_via_unearth,
            nb::arg("package_name").none(), nb::arg("index_url").none());
    def_worker(cls, "_package_version_exists_in_index",
               "RepoFinder._package_version_exists_in_index", &package_version_exists_in_index);
    cls.def("_package_version_exists_via_unearth", &package_version_exists_via_unearth,
            nb::arg("package_name").none(), nb::arg("version").none(), nb::arg("index_url").none());
}

}  // namespace quenlet::repo_finder
