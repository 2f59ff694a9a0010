// The requirements one version of a package declares on one index, each split by
// _parse_requirement: from the index's JSON API document, or from the metadata of the file the
// finder picks. API documents are kept in _metadata_cache by lower-cased name and version and
// answer every later query for them, on any index.
#include <algorithm>

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
const rt::InternedName lower_name{"lower"};

// (package_name.lower(), version). An ASCII str without capitals is its own lower case and is
// used as it is, so that a warm query makes and hashes no new text: a host asks with the same str
// every time, whose hash is known already (the warm-query target needs this; see the README).
nb::object cache_key(const Query& query) {
    nb::handle name = query.package_name;
    if (PyUnicode_CheckExact(name.ptr()) && PyUnicode_IS_ASCII(name.ptr())) {
        auto text = static_cast<const char*>(PyUnicode_DATA(name.ptr()));
        if (std::none_of(text, text + PyUnicode_GET_LENGTH(name.ptr()),
                         [](char c) { return c >= 'A' && c <= 'Z'; })) {
            return nb::make_tuple(name, query.version);
        }
    }
    return nb::make_tuple(
        rt::steal_or_throw(PyObject_CallMethodNoArgs(name.ptr(), lower_name.get().ptr())),
        query.version);
}

// A list of `size` items, each made by `item(i)`: made at its size, and without the locking that
// appending or slicing does, since nothing else can see the list yet.
template <class Item>
nb::list list_of(Py_ssize_t size, Item item) {
    nb::list made = nb::borrow<nb::list>(rt::steal_or_throw(PyList_New(size)));
    for (Py_ssize_t i = 0; i < size; ++i) PyList_SET_ITEM(made.ptr(), i, item(i).release().ptr());
    return made;
}

nb::list list_copy(nb::handle list) {
    return list_of(PyList_GET_SIZE(list.ptr()),
                   [&](Py_ssize_t i) { return nb::borrow(PyList_GET_ITEM(list.ptr(), i)); });
}

// A copy of a record (a dict) with `extras` as its extras, the record's only mutable value.
nb::object record_with(nb::handle record, nb::handle extras) {
    nb::object copy = rt::steal_or_throw(PyDict_Copy(record.ptr()));
    if (PyDict_SetItem(copy.ptr(), extras_key.get().ptr(), extras.ptr()) != 0) rt::throw_pending();
    return copy;
}

// What the finder keeps for the records its parser made: a list of private copies of the
// records, and one of their extras lists, so that handing out fresh copies looks nothing up.
nb::object kept_entry(nb::handle records) {
    nb::list extras = list_of(PyList_GET_SIZE(records.ptr()), [&](Py_ssize_t i) {
        return list_copy(rt::dict_item(PyList_GET_ITEM(records.ptr(), i), extras_key.get()));
    });
    nb::list copies = list_of(PyList_GET_SIZE(records.ptr()), [&](Py_ssize_t i) {
        return record_with(PyList_GET_ITEM(records.ptr(), i), PyList_GET_ITEM(extras.ptr(), i));
    });
    return nb::make_tuple(copies, extras);
}

// Fresh records from a kept entry, for one caller to keep or change as it likes.
nb::list fresh_records(nb::handle entry) {
    nb::handle records = PyTuple_GET_ITEM(entry.ptr(), 0);
    nb::handle extras = PyTuple_GET_ITEM(entry.ptr(), 1);
    return list_of(PyList_GET_SIZE(records.ptr()), [&](Py_ssize_t i) {
        return record_with(PyList_GET_ITEM(records.ptr(), i),
                           list_copy(PyList_GET_ITEM(extras.ptr(), i)));
    });
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
        if (kept.is_valid()) return fresh_records(kept);
    }
    nb::list records = parse_requirements(self, requirements);
    if (key.is_valid() && std::ssize(records) == PyTuple_GET_SIZE(key.ptr())) {
        state->parsed_requirements.keep(key, kept_entry(records));
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
