// How errors cross between C++ and Python. Inside C++ a Python error always travels as
// nb::python_error (which owns the exception object); it becomes a Python error again in
// exactly one place per boundary: nanobind's dispatcher for bound functions, and
// set_python_error() for the coroutine bridge, which nanobind does not see.
#pragma once

#include <exception>

#include "runtime/python.h"

namespace quenlet::rt {

// Raises the error currently set in the interpreter as a C++ exception.
[[noreturn]] void throw_pending();

// Wraps a new reference from the C API; a null pointer means an error is pending.
nb::object steal_or_throw(PyObject* object);

// Raises the given exception instance as a C++ exception.
[[noreturn]] void throw_exception(nb::handle exception);

// Raises `type(message)` as a C++ exception, the message made from `format` and its arguments
// as PyUnicode_FromFormat makes it (%s, %S, %R, %zd, ...): the one way business code raises.
[[noreturn]] void throw_error(PyObject* type, const char* format, ...);

// Sets the interpreter's error indicator from any C++ exception. Never throws.
void set_python_error(std::exception_ptr failure) noexcept;

// The exception instance that a C++ exception stands for (python_error or not).
nb::object exception_object(std::exception_ptr failure) noexcept;

// True for errors a handler of the standard Exception class would catch: cancellation,
// GeneratorExit and KeyboardInterrupt are not among them and must pass through.
inline bool is_ordinary(const nb::python_error& error) noexcept {
    return error.matches(PyExc_Exception);
}

}  // namespace quenlet::rt
