// Entry point of the native runtime that both extension modules share.
#pragma once

#include "runtime/python.h"

namespace quenlet::rt {

// Creates the runtime's Python types for the module being initialised. Called once from each
// module's init function; `module_name` prefixes the types' names.
void init_runtime(nb::module_& module, const char* module_name);

}  // namespace quenlet::rt
