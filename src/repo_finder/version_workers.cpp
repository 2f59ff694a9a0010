// Every published version of a package on one index, newest first: from the "releases" of the
// index's JSON API document, or from the finder's files.
#include "host_interfaces/logger.h"
#include "repo_finder/finder_state.h"
#include "repo_finder/module_names.h"
#include "repo_finder/worker_parts.h"
#include "runtime/errors.h"
#include "runtime/imports.h"
#include "runtime/text.h"
#include "runtime/values.h"

namespace quenlet::repo_finder {

using namespace nb::literals;

namespace {

const rt::InternedName releases_key{"releases"};

void sort_descending(nb::handle texts) {
    texts.attr("sort")("reverse"_a = true);
}

// `texts` (distinct) in PEP 440 order, newest first, each parsed by `version_type`; a text it
// refuses with `invalid` does not parse. The sort is stable: texts of equal versions (1.0 and
// 1.0.0) keep their order. Texts that do not parse are dropped, or, when kept, follow in plain
// string order, descending.
nb::list newest_first(nb::handle texts, nb::handle version_type, nb::handle invalid,
                      bool keep_unparsed) {
    nb::dict parsed;
    nb::list valid, unparsed;
    for (nb::handle text : texts) {
        try {
            parsed[text] = version_type(text);
            valid.append(text);
        } catch (nb::python_error& error) {
            if (!error.matches(invalid)) throw;
            if (keep_unparsed) unparsed.append(text);
        }
    }
    valid.attr("sort")("key"_a = parsed.attr("__getitem__"), "reverse"_a = true);
    if (keep_unparsed) {
        sort_descending(unparsed);
        valid.attr("extend")(unparsed);
    }
    return valid;
}

// `texts` in the order newest_first gives by the module's Version (whose ValueError,
// InvalidVersion among them, marks a text it cannot parse), kept by the finder or worked out.
// Ordering by Version parses every text and compares in Python, which costs as much as the rest
// of a query, so the finder keeps the orders it worked out under the release texts in document
// order. An entry is (the Version the texts were ordered by, the order as a tuple), and answers
// only while the module's Version is that one.
nb::list ordered(const Query& query, nb::handle texts) {
    nb::object version_type = global::version.get();
    RepoFinder* state = state_of(query.self);
    nb::object key = state != nullptr ? KeptByTexts::key_of(texts) : nb::object();
    if (key.is_valid()) {
        nb::object kept = state->version_orders.find(key);
        if (kept.is_valid() && nb::borrow(PyTuple_GET_ITEM(kept.ptr(), 0)).is(version_type)) {
            return nb::borrow<nb::list>(
                rt::steal_or_throw(PySequence_List(PyTuple_GET_ITEM(kept.ptr(), 1))));
        }
    }
    nb::list order = newest_first(texts, version_type, PyExc_ValueError, true);
    if (key.is_valid()) {
        nb::object frozen = rt::steal_or_throw(PyList_AsTuple(order.ptr()));
        state->version_orders.keep(key, nb::make_tuple(version_type, frozen));
    }
    return order;
}

}  // namespace

// With packaging, in PEP 440 order, like the finder's; without it, in plain string order.
nb::object versions_in_document(const Query& query, nb::handle document) {
    if (!PyDict_Check(document.ptr())) {
        rt::throw_error(PyExc_ValueError, "the document is not a JSON object");
    }
    nb::object releases = rt::dict_item(document, releases_key.get());
    nb::list versions;
    if (releases.is_valid()) {
        if (!PyDict_Check(releases.ptr())) {
            rt::throw_error(PyExc_ValueError, "the document's \"releases\" is not a JSON object");
        }
        versions = nb::borrow<nb::list>(rt::steal_or_throw(PyDict_Keys(releases.ptr())));
        if (rt::truthy(global::packaging_available.get())) {
            versions = ordered(query, versions);
        } else {
            sort_descending(versions);
        }
    }
    host::log_debug("Found " + std::to_string(versions.size()) + " versions via API for " +
                    rt::utf8_text(query.package_name));
    return versions;
}

// The distinct version texts of the finder's files (a wheel and an sdist of one version are one
// entry), newest first. packaging is imported here, on every call, so that a finder query still
// answers (in plain string order) where it is missing.
nb::object versions_in_finder(const Query& query, nb::handle finder) {
    nb::set seen;
    nb::list texts;
    for (nb::handle file : finder.attr("find_all_packages")(query.package_name)) {
        nb::object text = nb::str(file.attr("version"));
        if (seen.contains(text)) continue;
        seen.add(text);
        texts.append(text);
    }
    nb::object version_type, invalid_version;
    try {
        version_type = rt::import_from("packaging.version", "Version");
        invalid_version = rt::import_from("packaging.version", "InvalidVersion");
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_ImportError)) throw;
        sort_descending(texts);
        return texts;
    }
    return newest_first(texts, version_type, invalid_version, false);
}

}  // namespace quenlet::repo_finder
