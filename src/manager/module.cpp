// The module's names, bound in the order the host sees them: the standard modules, aiohttp
// when it is installed, the host's services and logging, the constants, validation and the
// PackageManager class.
#include "host_interfaces/logger.h"
#include "manager/manager.h"
#include "manager/pip_output.h"
#include "runtime/errors.h"
#include "runtime/imports.h"
#include "runtime/module_globals.h"
#include "runtime/runtime.h"

namespace manager = quenlet::manager;
namespace rt = quenlet::rt;

namespace {

constexpr const char* valid_package_pattern =
    R"(^[a-zA-Z0-9][a-zA-Z0-9._-]*(\[[a-zA-Z0-9,._-]+\])?(==|>=|<=|>|<|!=|~=)?[a-zA-Z0-9._-]*$)";

}  // namespace

NB_MODULE(manager, m) {
    rt::init_runtime(m, manager::module_name);

    m.attr("asyncio") = nb::module_::import_("asyncio");
    m.attr("os") = nb::module_::import_("os");
    m.attr("re") = nb::module_::import_("re");
    m.attr("aiohttp") = rt::import_optional("aiohttp");

    m.attr("PackageCache") =
        rt::import_from("quenlet_master.business_layer.packages.package_cache", "PackageCache");
    m.attr("PipCommandBuilder") = rt::import_from(
        "quenlet_master.business_layer.packages.pip_command_builder", "PipCommandBuilder");
    m.attr("VersionResolver") = rt::import_from(
        "quenlet_master.business_layer.packages.version_resolver", "VersionResolver");
    m.attr("ExtrasResolver") =
        rt::import_from("quenlet_master.business_layer.packages.extras_resolver", "ExtrasResolver");
    m.attr("setup_logging_subprocess") =
        rt::import_from("quenlet_master.config.logging_config", "setup_logging_subprocess");
    m.attr("get_logger") = rt::import_from("quenlet_master.config.logging_config", "get_logger");
    quenlet::host::bind_logger(m, manager::module_name);

    m.attr("DEFAULT_CACHE_DIR") = manager::default_cache_dir;
    m.attr("VALID_PACKAGE_PATTERN") = m.attr("re").attr("compile")(valid_package_pattern);
    manager::init_validation();
    m.def("validate_package_spec", &manager::validate_package_spec, nb::arg("package_spec").none(),
          "Check a package specification before it reaches pip's command line: "
          "(is_valid, error_message).");

    nb::class_<manager::PackageManager>(m, "PackageManager", nb::dynamic_attr(),
                                        nb::is_weak_referenceable(),
                                        "Installs packages with pip into a base directory's "
                                        "hidden package cache and answers package queries.")
        .def("__init__", &manager::init_package_manager, nb::arg("base_dir").none() = nb::none(),
             nb::arg("settings_manager").none() = nb::none())
        .def("get_target_dir", &manager::get_target_dir)
        .def("ensure_cache_dir", &manager::ensure_cache_dir)
        .def("install_package", &manager::install_package, nb::arg("package_spec").none(),
             nb::arg("target_dir").none() = nb::none())
        .def("get_installation_path", &manager::get_installation_path)
        .def("get_available_versions", &manager::get_available_versions,
             nb::arg("package_name").none())
        .def("get_package_extras", &manager::get_package_extras, nb::arg("package_name").none(),
             nb::arg("version").none() = nb::none())
        .def("get_package_info", &manager::get_package_info, nb::arg("package_name").none())
        .def("install_package_to_cache", &manager::install_package_to_cache,
             nb::arg("package_name").none(), nb::arg("version").none(),
             nb::arg("extras").none() = nb::none(), nb::arg("env").none() = nb::none())
        .def("install_package_no_deps", &manager::install_package_no_deps,
             nb::arg("package_name").none(), nb::arg("version").none(),
             nb::arg("extras").none() = nb::none());

    manager::bind_pip_output(m);
}
