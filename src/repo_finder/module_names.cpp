// The module's names, bound at import in this order: standard modules, optional libraries with
// their flags, the host's logger. An optional library that fails to import leaves None behind
// and a false flag; the host's logging module has no fallback.
#include "repo_finder/module_names.h"

#include "host_interfaces/logger.h"
#include "repo_finder/module.h"
#include "runtime/errors.h"
#include "runtime/imports.h"

namespace quenlet::repo_finder {

namespace {

void bind(nb::module_& module, const rt::ModuleGlobal& global, nb::handle value) {
    module.attr(global.name()) = value;
}

}  // namespace

void bind_module_names(nb::module_& module) {
    bind(module, global::asyncio, nb::module_::import_("asyncio"));
    module.attr("re") = nb::module_::import_("re");
    bind(module, global::sys, nb::module_::import_("sys"));
    // Bound as `import importlib.metadata` binds it: the top-level package.
    bind(module, global::importlib,
         rt::steal_or_throw(
             PyImport_ImportModuleLevel("importlib.metadata", nullptr, nullptr, nullptr, 0)));

    bind(module, global::aiohttp, rt::import_optional("aiohttp"));

    nb::object package_finder = rt::import_optional("unearth", "PackageFinder");
    bind(module, global::package_finder, package_finder);
    bind(module, global::unearth_available, nb::bool_(!package_finder.is_none()));

    nb::object specifier_set = rt::import_optional("packaging.specifiers", "SpecifierSet");
    nb::object version = nb::none();
    if (!specifier_set.is_none()) version = rt::import_optional("packaging.version", "Version");
    if (version.is_none()) specifier_set = nb::none();
    bind(module, global::specifier_set, specifier_set);
    bind(module, global::version, version);
    bind(module, global::packaging_available, nb::bool_(!version.is_none()));

    module.attr("get_logger") =
        rt::import_from("quenlet_master.config.logging_config", "get_logger");
    host::bind_logger(module, module_name);
}

}  // namespace quenlet::repo_finder
