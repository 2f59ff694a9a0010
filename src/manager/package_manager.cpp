// PackageManager's construction and its hidden cache directory.
#include "manager/manager.h"
#include "runtime/arguments.h"
#include "runtime/errors.h"

namespace quenlet::manager {

using namespace nb::literals;

namespace {

// The host's service classes, read at construction so a host or test may substitute them.
const rt::ModuleGlobal package_cache_class("PackageCache");
const rt::ModuleGlobal pip_command_builder_class("PipCommandBuilder");
const rt::ModuleGlobal version_resolver_class("VersionResolver");
const rt::ModuleGlobal extras_resolver_class("ExtrasResolver");

}  // namespace

void init_package_manager(nb::handle self, nb::handle base_dir, nb::handle settings_manager) {
    rt::require_str_or_none(base_dir, "base_dir");
    nb::object os = os_global.get();
    nb::object base;
    if (!base_dir.is_none() && PyUnicode_GET_LENGTH(base_dir.ptr()) > 0) {
        base = nb::borrow(base_dir);
    } else {
        base = os.attr("getcwd")();
    }
    nb::setattr(self, "base_dir", base);
    nb::setattr(self, "cache_dir", os.attr("path").attr("join")(base, default_cache_dir));
    nb::setattr(self, "settings_manager", settings_manager);
    // The package cache is given the base directory: it keeps its records in the same hidden
    // folder, which it derives itself.
    nb::setattr(self, "package_cache", package_cache_class.get()("cache_dir"_a = base));
    nb::setattr(self, "pip_command_builder", pip_command_builder_class.get()(settings_manager));
    nb::setattr(self, "version_resolver", version_resolver_class.get()(settings_manager));
    nb::setattr(self, "extras_resolver", extras_resolver_class.get()(settings_manager));
}

nb::object get_target_dir(nb::handle self) {
    // Resolved on every call: a relative base directory follows the working directory.
    return os_global.get().attr("path").attr("abspath")(self.attr("cache_dir"));
}

nb::object ensure_cache_dir(nb::handle self) {
    nb::object path = self.attr("get_target_dir")();
    os_global.get().attr("makedirs")(path, "exist_ok"_a = true);
    return path;
}

nb::object get_installation_path(nb::handle self) {
    return self.attr("get_target_dir")();
}

}  // namespace quenlet::manager
