"""Many operations at once on one event loop: each answers with a value of its type, and the
shared state (the HTTP session, the kept documents, the package cache) stays sound."""

from __future__ import annotations

import asyncio
import random
import sqlite3

import pytest
from support import ScriptPip

from quenlet_master.business_layer.packages import repo_finder
from quenlet_master.config.settings import SettingsManager
from quenlet_master.local_index import LocalIndex, json_path

from .conftest import scaled

# Each index holds other versions of "demo": a version list that is not one of these is wrong.
VERSIONS = {"a": ["2.0", "1.0"], "b": ["3.0", "1.0"], "c": ["4.0"]}
FAULTS = [
    {"status": 404},
    {"status": 500},
    {"delay": 0.2},
    {"reset_mid_body": True},
    {"body": b"{not json", "content_type": "application/json"},
    {"status": 302, "location": "/pypi/demo/json"},
]


@pytest.fixture
async def indexes(tmp_path):
    async with (
        LocalIndex(tmp_path / "a") as a,
        LocalIndex(tmp_path / "b") as b,
        LocalIndex(tmp_path / "c") as c,
    ):
        for name, index in zip("abc", (a, b, c), strict=True):
            for version in VERSIONS[name]:
                index.add_wheel(
                    "demo", version, requires_dist=[f"dep-{name}; extra == 'x{name}'"], extras=[f"x{name}"]
                )
        yield {"a": a, "b": b, "c": c}


async def test_two_hundred_queries_over_three_faulty_indexes(indexes, counts):
    rng = random.Random(20240611)
    a, b, c = indexes["a"], indexes["b"], indexes["c"]
    settings = SettingsManager(
        {
            "package_management.pip.index_urls": [
                {"url": a.simple_url, "primary": True},
                {"url": b.simple_url},
                {"url": c.simple_url},
            ],
            "package_management.pip.use_secondary_urls": True,
            # c has no pattern: it is asked through the finder, on the executor's threads.
            "package_management.pip_api": [
                {"index_url": a.simple_url, "api_pattern": a.api_pattern},
                {"index_url": b.simple_url, "api_pattern": b.api_pattern},
            ],
        }
    )
    finder = repo_finder.RepoFinder(settings)
    faults = 0
    for index in indexes.values():
        for path in (
            json_path("demo"),
            *(json_path("demo", v) for v in ("1.0", "2.0", "3.0", "4.0")),
            "/simple/demo/",
        ):
            if rng.random() < 0.6:
                index.faults.set(path, times=rng.randint(1, 20), **rng.choice(FAULTS))
                faults += 1
    urls = {index.simple_url for index in indexes.values()}

    def check(operation, answer):
        if operation in ("find_repo_for_package", "find_repo_for_package_version"):
            assert answer is None or answer in urls
        elif operation == "get_versions":
            assert answer == [] or answer in VERSIONS.values()
        elif operation == "get_extras":
            assert answer in ([], ["xa"], ["xb"], ["xc"])
        else:
            assert isinstance(answer, list)
            for record in answer:
                assert record["name"] in ("dep-a", "dep-b", "dep-c") and list(record) == [
                    "name",
                    "version_spec",
                    "extras",
                    "markers",
                ]

    calls = []
    for _ in range(scaled(200)):
        version = rng.choice(["1.0", "2.0", "3.0", "4.0"])
        operation, arguments = rng.choice(
            [
                ("get_versions", ("demo",)),
                ("get_extras", ("demo", version)),
                ("get_dependencies", ("demo", version)),
                ("find_repo_for_package", ("demo",)),
                ("find_repo_for_package_version", ("demo", version)),
            ]
        )
        calls.append((operation, getattr(finder, operation)(*arguments)))
    answers = await asyncio.gather(*(call for _, call in calls))
    for (operation, _), answer in zip(calls, answers, strict=True):
        check(operation, answer)
    assert any(answers), "no index ever answered: the faults hid everything"
    await finder.close()
    counts.add(operations=len(calls), faults=faults)


async def test_twenty_concurrent_cache_installs_of_one_package(package_manager, counts):
    # Every third pip fails; the others install into their own folders.
    package_manager.pip_command_builder = ScriptPip.shell(
        'echo "Collecting $1"; sleep 0.$(( $$ % 5 )); touch "$2/done"; [ $(( $$ % 3 )) -ne 0 ]'
    )

    async def run():
        return [item async for item in package_manager.install_package_to_cache("demo", "1.0", ["x"])]

    streams = await asyncio.gather(*(run() for _ in range(scaled(20))))
    paths = set()
    for items in streams:
        assert items[-1][0] in ("path", "error")
        if items[-1][0] == "path":
            assert items[-2] == ("success", "Successfully installed demo[x]==1.0 to cache")
            paths.add(items[-1][1])
        else:
            assert items[-1][1].startswith("pip install failed with return code ")
    cache = package_manager.package_cache
    records = cache.list_cached_packages()
    # Nothing locks the lookup against the recording: each successful install is recorded once.
    assert {r["install_path"] for r in records} == paths
    assert len(records) == len(paths) == len({r["install_uuid"] for r in records})
    assert cache.get_cached_package("demo", "1.0", "x") in paths | ({None} if not paths else set())
    with sqlite3.connect(cache.database_path) as database:
        assert database.execute("PRAGMA integrity_check").fetchone() == ("ok",)
    counts.add(operations=len(streams), faults=sum(1 for items in streams if items[-1][0] == "error"))
