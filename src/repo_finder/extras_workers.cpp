// The extras of one version of a package on one index, as its requirements' markers name them:
// from the index's JSON API document when a pattern is configured for it (fetched anew every
// time), else from the metadata of the file the finder picks, on the executor. Failures are
// logged and give an empty set; only the pattern lookup raises.
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

rt::Task extras_from_index(nb::object self, nb::object package_name, nb::object version,
                           nb::object index_url) {
    nb::object pattern = api_pattern_of(self, index_url);
    if (is_nonempty_str(pattern)) {
        co_return co_await query_api_document(
            self, package_name, index_url, version_api_url(pattern, package_name, version),
            nb::set(), [&](nb::handle document) -> nb::object {
                nb::set extras = marker_extras(requires_dist_of(document));
                host::log_debug("Found " + std::to_string(extras.size()) + " extras via API for " +
                                rt::utf8_text(package_name));
                return extras;
            });
    }
    if (!truthy(global::unearth_available().get())) {
        host::log_debug("No API pattern and unearth not available for " + rt::utf8_text(index_url));
        co_return nb::set();
    }
    co_return co_await await_or_fall_back(
        [&] {
            return in_executor(self, method::get_extras_via_unearth, package_name, version,
                               index_url);
        },
        {host::log_error,
         "Unearth failed for extras " + rt::utf8_text(package_name) + "==" + rt::utf8_text(version),
         nb::set()});
}

// Blocking; runs on the executor.
nb::object extras_via_unearth(nb::handle, nb::handle package_name, nb::handle version,
                              nb::handle index_url) {
    rt::require_str(package_name, "package_name");
    rt::require_str(version, "version");
    rt::require_str(index_url, "index_url");
    return run_or_fall_back({host::log_debug, "Unearth get_extras failed", nb::set()}, [&] {
        return with_finder(index_url, [&](nb::handle finder) -> nb::object {
            return marker_extras(best_file_requirements(finder, package_name, version));
        });
    });
}

}  // namespace

Worker worker::get_extras_from_index{method::get_extras_from_index,
                                     "RepoFinder._get_extras_from_index", &extras_from_index};

void bind_extras_workers(Class& cls) {
    worker::get_extras_from_index.bind(cls);
    cls.def("_get_extras_via_unearth", &extras_via_unearth, nb::arg("package_name").none(),
            nb::arg("version").none(), nb::arg("index_url").none());
}

}  // namespace quenlet::repo_finder
