// The one include for Python and nanobind, plus the few C-API shims that differ between the
// interpreter versions we build for (3.11 with the GIL, 3.14 free-threaded).
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

namespace nb = nanobind;

namespace quenlet::rt {

// Takes the pending exception out of the error indicator (a new reference, or null).
inline PyObject* fetch_raised_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Puts an exception instance (stolen; null clears the indicator) back into the error indicator.
inline void restore_raised_exception(PyObject* exception) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    if (exception == nullptr) {
        PyErr_Clear();
        return;
    }
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))), exception,
                  PyException_GetTraceback(exception));
#endif
}

// Reports the error that is set as unraisable: "Exception ignored while {action} {object!r}".
inline void write_unraisable(const char* action, PyObject* object) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    PyErr_FormatUnraisable("Exception ignored while %s %R", action, object);
#else
    (void)action;
    PyErr_WriteUnraisable(object);
#endif
}

#if PY_VERSION_HEX < 0x030D0000
// getattr(object, name, None) without the AttributeError: 1 found, 0 absent, -1 failed.
inline int PyObject_GetOptionalAttrString(PyObject* object, const char* name, PyObject** result) {
    *result = PyObject_GetAttrString(object, name);
    if (*result != nullptr) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
}
#endif

}  // namespace quenlet::rt
