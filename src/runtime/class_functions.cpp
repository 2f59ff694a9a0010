#include "runtime/class_functions.h"

#include "runtime/errors.h"

namespace quenlet::rt {

namespace {

// Whether the instance's own attributes hold `name`; objects without a __dict__ hold nothing.
bool instance_holds(PyTypeObject* type, nb::handle object, nb::handle name) {
#if PY_VERSION_HEX >= 0x030C0000
    bool has_dict = type->tp_dictoffset != 0 || PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT);
#else
    bool has_dict = type->tp_dictoffset != 0;
#endif
    if (!has_dict) return false;
    nb::object attributes = steal_or_throw(PyObject_GenericGetDict(object.ptr(), nullptr));
    int held = PyDict_Contains(attributes.ptr(), name.ptr());
    if (held < 0) throw_pending();
    return held == 1;
}

}  // namespace

bool is_class_function(nb::handle object, nb::handle name, nb::handle function) {
    PyTypeObject* type = Py_TYPE(object.ptr());
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
    if (instance_holds(type, object, name)) return false;
    nb::object found =
        steal_or_throw(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), name.ptr()));
    return found.is(function);
}

}  // namespace quenlet::rt
