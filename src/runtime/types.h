// The runtime's Python types, created once per module by init_runtime(). Internal.
#pragma once

#include "runtime/python.h"

namespace quenlet::rt {

extern PyTypeObject* coroutine_type;
extern PyTypeObject* async_generator_type;
extern PyTypeObject* async_generator_asend_type;
extern PyTypeObject* async_generator_athrow_type;

// warnings.warn, for the warnings the runtime's types give.
extern PyObject* warnings_warn;

void init_coroutine_type(const char* module_name);
void init_async_generator_types(const char* module_name);

}  // namespace quenlet::rt
