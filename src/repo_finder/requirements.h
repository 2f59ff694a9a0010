// What the index client reads from requirement strings ("Requires-Dist").
#pragma once

#include "runtime/python.h"

namespace quenlet::repo_finder {

// self._parse_requirement(requirement) for each of `requirements`, in order: the records that
// are true.
nb::list parse_requirements(nb::handle self, nb::handle requirements);

// The extras that requirement strings are conditional on: from each string holding "extra ==",
// the first name in extra\s*==\s*["']([^"']+)["'], spelled as written. A non-string entry
// fails as the substring test and the search would fail on it in Python.
nb::set marker_extras(nb::handle requirements);

}  // namespace quenlet::repo_finder
