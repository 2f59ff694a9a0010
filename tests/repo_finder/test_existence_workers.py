"""Does one index have a package, or one version of it: the API status, or the finder's files."""

from __future__ import annotations

import threading

import pytest

from quenlet_master.local_index import json_path

from .conftest import FakeFile


@pytest.fixture
def demo(local_index):
    local_index.add_wheel("demo", "1.0")
    local_index.add_sdist("demo", "2.0")
    return local_index


@pytest.mark.parametrize(
    ("status", "expected"), [(None, True), (404, False), (500, False), (403, False)], ids=str
)
async def test_the_api_status_alone_answers(demo, index_finder, log, status, expected):
    finder = index_finder()
    for path in (json_path("demo"), json_path("demo", "1.0")):
        if status is not None:
            demo.faults.set(path, status=status)
    assert await finder._package_exists_in_index("demo", demo.simple_url) is expected
    assert await finder._package_version_exists_in_index("demo", "1.0", demo.simple_url) is expected
    # The package form drops the version segment; the version form fills it in.
    assert demo.request_log.paths() == [json_path("demo"), json_path("demo", "1.0")]
    assert log.records == []


async def test_a_pattern_without_a_version_marker_asks_for_the_package(demo, index_finder, log):
    values = demo.settings_values()
    values["package_management.pip_api"][0]["api_pattern"] = demo.url + "/pypi/{package_name}/json"
    finder = index_finder(values=values)
    assert await finder._package_version_exists_in_index("demo", "9.9", demo.simple_url) is True
    assert demo.request_log.paths() == [json_path("demo")]


async def test_api_failures_are_a_debug_line_and_no_finder(
    demo, index_finder, log, short_timeout, fake_finder
):
    finder = index_finder()
    demo.faults.set(json_path("demo"), delay=1)
    demo.faults.set(json_path("demo", "1.0"), delay=1)
    assert await finder._package_exists_in_index("demo", demo.simple_url) is False
    assert await finder._package_version_exists_in_index("demo", "1.0", demo.simple_url) is False
    assert short_timeout == [10, 10]
    assert [level for level, _ in log.records] == ["debug", "debug"]
    assert log.records[0][1].startswith(f"API check failed for demo at {demo.simple_url}: ")
    assert log.records[1][1].startswith(f"API check failed for demo==1.0 at {demo.simple_url}: ")
    assert fake_finder.calls == []


async def test_without_aiohttp_the_api_check_fails_with_its_reason(
    repo_finder, demo, index_finder, log, monkeypatch
):
    monkeypatch.setattr(repo_finder, "aiohttp", None)
    finder = index_finder()
    assert await finder._package_version_exists_in_index("demo", "1.0", demo.simple_url) is False
    assert log.records == [
        (
            "debug",
            f"API check failed for demo==1.0 at {demo.simple_url}: "
            "aiohttp not installed, cannot query package indexes",
        )
    ]


async def test_without_pattern_or_finder_the_answer_is_no(repo_finder, demo, index_finder, log, monkeypatch):
    monkeypatch.setattr(repo_finder, "UNEARTH_AVAILABLE", False)
    finder = index_finder(with_api=False)
    assert await finder._package_exists_in_index("demo", demo.simple_url) is False
    assert await finder._package_version_exists_in_index("demo", "1.0", demo.simple_url) is False
    assert log.records == [("debug", f"No API pattern and unearth not available for {demo.simple_url}")]
    assert demo.request_log.paths() == []


@pytest.mark.parametrize(
    ("name", "version", "package", "exact"),
    [
        ("demo", "1.0", True, True),
        ("Demo", "2.0", True, True),
        ("demo", "3.0", True, False),
        ("nope", "1.0", False, False),
    ],
)
async def test_the_finder_answers_from_the_simple_pages(
    demo, index_finder, log, name, version, package, exact
):
    finder = index_finder(with_api=False)
    assert await finder._package_exists_in_index(name, demo.simple_url) is package
    assert await finder._package_version_exists_in_index(name, version, demo.simple_url) is exact
    assert not any(path.startswith("/pypi/") for path in demo.request_log.paths())


async def test_finder_checks_run_on_the_executor_and_fail_quietly(repo_finder, log, fake_finder):
    finder = repo_finder.RepoFinder(None)
    finder._get_api_pattern_for_index = lambda index_url: None
    fake_finder.files = [FakeFile("0.1")]
    fake_finder.best = FakeFile("0.1")
    assert await finder._package_exists_in_index("demo", "http://127.0.0.1:1/") is True
    assert await finder._package_version_exists_in_index("demo", "0.1", "http://127.0.0.1:1/") is True
    loop_thread = threading.current_thread().name
    assert [(method, argument) for method, argument, _ in fake_finder.calls] == [
        ("find_all_packages", "demo"),
        ("find_best_match", "demo==0.1"),
    ]
    assert all(thread != loop_thread for _, _, thread in fake_finder.calls)

    fake_finder.error = ValueError("index unreachable")
    assert await finder._package_exists_in_index("demo", "http://127.0.0.1:1/") is False
    assert await finder._package_version_exists_in_index("demo", "0.1", "http://127.0.0.1:1/") is False
    assert log.records == [
        ("debug", "Unearth check failed for demo at http://127.0.0.1:1/: index unreachable")
    ]


async def test_an_executor_failure_is_reported_like_a_finder_failure(repo_finder, log):
    finder = repo_finder.RepoFinder(None)
    finder._get_api_pattern_for_index = lambda index_url: ""
    finder._package_exists_via_unearth = finder._package_version_exists_via_unearth = "not callable"
    assert await finder._package_exists_in_index("demo", "http://127.0.0.1:1/") is False
    assert await finder._package_version_exists_in_index("demo", "0.1", "http://127.0.0.1:1/") is False
    assert len(log.records) == 1
    assert log.records[0][1].startswith("Unearth check failed for demo at http://127.0.0.1:1/: ")


async def test_the_pattern_lookup_is_not_protected(repo_finder):
    finder = repo_finder.RepoFinder(None)
    finder._get_pip_api_list = lambda: None
    with pytest.raises(TypeError):
        await finder._package_exists_in_index("demo", "http://127.0.0.1:1/")
    with pytest.raises(TypeError):
        await finder._package_version_exists_in_index("demo", "1.0", "http://127.0.0.1:1/")
