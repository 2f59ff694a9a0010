#include "runtime/protocol.h"

namespace quenlet::rt {

PyObject* take_stop_iteration_value() noexcept {
    PyObject* exception = fetch_raised_exception();
    PyObject* value = PyObject_GetAttrString(exception, "value");
    Py_DECREF(exception);
    return value;
}

void set_stop_iteration(PyObject* value) noexcept {
    if (value == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    PyObject* exception = PyObject_CallOneArg(PyExc_StopIteration, value);
    if (exception == nullptr) return;
    restore_raised_exception(exception);
}

PyObject* as_iteration(PySendResult status, PyObject* result) noexcept {
    if (status == PYGEN_NEXT) return result;
    if (status == PYGEN_RETURN) {
        set_stop_iteration(result);
        Py_DECREF(result);
    }
    return nullptr;
}

bool raise_thrown(Thrown thrown) noexcept {
    PyObject* traceback = thrown.traceback == Py_None ? nullptr : thrown.traceback;
    if (traceback != nullptr && !PyTraceBack_Check(traceback)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return false;
    }
    PyObject* exception = nullptr;
    if (PyExceptionClass_Check(thrown.type)) {
        PyObject* value = thrown.value == nullptr ? Py_None : thrown.value;
        if (PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(thrown.type))) {
            exception = Py_NewRef(value);
        } else if (value == Py_None) {
            exception = PyObject_CallNoArgs(thrown.type);
        } else if (PyTuple_Check(value)) {
            exception = PyObject_Call(thrown.type, value, nullptr);
        } else {
            exception = PyObject_CallOneArg(thrown.type, value);
        }
        if (exception == nullptr) return false;
        if (!PyExceptionInstance_Check(exception)) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %s",
                         thrown.type, Py_TYPE(exception)->tp_name);
            Py_DECREF(exception);
            return false;
        }
    } else if (PyExceptionInstance_Check(thrown.type)) {
        if (thrown.value != nullptr && thrown.value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return false;
        }
        exception = Py_NewRef(thrown.type);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(thrown.type)->tp_name);
        return false;
    }
    if (traceback != nullptr && PyException_SetTraceback(exception, traceback) < 0) {
        Py_DECREF(exception);
        return false;
    }
    restore_raised_exception(exception);
    return true;
}

bool unpack_thrown(const char* method, PyObject* const* args, Py_ssize_t nargs, Thrown* thrown,
                   bool warn_deprecated) {
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "%s expected at least 1 argument, got %zd", method, nargs);
        return false;
    }
    if (nargs > 3) {
        PyErr_Format(PyExc_TypeError, "%s expected at most 3 arguments, got %zd", method, nargs);
        return false;
    }
    if (nargs > 1 && warn_deprecated) {
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "the (type, exc, tb) signature of %s() is deprecated, use the "
                             "single-arg signature instead.",
                             method) < 0) {
            return false;
        }
    }
    thrown->type = args[0];
    thrown->value = nargs > 1 ? args[1] : nullptr;
    thrown->traceback = nargs > 2 ? args[2] : nullptr;
    return true;
}

}  // namespace quenlet::rt
