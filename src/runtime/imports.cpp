#include "runtime/imports.h"

namespace quenlet::rt {

nb::handle asyncio_module() {
    static PyObject* module = nb::module_::import_("asyncio").release().ptr();
    return module;
}

nb::object event_loop() {
    static PyObject* get_event_loop =
        nb::getattr(asyncio_module(), "get_event_loop").release().ptr();
    return nb::handle(get_event_loop)();
}

}  // namespace quenlet::rt
