"""The extras one version's requirements name, from its API document or the finder's file."""

from __future__ import annotations

import pytest

from quenlet_master.local_index import json_path

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
    ],
    ids=["requires_dist null", "no requires_dist", "no info", "info null", "not strings"],
)
async def test_api_answers_without_extras(local_index, index_finder, log, fault, level, message):
    local_index.add_wheel("demo", "1.0", requires_dist=['x; extra == "a"'])
    local_index.faults.set(json_path("demo", "1.0"), **fault)
    assert await index_finder()._get_extras_from_index("demo", "1.0", local_index.simple_url) == set()
    expected = message.format(index=local_index.simple_url, api=local_index.json_url("demo", "1.0"))
    assert log.records == [(level, expected)]
