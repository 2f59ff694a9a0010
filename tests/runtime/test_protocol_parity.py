"""The native coroutine and async generator held against CPython's own.

Every scripted interaction (send, throw and close in every state, the awaitables of an async
generator used, reused, thrown into and closed in every order, re-entry from inside the awaited
object, cycles, finalisation with and without an event loop) is played against a Python twin
(protocol_twins.py) and against the native object, and what each leaves behind must be equal:
every value, exception type and message, warning, what reached the awaited objects, how the
body ended, and the running and suspended flags after each step."""

import asyncio
import gc
import itertools
import sys
import warnings
import weakref

import protocol_twins as twins
import pytest

from quenlet_master import _runtime_probe as probe

# The native objects follow the generator machinery of the interpreter the modules are made for;
# older ones differ in details (which throw() signatures warn, what a frame that never ran does
# with a thrown StopIteration, ag_suspended).
pytestmark = pytest.mark.skipif(sys.version_info < (3, 14), reason="compared with CPython 3.14's own")


def describe(value):
    if value is None or isinstance(value, (str, int, tuple, list)):
        return value
    return type(value).__name__


def outcome(call, *args):
    """What call(*args) did, in a form that compares across the two implementations."""
    try:
        value = call(*args)
    except BaseException as error:
        # The traceback would keep the frames of this call, and through them the objects under
        # test, alive past the script: both sides must end their objects at the same moment.
        error.__traceback__ = None
        if isinstance(error, StopIteration):
            return ("stop", describe(error.value))
        return ("raise", type(error).__name__, str(error))
    return ("value", describe(value))


class Pause:
    """Awaited by the code under test: suspends once, handing its name to whoever drives the
    coroutine, and returns what it is sent then. What is thrown into it, or closes it, is
    recorded; `on_resume` runs when it is resumed, from inside the running coroutine."""

    def __init__(self, name, trace, on_resume=None):
        self.name = name
        self.trace = trace
        self.on_resume = on_resume

    def __await__(self):
        try:
            sent = yield self.name
        except BaseException as error:
            self.trace.append((self.name, "got", type(error).__name__))
            raise
        if self.on_resume is not None:
            self.on_resume()
        return sent


def flags(obj, prefix):
    return tuple(getattr(obj, f"{prefix}_{name}") for name in ("running", "suspended"))


class Script:
    """A trace shared by the code under test and the driver, warnings and unraisable errors
    included. `fresh` first collects what earlier tests left, for scripts that collect garbage
    themselves and so would report it."""

    def __init__(self, fresh=False):
        self.trace = []
        self.fresh = fresh

    def __enter__(self):
        if self.fresh:
            gc.collect()
        # Warnings are written down as text: a recorded warning would keep its source (the
        # object under test) alive and so change when that object ends.
        self._warnings = warnings.catch_warnings()
        self._warnings.__enter__()
        warnings.simplefilter("always")
        # Resources that earlier tests left to the collector may be reported in a collection
        # here: they are not the objects under test.
        warnings.simplefilter("ignore", ResourceWarning)
        warnings.showwarning = lambda message, category, *args, **kwargs: self.trace.append(
            ("warning", category.__name__, str(message))
        )
        self._hook = sys.unraisablehook
        sys.unraisablehook = lambda report: self.trace.append(
            ("unraisable", type(report.exc_value).__name__, str(report.exc_value))
        )
        return self

    def __exit__(self, *exc_info):
        # CPython leaves what it could not finalise cleanly in a cycle (the unraisable error's
        # traceback keeps the frame): what happens to it must be part of the trace on both sides.
        if any(isinstance(entry, tuple) and entry[:1] == ("unraisable",) for entry in self.trace):
            gc.collect()
        sys.unraisablehook = self._hook
        self._warnings.__exit__(*exc_info)


# ---- coroutines ----------------------------------------------------------------------------

COROUTINE_OPS = {
    "send": lambda coro: coro.send(None),
    "send-value": lambda coro: coro.send("v"),
    "throw": lambda coro: coro.throw(ValueError("boom")),
    "throw-exit": lambda coro: coro.throw(GeneratorExit),
    "throw-stop": lambda coro: coro.throw(StopIteration("s")),
    "throw-args": lambda coro: coro.throw(KeyError, "k"),
    "throw-invalid": lambda coro: coro.throw(42),
    "close": lambda coro: coro.close(),
}

