#include "runtime/imports.h"

#include "runtime/errors.h"
#include "runtime/module_state.h"

namespace quenlet::rt {

nb::handle asyncio_module() {
    return module_state()->asyncio;
}

nb::object event_loop() {
    return steal_or_throw(PyObject_CallNoArgs(module_state()->get_event_loop.ptr()));
}

}  // namespace quenlet::rt
