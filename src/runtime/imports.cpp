#include "runtime/imports.h"

namespace quenlet::rt {

namespace {
// Set while the module initialises, not on first use: the import may run Python code (an import
// hook), which may let another thread in, and a guard held across it would deadlock that thread.
PyObject* asyncio = nullptr;
PyObject* get_event_loop = nullptr;
}  // namespace

void init_imports() {
    nb::object module = nb::module_::import_("asyncio");
    get_event_loop = nb::getattr(module, "get_event_loop").release().ptr();
    asyncio = module.release().ptr();
}

nb::handle asyncio_module() {
    return asyncio;
}

nb::object event_loop() {
    return nb::handle(get_event_loop)();
}

}  // namespace quenlet::rt
