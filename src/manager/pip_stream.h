// The one pip run that every install streams: start pip as a child process, pass its output
// lines on as they arrive, wait for it to exit, and end with the final items; or turn a failure
// into one "error" item. A consumer that stops early takes the child down with it.
#pragma once

#include <functional>
#include <vector>

#include "runtime/python.h"

namespace quenlet::manager {

struct PipRun {
    nb::object command;     // the argument vector; its first item is the program
    nb::object env;         // the child's complete environment, or None to inherit ours
    nb::object target_dir;  // where pip installs; the "path" item
    nb::object package_spec;
    nb::object success_message;
    // Runs after pip succeeded, before the success items; its failure fails the install.
    std::function<void()> record;
    // The folder is this run's own: removed if the consumer abandons the run before it is
    // recorded, since nothing would ever find or reuse it.
    bool owns_target_dir = false;
};

// What an install settles before pip runs: either the items that answer it at once (a
// rejected spec, a cache hit) or the run to make. Errors raised here reach the consumer.
struct InstallPlan {
    std::vector<nb::object> answer;
    PipRun run;
};

// An asynchronous generator of output items. `plan` runs when the first item is requested.
nb::object stream_install(std::function<InstallPlan()> plan, const char* qualname);

// ("error", message) and the like.
nb::object output_item(const char* output_type, nb::handle content);

}  // namespace quenlet::manager
