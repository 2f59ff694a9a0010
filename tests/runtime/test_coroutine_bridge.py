"""The native coroutine bridge, driven through the runtime's probe entry points."""

import asyncio
import gc
import sys
import warnings
import weakref

import pytest

from quenlet_master import _runtime_probe as probe


class Interrupt(BaseException):
    """Stands for errors outside Exception (like KeyboardInterrupt) that must never be caught."""


async def later(value, delay=0.0):
    await asyncio.sleep(delay)
    return value


async def failing(error, delay=0.0):
    await asyncio.sleep(delay)
    raise error


def done_future(value):
    future = asyncio.get_running_loop().create_future()
    future.set_result(value)
    return future


def await_deep(awaitable):
    return probe.await_nested(awaitable, depth=40)


# Tasks awaiting Tasks run in one coroutine object: each entry point must behave the same.
NESTINGS = [probe.await_one, probe.await_nested, await_deep]


@pytest.mark.parametrize(
    "make_awaitable",
    [
        pytest.param(lambda: later("v"), id="coroutine"),
        pytest.param(lambda: later("v", 0.01), id="coroutine-sleeping"),
        pytest.param(lambda: done_future("v"), id="finished-future"),
        pytest.param(lambda: asyncio.ensure_future(later("v")), id="task"),
        pytest.param(lambda: asyncio.sleep(0, "v"), id="sleep-result"),
        pytest.param(lambda: probe.await_one(later("v")), id="native-coroutine"),
    ],
)
@pytest.mark.parametrize("entry", NESTINGS)
async def test_awaits_any_awaitable_and_returns_its_result(entry, make_awaitable):
    assert await entry(make_awaitable()) == "v"


async def test_results_of_several_awaits_arrive_in_order():
    assert await probe.await_each([later(1), done_future(2), later(3, 0.005)]) == [1, 2, 3]


@pytest.mark.parametrize("entry", NESTINGS)
async def test_awaited_error_reaches_the_caller_unchanged(entry):
    error = ValueError("bad")
    with pytest.raises(ValueError) as raised:
        await entry(failing(error, 0.001))
    assert raised.value is error
    # The Python frame that raised is still in the traceback.
    assert any(entry.name == "failing" for entry in raised.traceback)


@pytest.mark.parametrize("entry", [probe.await_catching, probe.catch_nested])
async def test_ordinary_errors_are_catchable_in_native_code_and_others_pass_through(entry):
    assert await entry(failing(KeyError("k"), 0.001)) == ("caught", "'k'")
    with pytest.raises(Interrupt):
        await entry(failing(Interrupt()))


async def test_not_awaitable_is_a_type_error_inside_the_coroutine():
    assert await probe.await_catching(42) == ("caught", "'int' object can't be awaited")


@pytest.mark.parametrize("entry", [probe.await_catching, probe.catch_nested, *NESTINGS])
async def test_cancellation_while_suspended_passes_through(entry):
    cleaned = []

    async def sleeper():
        try:
            await asyncio.sleep(10)
        finally:
            cleaned.append(True)

    task = asyncio.create_task(entry(sleeper()))
    await asyncio.sleep(0.01)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert cleaned == [True]


async def test_is_a_coroutine_for_asyncio():
    coroutine = probe.await_one(later(5))
    assert asyncio.iscoroutine(coroutine)
    assert coroutine.__qualname__ == "await_one"
    results = await asyncio.gather(coroutine, probe.await_one(later(6)))
    assert results == [5, 6]
    assert await asyncio.wait_for(probe.await_one(later(7)), timeout=1) == 7


@pytest.mark.parametrize("entry", NESTINGS)
def test_send_throw_close_protocol_by_hand(entry):
    loop = asyncio.new_event_loop()
    try:
        future = loop.create_future()
        coroutine = entry(future)
        assert coroutine.send(None) is future  # the future goes to whoever drives the coroutine
        future.set_result("r")
        with pytest.raises(StopIteration) as stopped:
            coroutine.send(None)
        assert stopped.value.value == "r"
        with pytest.raises(RuntimeError, match="cannot reuse"):
            coroutine.send(None)

        other = entry(loop.create_future())
        other.send(None)
        with pytest.raises(ZeroDivisionError):
            other.throw(ZeroDivisionError())
        closed = entry(loop.create_future())
        closed.send(None)
        assert closed.close() is None
        unstarted = later(1)
        assert entry(unstarted).close() is None  # never started: nothing to do
        unstarted.close()
    finally:
        loop.close()


