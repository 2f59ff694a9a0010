// Every published version of a package on one index, newest first: from the "releases" of the
// index's JSON API document when a pattern is configured for it, else from the finder's files
// on the executor. Failures are logged and give an empty list; only the pattern lookup raises.
#include "host_interfaces/logger.h"
#include "repo_finder/api_pattern.h"
#include "repo_finder/fallback.h"
#include "repo_finder/finder.h"
#include "repo_finder/index_api.h"
#include "repo_finder/worker_binding.h"
#include "runtime/arguments.h"
#include "runtime/text.h"

namespace quenlet::repo_finder {

using namespace nb::literals;

namespace {

Interned releases_key{"releases"};

void sort_descending(nb::list& texts) {
    texts.attr("sort")("reverse"_a = true);
}

// `texts` (distinct) in PEP 440 order, newest first, each parsed by `parse`, which gives an
// empty object for a text that does not parse. The sort is stable: texts of equal versions
// (1.0 and 1.0.0) keep their order. Texts that do not parse are dropped, or, when kept, follow
// in plain string order, descending.
template <class Parse>
nb::list newest_first(nb::handle texts, Parse parse, bool keep_unparsed) {
    nb::dict parsed;
    nb::list valid, unparsed;
    for (nb::handle text : texts) {
        nb::object version = parse(text);
        if (version.is_valid()) {
            valid.append(text);
            parsed[text] = version;
        } else if (keep_unparsed) {
            unparsed.append(text);
        }
    }
    valid.attr("sort")("key"_a = parsed.attr("__getitem__"), "reverse"_a = true);
    if (keep_unparsed) {
        sort_descending(unparsed);
        valid.attr("extend")(unparsed);
    }
    return valid;
}

// Orders the finder worked out, kept in its version_orders under the release texts in document
// order: a host asks about the same packages over and over, and ordering by Version parses every
// text and compares in Python, which costs as much as the rest of a query. An entry is (the
// Version the texts were ordered by, the order as a tuple), and answers only while the module's
// Version is that one.
constexpr Py_ssize_t kept_texts_budget = 32768;

// `texts` in the order newest_first gives by `version_type`, kept or worked out.
nb::list ordered_by(nb::handle self, const nb::list& texts, nb::handle version_type) {
    RepoFinder* state = state_of(self);
    nb::object key = state != nullptr ? texts_key(texts) : nb::object();
    if (key.is_valid()) {
        nb::object kept = rt::dict_item(state->version_orders, key);
        if (kept.is_valid() && nb::borrow(PyTuple_GET_ITEM(kept.ptr(), 0)).is(version_type)) {
            return nb::borrow<nb::list>(
                rt::steal_or_throw(PySequence_List(PyTuple_GET_ITEM(kept.ptr(), 1))));
        }
    }
    nb::list ordered = newest_first(
        texts,
        [&](nb::handle text) -> nb::object {
            try {
                return version_type(text);
            } catch (nb::python_error& error) {
                if (!error.matches(PyExc_ValueError)) throw;
                return {};
            }
        },
        true);
    if (key.is_valid()) {
        nb::object entry =
            nb::make_tuple(version_type, rt::steal_or_throw(PyList_AsTuple(ordered.ptr())));
        keep_within(state->version_orders, key, entry, kept_texts_budget);
    }
    return ordered;
}

// The versions of an API document's "releases" object. With packaging, in PEP 440 order by the
// module's Version (whose ValueError, InvalidVersion among them, marks a text it cannot parse),
// like the finder's; without it, in plain string order.
nb::list api_versions(nb::handle self, nb::handle document) {
    if (!PyDict_Check(document.ptr())) {
        rt::throw_error(PyExc_ValueError, "the document is not a JSON object");
    }
    nb::object releases = rt::dict_item(document, releases_key.get());
    if (!releases.is_valid()) return nb::list();
    if (!PyDict_Check(releases.ptr())) {
        rt::throw_error(PyExc_ValueError, "the document's \"releases\" is not a JSON object");
    }
    nb::list texts = nb::borrow<nb::list>(rt::steal_or_throw(PyDict_Keys(releases.ptr())));
    if (!truthy(global::packaging_available().get())) {
        sort_descending(texts);
        return texts;
    }
    return ordered_by(self, texts, global::version().get());
}

rt::Task versions_from_index(nb::object self, nb::object package_name, nb::object index_url) {
    nb::object pattern = api_pattern_of(self, index_url);
    if (is_nonempty_str(pattern)) {
        co_return co_await query_api_document(
            self, package_name, index_url, package_api_url(pattern, package_name), nb::list(),
            [&](nb::handle document) -> nb::object {
                nb::list versions = api_versions(self, document);
                host::log_debug("Found " + std::to_string(versions.size()) +
                                " versions via API for " + rt::utf8_text(package_name));
                return versions;
            });
    }
    if (!truthy(global::unearth_available().get())) {
        host::log_debug("No API pattern and unearth not available for " + rt::utf8_text(index_url));
        co_return nb::list();
    }
    co_return co_await await_or_fall_back(
        [&] {
            return in_executor(self, method::get_versions_via_unearth, package_name, index_url);
        },
        {host::log_error,
         "Unearth failed for " + rt::utf8_text(package_name) + " at " + rt::utf8_text(index_url),
         nb::list()});
}

// The distinct version texts of the finder's files (a wheel and an sdist of one version are one
// entry), in the order the finder gave them.
nb::list distinct_versions(nb::handle files) {
    nb::set seen;
    nb::list texts;
    for (nb::handle file : files) {
        nb::object text = rt::steal_or_throw(PyObject_Str(file.attr("version").ptr()));
        if (seen.contains(text)) continue;
        seen.add(text);
        texts.append(text);
    }
    return texts;
}

// Every version the finder lists, newest first. packaging is imported here, on every call, so
// that a finder query still answers (in plain string order) where it is missing.
nb::list finder_versions(nb::handle package_name, nb::handle index_url) {
    nb::list texts = nb::borrow<nb::list>(with_finder(index_url, [&](nb::handle finder) {
        return distinct_versions(finder.attr("find_all_packages")(package_name));
    }));
    nb::object version_type, invalid_version;
    try {
        version_type = import_from("packaging.version", "Version");
        invalid_version = import_from("packaging.version", "InvalidVersion");
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_ImportError)) throw;
        sort_descending(texts);
        return texts;
    }
    return newest_first(
        texts,
        [&](nb::handle text) -> nb::object {
            try {
                return version_type(text);
            } catch (nb::python_error& error) {
                if (!error.matches(invalid_version)) throw;
                return {};
            }
        },
        false);
}

// Blocking; runs on the executor.
nb::object versions_via_unearth(nb::handle, nb::handle package_name, nb::handle index_url) {
    rt::require_str(package_name, "package_name");
    rt::require_str(index_url, "index_url");
    return run_or_fall_back({host::log_error, "Unearth _get_versions failed", nb::list()},
                            [&] { return finder_versions(package_name, index_url); });
}

}  // namespace

Worker worker::get_versions_from_index{method::get_versions_from_index,
                                       "RepoFinder._get_versions_from_index", &versions_from_index};

void bind_version_workers(Class& cls) {
    worker::get_versions_from_index.bind(cls);
    cls.def("_get_versions_via_unearth", &versions_via_unearth, nb::arg("package_name").none(),
            nb::arg("index_url").none());
}

}  // namespace quenlet::repo_finder
