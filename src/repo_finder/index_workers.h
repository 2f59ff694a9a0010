// The per-index workers, as the search starts them: one kind for each question an index is
// asked (does it have the package, or one version of it; its versions; a version's extras or
// dependencies).
#pragma once

#include "runtime/coroutine.h"

namespace quenlet::repo_finder {

struct WorkerKind;  // index_workers.cpp

namespace worker {
extern WorkerKind package_exists;
extern WorkerKind version_exists;
extern WorkerKind versions;
extern WorkerKind extras;
extern WorkerKind dependencies;
}  // namespace worker

// self.<kind's worker>(package_name, [version,] index_url), to be awaited: the native worker
// itself while the method is the class's own. `version` is passed only to the kinds that take one.
rt::Task start_worker(const WorkerKind& kind, nb::handle self, nb::handle package_name,
                      nb::handle version, nb::handle index_url);

// Whether `value` is a str with at least one character: only such an address is searched, and
// only such a pattern selects the API.
bool is_nonempty_str(nb::handle value);

}  // namespace quenlet::repo_finder
