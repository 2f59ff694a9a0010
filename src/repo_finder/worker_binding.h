// Binding the per-index worker coroutines: every argument is a str, checked in the call itself,
// before a coroutine is created.
#pragma once

#include "repo_finder/repo_finder.h"
#include "runtime/coroutine.h"

namespace quenlet::repo_finder {

// cls.<name>(package_name, index_url)
using PackageWorker = rt::Task (*)(nb::object self, nb::object package_name, nb::object index_url);
// cls.<name>(package_name, version, index_url)
using VersionWorker = rt::Task (*)(nb::object self, nb::object package_name, nb::object version,
                                   nb::object index_url);

// `qualname` names the coroutine objects (static storage).
void def_worker(Class& cls, const char* name, const char* qualname, PackageWorker worker);
void def_worker(Class& cls, const char* name, const char* qualname, VersionWorker worker);

}  // namespace quenlet::repo_finder
