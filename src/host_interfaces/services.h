// The four host services that PackageManager builds and calls (package cache, pip command
// builder, version and extras resolvers). Each wrapper is a typed view of the object the manager
// holds in its attribute at the moment of the call, so a host that swaps one is honoured.
#pragma once

#include <utility>

#include "runtime/python.h"

namespace quenlet::host {

class PackageCache {
  public:
    explicit PackageCache(nb::object cache) noexcept : cache_(std::move(cache)) {}

    // The folder of a recorded install, or a false value (None, "") when there is none.
    nb::object get_cached_package(nb::handle name, nb::handle version, nb::handle extras_key) const;
    // (install_uuid, install_path) for a new install; unpacked from any 2-item iterable.
    std::pair<nb::object, nb::object> generate_install_path() const;
    nb::object get_current_platform() const;
    nb::object get_python_version() const;
    void add_cached_package(nb::handle install_uuid, nb::handle name, nb::handle version,
                            nb::handle extras_key, nb::handle platform, nb::handle python_version,
                            nb::handle install_path) const;

  private:
    nb::object cache_;
};

class PipCommandBuilder {
  public:
    explicit PipCommandBuilder(nb::object builder) noexcept : builder_(std::move(builder)) {}

    // A complete argument vector (a sequence of str) whose first item is the program.
    nb::object build_install_command(nb::handle spec, nb::handle target_dir) const;
    // The same without dependencies and preferring binary distributions.
    nb::object build_cache_install_command(nb::handle spec, nb::handle target_dir) const;

  private:
    nb::object builder_;
};

class VersionResolver {
  public:
    explicit VersionResolver(nb::object resolver) noexcept : resolver_(std::move(resolver)) {}
    // An awaitable of a list of versions, newest first.
    nb::object get_available_versions(nb::handle name) const;

  private:
    nb::object resolver_;
};

class ExtrasResolver {
  public:
    explicit ExtrasResolver(nb::object resolver) noexcept : resolver_(std::move(resolver)) {}
    // An awaitable of a list of extra names; version None asks for the latest version.
    nb::object get_package_extras(nb::handle name, nb::handle version) const;

  private:
    nb::object resolver_;
};

}  // namespace quenlet::host
