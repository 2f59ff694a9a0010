// RepoFinder's methods as its other methods call them: through Python, so that a subclass
// override or an instance attribute of the same name is honoured, or natively while
// `self.<name>` is still the class's own. Each is bound by the file of its concern.
#pragma once

#include "runtime/coroutine.h"
#include "runtime/overridable_method.h"

namespace quenlet::repo_finder {

namespace method {
inline rt::OverridableMethod get_pip_settings{"_get_pip_settings"};
inline rt::OverridableMethod get_pip_api_list{"_get_pip_api_list"};
inline rt::OverridableMethod get_session{"_get_session"};
inline rt::OverridableMethod normalize_name{"_normalize_name"};
inline rt::OverridableMethod get_api_pattern_for_index{"_get_api_pattern_for_index"};
inline rt::OverridableMethod get_current_distributions{"_get_current_distributions"};
inline rt::OverridableMethod parse_requirement{"_parse_requirement"};
}  // namespace method

// self._get_pip_api_list(), self._get_api_pattern_for_index(index_url) and self._get_session()
// (to be awaited), each run natively while it is the class's own.
nb::object pip_api_list_of(nb::handle self);
nb::object api_pattern_of(nb::handle self, nb::handle index_url);
rt::Task session_of(nb::handle self);

}  // namespace quenlet::repo_finder
