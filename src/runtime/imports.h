// Python modules and callables the runtime and both extension modules use on hot paths, imported
// when the module initialises and kept in its state.
#pragma once

#include "runtime/errors.h"
#include "runtime/module_state.h"

namespace quenlet::rt {

inline nb::handle asyncio_module() {
    return module_state()->asyncio;
}

// asyncio.get_event_loop(), the loop of the running coroutine.
inline nb::object event_loop() {
    return steal_or_throw(PyObject_CallNoArgs(module_state()->get_event_loop.ptr()));
}

}  // namespace quenlet::rt
