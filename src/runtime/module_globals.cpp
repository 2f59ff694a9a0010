#include "runtime/module_globals.h"

#include "runtime/errors.h"

namespace quenlet::rt {

namespace {
PyObject* module_namespace = nullptr;
}

void bind_module_globals(nb::module_& module) {
    module_namespace = nb::borrow(PyModule_GetDict(module.ptr())).release().ptr();
}

nb::object ModuleGlobal::get() const {
    PyObject* value = PyDict_GetItemWithError(module_namespace, key_.get().ptr());
    if (value == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name());
        throw_pending();
    }
    return nb::borrow(value);
}

}  // namespace quenlet::rt