# Each builds a coroutine from a module of implementations and the script's trace.
COROUTINES = {
    "await_one": lambda m, t: m.await_one(Pause("p", t)),
    "await_each": lambda m, t: m.await_each([Pause("p1", t), Pause("p2", t)]),
    "await_catching": lambda m, t: m.await_catching(Pause("p", t)),
    "await_nested": lambda m, t: m.await_nested(Pause("p", t), 3),
    "catch_nested": lambda m, t: m.catch_nested(Pause("p", t)),
    "await_reporting": lambda m, t: m.await_reporting(Pause("p", t), lambda how: t.append(("exit", how))),
    "call-stop": lambda m, t: m.call(lambda: next(iter(()))),
    "call-value": lambda m, t: m.call(lambda: ("r", 1)),
}


def play_coroutine(module, build, ops):
    with Script() as script:
        coro = build(module, script.trace)
        for op in ops:
            script.trace.append((op, outcome(COROUTINE_OPS[op], coro), flags(coro, "cr")))
        del coro
    return script.trace


def scripts(ops, longest):
    for length in range(1, longest + 1):
        yield from itertools.product(ops, repeat=length)


@pytest.mark.parametrize("name", COROUTINES)
def test_coroutine_send_throw_close_in_every_order(name):
    mismatches = []
    for ops in scripts(COROUTINE_OPS, 3):
        expected = play_coroutine(twins, COROUTINES[name], ops)
        actual = play_coroutine(probe, COROUTINES[name], ops)
        if actual != expected:
            mismatches.append((ops, expected, actual))
    assert mismatches[:3] == []


def test_never_started_coroutine_warns_like_python():
    traces = []
    for module in (twins, probe):
        with Script() as script:
            module.await_one(Pause("p", script.trace))
        traces.append(script.trace)
    assert traces[1] == traces[0]
    assert "coroutine 'await_one' was never awaited" in traces[0][-1][2]


REENTRY = {
    "send": lambda coro: coro.send(None),
    "throw": lambda coro: coro.throw(ValueError("inner")),
    "close": lambda coro: coro.close(),
}


REENTERING = {
    "await_one": lambda m, pause, report: m.await_one(pause),
    "await_nested": lambda m, pause, report: m.await_nested(pause, 3),
    "await_reporting": lambda m, pause, report: m.await_reporting(pause, report),
}


def play_reentry(module, name, reentry):
    trace = []
    holder = {}

    def reenter():
        trace.append(("reentry", outcome(REENTRY[reentry], holder["coro"])))
        trace.append(("running inside", holder["coro"].cr_running))

    pause = Pause("p", trace, reenter)
    holder["coro"] = REENTERING[name](module, pause, lambda how: trace.append(("exit", how)))
    trace.append(outcome(holder["coro"].send, None))
    trace.append(outcome(holder["coro"].send, "done"))
    return trace


@pytest.mark.parametrize("name", REENTERING)
@pytest.mark.parametrize("reentry", REENTRY)
def test_reentry_from_the_awaited_object_is_refused_and_the_outer_call_goes_on(name, reentry):
    expected = play_reentry(twins, name, reentry)
    assert play_reentry(probe, name, reentry) == expected
    assert ("stop", "done") in expected


async def test_reentry_through_an_awaited_awaitable_of_the_event_loop():
    """The same re-entry while asyncio drives the coroutine (through am_send), as a host's
    resolver would do it from inside an operation."""
    traces = []
    for module in (twins, probe):
        trace = []
        holder = {}

        async def misbehave(trace=trace, holder=holder):
            await asyncio.sleep(0)
            for action in REENTRY.values():
                trace.append(outcome(action, holder["coro"]))
            return "ok"

        holder["coro"] = module.await_one(misbehave())
        trace.append(await asyncio.create_task(holder["coro"]))
        traces.append(trace)
    assert traces[1] == traces[0]
    assert traces[0][0] == ("raise", "ValueError", "coroutine already executing")


# ---- async generators ----------------------------------------------------------------------


