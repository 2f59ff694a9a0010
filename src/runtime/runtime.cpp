#include "runtime/runtime.h"

#include <string>

#include "runtime/errors.h"
#include "runtime/module_state.h"
#include "runtime/types.h"

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

PyTypeObject* make_type(const char* module_name, const char* type_name, int size,
                        PyType_Slot* slots) {
    std::string name = std::string(module_name) + "." + type_name;
    PyType_Spec spec = {name.c_str(), size, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
    nb::handle type = keep(steal_or_throw(PyType_FromSpec(&spec)));
    return reinterpret_cast<PyTypeObject*>(type.ptr());
}

}  // namespace quenlet::rt
