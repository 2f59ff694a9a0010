// The requirements one version of a package declares on one index, each split by
// _parse_requirement: from the index's JSON API document when a pattern is configured for it,
// else from the metadata of the file the finder picks, on the executor. API documents are kept
// in _metadata_cache by lower-cased name and version and answer every later query for them, on
// any index. Fetch failures are logged and give an empty list.
#include "host_interfaces/logger.h"
#include "repo_finder/api_pattern.h"
#include "repo_finder/finder.h"
#include "repo_finder/index_api.h"
#include "runtime/arguments.h"
#include "runtime/text.h"

namespace quenlet::repo_finder {

namespace {

Member lower{"lower"};

// Parsed records by the requirement strings they came from, for this module's own parser. A
// warm query answers from its cached document, so without this it would split the same strings
// again every time. Parsing is pure, so a kept list answers exactly as a new parse would; lists
// with a string that did not parse are not kept, so that its warning is logged on every query,
// as it would be. Callers get copies, deep enough that changing one changes nothing kept. For
// the event loop's thread only.
class ParsedRequirements {
  public:
    nb::object find(nb::handle strings) const {
        if (!entries_.is_valid()) return {};
        PyObject* records = PyDict_GetItemWithError(entries_.ptr(), strings.ptr());
        if (records == nullptr) {
            if (PyErr_Occurred()) rt::throw_pending();
            return {};
        }
        return copy(records);
    }

    void keep(nb::handle strings, nb::handle records) {
        if (!entries_.is_valid() || PyDict_GET_SIZE(entries_.ptr()) >= max_entries) {
            entries_ = nb::dict();
        }
        nb::object kept = copy(records);
        if (PyDict_SetItem(entries_.ptr(), strings.ptr(), kept.ptr()) != 0) rt::throw_pending();
    }

  private:
    // The records are the parser's dicts; their only mutable values are the extras lists.
    static nb::list copy(nb::handle records) {
        nb::list copied;
        for (nb::handle record : records) {
            nb::dict fresh = nb::borrow<nb::dict>(rt::steal_or_throw(PyDict_Copy(record.ptr())));
            for (auto [key, value] : nb::borrow<nb::dict>(record)) {
                if (!PyList_Check(value.ptr())) continue;
                fresh[key] = rt::steal_or_throw(
                    PyList_GetSlice(value.ptr(), 0, PyList_GET_SIZE(value.ptr())));
            }
            copied.append(fresh);
        }
        return copied;
    }

