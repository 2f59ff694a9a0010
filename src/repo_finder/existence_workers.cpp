// Does one index have a package, or one version of it? Through the index's JSON API when a
// pattern is configured for it (the status alone answers), else through the finder on the
// executor. Every failure is a no; only the pattern lookup may raise.
#include "host_interfaces/logger.h"
#include "repo_finder/api_pattern.h"
#include "repo_finder/fallback.h"
#include "repo_finder/finder.h"
#include "repo_finder/index_api.h"
#include "repo_finder/worker_binding.h"
#include "runtime/arguments.h"
#include "runtime/text.h"

namespace quenlet::repo_finder {

namespace {

// Whether a response has status 200. An object of static storage: the check below runs after
// the call that makes it has returned.
constexpr auto status_ok = [](nb::object response) -> rt::Task {
    int found = PyObject_RichCompareBool(response.attr("status").ptr(), nb::int_(200).ptr(), Py_EQ);
    if (found < 0) rt::throw_pending();
    co_return nb::bool_(found == 1);
};

// Whether the API answers `api_url` with status 200: a coroutine object.
nb::object api_has(nb::object self, nb::object api_url) {
    return with_api_response(std::move(self), std::move(api_url), status_ok).into_python(nullptr);
}

// A check that fails is a no, logged at debug as "<check> failed for <subject> at <index>: ...".
Fallback failed_check(const char* check, const std::string& subject, nb::handle index_url) {
    return {host::log_debug,
            std::string(check) + " failed for " + subject + " at " + rt::utf8_text(index_url),
            nb::bool_(false)};
}

rt::Task package_in_index(nb::object self, nb::object package_name, nb::object index_url) {
    nb::object pattern = api_pattern_of(self, index_url);
    if (is_nonempty_str(pattern)) {
        co_return co_await await_or_fall_back(
            [&] { return api_has(self, package_api_url(pattern, package_name)); },
            failed_check("API check", rt::utf8_text(package_name), index_url));
    }
    if (!truthy(global::unearth_available().get())) {
        host::log_debug("No API pattern and unearth not available for " + rt::utf8_text(index_url));
        co_return nb::bool_(false);
    }
    co_return co_await await_or_fall_back(
        [&] {
            return in_executor(self, method::package_exists_via_unearth, package_name, index_url);
        },
        failed_check("Unearth check", rt::utf8_text(package_name), index_url));
}

// Blocking; runs on the executor. The finder's first file answers: its version does not matter.
nb::object package_exists_via_unearth(nb::handle, nb::handle package_name, nb::handle index_url) {
    rt::require_str(package_name, "package_name");
    rt::require_str(index_url, "index_url");
    Fallback fallback = failed_check("Unearth check", rt::utf8_text(package_name), index_url);
    return run_or_fall_back(fallback, [&] {
        return with_finder(index_url, [&](nb::handle finder) -> nb::object {
            nb::object files = finder.attr("find_all_packages")(package_name);
            nb::object iterator = rt::steal_or_throw(PyObject_GetIter(files.ptr()));
            nb::object first = nb::steal(PyIter_Next(iterator.ptr()));
            if (!first.is_valid() && PyErr_Occurred()) rt::throw_pending();
            return nb::bool_(first.is_valid());
        });
    });
}

rt::Task package_version_in_index(nb::object self, nb::object package_name, nb::object version,
                                  nb::object index_url) {
    nb::object pattern = api_pattern_of(self, index_url);
    if (is_nonempty_str(pattern)) {
        co_return co_await await_or_fall_back(
            [&] { return api_has(self, version_api_url(pattern, package_name, version)); },
            failed_check("API check", rt::utf8_text(package_name) + "==" + rt::utf8_text(version),
                         index_url));
    }
    if (!truthy(global::unearth_available().get())) co_return nb::bool_(false);
    co_return co_await await_or_fall_back(
        [&] {
            return in_executor(self, method::package_version_exists_via_unearth, package_name,
                               version, index_url);
        },
        Fallback(nb::bool_(false)));
}

// Blocking; runs on the executor.
nb::object package_version_exists_via_unearth(nb::handle, nb::handle package_name,
                                              nb::handle version, nb::handle index_url) {
    rt::require_str(package_name, "package_name");
    rt::require_str(version, "version");
    rt::require_str(index_url, "index_url");
    return run_or_fall_back(Fallback(nb::bool_(false)), [&] {
        return with_finder(index_url, [&](nb::handle finder) -> nb::object {
            nb::object match =
                finder.attr("find_best_match")(exact_requirement(package_name, version));
            return nb::bool_(!match.is_none() && !match.attr("best").is_none());
        });
    });
}

}  // namespace

Worker worker::package_exists_in_index{method::package_exists_in_index,
                                       "RepoFinder._package_exists_in_index", &package_in_index};
Worker worker::package_version_exists_in_index{method::package_version_exists_in_index,
                                               "RepoFinder._package_version_exists_in_index",
                                               &package_version_in_index};

void bind_existence_workers(Class& cls) {
    worker::package_exists_in_index.bind(cls);
    cls.def("_package_exists_via_unearth", &package_exists_via_unearth,
            nb::arg("package_name").none(), nb::arg("index_url").none());
    worker::package_version_exists_in_index.bind(cls);
    cls.def("_package_version_exists_via_unearth", &package_version_exists_via_unearth,
            nb::arg("package_name").none(), nb::arg("version").none(), nb::arg("index_url").none());
}

}  // namespace quenlet::repo_finder
