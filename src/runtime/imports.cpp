#include "runtime/imports.h"

namespace quenlet::rt {

nb::object import_from(const char* module, const char* name) {
    nb::object imported = nb::module_::import_(module);
    PyObject* value = PyObject_GetAttrString(imported.ptr(), name);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
        PyErr_Clear();
        throw_error(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
    }
    return nb::steal(value);
}

nb::object import_optional(const char* module, const char* name) {
    try {
        return name == nullptr ? nb::module_::import_(module) : import_from(module, name);
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_ImportError)) throw;
        return nb::none();
    }
}

}  // namespace quenlet::rt
