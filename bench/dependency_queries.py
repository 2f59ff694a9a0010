"""Dependency queries, cold and warm: ``get_dependencies`` against the same aiohttp session
plus a Python requirement parser, at the same concurrency against the same index process;
then, with every document cached, against a dictionary lookup plus the same parser."""

from __future__ import annotations

import asyncio

from bench import harness, index_server, queries

WARM_CALLS = 50_000


def api_url(index: queries.IndexProcess, name: str, version: str) -> str:
    return index.api_pattern.replace("{package_name}", name).replace("{version}", version)


async def cold(index: queries.IndexProcess) -> harness.Result:
    releases = index.releases
    async with queries.clients(index) as (finder, session):

        async def baseline_dependencies(name: str, version: str) -> list[dict]:
            return queries.dependencies_of(
                await queries.fetch_json(session, api_url(index, name, version)) or {}
            )

        def forget_documents() -> None:
            finder._metadata_cache.clear()  # every query a first one: one request each

        def ours() -> asyncio.Future:
            jobs = [lambda r=r: finder.get_dependencies(*r, index.simple_url) for r in releases]
            return harness.bounded(jobs, queries.CONCURRENCY)

        def baseline() -> asyncio.Future:
            return harness.bounded(
                [lambda r=r: baseline_dependencies(*r) for r in releases], queries.CONCURRENCY
            )

        forget_documents()
        if await ours() != await baseline():
            raise AssertionError("get_dependencies and the plain client disagree")
        ours_time, baseline_time = await harness.median_times_async(
            ours, baseline, harness.repetitions(9), reset=forget_documents
        )
    return harness.Result(
        "dependency queries, cold",
        "speedup",
        len(releases) / ours_time,
        "queries/s",
        0.9,
        baseline=len(releases) / baseline_time,
        note=f"{len(releases):,} distinct versions, {queries.CONCURRENCY} at a time",
    )


async def warm(index: queries.IndexProcess) -> harness.Result:
    releases = index.releases
    calls = [releases[i % len(releases)] for i in range(harness.scaled(WARM_CALLS, minimum=500))]
    async with queries.clients(index) as (finder, session):
        documents = {}
        for name, version in releases:
            documents[(name.lower(), version)] = await queries.fetch_json(
                session, api_url(index, name, version)
            )
            await finder.get_dependencies(name, version, index.simple_url)  # fills its cache

        # Each answer is dropped at once, as a host would use it and let it go: keeping 50,000
        # of them alive would time the garbage collector walking them instead.
        async def ours() -> None:
            get, url = finder.get_dependencies, index.simple_url
            for name, version in calls:
                await get(name, version, url)

        async def baseline() -> None:
            for name, version in calls:
                queries.dependencies_of(documents[(name.lower(), version)])

        for name, version in releases:
            expected = queries.dependencies_of(documents[(name.lower(), version)])
            if await finder.get_dependencies(name, version, index.simple_url) != expected:
                raise AssertionError("cached get_dependencies and the plain parser disagree")
        ours_time, baseline_time = await harness.median_times_async(ours, baseline, harness.repetitions(9))
    per_call = 1e6 / len(calls)
    return harness.Result(
        "dependency queries, warm",
        "speedup",
        ours_time * per_call,
        "us/query",
        3.0,
        baseline=baseline_time * per_call,
        note=f"{len(calls):,} calls on cached documents of {len(index_server.REQUIREMENTS)} requirements",
    )


def run(index: queries.IndexProcess) -> list[harness.Result]:
    return [asyncio.run(cold(index)), asyncio.run(warm(index))]
