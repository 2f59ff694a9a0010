"""Random JSON documents, served by the local index to every worker: whatever an index sends, each
answers with a value of its type and raises nothing."""

from __future__ import annotations

import asyncio
import re
import warnings

import aiohttp
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quenlet_master.business_layer.packages import manager, repo_finder
from quenlet_master.config import public_index
from quenlet_master.config.settings import SettingsManager
from quenlet_master.local_index import LocalIndex, LocalIndexServer, json_path

from .conftest import scaled

EXTRA = re.compile(r"extra\s*==\s*['\"]([^'\"]+)['\"]")
SIMPLE_JSON = "application/vnd.pypi.simple.v1+json"

scalars = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False), st.text(max_size=8))
any_json = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=6), inner, max_size=4),
    max_leaves=12,
)
requirement = st.lists(
    st.sampled_from(
        ["pkg", ">=1", "[a, b]", "; ", "extra ==", " 'x'", '"Dev"', "extra", "==", "'", " ", "é", "\n"]
    ),
    max_size=6,
).map("".join)
shaped = st.fixed_dictionaries(
    {},
    optional={
        "info": st.one_of(
            st.none(),
            any_json,
            st.fixed_dictionaries(
                {},
                optional={"requires_dist": st.one_of(st.none(), st.lists(requirement, max_size=5), any_json)},
            ),
        ),
        "releases": st.one_of(
            any_json, st.dictionaries(st.sampled_from(["1.0", "10.0", "2.0rc1", "x", ""]), any_json)
        ),
    },
)
documents = st.one_of(shaped, any_json)


class Worker:
    """The local index on its own thread, and one event loop here that every example runs on."""

    def __init__(self, server: LocalIndex):
        self.server = server
        self.loop = asyncio.new_event_loop()
        self.api = repo_finder.RepoFinder(SettingsManager(server.settings_values()))
        self.finder = repo_finder.RepoFinder(SettingsManager(server.settings_values(with_api=False)))
        self.package_manager = manager.PackageManager("/nowhere")

    def run(self, coroutine):
        return self.loop.run_until_complete(coroutine)

    def close(self):
        self.run(self.api.close())
        self.run(self.finder.close())
        self.loop.close()


@pytest.fixture(scope="module")
def worker(tmp_path_factory):
    with LocalIndexServer(tmp_path_factory.mktemp("fuzz_index")) as server:
        server.add_wheel("demo", "1.0")
        made = Worker(server)
        yield made
        made.close()


@pytest.fixture(scope="module")
def public_index_is_local(worker):
    """get_package_info's address of the public index leads to the local index."""
    root = public_index.base_url().rstrip("/")

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # aiohttp frowns on subclasses

        class LocalSession(aiohttp.ClientSession):
            def get(self, url, **kwargs):
                return super().get(worker.server.url + url[len(root) :], **kwargs)

    saved = manager.aiohttp
    manager.aiohttp = type(
        "Aiohttp", (), {"ClientSession": LocalSession, "ClientTimeout": aiohttp.ClientTimeout}
    )
    yield
    manager.aiohttp = saved


def expected_extras(document):
    """The extras the rules find, or None where the document cannot be read that way."""
    if not isinstance(document, dict):
        return None
    info = document.get("info", {})
    if not isinstance(info, dict):
        return None
    requirements = info.get("requires_dist", [])
    if not requirements:
        return set()
    if not isinstance(requirements, list) or not all(isinstance(r, str) for r in requirements):
        return None
    return {m.group(1) for r in requirements if "extra ==" in r and (m := EXTRA.search(r))}


@settings(
    max_examples=scaled(150), deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(document=documents)
def test_every_worker_answers_any_document(worker, public_index_is_local, counts, document):
    server = worker.server
    for path in (json_path("demo"), json_path("demo", "1.0")):
        server.faults.set(path, json=document)
    server.faults.set("/simple/demo/", json=document, content_type=SIMPLE_JSON)
    index = server.simple_url
    api = worker.api
    api._metadata_cache.clear()

    async def ask():
        return (
            await api._get_versions_from_index("demo", index),
            await api._get_extras_from_index("demo", "1.0", index),
            await api._get_dependencies_from_index("demo", "1.0", index),
            await api._package_exists_in_index("demo", index),
            await api._package_version_exists_in_index("demo", "1.0", index),
            await worker.package_manager.get_package_info("demo"),
            await worker.finder._get_versions_from_index("demo", index),
        )

    versions, extras, dependencies, exists, version_exists, info, finder_versions = worker.run(ask())
    assert isinstance(versions, list) and all(isinstance(v, str) for v in versions)
    if isinstance(document, dict) and isinstance(document.get("releases", {}), dict):
        assert sorted(versions) == sorted(document.get("releases", {}))
    assert isinstance(extras, set) and all(isinstance(e, str) for e in extras)
    assert extras == (expected_extras(document) or set())
    assert isinstance(dependencies, list)
    for record in dependencies:
        assert list(record) == ["name", "version_spec", "extras", "markers"]
    assert (exists, version_exists) == (True, True)
    assert isinstance(info, dict) and list(info) in (["error"], ["name", "latest_version", "summary"])
    assert isinstance(finder_versions, list) and all(isinstance(v, str) for v in finder_versions)
    counts.add(operations=7, faults=7)
