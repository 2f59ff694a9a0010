// Module-level names that operations read when they run, never at import, so that a host (or a
// test) may replace them afterwards. Missing optional libraries are None, their flags false.
#pragma once

#include "runtime/module_globals.h"

namespace quenlet::repo_finder::global {

inline const rt::ModuleGlobal asyncio{"asyncio"};
inline const rt::ModuleGlobal importlib{"importlib"};
inline const rt::ModuleGlobal sys{"sys"};
inline const rt::ModuleGlobal aiohttp{"aiohttp"};
inline const rt::ModuleGlobal package_finder{"PackageFinder"};
inline const rt::ModuleGlobal unearth_available{"UNEARTH_AVAILABLE"};
inline const rt::ModuleGlobal specifier_set{"SpecifierSet"};
inline const rt::ModuleGlobal version{"Version"};
inline const rt::ModuleGlobal packaging_available{"PACKAGING_AVAILABLE"};

}  // namespace quenlet::repo_finder::global
