// The requirements one version of a package declares on one index, each split by
// _parse_requirement: from the index's JSON API document, or from the metadata of the file the
// finder picks. API documents are kept in _metadata_cache by lower-cased name and version and
// answer every later query for them, on any index.
#include "host_interfaces/logger.h"
#include "repo_finder/class_methods.h"
#include "repo_finder/finder_state.h"
#include "repo_finder/requirements.h"
#include "repo_finder/worker_parts.h"
#include "runtime/errors.h"
#include "runtime/text.h"
#include "runtime/values.h"

namespace quenlet::repo_finder {

namespace {

const rt::InternedName extras_key{"extras"};

nb::object cache_key(const Query& query) {
    return nb::make_tuple(query.package_name.attr("lower")(), query.version);
}

// Copies of records (dicts, each with an extras list, its only mutable value), for one caller to
// keep or change as it likes.
nb::list copied(nb::handle records) {
    nb::list copies;
    for (nb::handle record : records) {
        nb::object copy = rt::steal_or_throw(PyDict_Copy(record.ptr()));
        nb::object extras =
            rt::steal_or_throw(PySequence_List(rt::dict_item(record, extras_key.get()).ptr()));
        if (PyDict_SetItem(copy.ptr(), extras_key.get().ptr(), extras.ptr()) != 0)
            rt::throw_pending();
        copies.append(copy);
    }
    return copies;
}

// parse_requirements(self, requirements), answered from the records the finder keeps for the
// same texts while the parser is this module's own. A warm query answers from a kept document
// and would otherwise split the same strings again every time, and most versions of a package
// declare the same requirements, so one entry serves many documents. Lists with a string that
// does not parse are not kept, so that its warning is logged on every query, as it would be.
nb::list kept_or_parsed(nb::handle self, nb::handle requirements) {
    RepoFinder* state = state_of(self);
    nb::object key;
    if (state != nullptr && method::parse_requirement.is_own(self)) {
        key = KeptByTexts::key_of(requirements);
    }
    if (key.is_valid()) {
        nb::object kept = state->parsed_requirements.find(key);
        if (kept.is_valid()) return copied(kept);
    }
    nb::list records = parse_requirements(self, requirements);
    if (key.is_valid() && std::ssize(records) == PyTuple_GET_SIZE(key.ptr())) {
        state->parsed_requirements.keep(key, copied(records));
    }
    return records;
}

}  // namespace

nb::object kept_document(const Query& query) {
    nb::object key = cache_key(query);
    nb::object cache = nb::getattr(query.self, field::metadata_cache.get());
    if (PyDict_Check(cache.ptr())) return rt::dict_item(cache, key);
    if (!PySequence_Contains(cache.ptr(), key.ptr())) return {};
    return cache[key];
}

// Only a document that can be read is kept: a kept document answers every later query, so an
// unreadable one would fail them all.
nb::object keep_document(const Query& query, nb::handle document) {
    requires_dist_of(document);
    nb::object cache = nb::getattr(query.self, field::metadata_cache.get());
    cache[cache_key(query)] = document;
    return nb::borrow(document);
}

// Read unprotected: a kept document that cannot be read raises.
nb::object dependencies_in_document(const Query& query, nb::handle document) {
    nb::object requirements = requires_dist_of(document);
    if (PyList_GET_SIZE(requirements.ptr()) == 0) return nb::list();
    nb::list dependencies = kept_or_parsed(query.self, requirements);
    // Logged on every warm query: built only when the logger keeps it.
    host::log_built(host::Level::debug, [&] {
        return "Found " + std::to_string(dependencies.size()) + " dependencies for " +
               rt::utf8_text(query.package_name) + "==" + rt::utf8_text(query.version);
    });
    return dependencies;
}

nb::object dependencies_in_finder(const Query& query, nb::handle finder) {
    return parse_requirements(query.self, best_file_requirements(query, finder));
}

}  // namespace quenlet::repo_finder
