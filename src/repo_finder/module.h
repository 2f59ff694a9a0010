// The index client module: its name, its one class, and the functions with which each concern
// binds its part; module.cpp calls them in the class's method order.
#pragma once

#include "runtime/python.h"

namespace quenlet::repo_finder {

namespace rt = quenlet::rt;

inline constexpr const char* module_name = "quenlet_master.business_layer.packages.repo_finder";

// cls.def(name, function, extra...) as nanobind's class_ has it, for the concerns that bind
// onto the class without seeing a RepoFinder's native state.
template <class Function, class... Extra>
void def(nb::handle cls, const char* name, Function&& function, const Extra&... extra) {
    nb::cpp_function_def(std::forward<Function>(function), nb::scope(cls), nb::name(name),
                         nb::is_method(), extra...);
}

// Module set-up, in binding order: the standard and optional libraries, the flags and the
// logger; then the two stand-in types for standard-library modules.
void bind_module_names(nb::module_& module);
void bind_dummy_types(nb::module_& module);
void init_finder();  // what the finder path keeps: a compiled pattern

// The class's concerns, in method order.
void bind_construction(nb::handle cls);     // __init__
void bind_pip_settings(nb::handle cls);     // _get_pip_settings, _get_pip_api_list
void bind_session(nb::handle cls);          // _get_session, close
void bind_resolution(nb::handle cls);       // _normalize_name, _normalize_url,
                                            // _get_api_pattern_for_index
void bind_distributions(nb::handle cls);    // _get_current_distributions, clear_distributions_cache
void bind_specifier_check(nb::handle cls);  // check_specifier_in_dist
void bind_requirement_parsing(nb::handle cls);  // _parse_requirement
// find_repo_for_package, find_repo_for_package_version, get_versions, get_extras,
// get_dependencies
void bind_search(nb::handle cls);
// For each kind of per-index worker, _<kind>_in_index / _from_index and _<kind>_via_unearth.
void bind_index_workers(nb::handle cls);

}  // namespace quenlet::repo_finder
