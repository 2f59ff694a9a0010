#include "runtime/values.h"

#include "runtime/errors.h"

namespace quenlet::rt {

bool truthy(nb::handle value) {
    int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0) throw_pending();
    return truth == 1;
}

nb::object dict_item(nb::handle dictionary, nb::handle key) {
    PyObject* value = PyDict_GetItemWithError(dictionary.ptr(), key.ptr());
    if (value == nullptr && PyErr_Occurred()) throw_pending();
    return nb::borrow(value);
}

}  // namespace quenlet::rt
