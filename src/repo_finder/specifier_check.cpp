// check_specifier_in_dist: whether the running interpreter already satisfies a requirement.
// The host asks before every install, so once the table is built this is a hot path.
//
// Reading a real distribution's metadata parses its METADATA file, which dwarfs the rest of a
// check; the table is a snapshot anyway (nothing installed meanwhile is seen until it is
// cleared), so what an entry's metadata says is read once per entry while its table stands, and
// kept in the finder's distribution_facts. The facts belong to one table object and one entry
// object, compared by identity: a table that is rebuilt, cleared or replaced, or an entry that
// the host swaps for another, is read afresh. They are kept for the table last checked against,
// at most one record per entry of it.
#include "host_interfaces/logger.h"
#include "repo_finder/class_methods.h"
#include "repo_finder/finder_state.h"
#include "repo_finder/module_names.h"
#include "repo_finder/requirements.h"
#include "runtime/arguments.h"
#include "runtime/errors.h"
#include "runtime/text.h"
#include "runtime/values.h"

namespace quenlet::repo_finder {

namespace {

const rt::InternedName metadata_key{"metadata"};
const rt::InternedName version_key{"Version"};
const rt::InternedName requires_dist_key{"Requires-Dist"};

// What a check reads from a table entry. In the finder's distribution_facts, under None the
// table the records belong to, and under each entry's address the record (table, entry, version,
// offered extras or None, metadata or None). A record holds its entry, so the address names no
// other object while the record is kept; and it names its table, so a record written for another
// table (by a thread checking against it at the same time) is never taken for this one's.
struct Facts {
    nb::object version;         // metadata.get("Version"), as the metadata gives it
    nb::object offered_extras;  // a set, or None until a check first asks for extras
    nb::object metadata;        // the entry's metadata, held only until the extras are known
};

// The record under `key` when it is the one of `entry` in `table`, else an empty object.
nb::object record_of(nb::handle kept, nb::handle key, nb::handle table, nb::handle entry) {
    nb::object record = rt::dict_item(kept, key);
    bool ours = record.is_valid() && PyTuple_GET_ITEM(record.ptr(), 0) == table.ptr() &&
                PyTuple_GET_ITEM(record.ptr(), 1) == entry.ptr();
    return ours ? record : nb::object();
}

void keep_record(nb::handle kept, nb::handle key, nb::handle table, nb::handle entry,
                 const Facts& facts) {
    nb::object record =
        nb::make_tuple(table, entry, facts.version, facts.offered_extras, facts.metadata);
    if (PyDict_SetItem(kept.ptr(), key.ptr(), record.ptr()) != 0) rt::throw_pending();
}

// The facts of `entry` in `table`, read on first use and kept in `kept` (invalid: nothing is
// kept). The records start over when they belong to another table than `table`, or when they
// number more than its entries (a host that keeps swapping entries in one table).
Facts facts_of(nb::handle kept, nb::handle key, nb::handle table, nb::handle entry) {
    if (kept.is_valid()) {
        Py_ssize_t entries = PyObject_Size(table.ptr());
        if (entries < 0) {
            PyErr_Clear();  // a table without a size: bounded by the records of one check
            entries = 1;
        }
        if (!rt::dict_item(kept, Py_None).is(table) || PyDict_GET_SIZE(kept.ptr()) > entries + 1) {
            PyDict_Clear(kept.ptr());
            if (PyDict_SetItem(kept.ptr(), Py_None, table.ptr()) != 0) rt::throw_pending();
        }
        if (nb::object record = record_of(kept, key, table, entry); record.is_valid()) {
            auto item = [&](Py_ssize_t index) {
                return nb::borrow(PyTuple_GET_ITEM(record.ptr(), index));
            };
            return {item(2), item(3), item(4)};
        }
    }
    nb::object metadata = nb::getattr(entry, metadata_key.get());
    Facts facts{metadata.attr("get")(version_key.get()), nb::none(), metadata};
    // Reading ran host code, which may have checked against another table meanwhile.
    if (kept.is_valid() && rt::dict_item(kept, Py_None).is(table)) {
        keep_record(kept, key, table, entry, facts);
    }
    return facts;
}

// Whether `installed` is a member of the specifier set `version_spec`. Unparsable text on
// either side counts as not satisfied. An installed pre-release satisfies only a set that
// mentions a pre-release: said explicitly, because what contains() assumes when it is not told
// changed with packaging 26.
bool satisfies(nb::handle package_name, nb::handle version_spec, nb::handle installed) {
    try {
        nb::object specifiers = global::specifier_set.get()(version_spec);
        nb::object version = global::version.get()(installed);
        bool mentions_pre_release = rt::truthy(specifiers.attr("prereleases"));
        return rt::truthy(specifiers.attr("contains")(
            version, nb::arg("prereleases") = nb::bool_(mentions_pre_release)));
    } catch (nb::python_error& error) {
        if (!rt::is_ordinary(error)) throw;
        host::log_debug("Error checking version spec for " + rt::utf8_text(package_name) + ": " +
                        rt::error_text(error));
        return false;
    }
}

// The extras that the distribution's requirements are conditional on, lower-cased.
nb::set offered_extras(nb::handle metadata) {
    nb::set offered;
    nb::object requirements = metadata.attr("get_all")(requires_dist_key.get());
    if (!rt::truthy(requirements)) return offered;
    for (nb::handle extra : marker_extras(requirements)) offered.add(extra.attr("lower")());
    return offered;
}

nb::object check_specifier_in_dist(nb::handle self, nb::handle package_name,
                                   nb::handle version_spec, nb::handle extras) {
    rt::require_str(package_name, "package_name");
    rt::require_str(version_spec, "version_spec");
    rt::require_str_list_or_none(extras, "extras");
    if (!rt::truthy(global::packaging_available.get())) {
        host::log_debug("packaging library not available, cannot check distributions");
        return nb::none();
    }
    nb::object table = method::get_current_distributions.call(self);
    nb::object name = method::normalize_name.call(self, package_name);
    nb::object entry = PyDict_Check(table.ptr()) ? rt::dict_item(table, name)
                                                 : nb::object(table.attr("get")(name));
    if (!entry.is_valid() || entry.is_none()) return nb::none();

    RepoFinder* state = state_of(self);
    nb::object kept = state != nullptr ? state->distribution_facts : nb::object();
    nb::object key = rt::steal_or_throw(PyLong_FromVoidPtr(entry.ptr()));
    Facts facts = facts_of(kept, key, table, entry);
    if (!rt::truthy(facts.version)) return nb::none();
    if (rt::truthy(version_spec.attr("strip")()) &&
        !satisfies(package_name, version_spec, facts.version)) {
        return nb::none();
    }
    if (!extras.is_none() && PyList_GET_SIZE(extras.ptr()) > 0) {
        if (facts.offered_extras.is_none()) {
            facts.offered_extras = offered_extras(facts.metadata);
            // Kept, if this entry's facts still are, without the metadata it no longer needs.
            if (kept.is_valid() && record_of(kept, key, table, entry).is_valid()) {
                keep_record(kept, key, table, entry,
                            {facts.version, facts.offered_extras, nb::none()});
            }
        }
        for (nb::handle extra : nb::borrow<nb::list>(extras)) {
            int offered = PySet_Contains(facts.offered_extras.ptr(), extra.attr("lower")().ptr());
            if (offered < 0) rt::throw_pending();
            if (offered == 0) return nb::none();
        }
    }
    return facts.version;
}

}  // namespace

void bind_specifier_check(nb::handle cls) {
    def(cls, "check_specifier_in_dist", &check_specifier_in_dist, nb::arg("package_name").none(),
        nb::arg("version_spec").none(), nb::arg("extras").none() = nb::none());
}

}  // namespace quenlet::repo_finder
