"""Every version of a package on one index, newest first: API "releases" or the finder's files."""

from __future__ import annotations

import gc
import sys
import weakref

import pytest

from quenlet_master.config.settings import SettingsManager
from quenlet_master.local_index import json_path

from .conftest import FakeFile

RELEASES = ["1.0", "10.0", "zeta", "9.0", "2.0rc1", "1.0.0", "banana", "1.1.dev0"]


def document(versions):
    return {"info": {"name": "demo"}, "releases": {version: [] for version in versions}}


@pytest.mark.parametrize(
    ("packaging", "expected"),
    [
        # Equal versions (1.0, 1.0.0) keep the document's order; unparsable texts come last.
        (True, ["10.0", "9.0", "2.0rc1", "1.1.dev0", "1.0", "1.0.0", "zeta", "banana"]),
        (False, ["zeta", "banana", "9.0", "2.0rc1", "10.0", "1.1.dev0", "1.0.0", "1.0"]),
    ],
    ids=["packaging", "no packaging"],
)
async def test_api_versions_come_newest_first(
    repo_finder, local_index, index_finder, log, monkeypatch, packaging, expected
):
    monkeypatch.setattr(repo_finder, "PACKAGING_AVAILABLE", packaging)
    local_index.faults.set(json_path("demo"), json=document(RELEASES))
    versions = await index_finder()._get_versions_from_index("demo", local_index.simple_url)
    assert versions == expected
    assert log.records == [("debug", "Found 8 versions via API for demo")]
    assert local_index.request_log.paths() == [json_path("demo")]


async def test_a_known_order_answers_for_the_parser_it_was_made_with(
    repo_finder, local_index, index_finder, log, monkeypatch
):
    local_index.faults.set(json_path("demo"), json=document(["1.0", "10.0", "9.0"]))
    finder = index_finder()
    first = await finder._get_versions_from_index("demo", local_index.simple_url)
    assert first == ["10.0", "9.0", "1.0"]
    first.append("changed")
    assert await finder._get_versions_from_index("demo", local_index.simple_url) == ["10.0", "9.0", "1.0"]

    real = repo_finder.Version

    def refusing_ten(text):
        if text == "10.0":
            raise ValueError(text)
        return real(text)

    monkeypatch.setattr(repo_finder, "Version", refusing_ten)
    assert await finder._get_versions_from_index("demo", local_index.simple_url) == ["9.0", "1.0", "10.0"]


async def test_a_finder_whose_kept_order_leads_back_to_it_is_collected(repo_finder, local_index):
    local_index.faults.set(json_path("demo"), json=document(["1.0", "2.0"]))
    real = repo_finder.Version

    class Parsing:
        """A host's version parser that refers back to the finder, as host objects may."""

        def __init__(self, finder):
            self.finder = finder

        def __call__(self, text):
            return real(text)

    finder = repo_finder.RepoFinder(SettingsManager(local_index.settings_values(with_api=True)))
    repo_finder.Version = Parsing(finder)
    try:
        assert await finder._get_versions_from_index("demo", local_index.simple_url) == ["2.0", "1.0"]
    finally:
        repo_finder.Version = real
        await finder.close()
    # Only the kept order leads to the parser now, and the parser back to the finder.
    gone = weakref.ref(finder)
    del finder
    gc.collect()
    assert gone() is None


async def test_the_real_documents_list_versions_without_files_too(local_index, index_finder, log):
    for version in ("1.0", "2.0", "10.0"):
        local_index.add_wheel("Demo_Pkg", version)
    local_index.faults.set(json_path("empty"), json={"info": {}, "releases": {}})
    local_index.faults.set(json_path("none"), json={"info": {}})
    finder = index_finder()
    assert await finder._get_versions_from_index("Demo_Pkg", local_index.simple_url) == ["10.0", "2.0", "1.0"]
    assert await finder._get_versions_from_index("empty", local_index.simple_url) == []
    assert await finder._get_versions_from_index("none", local_index.simple_url) == []
    assert [message for _, message in log.records] == [
        "Found 3 versions via API for Demo_Pkg",
        "Found 0 versions via API for empty",
        "Found 0 versions via API for none",
    ]
    assert local_index.request_log.paths()[0] == json_path("Demo_Pkg")


@pytest.mark.parametrize(
    ("fault", "level", "message"),
    [
        (
            {"status": 503, "body": "{}", "content_type": "application/json"},
            "error",
            "API returned status 503 for {api}",
        ),
        ({"json": ["1.0"]}, "error", "Failed to query {index} for demo: the document is not a JSON object"),
        (
            {"json": {"releases": ["1.0"]}},
            "error",
            'Failed to query {index} for demo: the document\'s "releases" is not a JSON object',
        ),
    ],
    ids=["503", "not an object", "releases not an object"],
)
async def test_api_failures_give_an_empty_list_and_one_line(
    local_index, index_finder, log, fake_finder, fault, level, message
):
    local_index.faults.set(json_path("demo"), **fault)
    assert await index_finder()._get_versions_from_index("demo", local_index.simple_url) == []
    [(logged_level, logged)] = log.records
    expected = message.format(index=local_index.simple_url, api=local_index.json_url("demo"))
    assert logged_level == level and logged.startswith(expected)
    assert fake_finder.calls == []


async def test_the_finder_lists_each_version_once_in_release_order(local_index, index_finder, log):
    for version in ("1.0", "10.0", "2.0rc1", "9.0"):
        local_index.add_wheel("demo", version)
    local_index.add_sdist("demo", "1.0")
    finder = index_finder(with_api=False)
    assert await finder._get_versions_from_index("demo", local_index.simple_url) == [
        "10.0",
        "9.0",
        "2.0rc1",
        "1.0",
    ]
    assert await finder._get_versions_from_index("missing", local_index.simple_url) == []
    assert not any(path.startswith("/pypi/") for path in local_index.request_log.paths())


async def test_the_finder_drops_what_does_not_parse(no_api, log, fake_finder):
    fake_finder.files = [FakeFile(v) for v in ("1.0", "2.0rc1", "not a version", "10.0", "10.0")]
    assert await no_api._get_versions_from_index("demo", "http://127.0.0.1:1/") == ["10.0", "2.0rc1", "1.0"]
    assert log.records == []


async def test_without_packaging_the_finder_sorts_by_text(no_api, log, fake_finder, monkeypatch):
    monkeypatch.setitem(sys.modules, "packaging.version", None)
    fake_finder.files = [FakeFile(v) for v in ("1.0", "10.0", "9.0", "9.0")]
    assert await no_api._get_versions_from_index("demo", "http://127.0.0.1:1/") == ["9.0", "10.0", "1.0"]
