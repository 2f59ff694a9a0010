"""The five queries: primary index first, then the secondary ones when allowed, first result wins."""

from __future__ import annotations

import re

import pytest

from quenlet_master.config.settings import SettingsManager
from quenlet_master.local_index import LocalIndex, json_path

from .conftest import RecordingSettings

PRIMARY, EARLIER, FIRST, SECOND = (
    "http://primary.example/simple/",
    "http://earlier.example/simple",
    "http://secondary-1.example/simple",
    "http://secondary-2.example/",
)

# operation -> (worker, arguments before the index address, a hit, a miss, answer on a hit)
OPERATIONS = {
    "get_versions": ("_get_versions_from_index", ("pkg",), ["2.0", "1.0"], [], None),
    "get_extras": ("_get_extras_from_index", ("pkg", "1.0"), {"test", "Docs", "all"}, set(), None),
    "get_dependencies": (
        "_get_dependencies_from_index",
        ("pkg", "1.0"),
        [{"name": "a"}, {"name": "b"}],
        [],
        None,
    ),
    "find_repo_for_package": ("_package_exists_in_index", ("pkg",), True, False, "url"),
    "find_repo_for_package_version": ("_package_version_exists_in_index", ("pkg", "1.0"), True, False, "url"),
}
LIST_OPERATIONS = ["get_versions", "get_extras", "get_dependencies"]


def expected_answer(operation, url):
    _, _, hit, _, answer = OPERATIONS[operation]
    if answer == "url":
        return url
    return sorted(hit) if operation == "get_extras" else hit


def plan(*entries, use_secondary=True):
    return SettingsManager(
        {
            "package_management.pip.index_urls": [dict(entry) for entry in entries],
            "package_management.pip.use_secondary_urls": use_secondary,
        }
    )


def with_workers(repo_finder, settings, operation, hits):
    """A finder whose worker for `operation` answers a hit on the addresses in `hits`."""
    worker, _, hit, miss, _ = OPERATIONS[operation]
    finder = repo_finder.RepoFinder(settings)
    asked = []

    async def answer(*args):
        asked.append(args)
        return hit if args[-1] in hits else miss

    setattr(finder, worker, answer)
    return finder, asked


async def run(finder, operation, **kwargs):
    return await getattr(finder, operation)(*OPERATIONS[operation][1], **kwargs)


@pytest.mark.parametrize("operation", OPERATIONS)
async def test_a_primary_hit_ends_the_search(repo_finder, log, operation):
    settings = plan({"url": FIRST}, {"url": PRIMARY, "primary": True})
    finder, asked = with_workers(repo_finder, settings, operation, {PRIMARY, FIRST})
    assert await run(finder, operation) == expected_answer(operation, PRIMARY)
    assert asked == [(*OPERATIONS[operation][1], PRIMARY)]


@pytest.mark.parametrize("operation", OPERATIONS)
async def test_secondaries_are_asked_in_order_until_one_has_a_result(repo_finder, log, operation):
    settings = plan({"url": FIRST}, {"url": PRIMARY, "primary": True}, {"url": SECOND, "primary": False})
    finder, asked = with_workers(repo_finder, settings, operation, {SECOND})
    result = await run(finder, operation)
    assert result == expected_answer(operation, SECOND)
    assert [args[-1] for args in asked] == [PRIMARY, FIRST, SECOND]
    if operation.startswith("find_repo"):
        assert log.records == []


SEARCH_LOGS = {
    "get_versions": [
        "Querying primary index for pkg versions",
        "No results in primary, trying 2 secondary indexes",
        f"Querying secondary index: {FIRST}",
        f"Querying secondary index: {SECOND}",
        "Found 2 versions in secondary index",
    ],
    "get_extras": [
        "Querying primary index for extras: pkg",
        "No extras in primary, trying 2 secondary indexes",
        f"Querying secondary index: {FIRST}",
        f"Querying secondary index: {SECOND}",
        "Found 3 extras in secondary index",
    ],
    "get_dependencies": [
        "Querying primary index for dependencies: pkg",
        "No dependencies in primary, trying 2 secondary indexes",
        f"Querying secondary index: {FIRST}",
        f"Querying secondary index: {SECOND}",
        "Found 2 dependencies in secondary index",
    ],
}


