// The runtime's Python types, made once per module by init_runtime() into its state. Internal.
#pragma once

#include "runtime/module_state.h"

namespace quenlet::rt {

void init_coroutine_type(ModuleState& state, const char* module_name);
void init_async_generator_types(ModuleState& state, const char* module_name);

// A heap type from `slots`, kept by the module's state.
PyTypeObject* make_type(const char* module_name, const char* type_name, int size,
                        PyType_Slot* slots);

}  // namespace quenlet::rt
