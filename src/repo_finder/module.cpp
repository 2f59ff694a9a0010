// quenlet_master.business_layer.packages.repo_finder: the package index client.
#include "repo_finder/finder_state.h"
#include "runtime/runtime.h"

namespace rf = quenlet::repo_finder;

NB_MODULE(repo_finder, module) {
    quenlet::rt::init_runtime(module, rf::module_name);

    rf::bind_module_names(module);
    rf::bind_dummy_types(module);
    rf::init_finder();

    nb::class_<rf::RepoFinder> cls(module, "RepoFinder", nb::dynamic_attr(),
                                   nb::is_weak_referenceable(), nb::type_slots(rf::finder_slots));
    rf::bind_construction(cls);
    rf::bind_pip_settings(cls);
    rf::bind_session(cls);
    rf::bind_resolution(cls);
    rf::bind_distributions(cls);
    rf::bind_specifier_check(cls);
    rf::bind_requirement_parsing(cls);
    rf::bind_search(cls);
    rf::bind_index_workers(cls);
}