@pytest.mark.parametrize("operation", LIST_OPERATIONS)
async def test_list_queries_log_each_step_at_info(repo_finder, log, operation):
    settings = plan({"url": PRIMARY, "primary": True}, {"url": FIRST}, {"url": SECOND})
    finder, _ = with_workers(repo_finder, settings, operation, {SECOND})
    await run(finder, operation)
    assert log.records == [("info", message) for message in SEARCH_LOGS[operation]]


NOTHING_FOUND = {
    "get_versions": [
        ("info", "Querying primary index for pkg versions"),
        ("warning", "No versions found for pkg in any index"),
    ],
    "get_extras": [
        ("info", "Querying primary index for extras: pkg"),
        ("info", "No extras found for pkg in any index"),
    ],
    "get_dependencies": [
        ("info", "Querying primary index for dependencies: pkg"),
        ("debug", "No dependencies found for pkg in any index"),
    ],
    "find_repo_for_package": [],
    "find_repo_for_package_version": [],
}


@pytest.mark.parametrize("operation", OPERATIONS)
async def test_without_secondaries_allowed_a_miss_is_the_answer(repo_finder, log, operation):
    settings = plan({"url": PRIMARY, "primary": True}, {"url": FIRST}, use_secondary=False)
    finder, asked = with_workers(repo_finder, settings, operation, {FIRST})
    result = await run(finder, operation)
    assert result == (None if operation.startswith("find_repo") else [])
    assert [args[-1] for args in asked] == [PRIMARY]
    assert log.records == NOTHING_FOUND[operation]


@pytest.mark.parametrize("operation", OPERATIONS)
async def test_only_the_last_entry_marked_primary_is_searched(repo_finder, log, operation):
    settings = plan({"url": EARLIER, "primary": True}, {"url": PRIMARY, "primary": 1}, {"url": FIRST})
    finder, asked = with_workers(repo_finder, settings, operation, {EARLIER})
    await run(finder, operation)
    assert [args[-1] for args in asked] == [PRIMARY, FIRST]


async def test_without_a_primary_the_secondaries_are_searched(repo_finder, log):
    settings = plan({"url": FIRST, "primary": False}, {"url": SECOND}, {"url": "", "primary": True})
    finder, asked = with_workers(repo_finder, settings, "get_versions", {SECOND})
    assert await finder.get_versions("pkg") == ["2.0", "1.0"]
    assert [args[-1] for args in asked] == [FIRST, SECOND]
    assert log.records[0] == ("info", "No results in primary, trying 2 secondary indexes")


@pytest.mark.parametrize("operation", LIST_OPERATIONS)
async def test_an_explicit_index_is_asked_alone_without_settings_or_logs(
    repo_finder, log, public_root, operation
):
    settings = RecordingSettings()
    finder, asked = with_workers(repo_finder, settings, operation, {"http://has-pkg.example/"})
    assert await run(finder, operation, index_url="http://elsewhere.example/") == []
    assert await run(finder, operation, index_url="http://has-pkg.example/") == expected_answer(
        operation, None
    )
    assert [args[-1] for args in asked] == ["http://elsewhere.example/", "http://has-pkg.example/"]
    assert settings.calls == [] and log.records == []
    # An empty address searches the configured indexes.
    await run(finder, operation, index_url="")
    assert settings.calls and asked[-1][-1] == f"{public_root}/simple/"


async def test_settings_are_read_on_every_call(repo_finder, log):
    settings = plan({"url": PRIMARY, "primary": True})
    finder, _ = with_workers(repo_finder, settings, "find_repo_for_package", {PRIMARY, FIRST})
    assert await finder.find_repo_for_package("pkg") == PRIMARY
    settings.update({"package_management.pip.index_urls": [{"url": FIRST, "primary": True}]})
    assert await finder.find_repo_for_package("pkg") == FIRST


