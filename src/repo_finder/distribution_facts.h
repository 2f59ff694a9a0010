// What check_specifier_in_dist reads from a table entry, kept by the finder beside its table.
// Reading a real distribution's metadata parses its METADATA file, which dwarfs the rest of a
// check; the table is a snapshot anyway (nothing installed meanwhile is seen until it is
// cleared), so what an entry's metadata says is read once per entry while its table stands.
//
// The facts belong to one table object and one entry object, compared by identity: a table that
// is rebuilt, cleared or replaced, or an entry that the host swaps for another, is read afresh.
// They are kept for the table last checked against, at most one record per entry of it.
#pragma once

#include "repo_finder/repo_finder.h"

namespace quenlet::repo_finder {

struct DistributionFacts {
    nb::object version;         // metadata.get("Version"), as the metadata gives it
    nb::object offered_extras;  // a set, or invalid until a check first asks for extras
    nb::object metadata;        // the entry's metadata, held only until the extras are known
};

// The facts of `entry` in `table`, read on first use and kept in `state` (which may be null:
// then nothing is kept).
DistributionFacts distribution_facts(RepoFinder* state, nb::handle table, nb::handle entry);

// Keeps the offered extras of `entry`, if its facts in `table` are still kept.
void remember_offered_extras(RepoFinder* state, nb::handle table, nb::handle entry,
                             const DistributionFacts& facts);

// Drops every fact, for clear_distributions_cache.
void forget_distribution_facts(RepoFinder* state);

}  // namespace quenlet::repo_finder
