// Python modules and callables the runtime and both extension modules use on hot paths, imported
// once. The references are deliberately never released: they must outlive every frame, and the
// interpreter tears modules down itself at exit.
#pragma once

#include "runtime/python.h"

namespace quenlet::rt {

// Imports them; called by init_runtime().
void init_imports();

nb::handle asyncio_module();

// asyncio.get_event_loop(), the loop of the running coroutine.
nb::object event_loop();

}  // namespace quenlet::rt
