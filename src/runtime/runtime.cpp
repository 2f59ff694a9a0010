#include "runtime/runtime.h"

#include "runtime/imports.h"
#include "runtime/types.h"

namespace quenlet::rt {

PyObject* warnings_warn = nullptr;

void init_runtime(nb::module_&, const char* module_name) {
    import_runtime_modules();
    warnings_warn = nb::object(nb::module_::import_("warnings").attr("warn")).release().ptr();
    init_coroutine_type(module_name);
    init_async_generator_types(module_name);
}

}  // namespace quenlet::rt
