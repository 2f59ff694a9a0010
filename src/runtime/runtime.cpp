#include "runtime/runtime.h"

#include "runtime/errors.h"
#include "runtime/frame_object.h"
#include "runtime/module_state.h"

namespace quenlet::rt {

void init_runtime(nb::module_& module, const char* module_name) {
    create_module_state(module);
    ModuleState& state = *module_state();
    state.asyncio = nb::module_::import_("asyncio");
    state.get_event_loop = state.asyncio.attr("get_event_loop");
    state.get_asyncgen_hooks = nb::module_::import_("sys").attr("get_asyncgen_hooks");
    state.warnings_warn = nb::module_::import_("warnings").attr("warn");
    init_coroutine_type(state, module_name);
    init_async_generator_types(state, module_name);
}

}  // namespace quenlet::rt
