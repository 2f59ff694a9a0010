// The module's names, bound at import in this order: standard modules, optional libraries with
// their flags, the host's logger. An optional library that fails to import leaves None behind
// and a false flag; the host's logging module has no fallback.
#include "host_interfaces/logger.h"
#include "repo_finder/repo_finder.h"

namespace quenlet::repo_finder {

namespace global {
const rt::ModuleGlobal& asyncio() {
    static const rt::ModuleGlobal name("asyncio");
    return name;
}
const rt::ModuleGlobal& importlib() {
    static const rt::ModuleGlobal name("importlib");
    return name;
}
const rt::ModuleGlobal& sys() {
    static const rt::ModuleGlobal name("sys");
    return name;
}
const rt::ModuleGlobal& aiohttp() {
    static const rt::ModuleGlobal name("aiohttp");
    return name;
}
const rt::ModuleGlobal& package_finder() {
    static const rt::ModuleGlobal name("PackageFinder");
    return name;
}
const rt::ModuleGlobal& unearth_available() {
    static const rt::ModuleGlobal name("UNEARTH_AVAILABLE");
    return name;
}
const rt::ModuleGlobal& specifier_set() {
    static const rt::ModuleGlobal name("SpecifierSet");
    return name;
}
const rt::ModuleGlobal& version() {
    static const rt::ModuleGlobal name("Version");
    return name;
}
const rt::ModuleGlobal& packaging_available() {
    static const rt::ModuleGlobal name("PACKAGING_AVAILABLE");
    return name;
}
}  // namespace global

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
    bind(module, global::asyncio(), nb::module_::import_("asyncio"));
    module.attr("re") = nb::module_::import_("re");
    bind(module, global::sys(), nb::module_::import_("sys"));
    // Bound as `import importlib.metadata` binds it: the top-level package.
    bind(module, global::importlib(),
         rt::steal_or_throw(
             PyImport_ImportModuleLevel("importlib.metadata", nullptr, nullptr, nullptr, 0)));

    bind(module, global::aiohttp(), import_optional("aiohttp", nullptr));

    nb::object package_finder = import_optional("unearth", "PackageFinder");
    bind(module, global::package_finder(), package_finder);
    bind(module, global::unearth_available(), nb::bool_(!package_finder.is_none()));

    nb::object specifier_set = import_optional("packaging.specifiers", "SpecifierSet");
    nb::object version = nb::none();
    if (!specifier_set.is_none()) version = import_optional("packaging.version", "Version");
    if (version.is_none()) specifier_set = nb::none();
    bool packaging_available = !version.is_none();
    bind(module, global::specifier_set(), specifier_set);
    bind(module, global::version(), version);
    bind(module, global::packaging_available(), nb::bool_(packaging_available));

    module.attr("get_logger") = import_from("quenlet_master.config.logging_config", "get_logger");
    host::bind_logger(module, module_name);
}

}  // namespace quenlet::repo_finder
