#include "runtime/module_globals.h"

#include "runtime/errors.h"
#include "runtime/values.h"

namespace quenlet::rt {

namespace {
PyObject* module_namespace = nullptr;
}

void bind_module_globals(nb::module_& module) {
    module_namespace = nb::borrow(PyModule_GetDict(module.ptr())).release().ptr();
}

nb::object ModuleGlobal::get() const {
    nb::object value = dict_item(module_namespace, key_.get());
    if (!value.is_valid()) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name());
        throw_pending();
    }
    return value;
}

}  // namespace quenlet::rt
