// The per-index workers. Every kind answers its question about one index the same way: the API
// pattern configured for the index is looked up (unprotected: only this step raises); with a
// pattern, the index's JSON API answers, through the document the kind reads from it or its
// status alone; without one, if unearth is available, the finder answers on the loop's default
// executor, through the kind's blocking method, which a subclass may override like the others;
// every failure is logged and gives the kind's empty answer. The table at the end says what
// differs from kind to kind.
#include <functional>
#include <string>

#include "host_interfaces/logger.h"
#include "repo_finder/class_methods.h"
#include "repo_finder/index_workers.h"
#include "repo_finder/module.h"
#include "repo_finder/module_names.h"
#include "repo_finder/requirements.h"
#include "repo_finder/worker_parts.h"
#include "runtime/arguments.h"
#include "runtime/errors.h"
#include "runtime/text.h"
#include "runtime/values.h"

namespace quenlet::repo_finder {

// How a failure is logged: through `log`, the text that `format` makes of the query's subject
// and index address (PyUnicode_FromFormat's %U, in that order), then ": " and the error's text.
// Without `log` the failure is a plain no.
struct Failure {
    void (*log)(std::string_view message) = nullptr;
    const char* format = nullptr;
};

struct WorkerKind {
    rt::OverridableMethod in_index;     // the coroutine method: self.<name>(package_name, ...)
    const char* qualname;               // of its coroutine objects
    rt::OverridableMethod via_unearth;  // the blocking method the executor runs
    bool takes_version;
    nb::object (*empty)();  // the answer when the index has none

    // The API path. A document kept from an earlier query answers without asking the index;
    // a fetched one is read by `read_document` (its failures logged like the request's); what a
    // document answers is `answer_document`'s (unprotected), or else what `read_document` gave.
    // Without `read_document`, the response's status alone answers.
    nb::object (*kept_document)(const Query& query) = nullptr;
    DocumentReader read_document = nullptr;
    DocumentReader answer_document = nullptr;
    Failure status_failure = {};

