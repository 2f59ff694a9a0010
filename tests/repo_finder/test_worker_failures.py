"""What the version, extras and dependency workers share: every failure is one log line and an
empty answer, an API failure never falls back to the finder, and the finder runs on the
executor. Only ordinary errors are answered so, by every worker: cancellation and the like pass
through, unlogged."""

from __future__ import annotations

import asyncio
import threading

import pytest

from quenlet_master.local_index import json_path

from .conftest import FakeFile

# kind -> (worker, arguments before the index, empty answer, document path, finder failure
#          line, start of the executor failure line)
WORKERS = {
    "versions": (
        "_get_versions_from_index",
        ("demo",),
        [],
        json_path("demo"),
        ("error", "Unearth _get_versions failed: index unreachable"),
        ("error", "Unearth failed for demo at {index}: "),
    ),
    "extras": (
        "_get_extras_from_index",
        ("demo", "1.0"),
        set(),
        json_path("demo", "1.0"),
        ("debug", "Unearth get_extras failed: index unreachable"),
        ("error", "Unearth failed for extras demo==1.0: "),
    ),
    "dependencies": (
        "_get_dependencies_from_index",
        ("demo", "1.0"),
        [],
        json_path("demo", "1.0"),
        ("debug", "Unearth get_dependencies failed: index unreachable"),
        ("error", "Unearth failed for dependencies demo==1.0: "),
    ),
}
UNREACHABLE = "http://127.0.0.1:1/simple/"


async def ask(finder, kind, index_url):
    worker, arguments, *_ = WORKERS[kind]
    return await getattr(finder, worker)(*arguments, index_url)


@pytest.mark.parametrize("kind", WORKERS)
@pytest.mark.parametrize(
    ("fault", "level", "message"),
    [
        ({"status": 404}, "debug", "Package demo not found at {index}"),
        ({"status": 500}, "error", "API returned status 500 for {api}"),
        (
            {"body": "not JSON"},
            "error",
            "Failed to query {index} for demo: 200, message='Attempt to decode JSON",
        ),
        ({"delay": 1}, "error", "Timeout querying {index} for demo"),
        (
            None,
            "error",
            "Failed to query {index} for demo: aiohttp not installed, cannot query package indexes",
        ),
    ],
    ids=["404", "500", "not JSON", "timeout", "no aiohttp"],
)
async def test_api_failures_are_one_line_and_never_the_finder(
    repo_finder,
    local_index,
    index_finder,
    log,
    short_timeout,
    fake_finder,
    monkeypatch,
    kind,
    fault,
    level,
    message,
):
    _, _, empty, path, _, _ = WORKERS[kind]
    local_index.add_wheel("demo", "1.0")
    if fault is None:
        monkeypatch.setattr(repo_finder, "aiohttp", None)
    else:
        local_index.faults.set(path, **fault)
    assert await ask(index_finder(), kind, local_index.simple_url) == empty
    [(logged_level, logged)] = log.records
    assert logged_level == level
    assert logged.startswith(message.format(index=local_index.simple_url, api=local_index.url + path))
    assert fake_finder.calls == []
    assert short_timeout == ([] if fault is None else [10])


@pytest.mark.parametrize("kind", WORKERS)
async def test_without_pattern_or_finder_nothing_is_requested(
    repo_finder, local_index, index_finder, log, monkeypatch, kind
):
    monkeypatch.setattr(repo_finder, "UNEARTH_AVAILABLE", False)
    assert await ask(index_finder(with_api=False), kind, local_index.simple_url) == WORKERS[kind][2]
    assert log.records == [
        ("debug", f"No API pattern and unearth not available for {local_index.simple_url}")
    ]
    assert local_index.request_log.paths() == []


@pytest.mark.parametrize("kind", WORKERS)
async def test_finder_and_executor_failures(no_api, log, fake_finder, kind):
    _, _, empty, _, finder_failure, executor_failure = WORKERS[kind]
    fake_finder.error = OSError("index unreachable")
    assert await ask(no_api, kind, UNREACHABLE) == empty
    # A worker that cannot be run at all fails in the executor hand-off.
    setattr(no_api, WORKERS[kind][0].replace("_from_index", "_via_unearth"), None)
    assert await ask(no_api, kind, UNREACHABLE) == empty
    assert log.records[0] == finder_failure
    assert log.records[1][0] == executor_failure[0]
    assert log.records[1][1].startswith(executor_failure[1].format(index=UNREACHABLE))
    assert len(log.records) == 2


