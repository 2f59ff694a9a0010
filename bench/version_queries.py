"""Version queries: ``get_versions`` on the JSON API path against one aiohttp session doing
GET, ``json()`` and a sort (newest first, as the index client orders versions), both at the same
concurrency against the same index process."""

from __future__ import annotations

import asyncio

from bench import harness, queries

QUERIES = 2_000


async def measure(index: queries.IndexProcess) -> harness.Result:
    names = sorted({name for name, _ in index.releases})
    asked = [names[i % len(names)] for i in range(harness.scaled(QUERIES, minimum=50))]
    async with queries.clients(index) as (finder, session):

        async def baseline_versions(name: str) -> list[str]:
            url = index.api_pattern.replace("{package_name}", name).replace("/{version}", "")
            document = await queries.fetch_json(session, url)
            return queries.newest_first(list((document or {}).get("releases", {})))

        def ours() -> asyncio.Future:
            jobs = [lambda n=n: finder.get_versions(n, index.simple_url) for n in asked]
            return harness.bounded(jobs, queries.CONCURRENCY)

        def baseline() -> asyncio.Future:
            return harness.bounded([lambda n=n: baseline_versions(n) for n in asked], queries.CONCURRENCY)

        if await ours() != await baseline():
            raise AssertionError("get_versions and the plain client disagree")
        ours_time, baseline_time = await harness.median_times_async(ours, baseline, harness.repetitions(9))
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
