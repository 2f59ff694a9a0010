#include "runtime/class_functions.h"

#include "runtime/errors.h"

namespace quenlet::rt {

unsigned int ClassFact::version_of(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    // Before 3.12 a version counts only while this flag is set.
    if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
#endif
    return __atomic_load_n(&type->tp_version_tag, __ATOMIC_RELAXED);
}

nb::object class_attribute(PyTypeObject* type, nb::handle name) {
    // The method resolution order, as the interpreter's own lookup for instances walks it; the
    // metaclass plays no part in what an instance finds.
    nb::object mro = nb::borrow(type->tp_mro);
    if (!mro.is_valid()) return {};
    for (nb::handle base : nb::borrow<nb::tuple>(mro)) {
#if PY_VERSION_HEX >= 0x030C0000
        nb::object attributes =
            steal_or_throw(PyType_GetDict(reinterpret_cast<PyTypeObject*>(base.ptr())));
#else
        nb::object attributes = nb::borrow(reinterpret_cast<PyTypeObject*>(base.ptr())->tp_dict);
#endif
        PyObject* found = PyDict_GetItemWithError(attributes.ptr(), name.ptr());
        if (found != nullptr) return nb::borrow(found);
        if (PyErr_Occurred()) throw_pending();
    }
    return {};
}

bool has_generic_attributes(nb::handle object) {
    return Py_TYPE(object.ptr())->tp_getattro == PyObject_GenericGetAttr;
}

nb::object instance_attributes(nb::handle object) {
    PyTypeObject* type = Py_TYPE(object.ptr());
#if PY_VERSION_HEX >= 0x030C0000
    bool has_dict = type->tp_dictoffset != 0 || PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT);
#else
    bool has_dict = type->tp_dictoffset != 0;
#endif
    if (!has_dict) return {};
    return steal_or_throw(PyObject_GenericGetDict(object.ptr(), nullptr));
}

bool instance_holds(nb::handle attributes, nb::handle name) {
    if (!attributes.is_valid()) return false;
    int held = PyDict_Contains(attributes.ptr(), name.ptr());
    if (held < 0) throw_pending();
    return held == 1;
}

bool resolves_to_class(nb::handle object, nb::handle name) {
    return has_generic_attributes(object) && !instance_holds(instance_attributes(object), name);
}

}  // namespace quenlet::rt
