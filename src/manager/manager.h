// The `manager` module: validation of package specifications, the PackageManager object, its
// pip installs streamed line by line, and its package queries. module.cpp binds the functions
// declared here in the order the module and the class present them.
#pragma once

#include <string>

#include "runtime/module_globals.h"

namespace quenlet::manager {

inline constexpr const char* module_name = "quenlet_master.business_layer.packages.manager";
inline constexpr const char* default_cache_dir = ".quenlet_packages";

// The C++ side of PackageManager: empty, its state lives in the instance __dict__.
struct PackageManager {};

// validation.cpp
void init_validation();
nb::object validate_package_spec(nb::handle package_spec);

// package_manager.cpp
void init_package_manager(nb::handle self, nb::handle base_dir, nb::handle settings_manager);
nb::object get_target_dir(nb::handle self);
nb::object ensure_cache_dir(nb::handle self);
nb::object get_installation_path(nb::handle self);

// installs.cpp
nb::object install_package(nb::handle self, nb::handle package_spec, nb::handle target_dir);
nb::object install_package_to_cache(nb::handle self, nb::handle package_name, nb::handle version,
                                    nb::handle extras, nb::handle env);
nb::object install_package_no_deps(nb::handle self, nb::handle package_name, nb::handle version,
                                   nb::handle extras);

// queries.cpp
nb::object get_available_versions(nb::handle self, nb::handle package_name);
nb::object get_package_extras(nb::handle self, nb::handle package_name, nb::handle version);
nb::object get_package_info(nb::handle self, nb::handle package_name);

// The module's standard `os` module, read when used so a host or test may replace it.
inline const rt::ModuleGlobal os_global{"os"};

}  // namespace quenlet::manager
