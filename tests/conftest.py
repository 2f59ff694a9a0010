"""Fixtures that every test folder shares: the local package index, and the public index's
address leading to it."""

import warnings
from types import SimpleNamespace

import aiohttp
import pytest

from quenlet_master.business_layer.packages import manager
from quenlet_master.config import public_index

pytest_plugins = ["quenlet_master.local_index.pytest_plugin"]

PUBLIC_ROOT = public_index.base_url().rstrip("/")


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