    static constexpr Py_ssize_t max_entries = 4096;
    nb::object entries_;
};

// Kept for the life of the process (its Python references must not be released at exit).
ParsedRequirements& parsed_requirements = *new ParsedRequirements;

// self._parse_requirement(requirement) for each, in order; the records that are true.
nb::list parse_requirements(nb::handle self, nb::handle requirements, bool reuse) {
    nb::object parser = method::parse_requirement.get(self);
    nb::object strings;
    if (reuse && PyList_Check(requirements.ptr()) && is_own_requirement_parser(parser)) {
        strings = rt::steal_or_throw(PyList_AsTuple(requirements.ptr()));
        nb::object known = parsed_requirements.find(strings);
        if (known.is_valid()) return nb::steal<nb::list>(known.release());
    }
    nb::list dependencies;
    bool complete = true;
    for (nb::handle requirement : requirements) {
        nb::object record = parser(requirement);
        if (truthy(record)) {
            dependencies.append(record);
        } else {
            complete = false;
        }
    }
    if (strings.is_valid() && complete) parsed_requirements.keep(strings, dependencies);
    return dependencies;
}

// The dependencies a kept or fetched document declares. A document that cannot be read raises.
nb::object dependencies_of(nb::handle self, nb::handle document, nb::handle package_name,
                           nb::handle version) {
    nb::object requirements = requires_dist_of(document);
    if (PyList_GET_SIZE(requirements.ptr()) == 0) return nb::list();
    nb::list dependencies = parse_requirements(self, requirements, true);
    host::log_debug("Found " + std::to_string(dependencies.size()) + " dependencies for " +
                    rt::utf8_text(package_name) + "==" + rt::utf8_text(version));
    return dependencies;
}

// _metadata_cache[key], or an empty object when the key is not in it.
nb::object kept_document(nb::handle self, nb::handle key) {
    nb::object cache = field::metadata_cache.get(self);
    if (PyDict_Check(cache.ptr())) {
        PyObject* document = PyDict_GetItemWithError(cache.ptr(), key.ptr());
        if (document == nullptr && PyErr_Occurred()) rt::throw_pending();
        return nb::borrow(document);
    }
    int present = PySequence_Contains(cache.ptr(), key.ptr());
    if (present < 0) rt::throw_pending();
    if (present == 0) return {};
    return rt::steal_or_throw(PyObject_GetItem(cache.ptr(), key.ptr()));
}

rt::Task dependencies_from_index(nb::object self, nb::object package_name, nb::object version,
                                 nb::object index_url) {
    nb::object key = nb::make_tuple(lower.call(package_name), version);
    nb::object document = kept_document(self, key);
    if (!document.is_valid()) {
        nb::object pattern = method::get_api_pattern_for_index.call(self, index_url);
        if (!is_nonempty_str(pattern)) {
            if (!truthy(global::unearth_available().get())) {
                host::log_debug("No API pattern and unearth not available for " +
                                rt::utf8_text(index_url));
                co_return nb::list();
            }
            try {
                co_return co_await rt::awaited(in_executor(
                    self, method::get_dependencies_via_unearth, package_name, version, index_url));
            } catch (nb::python_error& error) {
                if (!rt::is_ordinary(error)) throw;
                host::log_error("Unearth failed for dependencies " + rt::utf8_text(package_name) +
                                "==" + rt::utf8_text(version) + ": " + rt::error_text(error));
            }
            co_return nb::list();
        }
        nb::list empty;
        document = co_await query_api_document(
            self, package_name, index_url, version_api_url(pattern, package_name, version), empty,
            [&](nb::handle fetched) -> nb::object {
                // Only a document that can be read is kept: a kept document answers every
                // later query, so an unreadable one would fail them all.
                requires_dist_of(fetched);
                nb::object cache = field::metadata_cache.get(self);
                if (PyObject_SetItem(cache.ptr(), key.ptr(), fetched.ptr()) != 0) {
                    rt::throw_pending();
                }
                return nb::borrow(fetched);
            });
        if (document.is(empty)) co_return empty;
    }
    co_return dependencies_of(self, document, package_name, version);
}

// Blocking; runs on the executor.
nb::object dependencies_via_unearth(nb::handle self, nb::handle package_name, nb::handle version,
                                    nb::handle index_url) {
    rt::require_str(package_name, "package_name");
    rt::require_str(version, "version");
    rt::require_str(index_url, "index_url");
    try {
        return with_finder(index_url, [&](nb::handle finder) -> nb::object {
            return parse_requirements(self, best_file_requirements(finder, package_name, version),
                                      false);
        });
    } catch (nb::python_error& error) {
        if (!rt::is_ordinary(error)) throw;
        host::log_debug("Unearth get_dependencies failed: " + rt::error_text(error));
        return nb::list();
    }
}

}  // namespace

void bind_dependency_workers(Class& cls) {
    cls.def(
        "_get_dependencies_from_index",
        [](nb::handle self, nb::handle package_name, nb::handle version, nb::handle index_url) {
            rt::require_str(package_name, "package_name");
            rt::require_str(version, "version");
            rt::require_str(index_url, "index_url");
            return dependencies_from_index(nb::borrow(self), nb::borrow(package_name),
                                           nb::borrow(version), nb::borrow(index_url))
                .into_python("RepoFinder._get_dependencies_from_index");
        },
        nb::arg("package_name").none(), nb::arg("version").none(), nb::arg("index_url").none());
    cls.def("_get_dependencies_via_unearth", &dependencies_via_unearth,
            nb::arg("package_name").none(), nb::arg("version").none(), nb::arg("index_url").none());
}

}  // namespace quenlet::repo_finder