    // The finder path, and whether its absence is logged.
    bool says_no_finder = true;
    Failure executor_failure = {};
    nb::object (*read_finder)(const Query& query, nb::handle finder);
    Failure finder_failure = {};
};

bool is_nonempty_str(nb::handle value) {
    return PyUnicode_Check(value.ptr()) && PyUnicode_GET_LENGTH(value.ptr()) > 0;
}

nb::object Query::subject() const {
    return version.is_valid() ? exact_requirement(package_name, version) : package_name;
}

namespace {

nb::object failed(const Failure& failure, const Query& query, const nb::python_error& error,
                  nb::object empty) {
    if (failure.log != nullptr) {
        nb::object text = rt::steal_or_throw(
            PyUnicode_FromFormat(failure.format, query.subject().ptr(), query.index_url.ptr()));
        failure.log(rt::utf8_text(text) + ": " + rt::error_text(error));
    }
    return empty;
}

// The query's API address, or an empty object when no pattern is configured for its index.
nb::object api_address(const Query& query) {
    nb::object pattern = api_pattern_of(query.self, query.index_url);
    if (!is_nonempty_str(pattern)) return {};
    return api_url(pattern, query);
}

// Whether a response has status 200. An object of static storage: the check runs after the
// call that hands it over has returned.
constexpr auto status_ok = [](nb::object response) -> rt::Task {
    co_return nb::bool_(response.attr("status").equal(nb::int_(200)));
};

// asyncio.get_event_loop().run_in_executor(None, self.<via_unearth>, package_name, [version,]
// index_url), to be awaited. The method is looked up on the object, so an override is what runs.
nb::object in_executor(const WorkerKind& kind, const Query& query) {
    nb::object loop = global::asyncio.get().attr("get_event_loop")();
    nb::object run = loop.attr("run_in_executor");
    nb::object worker = kind.via_unearth.get(query.self);
    if (kind.takes_version) {
        return run(nb::none(), worker, query.package_name, query.version, query.index_url);
    }
    return run(nb::none(), worker, query.package_name, query.index_url);
}

rt::Task in_index(const WorkerKind* kind, Query query) {
    if (kind->kept_document != nullptr) {
        nb::object document = kind->kept_document(query);
        if (document.is_valid()) co_return kind->answer_document(query, document);
    }
    nb::object url = api_address(query);
    if (url.is_valid() && kind->read_document != nullptr) {
        co_return co_await query_api_document(query, std::move(url), kind->empty(),
                                              kind->read_document, kind->answer_document);
    }
    bool use_api = url.is_valid();
    if (!use_api && !rt::truthy(global::unearth_available.get())) {
        if (kind->says_no_finder) {
            host::log_debug("No API pattern and unearth not available for " +
                            rt::utf8_text(query.index_url));
        }
        co_return kind->empty();
    }
    try {
        if (use_api) co_return co_await with_api_response(query.self, std::move(url), status_ok);
        co_return co_await rt::awaited(in_executor(*kind, query));
    } catch (nb::python_error& error) {
        if (!rt::is_ordinary(error)) throw;
        co_return failed(use_api ? kind->status_failure : kind->executor_failure, query, error,
                         kind->empty());
    }
}

// Blocking; runs on the executor.
nb::object via_unearth(const WorkerKind& kind, const Query& query) {
    try {
        return with_finder(query.index_url,
                           [&](nb::handle finder) { return kind.read_finder(query, finder); });
    } catch (nb::python_error& error) {
        if (!rt::is_ordinary(error)) throw;
        return failed(kind.finder_failure, query, error, kind.empty());
    }
}

// The query of a call, its arguments checked to be str, in order, before anything starts.
Query checked(const WorkerKind& kind, nb::handle self, nb::handle package_name, nb::handle version,
              nb::handle index_url) {
    rt::require_str(package_name, "package_name");
    if (kind.takes_version) rt::require_str(version, "version");
    rt::require_str(index_url, "index_url");
    return Query(self, package_name, kind.takes_version ? version : nb::handle(), index_url);
}

void bind(nb::handle cls, WorkerKind& kind) {
    auto coroutine = [&kind](nb::handle self, nb::handle package_name, nb::handle version,
                             nb::handle index_url) {
        return in_index(&kind, checked(kind, self, package_name, version, index_url))
            .into_python(kind.qualname);
    };
    auto blocking = [&kind](nb::handle self, nb::handle package_name, nb::handle version,
                            nb::handle index_url) {
        return via_unearth(kind, checked(kind, self, package_name, version, index_url));
    };
    // Both take (package_name, [version,] index_url).
    auto def_both = [&](auto adapt, const auto&... version) {
        kind.in_index.def(cls, adapt(coroutine), nb::arg("package_name").none(), version...,
                          nb::arg("index_url").none());
        kind.via_unearth.def(cls, adapt(blocking), nb::arg("package_name").none(), version...,
                             nb::arg("index_url").none());
    };
    if (kind.takes_version) return def_both(std::identity(), nb::arg("version").none());
    def_both([](auto method) {
        return [method](nb::handle self, nb::handle package_name, nb::handle index_url) {
            return method(self, package_name, nb::handle(), index_url);
        };
    });
}

// The readers of the kinds that read in a few lines.

// The finder's first file answers: its version does not matter.
nb::object package_in_finder(const Query& query, nb::handle finder) {
    nb::iterator files = nb::iter(finder.attr("find_all_packages")(query.package_name));
    return nb::bool_((*files).is_valid());
}

nb::object version_in_finder(const Query& query, nb::handle finder) {
    nb::object match =
        finder.attr("find_best_match")(exact_requirement(query.package_name, query.version));
    return nb::bool_(!match.is_none() && !match.attr("best").is_none());
}

nb::object extras_in_document(const Query& query, nb::handle document) {
    nb::set extras = marker_extras(requires_dist_of(document));
    host::log_debug("Found " + std::to_string(extras.size()) + " extras via API for " +
                    rt::utf8_text(query.package_name));
    return extras;
}

nb::object extras_in_finder(const Query& query, nb::handle finder) {
    return marker_extras(best_file_requirements(query, finder));
}

}  // namespace

rt::Task start_worker(const WorkerKind& kind, nb::handle self, nb::handle package_name,
                      nb::handle version, nb::handle index_url) {
    auto native = [&](nb::handle, auto...) {
        return in_index(&kind, checked(kind, self, package_name, version, index_url));
    };
    if (kind.takes_version)
        return kind.in_index.start(self, native, package_name, version, index_url);
    return kind.in_index.start(self, native, package_name, index_url);
}

WorkerKind worker::package_exists{
    .in_index = rt::OverridableMethod("_package_exists_in_index"),
    .qualname = "RepoFinder._package_exists_in_index",
    .via_unearth = rt::OverridableMethod("_package_exists_via_unearth"),
    .takes_version = false,
    .empty = []() -> nb::object { return nb::bool_(false); },
    .status_failure = {host::log_debug, "API check failed for %U at %U"},
    .executor_failure = {host::log_debug, "Unearth check failed for %U at %U"},
    .read_finder = &package_in_finder,
    .finder_failure = {host::log_debug, "Unearth check failed for %U at %U"},
};

WorkerKind worker::version_exists{
    .in_index = rt::OverridableMethod("_package_version_exists_in_index"),
    .qualname = "RepoFinder._package_version_exists_in_index",
    .via_unearth = rt::OverridableMethod("_package_version_exists_via_unearth"),
    .takes_version = true,
    .empty = []() -> nb::object { return nb::bool_(false); },
    .status_failure = {host::log_debug, "API check failed for %U at %U"},
    .says_no_finder = false,
    .read_finder = &version_in_finder,
};

WorkerKind worker::versions{
    .in_index = rt::OverridableMethod("_get_versions_from_index"),
    .qualname = "RepoFinder._get_versions_from_index",
    .via_unearth = rt::OverridableMethod("_get_versions_via_unearth"),
    .takes_version = false,
    .empty = []() -> nb::object { return nb::list(); },
    .read_document = &versions_in_document,
    .executor_failure = {host::log_error, "Unearth failed for %U at %U"},
    .read_finder = &versions_in_finder,
    .finder_failure = {host::log_error, "Unearth _get_versions failed"},
};

WorkerKind worker::extras{
    .in_index = rt::OverridableMethod("_get_extras_from_index"),
    .qualname = "RepoFinder._get_extras_from_index",
    .via_unearth = rt::OverridableMethod("_get_extras_via_unearth"),
    .takes_version = true,
    .empty = []() -> nb::object { return nb::set(); },
    .read_document = &extras_in_document,
    .executor_failure = {host::log_error, "Unearth failed for extras %U"},
    .read_finder = &extras_in_finder,
    .finder_failure = {host::log_debug, "Unearth get_extras failed"},
};

WorkerKind worker::dependencies{
    .in_index = rt::OverridableMethod("_get_dependencies_from_index"),
    .qualname = "RepoFinder._get_dependencies_from_index",
    .via_unearth = rt::OverridableMethod("_get_dependencies_via_unearth"),
    .takes_version = true,
    .empty = []() -> nb::object { return nb::list(); },
    .kept_document = &kept_document,
    .read_document = &keep_document,
    .answer_document = &dependencies_in_document,
    .executor_failure = {host::log_error, "Unearth failed for dependencies %U"},
    .read_finder = &dependencies_in_finder,
    .finder_failure = {host::log_debug, "Unearth get_dependencies failed"},
};

void bind_index_workers(nb::handle cls) {
    for (WorkerKind* kind : {&worker::package_exists, &worker::version_exists, &worker::versions,
                             &worker::extras, &worker::dependencies}) {
        bind(cls, *kind);
    }
}

}  // namespace quenlet::repo_finder
