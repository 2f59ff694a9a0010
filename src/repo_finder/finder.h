// What the per-index workers share on the finder path: the hand-off to the executor, a
// PackageFinder for one index, and the requirements of the file it picks for one version.
#pragma once

#include <functional>

#include "repo_finder/repo_finder.h"

namespace quenlet::repo_finder {

// asyncio.get_event_loop().run_in_executor(None, self.<worker>, args...), to be awaited. The
// worker is looked up on the object, so an override is what runs.
template <class... Args>
nb::object in_executor(nb::handle self, const Member& worker, Args... args) {
    nb::object loop = global::asyncio().get().attr("get_event_loop")();
    return loop.attr("run_in_executor")(nb::none(), worker.get(self), args...);
}

// Runs `work` with a new PackageFinder (the module's, as it is now) that knows only
// `index_url`, then releases the finder's connections, whatever `work` did.
nb::object with_finder(nb::handle index_url, const std::function<nb::object(nb::handle)>& work);

// "{package_name}=={version}", the finder's requirement for exactly one version.
nb::object exact_requirement(nb::handle package_name, nb::handle version);

// The "Requires-Dist" strings of the file that finder.find_best_match picks for exactly
// `version`, read from that file's metadata; an empty list when there is no such file, it has
// no link, no metadata can be had for it (an sdist) or the metadata names no requirement.
nb::object best_file_requirements(nb::handle finder, nb::handle package_name, nb::handle version);

}  // namespace quenlet::repo_finder
