// What check_specifier_in_dist reads from a table entry, kept alongside the table. Reading a
// real distribution's metadata parses its METADATA file (85-180 us), which dwarfs the rest of a
// check; the table is a snapshot anyway (nothing installed meanwhile is seen until it is
// cleared), so what an entry's metadata says is read once per entry while its table stands.
//
// The facts belong to one table object and one entry object, compared by identity: a table that
// is rebuilt, cleared or replaced, or an entry that the host swaps for another, is read afresh.
#pragma once

#include "repo_finder/repo_finder.h"

namespace quenlet::repo_finder {

struct DistributionFacts {
    nb::object version;         // metadata.get("Version"), as the metadata gives it
    nb::object offered_extras;  // a set, or invalid until a check first asks for extras
    nb::object metadata;        // the entry's metadata, held only until the extras are known
};

// The facts of `entry` in `table`, read on first use. A copy: reading runs host code, which may
// itself check against another table and so start the facts over.
DistributionFacts distribution_facts(nb::handle table, nb::handle entry);

// Keeps the offered extras of `entry`, if `table` is still the one the facts belong to.
void remember_offered_extras(nb::handle table, nb::handle entry, nb::handle offered);

// Drops every fact (and the table they held), for clear_distributions_cache.
void forget_distribution_facts();

}  // namespace quenlet::repo_finder
