#include "runtime/runtime.h"

#include "runtime/imports.h"
#include "runtime/types.h"

namespace quenlet::rt {

void init_runtime(nb::module_&, const char* module_name) {
    init_imports();
    init_coroutine_type(module_name);
    init_async_generator_types(module_name);
}

}  // namespace quenlet::rt
