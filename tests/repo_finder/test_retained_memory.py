"""Nothing a query read stays in the process once the RepoFinder that read it is gone: a host
that asks about many packages over a long life must not grow by what it asked."""

from __future__ import annotations

import gc
import tracemalloc
from types import SimpleNamespace

import pytest

INDEX = "http://index.invalid/simple"


class Response:
    def __init__(self, document):
        self.status, self.document = 200, document

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc_info):
        return False

    async def json(self):
        return self.document


def serving(documents):
    """An aiohttp whose sessions answer every address with ``documents(address)``."""

    class Session:
        closed = False

        def get(self, url, **kwargs):
            return Response(documents(url))

        async def close(self):
            self.closed = True

    return SimpleNamespace(ClientSession=Session, ClientTimeout=lambda total: total)


def releases(url):
    # Versions no other round asks about: a memo keyed by their text would only grow.
    return {"releases": {f"{url}.{number}": [] for number in range(2000)}}


def requirements(url):
    return {"info": {"requires_dist": [f"dep-{url}-{number} >= 1.0; extra == 'x'" for number in range(300)]}}


async def ask_versions(finder, round):
    assert len(await finder._get_versions_from_index("pkg", INDEX)) == 2000


async def ask_dependencies(finder, round):
    assert len(await finder._get_dependencies_from_index("pkg" * (round + 1), "1.0", INDEX)) == 300


async def check_installed(finder, round):
    finder._distributions_cache = {"pkg": SimpleNamespace(metadata={"Name": "pkg", "Version": "1.0"})}
    for number in range(300):
        assert finder.check_specifier_in_dist("pkg", f">=0.{round}.{number}") == "1.0"


@pytest.mark.parametrize("query", [ask_versions, ask_dependencies, check_installed])
async def test_a_finder_that_is_gone_leaves_nothing_of_what_it_read(repo_finder, monkeypatch, query):
    rounds = iter(range(1000))

    def document(url):
        return (requirements if query is ask_dependencies else releases)(f"{next(rounds)}")

    monkeypatch.setattr(repo_finder, "aiohttp", serving(document))

    async def one_round(number):
        finder = repo_finder.RepoFinder(None)
        finder._get_api_pattern_for_index = lambda index_url: "http://index.invalid/{package_name}/{version}"
        await query(finder, number)
        await finder.close()

    await one_round(0)  # what the first query sets up once (names, imports) is not the query's
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for number in range(1, 11):
            await one_round(number)
        gc.collect()
        kept = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert kept < 64 * 1024


@pytest.mark.parametrize("query", [ask_versions, ask_dependencies])
async def test_what_a_long_lived_finder_keeps_stays_small(repo_finder, monkeypatch, query):
    rounds = iter(range(1000))

    def document(url):
        return (requirements if query is ask_dependencies else releases)(f"{next(rounds)}")

    monkeypatch.setattr(repo_finder, "aiohttp", serving(document))
    finder = repo_finder.RepoFinder(None)
    finder._get_api_pattern_for_index = lambda index_url: "http://index.invalid/{package_name}/{version}"
    await query(finder, 0)
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for number in range(1, 61):
            await query(finder, number)
            finder._metadata_cache.clear()  # the documents are the finder's by contract: not measured
        gc.collect()
        kept = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
        await finder.close()
    assert kept < 6 * 1024 * 1024
