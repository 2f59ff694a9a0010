import aiohttp
import pytest
from manager_support import manager_records

from quenlet_master.business_layer.packages import manager


class Resolver:
    def __init__(self, answer):
        self.answer = answer
        self.calls = []

    async def get_available_versions(self, *args):
        return self.reply(args)

    async def get_package_extras(self, *args):
        return self.reply(args)

    def reply(self, args):
        self.calls.append(args)
        if isinstance(self.answer, Exception):
            raise self.answer
        return self.answer


@pytest.mark.parametrize("answer", [["2.0", "1.0"], [], None])
async def test_resolver_answers_pass_through_unchanged(answer, package_manager):
    package_manager.version_resolver = versions = Resolver(answer)
    package_manager.extras_resolver = extras = Resolver(answer)
    assert await package_manager.get_available_versions("pkg") is answer
    assert await package_manager.get_package_extras("pkg") is answer
    assert await package_manager.get_package_extras("pkg", "1.0") is answer
    assert versions.calls == [("pkg",)]
    assert extras.calls == [("pkg", None), ("pkg", "1.0")]


@pytest.mark.parametrize("query", ["get_available_versions", "get_package_extras"])
async def test_resolver_failures_and_non_lists_reach_the_caller(query, package_manager):
    package_manager.version_resolver = package_manager.extras_resolver = Resolver(("1.0",))
    with pytest.raises(TypeError, match=r"^Expected list, got tuple$"):
        await getattr(package_manager, query)("pkg")
    package_manager.version_resolver = package_manager.extras_resolver = Resolver(LookupError("down"))
    with pytest.raises(LookupError, match="down"):
        await getattr(package_manager, query)("pkg")


async def test_package_info_comes_from_the_json_document(local_aiohttp, package_manager, manager_logs):
    local_aiohttp.index.add_wheel("Demo_Pkg", "1.0", summary="first")
    local_aiohttp.index.add_wheel("Demo_Pkg", "2.0", summary="second")
    info = await package_manager.get_package_info("Demo_Pkg")
    assert info == {"name": "Demo_Pkg", "latest_version": "2.0", "summary": "second"}
    assert list(info) == ["name", "latest_version", "summary"]
    assert local_aiohttp.index.request_log.paths() == ["/pypi/Demo_Pkg/json"]
    assert local_aiohttp.timeouts == [10]
    assert manager_records(manager_logs) == [("INFO", "Querying package info for Demo_Pkg from PyPI")]


@pytest.mark.parametrize(
    "document, expected",
    [
        ({"info": {"version": "3"}}, {"name": "asked", "latest_version": "3", "summary": ""}),
        ({}, {"name": "asked", "latest_version": "", "summary": ""}),
        (
            {"info": {"name": "N", "version": "1", "summary": None}},
            {"name": "N", "latest_version": "1", "summary": None},
        ),
        ({"info": None}, {"error": "'NoneType' object has no attribute 'get'"}),
    ],
)
async def test_missing_members_take_their_defaults(document, expected, local_aiohttp, package_manager):
    local_aiohttp.index.faults.set("/pypi/asked/json", json=document)
    assert await package_manager.get_package_info("asked") == expected


@pytest.mark.parametrize(
    "fault, expected",
    [
        ({}, {"error": "Package 'missing' not found on PyPI"}),
        ({"status": 503}, {"error": "PyPI API returned status 503"}),
    ],
)
async def test_unanswered_statuses_are_reported_without_error_logs(
    fault, expected, local_aiohttp, package_manager, manager_logs
):
    if fault:
        local_aiohttp.index.faults.set("/pypi/missing/json", **fault)
    assert await package_manager.get_package_info("missing") == expected
    assert [level for level, _ in manager_records(manager_logs)] == ["INFO"]


async def test_undecodable_bodies_and_timeouts_are_reported(
    local_aiohttp, package_manager, manager_logs, monkeypatch
):
    local_aiohttp.index.faults.not_json("/pypi/garbled/json")
    result = await package_manager.get_package_info("garbled")
    assert "unexpected mimetype" in result["error"] and list(result) == ["error"]
    assert manager_records(manager_logs)[-1] == (
        "ERROR",
        f"Failed to query package info for garbled: {result['error']}",
    )

    # The real limit is ten seconds; the test shortens it rather than wait that long.
    monkeypatch.setattr(
        local_aiohttp.namespace, "ClientTimeout", lambda total: aiohttp.ClientTimeout(total=0.2)
    )
    local_aiohttp.index.faults.set("/pypi/slow/json", delay=2)
    assert await package_manager.get_package_info("slow") == {"error": "Request timed out"}
    assert manager_records(manager_logs)[-1] == ("ERROR", "Timeout querying PyPI for slow")


async def test_without_aiohttp_nothing_is_requested(package_manager, monkeypatch, manager_logs):
    monkeypatch.setattr(manager, "aiohttp", None)
    assert await package_manager.get_package_info("pkg") == {"error": "aiohttp not installed"}
    assert manager_records(manager_logs) == [("ERROR", "aiohttp not installed, cannot query PyPI API")]
