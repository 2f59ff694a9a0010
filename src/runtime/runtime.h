// Entry point of the native runtime that both extension modules share.
#pragma once

#include "runtime/python.h"

namespace quenlet::rt {

// Makes the state of the module being initialised (module_state.h) and the runtime's Python
// types in it. Called first from each module's init function; `module_name` prefixes the types'
// names.
void init_runtime(nb::module_& module, const char* module_name);

}  // namespace quenlet::rt
