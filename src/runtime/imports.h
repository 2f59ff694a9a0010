// Python modules and callables the runtime and both extension modules use on hot paths, imported
// when the module initialises and kept in its state.
#pragma once

#include "runtime/python.h"

namespace quenlet::rt {

nb::handle asyncio_module();

// asyncio.get_event_loop(), the loop of the running coroutine.
nb::object event_loop();

}  // namespace quenlet::rt
