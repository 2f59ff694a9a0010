#include "runtime/values.h"

#include "runtime/errors.h"

namespace quenlet::rt {

bool truthy(nb::handle value) {
    int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0) throw_pending();
    return truth == 1;
}

nb::object dict_item(nb::handle dictionary, nb::handle key) {
#if PY_VERSION_HEX >= 0x030D0000
    // The reference is taken inside the lookup: with the GIL off, another thread may replace the
    // item between a borrowing lookup and the increment.
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(dictionary.ptr(), key.ptr(), &value) < 0) throw_pending();
    return nb::steal(value);
#else
    PyObject* value = PyDict_GetItemWithError(dictionary.ptr(), key.ptr());
    if (value == nullptr && PyErr_Occurred()) throw_pending();
    return nb::borrow(value);
#endif
}

nb::object list_or_none(nb::object value) {
    if (!value.is_none() && !PyList_Check(value.ptr())) {
        throw_error(PyExc_TypeError, "Expected list, got %s", Py_TYPE(value.ptr())->tp_name);
    }
    return value;
}

}  // namespace quenlet::rt
