// RepoFinder(settings_manager): stores its fields and nothing else; no setting is read and no
// session opened until a query needs them.
#include "repo_finder/repo_finder.h"

namespace quenlet::repo_finder {

void bind_construction(Class& cls) {
    cls.def(
        "__init__",
        [](nb::handle self, nb::handle settings_manager) {
            field::settings_manager.set(self, settings_manager);
            field::session.set(self, nb::none());
            field::metadata_cache.set(self, nb::dict());
            field::distributions_cache.set(self, nb::none());
        },
        nb::arg("settings_manager").none());
}

}  // namespace quenlet::repo_finder