def test_tuple_results_survive_stop_iteration():
    # A tuple return value must not be unpacked into StopIteration's arguments.
    coroutine = probe.await_catching(failing(ValueError("x")))
    with pytest.raises(StopIteration) as stopped:
        while True:
            coroutine.send(None)
    assert stopped.value.value == ("caught", "x")


def test_never_awaited_coroutine_warns():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        awaitable = later(1)
        probe.await_one(awaitable)
        gc.collect()
        awaitable.close()
    assert any("coroutine 'await_one' was never awaited" in str(w.message) for w in caught)


async def test_async_context_enter_and_exit_on_every_path():
    calls = []

    class Manager:
        def __init__(self, suppress=False):
            self.suppress = suppress

        async def __aenter__(self):
            calls.append("enter")
            return 10

        async def __aexit__(self, kind, error, traceback):
            calls.append(("exit", kind, traceback is not None))
            return self.suppress

    assert await probe.within_context(Manager(), lambda value: later(value + 1)) == 11
    with pytest.raises(ValueError, match="inside"):
        await probe.within_context(Manager(), lambda value: failing(ValueError("inside")))
    assert await probe.within_context(Manager(True), lambda value: failing(ValueError("x"))) is None

    class Untestable:
        def __bool__(self):
            raise RuntimeError("no truth")

    # As `async with` does: the truth test's error replaces the body's.
    with pytest.raises(RuntimeError, match="no truth"):
        await probe.within_context(Manager(Untestable()), lambda value: failing(ValueError("x")))
    assert calls == [
        "enter",
        ("exit", None, False),
        "enter",
        ("exit", ValueError, True),
        "enter",
        ("exit", ValueError, True),
        "enter",
        ("exit", ValueError, True),
    ]


async def test_cancelled_body_still_exits_the_context():
    exits = []

    class Manager:
        async def __aenter__(self):
            return None

        async def __aexit__(self, kind, error, traceback):
            exits.append(kind)

    task = asyncio.create_task(probe.within_context(Manager(), lambda _: asyncio.sleep(10)))
    await asyncio.sleep(0.01)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert exits == [asyncio.CancelledError]


async def test_runs_blocking_work_on_the_default_executor():
    import threading

    main = threading.get_ident()
    assert await probe.call_in_executor(lambda x: (x * 2, threading.get_ident() != main), 21) == (42, True)


def test_argument_type_message():
    with pytest.raises(TypeError) as raised:
        probe.require_str(5)
    assert str(raised.value) == "Argument 'value' has incorrect type (expected str, got int)"
    with pytest.raises(TypeError, match=r"\(expected str, got NoneType\)"):
        probe.require_str(None)
    probe.require_str("fine")


async def test_many_awaits_hold_no_references():
    sentinel = object()
    before = sys.getrefcount(sentinel)
    coroutines = []
    for _ in range(2000):
        coroutine = probe.await_nested(later(sentinel))
        coroutines.append(weakref.ref(coroutine))
        assert await coroutine is sentinel
        del coroutine
    for _ in range(200):
        await probe.await_catching(failing(ValueError(sentinel)))
    gc.collect()
    assert sys.getrefcount(sentinel) == before
    assert all(ref() is None for ref in coroutines)


class Holder:
    """An awaitable that keeps a reference to whatever is put in it: a cycle through it and a
    coroutine waiting on it can only be found by walking the coroutine's frames."""

    def __init__(self):
        self.held = None

    def __await__(self):
        yield None


@pytest.mark.parametrize("entry", NESTINGS)
def test_cycles_through_the_innermost_frame_are_collected(entry):
    holder = Holder()
    coroutine = entry(holder)
    coroutine.send(None)  # now the innermost frame waits on the holder's iterator
    holder.held = coroutine
    collected = weakref.ref(coroutine)
    del coroutine, holder
    gc.collect()
    assert collected() is None
