// Importing what a module uses: `from module import name` as Python spells it, and the same for an
// optional library; and the modules and callables the runtime and both extension modules use on
// hot paths, imported when the module initialises and kept in its state.
#pragma once

#include "runtime/errors.h"
#include "runtime/module_state.h"

namespace quenlet::rt {

// `from module import name`: an ImportError, as Python raises it, when the module lacks the name.
nb::object import_from(const char* module, const char* name);

// `import module` (name null) or `from module import name` for an optional library: None when the
// import fails with ImportError.
nb::object import_optional(const char* module, const char* name = nullptr);

inline nb::handle asyncio_module() {
    return module_state()->asyncio;
}

// asyncio.get_event_loop(), the loop of the running coroutine.
inline nb::object event_loop() {
    return steal_or_throw(PyObject_CallNoArgs(module_state()->get_event_loop.ptr()));
}

}  // namespace quenlet::rt