class Driver:
    """Drives an async generator by hand: each op makes one of its awaitables or steps the most
    recent one."""

    def __init__(self, agen):
        self.agen = agen
        self.awaitables = []

    def make(self, factory):
        self.awaitables.append(factory(self.agen))
        return self.awaitables[-1].send(None)

    def last(self):
        return self.awaitables[-1] if self.awaitables else self.agen.__anext__()


GENERATOR_OPS = {
    "anext": lambda d: d.make(lambda g: g.__anext__()),
    "asend": lambda d: d.make(lambda g: g.asend("v")),
    "athrow": lambda d: d.make(lambda g: g.athrow(ValueError("boom"))),
    "athrow-exit": lambda d: d.make(lambda g: g.athrow(GeneratorExit)),
    "aclose": lambda d: d.make(lambda g: g.aclose()),
    "pending-anext": lambda d: d.awaitables.append(d.agen.__anext__()),
    "send": lambda d: d.last().send(None),
    "throw": lambda d: d.last().throw(KeyError("k")),
    "close": lambda d: d.last().close(),
}

GENERATORS = {
    "count_up": lambda m, t: m.count_up(2, lambda: Pause("tick", t), lambda how: t.append(("exit", how))),
    "stubborn": lambda m, t: m.stubborn(),
}


def play_generator(module, build, ops):
    with Script() as script:
        driver = Driver(build(module, script.trace))
        for op in ops:
            script.trace.append((op, outcome(GENERATOR_OPS[op], driver), flags(driver.agen, "ag")))
        del driver
    return script.trace


@pytest.mark.parametrize("name", GENERATORS)
def test_async_generator_awaitables_in_every_order(name):
    mismatches = []
    for ops in scripts(GENERATOR_OPS, 3):
        expected = play_generator(twins, GENERATORS[name], ops)
        actual = play_generator(probe, GENERATORS[name], ops)
        if actual != expected:
            mismatches.append((ops, expected, actual))
    assert mismatches[:3] == []


@pytest.mark.parametrize(
    "ops",
    [
        # A consumer closed while it waits on __anext__(): the generator gets GeneratorExit
        # where it waits, and later iteration ends with nothing.
        ("anext", "send", "close", "anext"),
        ("anext", "send", "send", "pending-anext", "close", "anext", "aclose"),
        ("anext", "athrow", "send", "send", "anext"),
        ("anext", "send", "aclose", "send", "send", "anext", "athrow"),
        ("anext", "send", "anext", "throw", "send", "anext"),
    ],
)
def test_longer_scripts(ops):
    build = GENERATORS["count_up"]
    assert play_generator(probe, build, ops) == play_generator(twins, build, ops)


# ---- cycles and finalisation ---------------------------------------------------------------


class Owner:
    """Keeps the operation it started, which keeps the owner through its callback: a cycle that
    only the operation's frame closes."""

    def __init__(self, trace):
        self.trace = trace

    def report(self, how):
        self.trace.append(("exit", how))


def test_suspended_coroutine_in_a_cycle_is_collected_and_finalized():
    traces = []
    for module in (twins, probe):
        with Script(fresh=True) as script:
            owner = Owner(script.trace)
            owner.operation = module.await_reporting(Pause("p", script.trace), owner.report)
            owner.operation.send(None)
            gone = weakref.ref(owner)
            del owner
            gc.collect()
            script.trace.append(("collected", gone() is None))
        traces.append(script.trace)
    assert traces[1] == traces[0]
    assert ("collected", True) in traces[0]


def test_suspended_generator_in_a_cycle_without_a_loop_is_closed_where_it_waits():
    traces = []
    for module in (twins, probe):
        with Script(fresh=True) as script:
            owner = Owner(script.trace)
            owner.stream = module.count_up(3, lambda: Pause("tick", script.trace), owner.report)
            driver = Driver(owner.stream)
            script.trace.append(outcome(GENERATOR_OPS["anext"], driver))
            script.trace.append(outcome(GENERATOR_OPS["send"], driver))
            gone = weakref.ref(owner)
            del owner, driver
            # Twice: CPython keeps the frame that ignored GeneratorExit for one more collection.
            gc.collect()
            gc.collect()
            script.trace.append(("collected", gone() is None))
        traces.append(script.trace)
    assert traces[1] == traces[0]


