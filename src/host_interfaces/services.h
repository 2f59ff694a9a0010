// The host services the modules call: the four that PackageManager builds (package cache, pip
// command builder, version and extras resolvers) and the settings manager a RepoFinder is given.
// Each wrapper is a typed view of the object its owner holds in its attribute at the moment of
// the call, so a host that swaps one is honoured.
#pragma once

#include <utility>

#include "runtime/interned_name.h"
#include "runtime/python.h"

namespace quenlet::host {

class Service {
  public:
    explicit Service(nb::object service) noexcept : service_(std::move(service)) {}

  protected:
    nb::object service_;
};

class PackageCache : Service {
  public:
    using Service::Service;

    // The folder of a recorded install, or a false value (None, "") when there is none.
    nb::object get_cached_package(nb::handle name, nb::handle version,
                                  nb::handle extras_key) const {
        return service_.attr("get_cached_package")(name, version, extras_key);
    }
    // (install_uuid, install_path) for a new install; unpacked from any 2-item iterable.
    std::pair<nb::object, nb::object> generate_install_path() const;
    nb::object get_current_platform() const { return service_.attr("get_current_platform")(); }
    nb::object get_python_version() const { return service_.attr("get_python_version")(); }
    void add_cached_package(nb::handle install_uuid, nb::handle name, nb::handle version,
                            nb::handle extras_key, nb::handle platform, nb::handle python_version,
                            nb::handle install_path) const {
        service_.attr("add_cached_package")(install_uuid, name, version, extras_key, platform,
                                            python_version, install_path);
    }
};

class PipCommandBuilder : Service {
  public:
    using Service::Service;

    // A complete argument vector (a sequence of str) whose first item is the program.
    nb::object build_install_command(nb::handle spec, nb::handle target_dir) const {
        return service_.attr("build_install_command")(spec, target_dir);
    }
    // The same without dependencies and preferring binary distributions.
    nb::object build_cache_install_command(nb::handle spec, nb::handle target_dir) const {
        return service_.attr("build_install_command")(spec, target_dir, nb::arg("no_deps") = true,
                                                      nb::arg("prefer_binary") = true);
    }
};

class VersionResolver : Service {
  public:
    using Service::Service;

    // An awaitable of a list of versions, newest first.
    nb::object get_available_versions(nb::handle name) const {
        return service_.attr("get_available_versions")(name);
    }
};

class ExtrasResolver : Service {
  public:
    using Service::Service;

    // An awaitable of a list of extra names; version None asks for the latest version.
    nb::object get_package_extras(nb::handle name, nb::handle version) const {
        return service_.attr("get_package_extras")(name, version);
    }
};

// Any object with get(key, default), or None. A missing or false manager means "use the
// defaults and ask nothing".
class Settings : Service {
  public:
    using Service::Service;

    // Tests the manager's truth value (which may call into the host and raise).
    bool present() const;

    // manager.get(key, fallback); only call when present(). Keys are interned: queries read the
    // settings on every call.
    nb::object get(const rt::InternedName& key, nb::handle fallback) const;
};

}  // namespace quenlet::host
