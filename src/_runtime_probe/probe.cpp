// Test-only entry points that exercise the coroutine bridge in isolation: each is a tiny
// coroutine or async generator whose behaviour the runtime tests can predict exactly.
#include "runtime/arguments.h"
#include "runtime/async_context.h"
#include "runtime/async_generator.h"
#include "runtime/coroutine.h"
#include "runtime/imports.h"
#include "runtime/runtime.h"
#include "runtime/text.h"

namespace rt = quenlet::rt;

namespace {

// return await awaitable
rt::Task await_one(nb::object awaitable) {
    co_return co_await rt::awaited(std::move(awaitable));
}

// [await x for x in awaitables]
rt::Task await_each(nb::list awaitables) {
    nb::list results;
    for (nb::handle awaitable : awaitables) {
        results.append(co_await rt::awaited(nb::borrow(awaitable)));
    }
    co_return results;
}

// Awaits, turning an ordinary exception into ("caught", str(error)); others pass through.
rt::Task await_catching(nb::object awaitable) {
    try {
        co_return co_await rt::awaited(std::move(awaitable));
    } catch (nb::python_error& error) {
        if (!rt::is_ordinary(error)) throw;
        co_return nb::make_tuple("caught", rt::error_text(error));
    }
}

// `depth` Tasks, each awaiting the next directly; the last awaits the awaitable.
rt::Task await_nested(nb::object awaitable, int depth) {
    if (depth <= 1) co_return co_await await_one(std::move(awaitable));
    co_return co_await await_nested(std::move(awaitable), depth - 1);
}

// A Task catching what a Task it awaits raises: ("caught", str(error)) for an ordinary error.
rt::Task catch_nested(nb::object awaitable) {
    try {
        co_return co_await await_one(std::move(awaitable));
    } catch (nb::python_error& error) {
        if (!rt::is_ordinary(error)) throw;
        co_return nb::make_tuple("caught", rt::error_text(error));
    }
}

rt::Task call_in_executor(nb::object function, nb::object argument) {
    co_return co_await rt::awaited(
        rt::event_loop().attr("run_in_executor")(nb::none(), function, argument));
}

// async with manager as value: return await body(value)
rt::Task within_context(nb::object manager, nb::object body) {
    co_return co_await rt::with_async_context(
        std::move(manager),
        [&](nb::object value) -> rt::Task { co_return co_await rt::awaited(body(value)); });
}

// try: result = await awaitable — reporting how the await ended through on_exit(reason) before
// the result or the exception leaves.
rt::Task await_reporting(nb::object awaitable, nb::object on_exit) {
    std::exception_ptr failure;
    nb::object result;
    try {
        result = co_await rt::awaited(std::move(awaitable));
    } catch (...) {
        failure = std::current_exception();
    }
    if (!failure) {
        on_exit("returned");
        co_return result;
    }
    on_exit(rt::exception_object(failure).type().attr("__name__"));
    std::rethrow_exception(failure);
}

// return function(): whatever it raises leaves the coroutine as it would leave a Python one.
rt::Task call(nb::object function) {
    co_return function();
}

// yield 1, and once more after whatever is raised at that point: a generator that will not end.
rt::AsyncGenerator stubborn() {
    try {
        co_yield nb::int_(1);
    } catch (nb::python_error&) {
    }
    co_yield nb::int_(2);
}

// for i in range(count): await tick(); yield i — then, however it ends, await tick() once
// more and report how it ended through on_exit(reason).
rt::AsyncGenerator count_up(int count, nb::object tick, nb::object on_exit) {
    std::exception_ptr failure;
    try {
        for (int i = 0; i < count; ++i) {
            co_await rt::awaited(tick());
            co_yield nb::int_(i);
        }
    } catch (...) {
        failure = std::current_exception();
    }
    co_await rt::awaited(tick());
    if (!failure) {
        on_exit("finished");
        co_return;
    }
    on_exit(rt::exception_object(failure).type().attr("__name__"));
    std::rethrow_exception(failure);
}

// Binds `function` as `name`: each call returns the Python object that runs its frame.
template <class Owner, class... Parameters, class... Extra>
void def_native(nb::module_& module, const char* name, Owner (*function)(Parameters...),
                const Extra&... extra) {
    module.def(
        name,
        [function, name](Parameters... parameters) {
            return function(std::move(parameters)...).into_python(name);
        },
        extra...);
}

}  // namespace

NB_MODULE(_runtime_probe, module) {
    rt::init_runtime(module, "quenlet_master._runtime_probe");
    def_native(module, "await_one", await_one);
    module.def("await_each", [](nb::handle awaitables) {
        if (!PyList_Check(awaitables.ptr()))
            rt::raise_argument_type("awaitables", "list", awaitables);
        return await_each(nb::borrow<nb::list>(awaitables)).into_python("await_each");
    });
    def_native(module, "await_catching", await_catching);
    def_native(module, "await_nested", await_nested, nb::arg("awaitable"), nb::arg("depth") = 1);
    def_native(module, "catch_nested", catch_nested);
    def_native(module, "call_in_executor", call_in_executor);
    def_native(module, "within_context", within_context);
    def_native(module, "await_reporting", await_reporting);
    def_native(module, "call", call);
    def_native(module, "stubborn", stubborn);
    def_native(module, "count_up", count_up);
    // .none(): None must reach our own check, not nanobind's generic refusal.
    module.def(
        "require_str", [](nb::handle value) { rt::require_str(value, "value"); },
        nb::arg("value").none());
}
