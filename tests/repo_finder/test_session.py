"""The one HTTP session a RepoFinder shares between its queries."""

from __future__ import annotations

import asyncio

import aiohttp
import pytest

from quenlet_master.config.settings import SettingsManager


@pytest.fixture
async def open_finder(finder):
    yield finder
    await finder.close()


async def test_the_session_is_created_once_and_reused(open_finder):
    assert open_finder._session is None
    first = await open_finder._get_session()
    assert isinstance(first, aiohttp.ClientSession) and not first.closed
    assert await open_finder._get_session() is first
    assert open_finder._session is first


async def test_concurrent_first_calls_share_one_session(open_finder):
    sessions = await asyncio.gather(*(open_finder._get_session() for _ in range(5)))
    assert all(session is sessions[0] for session in sessions)


async def test_close_keeps_the_closed_session_and_the_next_call_opens_a_new_one(open_finder):
    first = await open_finder._get_session()
    assert await open_finder.close() is None
    assert first.closed and open_finder._session is first
    second = await open_finder._get_session()
    assert second is not first and not second.closed


async def test_close_without_a_session_or_twice_does_nothing(finder):
    assert await finder.close() is None
    assert finder._session is None
    await finder._get_session()
    assert await finder.close() is None
    assert await finder.close() is None


async def test_aiohttp_is_looked_up_when_the_session_is_needed(repo_finder, open_finder, monkeypatch):
    monkeypatch.setattr(repo_finder, "aiohttp", None)
    with pytest.raises(RuntimeError, match=r"^aiohttp not installed, cannot query package indexes$"):
        await open_finder._get_session()
    # The library test comes first: an open session does not help either.
    monkeypatch.undo()
    await open_finder._get_session()
    monkeypatch.setattr(repo_finder, "aiohttp", None)
    with pytest.raises(RuntimeError):
        await open_finder._get_session()


def test_a_finder_used_under_one_loop_and_then_another_answers_under_both(repo_finder, local_index_server):
    # A host that runs each job under its own asyncio.run and never closes the finder in between.
    local_index_server.add_wheel("alpha", "1.0")
    settings = SettingsManager(local_index_server.settings_values())
    finder = repo_finder.RepoFinder(settings)
    first = asyncio.run(finder.get_versions("alpha"))
    first_session = finder._session

    async def second_job():
        try:
            return await finder.get_versions("alpha"), finder._session
        finally:
            await finder.close()

    second, second_session = asyncio.run(second_job())
    assert first == second == ["1.0"]
    assert second_session is not first_session
    # The session of the loop that has ended was closed when it was replaced.
    assert first_session.closed


def test_a_session_is_never_used_from_another_loop_while_its_own_still_runs(repo_finder):
    finder = repo_finder.RepoFinder(None)
    own_loop = asyncio.new_event_loop()
    try:
        own = own_loop.run_until_complete(finder._get_session())

        async def from_another_loop():
            try:
                return await finder._get_session()
            finally:
                await finder.close()

        other = asyncio.run(from_another_loop())
        assert other is not own and other.closed
        assert not own.closed
        own_loop.run_until_complete(own.close())
    finally:
        own_loop.close()
