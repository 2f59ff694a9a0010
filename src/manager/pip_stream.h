// The one pip run that every install streams: start pip as a child process, pass its output
// lines on as they arrive, wait for it to exit, and end with the final items; or turn a failure
// into one "error" item. A consumer that stops early takes the child down with it.
#pragma once

#include <optional>
#include <vector>

#include "runtime/async_generator.h"

namespace quenlet::manager {

// The record a cache install makes once pip has succeeded: the package cache's entry for the
// folder pip installed into.
struct CacheRecord {
    nb::object cache;  // the manager's package_cache
    nb::object install_uuid, package_name, version, extras_key;

    void add(nb::handle target_dir) const;  // installs.cpp
    int traverse(visitproc visit, void* arg) const noexcept;
};

struct PipRun {
    nb::object command;     // the argument vector; its first item is the program
    nb::object env;         // the child's complete environment, or None to inherit ours
    nb::object target_dir;  // where pip installs; the "path" item
    nb::object package_spec;
    nb::object success_message;
    // Made after pip succeeded, before the success items; its failure fails the install.
    std::optional<CacheRecord> record;
    // The folder is this run's own: removed if the consumer abandons the run before it is
    // recorded, since nothing would ever find or reuse it.
    bool owns_target_dir = false;

    int traverse(visitproc visit, void* arg) const noexcept;
};

// What an install settles before pip runs: either the items that answer it at once (a
// rejected spec, a cache hit) or the run to make. Errors raised here reach the consumer.
struct InstallPlan {
    std::vector<nb::object> answer;
    PipRun run;

    int traverse(visitproc visit, void* arg) const noexcept;
};

// Settles an install of `self` from the operation's `arguments` (a tuple).
using Planner = InstallPlan (*)(nb::handle self, nb::handle arguments);

// An asynchronous generator of output items. `planner` runs when the first item is requested.
rt::AsyncGenerator stream_install(Planner planner, nb::object self, nb::object arguments);

// ("error", message) and the like.
nb::object output_item(const char* output_type, nb::handle content);

}  // namespace quenlet::manager