@pytest.mark.parametrize("kind", ["extras", "dependencies"])
@pytest.mark.parametrize(
    ("best", "requires_dist"),
    [(None, ['x; extra == "a"']), (FakeFile("1.0", link=""), ['x; extra == "a"']), (FakeFile("1.0"), None)],
    ids=["no best file", "no link", "no Requires-Dist"],
)
async def test_the_finder_path_without_requirements_gives_none(
    no_api, log, fake_finder, kind, best, requires_dist
):
    fake_finder.best = best
    fake_finder.requires_dist = requires_dist
    assert await ask(no_api, kind, UNREACHABLE) == WORKERS[kind][2]
    assert log.records == [] and no_api._metadata_cache == {}


# Every worker that answers a failure: (coroutine worker, its finder worker, arguments before the
# index, the API document it asks for).
EVERY_WORKER = {
    "versions": ("_get_versions_from_index", "_get_versions_via_unearth", ("demo",), json_path("demo")),
    "extras": (
        "_get_extras_from_index",
        "_get_extras_via_unearth",
        ("demo", "1.0"),
        json_path("demo", "1.0"),
    ),
    "dependencies": (
        "_get_dependencies_from_index",
        "_get_dependencies_via_unearth",
        ("demo", "1.0"),
        json_path("demo", "1.0"),
    ),
    "package exists": (
        "_package_exists_in_index",
        "_package_exists_via_unearth",
        ("demo",),
        json_path("demo"),
    ),
    "version exists": (
        "_package_version_exists_in_index",
        "_package_version_exists_via_unearth",
        ("demo", "1.0"),
        json_path("demo", "1.0"),
    ),
}


class Interrupt(BaseException):
    """Not an Exception: no worker may answer it."""


@pytest.mark.parametrize("kind", EVERY_WORKER)
async def test_the_finder_workers_let_non_ordinary_errors_through(no_api, log, fake_finder, kind):
    _, finder_worker, arguments, _ = EVERY_WORKER[kind]
    fake_finder.best = FakeFile("1.0")
    fake_finder.error = Interrupt("stop")
    with pytest.raises(Interrupt):
        getattr(no_api, finder_worker)(*arguments, UNREACHABLE)
    assert log.records == []


async def cancelled_while_waiting(query, started):
    """Cancels ``query`` once ``started()`` says it waits; the cancellation must reach the caller."""
    task = asyncio.ensure_future(query)
    for _ in range(500):
        if started():
            break
        await asyncio.sleep(0.01)
    assert started(), "the query never reached its wait"
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task


@pytest.mark.parametrize("kind", EVERY_WORKER)
async def test_a_query_cancelled_on_the_executor_is_cancelled(no_api, log, kind):
    worker, finder_worker, arguments, _ = EVERY_WORKER[kind]
    entered, release = threading.Event(), threading.Event()

    def blocking(*_):
        entered.set()
        release.wait(10)
        return []

    setattr(no_api, finder_worker, blocking)
    try:
        await cancelled_while_waiting(getattr(no_api, worker)(*arguments, UNREACHABLE), entered.is_set)
    finally:
        release.set()
    assert log.records == []


@pytest.mark.parametrize("kind", EVERY_WORKER)
async def test_a_query_cancelled_on_the_api_is_cancelled(local_index, index_finder, log, fake_finder, kind):
    worker, _, arguments, path = EVERY_WORKER[kind]
    local_index.add_wheel("demo", "1.0")
    local_index.faults.set(path, delay=1)
    finder = index_finder()
    await cancelled_while_waiting(
        getattr(finder, worker)(*arguments, local_index.simple_url),
        lambda: path in local_index.request_log.paths(),
    )
    assert log.records == [] and fake_finder.calls == []
