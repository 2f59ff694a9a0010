// `async with manager as value: body(value)` for native coroutines. C++ forbids co_await inside
// a catch block, so the exit is awaited after the body's outcome has been captured.
#pragma once

#include <exception>

#include "runtime/coroutine.h"
#include "runtime/errors.h"
#include "runtime/values.h"

namespace quenlet::rt {

// `body` is a callable taking the entered value and returning a Task; it is kept in this
// coroutine's frame, so a lambda body may capture the caller's locals by reference.
template <class Body>
Task with_async_context(nb::object manager, Body body) {
    FramePromise& frame = co_await this_frame();
    Kept<nb::object> exit(frame, manager.type().attr("__aexit__"));
    nb::object enter = manager.type().attr("__aenter__")(manager);
    Kept<nb::object> value(frame, co_await awaited(std::move(enter)));
    Kept<std::exception_ptr> failure(frame);
    Kept<nb::object> result(frame);
    try {
        *result = co_await body(std::move(*value));
    } catch (...) {
        *failure = std::current_exception();
    }
    if (!*failure) {
        co_await awaited((*exit)(manager, nb::none(), nb::none(), nb::none()));
        co_return std::move(*result);
    }
    nb::object exception = exception_object(*failure);
    nb::object traceback = nb::steal(PyException_GetTraceback(exception.ptr()));
    if (!traceback.is_valid()) traceback = nb::none();
    nb::object exited = (*exit)(manager, exception.type(), exception, traceback);
    exception.reset();
    traceback.reset();
    nb::object suppressed = co_await awaited(std::move(exited));
    // As in Python, an error from the truth test replaces the body's.
    if (truthy(suppressed)) co_return nb::none();
    std::rethrow_exception(*failure);
}

}  // namespace quenlet::rt
