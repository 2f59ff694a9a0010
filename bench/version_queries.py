"""Version queries: ``get_versions`` on the JSON API path against one aiohttp session doing
GET, ``json()`` and a sort, both at the same concurrency against the same index process."""

from __future__ import annotations

import asyncio

import aiohttp

from bench import harness, queries

QUERIES = 2_000


async def measure(index: queries.IndexProcess) -> harness.Result:
    names = sorted({name for name, _ in index.releases})
    asked = [names[i % len(names)] for i in range(harness.scaled(QUERIES, minimum=50))]
    finder = index.finder()
    async with aiohttp.ClientSession() as session:

        def api_url(name: str) -> str:
            return index.api_pattern.replace("{package_name}", name).replace("/{version}", "")

        async def baseline_versions(name: str) -> list[str]:
            document = await queries.fetch_json(session, api_url(name))
            versions = list((document or {}).get("releases", {}))
            versions.sort(reverse=True)
            return versions

        def ours() -> asyncio.Future:
            return harness.bounded(
                [lambda n=n: finder.get_versions(n, index.simple_url) for n in asked], queries.CONCURRENCY
            )

        def baseline() -> asyncio.Future:
            return harness.bounded([lambda n=n: baseline_versions(n) for n in asked], queries.CONCURRENCY)

        if await ours() != await baseline():
            raise AssertionError("get_versions and the plain client disagree")
        ours_time, baseline_time = await harness.median_times_async(ours, baseline, harness.repetitions(5))
    await finder.close()
    return harness.Result(
        "version queries",
        "speedup",
        len(asked) / ours_time,
        "queries/s",
        0.9,
        baseline=len(asked) / baseline_time,
        note=f"{len(asked):,} queries, {queries.CONCURRENCY} at a time, "
        f"{len(names)} packages of {index.versions} releases",
    )


def run(index: queries.IndexProcess) -> list[harness.Result]:
    return [asyncio.run(measure(index))]
