"""The native async-generator bridge: iteration, early close, cancellation and finalization."""

import asyncio
import collections.abc
import gc
import sys

import pytest

from quenlet_master import _runtime_probe as probe


def tick(delay=0.0):
    return lambda: asyncio.sleep(delay)


async def test_iterates_all_items_then_stops():
    exits = []
    generator = probe.count_up(3, tick(), exits.append)
    assert isinstance(generator, collections.abc.AsyncGenerator)
    assert [item async for item in generator] == [0, 1, 2]
    assert exits == ["finished"]
    with pytest.raises(StopAsyncIteration):
        await generator.__anext__()
    assert await generator.aclose() is None


async def test_aclose_mid_stream_runs_the_asynchronous_clean_up():
    exits = []
    awaited = []

    async def counted_tick():
        awaited.append(True)
        await asyncio.sleep(0)

    generator = probe.count_up(10, counted_tick, exits.append)
    assert await generator.__anext__() == 0
    assert await generator.asend(None) == 1
    assert await generator.aclose() is None
    assert exits == ["GeneratorExit"]
    assert len(awaited) == 3  # two items, then the clean-up's own await


async def test_aclose_of_a_generator_that_never_started_runs_nothing():
    exits = []
    generator = probe.count_up(3, tick(), exits.append)
    await generator.aclose()
    assert exits == []
    with pytest.raises(StopAsyncIteration):
        await generator.__anext__()


async def test_athrow_raises_inside_and_the_error_comes_back():
    exits = []
    generator = probe.count_up(5, tick(), exits.append)
    await generator.__anext__()
    with pytest.raises(ValueError, match="from outside"):
        await generator.athrow(ValueError("from outside"))
    assert exits == ["ValueError"]


async def test_cancelling_the_consumer_cancels_inside_the_generator():
    exits = []
    generator = probe.count_up(5, tick(0.5), exits.append)

    async def consume():
        return [item async for item in generator]

    task = asyncio.create_task(consume())
    await asyncio.sleep(0.01)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert exits == ["CancelledError"]


async def test_dropped_generator_is_closed_on_the_loop():
    exits = []
    generator = probe.count_up(5, tick(0.001), exits.append)
    assert await generator.__anext__() == 0
    del generator
    gc.collect()
    for _ in range(10):
        await asyncio.sleep(0.005)
    assert exits == ["GeneratorExit"]


def test_asyncio_run_closes_a_generator_left_suspended():
    exits = []
    kept = []

    async def main():
        generator = probe.count_up(5, tick(), exits.append)
        kept.append(generator)
        await generator.__anext__()

    asyncio.run(main())  # shutdown_asyncgens() must reach native generators too
    assert exits == ["GeneratorExit"]


async def test_second_concurrent_step_is_refused():
    generator = probe.count_up(3, tick(0.05), lambda reason: None)
    first = asyncio.ensure_future(generator.__anext__())
    await asyncio.sleep(0.001)
    with pytest.raises(RuntimeError, match="already running"):
        await generator.__anext__()
    assert await first == 0
    await generator.aclose()


async def test_thousands_of_streams_hold_no_references():
    sentinel = object()
    before = sys.getrefcount(sentinel)

    def on_exit(reason, keep=sentinel):
        return None

    for round_number in range(1000):
        generator = probe.count_up(3, tick(), on_exit)
        if round_number % 2:
            assert [item async for item in generator] == [0, 1, 2]
        else:
            await generator.__anext__()
            await generator.aclose()
    del on_exit
    gc.collect()
    assert sys.getrefcount(sentinel) == before
