#include "runtime/errors.h"

#include <cstdarg>
#include <new>

namespace quenlet::rt {

void throw_pending() {
    throw nb::python_error();
}

nb::object steal_or_throw(PyObject* object) {
    if (object == nullptr) throw_pending();
    return nb::steal(object);
}

void throw_exception(nb::handle exception) {
    restore_raised_exception(nb::borrow(exception).release().ptr());
    throw_pending();
}

void throw_error(PyObject* type, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PyErr_FormatV(type, format, arguments);
    va_end(arguments);
    throw_pending();
}

void set_python_error(std::exception_ptr failure) noexcept {
    try {
        std::rethrow_exception(failure);
    } catch (nb::python_error& error) {
        error.restore();
    } catch (nb::builtin_exception& error) {
        // nanobind's casts report through these; the few kinds we can meet keep their type.
        PyObject* type = error.type() == nb::exception_type::type_error    ? PyExc_TypeError
                         : error.type() == nb::exception_type::value_error ? PyExc_ValueError
                                                                           : PyExc_RuntimeError;
        PyErr_SetString(type, error.what());
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception in a native coroutine");
    }
}

nb::object exception_object(std::exception_ptr failure) noexcept {
    try {
        std::rethrow_exception(failure);
    } catch (nb::python_error& error) {
        // Borrowed, not restored: the caller may still rethrow `failure` itself.
        return nb::borrow(error.value());
    } catch (...) {
        set_python_error(std::current_exception());
        return nb::steal(fetch_raised_exception());
    }
}

}  // namespace quenlet::rt
