"""Faults the module tests do not reach: indexes that refuse, cut, loop, garble or bloat their
answers, and pip runs that die by a signal or leave their output behind in the pipe. Each gives
exactly the result and the log line its operation promises, and nothing is raised."""

from __future__ import annotations

import asyncio
import socket
import time

import aiohttp
import pytest
from support import INSTALL_OPERATIONS, ScriptPip, collect, start_install

from quenlet_master.business_layer.packages import repo_finder
from quenlet_master.config.settings import SettingsManager
from quenlet_master.local_index import json_path

from .conftest import INSTALLING

# What the index does wrong, set on every document path of the package "demo".
INDEX_FAULTS = {
    "reset mid-body": lambda faults, path: faults.set(path, reset_mid_body=True),
    "truncated JSON": lambda faults, path: faults.set(
        path, body=b'{"info": {"requires_dist": ["six"', content_type="application/json"
    ),
    "not JSON": lambda faults, path: faults.not_json(path, json_content_type=True),
    "invalid UTF-8": lambda faults, path: faults.invalid_utf8(path),
    "redirect loop": lambda faults, path: faults.redirect_loop(path),
}
# Faults the request itself fails on; with the others, only reading the body fails.
REQUEST_FAILS = {"redirect loop", "refused"}


async def failure_text(url: str) -> str:
    """What aiohttp raises for a GET of `url` and reading its JSON, as the operations see it."""
    async with aiohttp.ClientSession() as session:
        try:
            async with session.get(url, timeout=aiohttp.ClientTimeout(total=10)) as response:
                await response.json()
        except Exception as error:
            return str(error)
    raise AssertionError(f"{url} answered")


def closed_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


@pytest.fixture
def demo(local_index):
    local_index.add_wheel("demo", "1.0", requires_dist=['pytest; extra == "test"'], extras=["test"])
    return local_index


@pytest.mark.parametrize("fault", [*INDEX_FAULTS, "refused"])
async def test_index_faults_give_empty_answers_and_one_line(
    demo, local_aiohttp, package_manager, module_logs, counts, monkeypatch, fault
):
    if fault == "refused":
        # Every address of the index, the public index's included, leads to a closed port.
        monkeypatch.setattr(demo, "port", closed_port())
    else:
        for path in (json_path("demo"), json_path("demo", "1.0")):
            INDEX_FAULTS[fault](demo.faults, path)
    index_url = demo.simple_url
    text = await failure_text(demo.json_url("demo"))
    version_text = await failure_text(demo.json_url("demo", "1.0"))
    finder = repo_finder.RepoFinder(SettingsManager(demo.settings_values()))
    answers = [
        await finder._get_versions_from_index("demo", index_url),
        await finder._get_extras_from_index("demo", "1.0", index_url),
        await finder._get_dependencies_from_index("demo", "1.0", index_url),
        await finder._package_exists_in_index("demo", index_url),
        await finder._package_version_exists_in_index("demo", "1.0", index_url),
        await package_manager.get_package_info("demo"),
    ]
    await finder.close()
    reachable = fault not in REQUEST_FAILS  # the existence checks read the status alone
    assert answers == [[], set(), [], reachable, reachable, {"error": text}]
    failed = f"Failed to query {index_url} for demo: "
    lines = [("error", failed + text), ("error", failed + version_text), ("error", failed + version_text)]
    if not reachable:
        lines += [
            ("debug", f"API check failed for demo at {index_url}: {text}"),
            ("debug", f"API check failed for demo==1.0 at {index_url}: {version_text}"),
        ]
    lines += [
        ("info", "Querying package info for demo from PyPI"),
        ("error", f"Failed to query package info for demo: {text}"),
    ]
    assert module_logs.records() == lines
    counts.add(operations=len(answers), faults=len(answers))