async def test_what_a_worker_raises_ends_the_search(repo_finder, log):
    finder = repo_finder.RepoFinder(plan({"url": PRIMARY, "primary": True}, {"url": FIRST}))

    async def failing(package_name, index_url):
        raise LookupError(index_url)

    finder._get_versions_from_index = failing
    with pytest.raises(LookupError, match=re.escape(PRIMARY)):
        await finder.get_versions("pkg")


async def test_use_secondary_urls_is_read_only_when_the_secondary_step_is_reached(repo_finder, log):
    finder, _ = with_workers(repo_finder, None, "get_versions", {PRIMARY})
    finder._get_pip_settings = lambda: {"index_urls": [{"url": PRIMARY, "primary": True}, {"url": FIRST}]}
    assert await finder.get_versions("pkg") == ["2.0", "1.0"]
    finder._get_pip_settings = lambda: {"index_urls": [{"url": FIRST, "primary": True}]}
    with pytest.raises(KeyError, match="use_secondary_urls"):
        await finder.get_versions("pkg")


@pytest.fixture
async def second_index(tmp_path):
    async with LocalIndex(tmp_path / "second") as index:
        yield index


async def test_real_indexes_a_missing_package_and_a_slow_index_are_skipped(
    local_index, second_index, index_finder, log, short_timeout
):
    refusing = "http://127.0.0.1:9/simple/"  # nothing listens on the discard port
    second_index.add_wheel("demo", "1.0")
    second_index.add_wheel("demo", "2.0")
    local_index.faults.set(json_path("demo"), delay=1)
    values = {
        "package_management.pip.index_urls": [
            {"url": local_index.simple_url, "primary": True},
            {"url": refusing},
            {"url": second_index.simple_url},
        ],
        "package_management.pip.use_secondary_urls": True,
        "package_management.pip_api": [
            {"index_url": local_index.simple_url, "api_pattern": local_index.api_pattern},
            {"index_url": refusing, "api_pattern": refusing + "{package_name}"},
            {"index_url": second_index.simple_url, "api_pattern": second_index.api_pattern},
        ],
    }
    finder = index_finder(values=values)
    assert await finder.get_versions("demo") == ["2.0", "1.0"]
    assert await finder.find_repo_for_package("demo") == second_index.simple_url
    assert short_timeout == [10, 10, 10, 10, 10, 10]
    errors = [message for level, message in log.records if level == "error"]
    assert errors[0] == f"Timeout querying {local_index.simple_url} for demo"
    assert errors[1].startswith(f"Failed to query {refusing} for demo: ")
    assert second_index.request_log.paths() == [json_path("demo"), json_path("demo")]


@pytest.mark.parametrize("where", ["instance", "subclass", "class", "class, after a query"])
async def test_a_replaced_worker_is_called_wherever_it_was_replaced(repo_finder, monkeypatch, log, where):
    asked = []

    async def replaced(*args):
        asked.append(args[-3:])
        return [{"name": "replaced"}]

    finder_type = repo_finder.RepoFinder
    if where == "subclass":
        finder_type = type("Replacing", (repo_finder.RepoFinder,), {"_get_dependencies_from_index": replaced})
    elif where == "class":
        monkeypatch.setattr(repo_finder.RepoFinder, "_get_dependencies_from_index", replaced)
    finder = finder_type(plan({"url": PRIMARY, "primary": True}))
    if where == "instance":
        finder._get_dependencies_from_index = replaced
    elif where == "class, after a query":
        # The class's own worker answered from a kept document: a class seen unchanged once
        # must still be looked at again once it changes.
        finder._metadata_cache[("pkg", "0.1")] = {"info": {"requires_dist": ["kept"]}}
        assert await finder.get_dependencies("pkg", "0.1") == [
            {"name": "kept", "version_spec": "", "extras": [], "markers": ""}
        ]
        monkeypatch.setattr(repo_finder.RepoFinder, "_get_dependencies_from_index", replaced)
    assert await finder.get_dependencies("pkg", "1.0") == [{"name": "replaced"}]
    assert await finder.get_dependencies("pkg", "2.0", FIRST) == [{"name": "replaced"}]
    assert asked == [("pkg", "1.0", PRIMARY), ("pkg", "2.0", FIRST)]
