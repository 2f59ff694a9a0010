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

// Puts an exception instance (stolen) back into the error indicator.
inline void restore_raised_exception(PyObject* exception) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))), exception,
                  PyException_GetTraceback(exception));
#endif
}

}  // namespace quenlet::rt