async def test_a_fifty_megabyte_document_is_read_like_any_other(demo, local_aiohttp, package_manager, counts):
    finder = repo_finder.RepoFinder(SettingsManager(demo.settings_values()))

    async def ask():
        finder._metadata_cache.clear()
        return [
            await finder.get_versions("demo"),
            await finder.get_extras("demo", "1.0"),
            await finder.get_dependencies("demo", "1.0"),
            await package_manager.get_package_info("demo"),
        ]

    plain = await ask()
    for path in (json_path("demo"), json_path("demo", "1.0")):
        demo.faults.set(path, padding=50 * 2**20)
    assert (
        await ask()
        == plain
        == [
            ["1.0"],
            ["test"],
            [{"name": "pytest", "version_spec": "", "extras": [], "markers": 'extra == "test"'}],
            {"name": "demo", "latest_version": "1.0", "summary": ""},
        ]
    )
    await finder.close()
    counts.add(operations=8, faults=4)


async def test_an_index_that_answers_after_ten_seconds(
    demo, local_aiohttp, package_manager, module_logs, counts
):
    """The one test that waits for the real limit: every query at once, so it costs ten seconds.
    aiohttp rounds a deadline of more than five seconds up to a whole second of the loop's clock,
    so the limit ends between 10 and 11 seconds after the request."""
    for path in (json_path("demo"), json_path("demo", "1.0")):
        demo.faults.set(path, delay=12)
    finder = repo_finder.RepoFinder(SettingsManager(demo.settings_values()))
    index = demo.simple_url
    started = time.monotonic()
    answers = await asyncio.gather(
        finder._get_versions_from_index("demo", index),
        finder._get_extras_from_index("demo", "1.0", index),
        finder._get_dependencies_from_index("demo", "1.0", index),
        finder._package_exists_in_index("demo", index),
        finder._package_version_exists_in_index("demo", "1.0", index),
        package_manager.get_package_info("demo"),
    )
    elapsed = time.monotonic() - started
    await finder.close()
    assert answers == [[], set(), [], False, False, {"error": "Request timed out"}]
    assert 9.9 < elapsed < 11.5
    timeout = ("error", f"Timeout querying {index} for demo")
    assert sorted(module_logs.records()) == sorted(
        [
            timeout,
            timeout,
            timeout,
            ("debug", f"API check failed for demo at {index}: "),
            ("debug", f"API check failed for demo==1.0 at {index}: "),
            ("info", "Querying package info for demo from PyPI"),
            ("error", "Timeout querying PyPI for demo"),
        ]
    )
    counts.add(operations=6, faults=6)


@pytest.mark.parametrize("operation", INSTALL_OPERATIONS)
@pytest.mark.parametrize("signal", [9, 15])
async def test_pip_killed_by_a_signal(package_manager, tmp_path, counts, operation, signal):
    package_manager.pip_command_builder = ScriptPip.shell(f'echo "Collecting $1"; kill -{signal} $$')
    items = await collect(start_install(package_manager, operation, "demo", tmp_path / "target"))
    assert items == [
        ("stdout", "Collecting demo==1.0"),
        ("error", f"pip install failed with return code -{signal}"),
    ]
    assert package_manager.package_cache.list_cached_packages() == []
    counts.add(operations=1, faults=1)


@pytest.mark.parametrize("operation", INSTALL_OPERATIONS)
async def test_output_left_in_the_pipes_at_exit_is_all_delivered(
    package_manager, tmp_path, counts, operation
):
    # Less than a pipe holds, so pip is gone before anything is read.
    package_manager.pip_command_builder = ScriptPip.shell("seq 1 4000; seq 4001 8000 >&2; exit 3")
    items = await collect(start_install(package_manager, operation, "demo", tmp_path / "target"))
    assert [text for kind, text in items if kind == "stdout"] == [str(n) for n in range(1, 4001)]
    assert [text for kind, text in items if kind == "stderr"] == [str(n) for n in range(4001, 8001)]
    assert items[-1] == ("error", "pip install failed with return code 3")
    counts.add(operations=1, faults=1)


@pytest.mark.parametrize("operation", INSTALL_OPERATIONS[1:])
async def test_a_missing_pip_fails_a_cache_install_and_records_nothing(
    package_manager, tmp_path, counts, operation
):
    builder = package_manager.pip_command_builder = ScriptPip.shell(INSTALLING)
    builder.build_install_command = lambda spec, target, **options: [str(tmp_path / "no-such-python"), spec]
    assert await collect(start_install(package_manager, operation, "demo", tmp_path / "target")) == [
        ("error", "Python executable not found")
    ]
    assert package_manager.package_cache.list_cached_packages() == []
    counts.add(operations=1, faults=1)
