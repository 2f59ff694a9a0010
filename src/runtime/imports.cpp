#include "runtime/imports.h"

#include "runtime/errors.h"

namespace quenlet::rt {

namespace {
// Set while the module initialises, before any operation can run: an import here, under a
// C++ static's guard, would let a second thread wait on the guard while holding the GIL.
PyObject* asyncio = nullptr;
PyObject* get_event_loop = nullptr;
}  // namespace

void import_runtime_modules() {
    nb::object module = nb::module_::import_("asyncio");
    get_event_loop = nb::object(module.attr("get_event_loop")).release().ptr();
    asyncio = module.release().ptr();
}

nb::handle asyncio_module() {
    return asyncio;
}

nb::object event_loop() {
    return steal_or_throw(PyObject_CallNoArgs(get_event_loop));
}

}  // namespace quenlet::rt
