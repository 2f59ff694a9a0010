#include "repo_finder/distribution_facts.h"

namespace quenlet::repo_finder {

namespace {

Interned version_key{"Version"};
Member metadata{"metadata"};
Member get{"get"};

// The kept records, in the finder's distribution_facts dict: under None the table they belong
// to; under each entry's address a tuple (table, entry, version, offered extras or None,
// metadata or None). A record holds its entry, so the address names no other object while the
// record is kept; and it names its table, so a record written for another table (by a thread
// checking against it at the same time) is never taken for this one's.
enum Field : Py_ssize_t { table_field, entry_field, version_field, extras_field, metadata_field };

nb::object key_of(nb::handle entry) {
    return rt::steal_or_throw(PyLong_FromVoidPtr(entry.ptr()));
}

nb::object item_of(nb::handle record, Field which) {
    return nb::borrow(PyTuple_GET_ITEM(record.ptr(), which));
}

nb::object or_none(const nb::object& value) {
    if (value.is_valid()) return value;
    return nb::none();
}

nb::object record_of(nb::handle table, nb::handle entry, const DistributionFacts& facts) {
    return nb::make_tuple(table, entry, facts.version, or_none(facts.offered_extras),
                          or_none(facts.metadata));
}

void set_item(nb::handle kept, nb::handle key, nb::handle value) {
    if (PyDict_SetItem(kept.ptr(), key.ptr(), value.ptr()) != 0) rt::throw_pending();
}

// The finder's records, started over when they belong to another table than `table`, or when
// they number more than the table's entries (a host that keeps swapping entries in one table).
nb::object records_for(RepoFinder* state, nb::handle table) {
    nb::object kept = state->distribution_facts;
    nb::object current = rt::dict_item(kept, Py_None);
    Py_ssize_t entries = PyObject_Size(table.ptr());
    if (entries < 0) {
        PyErr_Clear();  // a table without a size: bounded by the records of one check
        entries = 1;
    }
    if (!current.is(table) || PyDict_GET_SIZE(kept.ptr()) > entries + 1) {
        PyDict_Clear(kept.ptr());
        set_item(kept, Py_None, table);
    }
    return kept;
}

}  // namespace

DistributionFacts distribution_facts(RepoFinder* state, nb::handle table, nb::handle entry) {
    nb::object kept, key;
    if (state != nullptr) {
        kept = records_for(state, table);
        key = key_of(entry);
        nb::object record = rt::dict_item(kept, key);
        if (record.is_valid() && item_of(record, table_field).is(table) &&
            item_of(record, entry_field).is(entry)) {
            nb::object extras = item_of(record, extras_field);
            nb::object entry_metadata = item_of(record, metadata_field);
            return {item_of(record, version_field), extras.is_none() ? nb::object() : extras,
                    entry_metadata.is_none() ? nb::object() : entry_metadata};
        }
    }
    nb::object entry_metadata = metadata.get(entry);
    DistributionFacts facts{get.call(entry_metadata, version_key.get()), {}, entry_metadata};
    // Reading ran host code, which may have checked against another table meanwhile.
    if (kept.is_valid() && rt::dict_item(kept, Py_None).is(table)) {
        set_item(kept, key, record_of(table, entry, facts));
    }
    return facts;
}

void remember_offered_extras(RepoFinder* state, nb::handle table, nb::handle entry,
                             const DistributionFacts& facts) {
    if (state == nullptr) return;
    nb::object kept = state->distribution_facts;
    nb::object key = key_of(entry);
    nb::object record = rt::dict_item(kept, key);
    if (!record.is_valid() || !item_of(record, table_field).is(table) ||
        !item_of(record, entry_field).is(entry)) {
        return;
    }
    set_item(kept, key, record_of(table, entry, {facts.version, facts.offered_extras, {}}));
}

void forget_distribution_facts(RepoFinder* state) {
    if (state != nullptr) PyDict_Clear(state->distribution_facts.ptr());
}

}  // namespace quenlet::repo_finder
