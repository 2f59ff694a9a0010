#include "runtime/frame.h"

namespace quenlet::rt {

int visit_exception(const std::exception_ptr& failure, visitproc visit, void* arg) noexcept {
    if (!failure) return 0;
    try {
        std::rethrow_exception(failure);
    } catch (const nb::python_error& error) {
        Py_VISIT(error.value().ptr());
    } catch (...) {
    }
    return 0;
}

int FramePromise::traverse(visitproc visit, void* arg) const noexcept {
    Py_VISIT(delegate.ptr());
    Py_VISIT(sent_value.ptr());
    Py_VISIT(sent_error.ptr());
    Py_VISIT(yielded.ptr());
    Py_VISIT(result.ptr());
    if (int status = visit_exception(failure, visit, arg)) return status;
    for (int i = 0; i < parameter_count_; ++i) {
        if (int status = parameters_[i].traverse(parameters_[i].value, visit, arg)) return status;
    }
    for (const KeptBase* kept = kept_; kept != nullptr; kept = kept->below_) {
        if (int status = kept->traverse(visit, arg)) return status;
    }
    return 0;
}

nb::object awaitable_iterator(nb::handle awaitable) {
    PyTypeObject* type = Py_TYPE(awaitable.ptr());
    // A native coroutine is driven directly; `await` would wrap it first.
    if (PyCoro_CheckExact(awaitable.ptr())) return nb::borrow(awaitable);
    if (type->tp_as_async == nullptr || type->tp_as_async->am_await == nullptr) {
        throw_error(PyExc_TypeError, "'%.100s' object can't be awaited", type->tp_name);
    }
    nb::object iterator = steal_or_throw(type->tp_as_async->am_await(awaitable.ptr()));
    if (!PyIter_Check(iterator.ptr())) {
        throw_error(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                    Py_TYPE(iterator.ptr())->tp_name);
    }
    return iterator;
}

}  // namespace quenlet::rt
