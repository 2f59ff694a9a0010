// The module's names, bound at import in this order: standard modules, optional libraries with
// their flags, the host's logger. An optional library that fails to import leaves None behind
// and a false flag; the host's logging module has no fallback.
#include "repo_finder/module_names.h"

#include "host_interfaces/logger.h"
#include "repo_finder/module.h"
#include "runtime/errors.h"

namespace quenlet::repo_finder {

nb::object import_from(const char* module, const char* name) {
    nb::object imported = nb::module_::import_(module);
    PyObject* value = PyObject_GetAttrString(imported.ptr(), name);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) rt::throw_pending();
        PyErr_Clear();
        rt::throw_error(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
    }
    return nb::steal(value);
}

namespace {

// The same for an optional library: None when the import fails with ImportError.
nb::object import_optional(const char* module, const char* name) {
    try {
        return name == nullptr ? nb::module_::import_(module) : import_from(module, name);
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_ImportError)) throw;
        return nb::none();
    }
}

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

    bind(module, global::aiohttp, import_optional("aiohttp", nullptr));

    nb::object package_finder = import_optional("unearth", "PackageFinder");
    bind(module, global::package_finder, package_finder);
    bind(module, global::unearth_available, nb::bool_(!package_finder.is_none()));

    nb::object specifier_set = import_optional("packaging.specifiers", "SpecifierSet");
    nb::object version = nb::none();
    if (!specifier_set.is_none()) version = import_optional("packaging.version", "Version");
    if (version.is_none()) specifier_set = nb::none();
    bind(module, global::specifier_set, specifier_set);
    bind(module, global::version, version);
    bind(module, global::packaging_available, nb::bool_(!version.is_none()));

    module.attr("get_logger") = import_from("quenlet_master.config.logging_config", "get_logger");
    host::bind_logger(module, module_name);
}

}  // namespace quenlet::repo_finder
