// How the generator protocol's arguments and results are spelled in Python, for the runtime's
// coroutine and async-generator types: throw()'s arguments and StopIteration carrying a return
// value. Internal to the runtime.
#pragma once

#include "runtime/python.h"

namespace quenlet::rt {

// An exception as throw() received it: an instance, or a class with an optional value, with an
// optional traceback (borrowed; value and traceback may be null).
struct Thrown {
    PyObject* type;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    // Thrown by a close(), which refuses any await that follows (FramePromise::closing).
    bool closing = false;
};

// Sets the exception that throw() received, checked and made an instance as CPython does. False
// with an error set if refused.
bool raise_thrown(Thrown thrown) noexcept;

// Checks throw()'s or athrow()'s positional arguments: (type[, value[, traceback]]), with
// the deprecation warning CPython gives for more than one unless already given. False with an
// error set if refused.
bool unpack_thrown(const char* method, PyObject* const* args, Py_ssize_t nargs, Thrown* thrown,
                   bool warn_deprecated = true);

// The value carried by a StopIteration that is now set (cleared), as a new reference.
PyObject* take_stop_iteration_value() noexcept;

// Sets StopIteration(value) so that `value` arrives intact even if it is a tuple or exception.
void set_stop_iteration(PyObject* value) noexcept;

// Turns an am_send-style result into the iterator protocol's: a value, or null with
// StopIteration carrying the return value.
PyObject* as_iteration(PySendResult status, PyObject* result) noexcept;

}  // namespace quenlet::rt