@pytest.mark.parametrize("module", [twins, probe], ids=["python", "native"])
def test_suspended_generator_in_a_cycle_is_closed_on_its_loop(module):
    trace = []

    async def main():
        owner = Owner(trace)
        owner.stream = module.count_up(3, lambda: asyncio.sleep(0), owner.report)
        trace.append(await owner.stream.__anext__())
        gone = weakref.ref(owner)
        del owner
        gc.collect()
        for _ in range(5):
            await asyncio.sleep(0)
        gc.collect()
        trace.append(("collected", gone() is None))

    asyncio.run(main())
    assert trace == [0, ("exit", "GeneratorExit"), ("collected", True)]


@pytest.mark.parametrize("module", [twins, probe], ids=["python", "native"])
def test_loop_shutdown_closes_a_generator_left_suspended(module):
    trace = []

    async def main():
        stream = module.count_up(3, lambda: asyncio.sleep(0), lambda how: trace.append(how))
        trace.append(await stream.__anext__())
        main.kept = stream

    asyncio.run(main())
    assert trace == [0, "GeneratorExit"]


# ---- under an event loop, as CPython's own async-generator tests drive them ------------------


async def break_out_of_async_for(module, trace):
    async for item in module.count_up(3, lambda: asyncio.sleep(0), trace.append):
        trace.append(item)
        break


async def await_the_same_anext_twice(module, trace):
    stream = module.count_up(3, lambda: asyncio.sleep(0), trace.append)
    step = stream.__anext__()
    trace.append(await step)
    trace.append(await step)


async def aclose_twice_with_different_awaitables(module, trace):
    stream = module.count_up(3, lambda: asyncio.sleep(0), trace.append)
    trace.append(await stream.__anext__())
    trace.append(await stream.aclose())
    trace.append(await stream.aclose())
    trace.append(await stream.athrow(ValueError("after")))


async def aclose_after_exhaustion(module, trace):
    stream = module.count_up(2, lambda: asyncio.sleep(0), trace.append)
    trace.extend([item async for item in stream])
    trace.append(await stream.aclose())


async def athrow_while_suspended(module, trace):
    stream = module.count_up(3, lambda: asyncio.sleep(0), trace.append)
    trace.append(await stream.__anext__())
    trace.append(await stream.athrow(KeyError("k")))


async def timeout_around_anext(module, trace):
    stream = module.count_up(3, lambda: asyncio.sleep(0.05), trace.append)
    trace.append(await stream.__anext__())
    trace.append(await asyncio.wait_for(stream.__anext__(), 0.001))


async def cancel_the_consuming_task(module, trace):
    stream = module.count_up(3, lambda: asyncio.sleep(0.05), trace.append)

    async def consume():
        return [item async for item in stream]

    task = asyncio.create_task(consume())
    await asyncio.sleep(0.01)
    task.cancel()
    trace.append(await task)


async def aclose_while_a_step_runs(module, trace):
    stream = module.count_up(3, lambda: asyncio.sleep(0.01), trace.append)
    step = asyncio.ensure_future(stream.__anext__())
    await asyncio.sleep(0)
    trace.append(stream.ag_running)
    trace.append(await stream.aclose())
    trace.append(await step)


async def unstarted_generator_dropped(module, trace):
    module.count_up(3, lambda: asyncio.sleep(0), trace.append)
    await asyncio.sleep(0)


@pytest.mark.parametrize(
    "scenario",
    [
        break_out_of_async_for,
        await_the_same_anext_twice,
        aclose_twice_with_different_awaitables,
        aclose_after_exhaustion,
        athrow_while_suspended,
        timeout_around_anext,
        cancel_the_consuming_task,
        aclose_while_a_step_runs,
        unstarted_generator_dropped,
    ],
)
def test_under_an_event_loop(scenario):
    traces = []
    for module in (twins, probe):
        with Script(fresh=True) as script:

            async def main(module=module, trace=script.trace):
                trace.append(await asyncio.create_task(_outcome_of(scenario(module, trace))))

            asyncio.run(main())
        traces.append(script.trace)
    assert traces[1] == traces[0]


async def _outcome_of(awaitable):
    try:
        await awaitable
    except BaseException as error:
        return ("raise", type(error).__name__, str(error))
    return "done"
