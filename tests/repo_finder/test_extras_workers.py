"""The extras one version's requirements name, from its API document or the finder's file."""

from __future__ import annotations

import pytest

from quenlet_master.local_index import json_path

from .conftest import FakeFile

REQUIRES_DIST = [
    'pytest>=7; extra == "test"',
    "sphinx; extra == 'docs'",
    'coverage; extra == "test"',
    'a; extra == "a" or extra == "b"',
    'b; extra=="nospace"',
    "c; python_version < '3.12'",
    "d; python_version >= '3.8' and extra == \"Dev\"",
    "e; extra ==   'mixed\"",
    "plain>=1",
]
FOUND = {"test", "docs", "a", "Dev", "mixed"}


async def test_api_extras_are_the_names_markers_compare_with(local_index, index_finder, log):
    local_index.add_wheel("demo", "1.0", requires_dist=REQUIRES_DIST)
    finder = index_finder()
    assert await finder._get_extras_from_index("demo", "1.0", local_index.simple_url) == FOUND
    # Nothing is kept: a second query asks again, even with the dependency cache filled.
    await finder._get_dependencies_from_index("demo", "1.0", local_index.simple_url)
    assert await finder._get_extras_from_index("demo", "1.0", local_index.simple_url) == FOUND
    assert local_index.request_log.paths() == [json_path("demo", "1.0")] * 3
    assert ("debug", "Found 5 extras via API for demo") in log.records


@pytest.mark.parametrize(
    ("fault", "level", "message"),
    [
        ({"requires_dist_null": True}, "debug", "Found 0 extras via API for demo"),
        ({"json": {"info": {}}}, "debug", "Found 0 extras via API for demo"),
        ({"json": {}}, "debug", "Found 0 extras via API for demo"),
        (
            {"info_null": True},
            "error",
            'Failed to query {index} for demo: the document\'s "info" is not a JSON object',
        ),
        (
            {"json": {"info": {"requires_dist": ['x; extra == "a"', 3]}}},
            "error",
            'Failed to query {index} for demo: the document\'s "requires_dist" is not a list of strings',
        ),
        ({"status": 404}, "debug", "Package demo not found at {index}"),
        ({"status": 500}, "error", "API returned status 500 for {api}"),
    ],
    ids=["requires_dist null", "no requires_dist", "no info", "info null", "not strings", "404", "500"],
)
async def test_api_answers_without_extras(local_index, index_finder, log, fault, level, message):
    local_index.add_wheel("demo", "1.0", requires_dist=['x; extra == "a"'])
    local_index.faults.set(json_path("demo", "1.0"), **fault)
    assert await index_finder()._get_extras_from_index("demo", "1.0", local_index.simple_url) == set()
    expected = message.format(index=local_index.simple_url, api=local_index.json_url("demo", "1.0"))
    assert log.records == [(level, expected)]


async def test_a_timeout_gives_no_extras_and_no_finder(
    local_index, index_finder, log, short_timeout, fake_finder
):
    local_index.faults.set(json_path("demo", "1.0"), delay=1)
    assert await index_finder()._get_extras_from_index("demo", "1.0", local_index.simple_url) == set()
    assert log.records == [("error", f"Timeout querying {local_index.simple_url} for demo")]
    assert fake_finder.calls == []


@pytest.fixture
def no_api(repo_finder):
    finder = repo_finder.RepoFinder(None)
    finder._get_api_pattern_for_index = lambda index_url: None
    return finder


async def test_a_finder_with_get_metadata_is_asked_for_it(no_api, log, fake_finder):
    fake_finder.best = FakeFile("1.0", link="the link")
    fake_finder.requires_dist = REQUIRES_DIST
    assert await no_api._get_extras_from_index("demo", "1.0", "http://127.0.0.1:1/") == FOUND
    assert [call[:2] for call in fake_finder.calls] == [
        ("find_best_match", "demo==1.0"),
        ("get_metadata", "the link"),
    ]
    assert log.records == []


@pytest.mark.parametrize(
    ("best", "requires_dist"),
    [(None, REQUIRES_DIST), (FakeFile("1.0", link=""), REQUIRES_DIST), (FakeFile("1.0"), None)],
    ids=["no best file", "no link", "no Requires-Dist"],
)
async def test_the_finder_path_without_requirements_gives_none(no_api, log, fake_finder, best, requires_dist):
    fake_finder.best = best
    fake_finder.requires_dist = requires_dist
    assert await no_api._get_extras_from_index("demo", "1.0", "http://127.0.0.1:1/") == set()
    assert log.records == []


async def test_finder_and_executor_failures(no_api, log, fake_finder):
    fake_finder.error = OSError("index unreachable")
    assert await no_api._get_extras_from_index("demo", "1.0", "http://127.0.0.1:1/") == set()
    no_api._get_extras_via_unearth = None
    assert await no_api._get_extras_from_index("demo", "1.0", "http://127.0.0.1:1/") == set()
    assert log.records[0] == ("debug", "Unearth get_extras failed: index unreachable")
    assert log.records[1][0] == "error"
    assert log.records[1][1].startswith("Unearth failed for extras demo==1.0: ")
    assert len(log.records) == 2


async def test_without_pattern_or_finder_nothing_is_requested(
    repo_finder, local_index, index_finder, log, monkeypatch
):
    monkeypatch.setattr(repo_finder, "UNEARTH_AVAILABLE", False)
    finder = index_finder(with_api=False)
    assert await finder._get_extras_from_index("demo", "1.0", local_index.simple_url) == set()
    assert log.records == [
        ("debug", f"No API pattern and unearth not available for {local_index.simple_url}")
    ]
    assert local_index.request_log.paths() == []
