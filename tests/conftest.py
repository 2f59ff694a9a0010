"""Fixtures that every test folder shares: a fresh local package index per test, the public
index's address leading to it, a package manager, and pip children that see no machine-wide
configuration. Helpers that are not fixtures live in support.py."""

import contextlib
import importlib
import os
import sys
import warnings
from collections.abc import AsyncIterator, Iterator
from types import SimpleNamespace

import aiohttp
import pytest
import pytest_asyncio

from quenlet_master.business_layer.packages import manager
from quenlet_master.config import public_index
from quenlet_master.demo import hermetic_pip_environment
from quenlet_master.local_index import LocalIndex, LocalIndexServer

PUBLIC_ROOT = public_index.base_url().rstrip("/")


@pytest.fixture(autouse=True, scope="session")
def gil_forced_off_stays_off():
    """`make test-nogil` and `make reliability` force the GIL off (PYTHON_GIL=0) although both
    modules ask for it: unless it really stays off with them loaded, such a run proves nothing,
    and every test of it fails here. (A build narrowed by QUENLET_MODULES may lack repo_finder.)"""
    if os.environ.get("PYTHON_GIL") == "0":
        with contextlib.suppress(ImportError):
            importlib.import_module("quenlet_master.business_layer.packages.repo_finder")
        assert getattr(sys, "_is_gil_enabled", lambda: True)() is False, "PYTHON_GIL=0, yet the GIL is on"


@pytest_asyncio.fixture
async def local_index(tmp_path_factory: pytest.TempPathFactory) -> AsyncIterator[LocalIndex]:
    """A ``LocalIndex`` serving an empty folder on the test's event loop; add releases with
    ``local_index.add_wheel(...)`` at any time, and they are served on the next request."""
    async with LocalIndex(tmp_path_factory.mktemp("local_index")) as index:
        yield index


@pytest.fixture
def local_index_server(tmp_path_factory: pytest.TempPathFactory) -> Iterator[LocalIndex]:
    """A ``LocalIndex`` served on a thread of its own (``LocalIndexServer``), for synchronous
    tests and subprocesses."""
    with LocalIndexServer(tmp_path_factory.mktemp("local_index")) as index:
        yield index


@pytest.fixture
def local_aiohttp(local_index, monkeypatch):
    """aiohttp as the manager sees it, with the public index's address leading to the local one."""
    timeouts = []

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # aiohttp frowns on subclasses

        class LocalSession(aiohttp.ClientSession):
            def get(self, url, **kwargs):
                assert url.startswith(PUBLIC_ROOT + "/pypi/")
                timeouts.append(kwargs["timeout"].total)
                return super().get(local_index.url + url[len(PUBLIC_ROOT) :], **kwargs)

    namespace = SimpleNamespace(ClientSession=LocalSession, ClientTimeout=aiohttp.ClientTimeout)
    monkeypatch.setattr(manager, "aiohttp", namespace)
    return SimpleNamespace(index=local_index, timeouts=timeouts, namespace=namespace)


@pytest.fixture
def package_manager(tmp_path):
    return manager.PackageManager(str(tmp_path / "base"))


@pytest.fixture
def hermetic_pip_env(monkeypatch) -> dict[str, str]:
    """This process's environment without the machine's pip configuration, which may name extra
    indexes or wheel folders: a test that installs from the local index must not pick a file from
    anywhere else. Returned too, for a child given an environment of its own."""
    env = hermetic_pip_environment()
    for key in [key for key in os.environ if key not in env]:
        monkeypatch.delenv(key)
    for key, value in env.items():
        monkeypatch.setenv(key, value)
    return env
