"""Pytest fixtures serving a fresh local package index per test.

Enable with ``pytest_plugins = ["quenlet_master.local_index.pytest_plugin"]`` in a top-level
conftest, or import the fixtures into a conftest. Each fixture serves its own empty folder;
add releases with ``index.add_wheel(name, version, requires_dist=[...], extras=[...])`` or
``index.add_sdist(...)`` at any time, and they are served on the next request.
"""

from __future__ import annotations

from collections.abc import AsyncIterator, Iterator

import pytest
import pytest_asyncio

from quenlet_master.local_index.server import LocalIndex, LocalIndexServer


@pytest_asyncio.fixture
async def local_index(tmp_path_factory: pytest.TempPathFactory) -> AsyncIterator[LocalIndex]:
    """A ``LocalIndex`` running on the test's event loop."""
    async with LocalIndex(tmp_path_factory.mktemp("local_index")) as index:
        yield index


@pytest.fixture
def local_index_server(tmp_path_factory: pytest.TempPathFactory) -> Iterator[LocalIndexServer]:
    """A ``LocalIndexServer`` on its own thread, for synchronous tests and subprocesses."""
    with LocalIndexServer(tmp_path_factory.mktemp("local_index")) as server:
        yield server
