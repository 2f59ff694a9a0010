"""The requirements one version declares, from its (cached) API document or the finder's file."""

from __future__ import annotations

import gc
import json

import pytest

from quenlet_master.local_index import json_path

from .conftest import FakeFile

REQUIRES_DIST = [
    "requests>=2",
    'pytest[cov, xdist]>=7; extra == "test"',
    "Typing_Extensions; python_version < '3.12'",
]
PARSED = [
    {"name": "requests", "version_spec": ">=2", "extras": [], "markers": ""},
    {"name": "pytest", "version_spec": ">=7", "extras": ["cov", "xdist"], "markers": 'extra == "test"'},
    {"name": "Typing_Extensions", "version_spec": "", "extras": [], "markers": "python_version < '3.12'"},
]


@pytest.fixture
def demo(local_index):
    local_index.add_wheel("Demo", "1.0", requires_dist=REQUIRES_DIST)
    return local_index


async def test_api_dependencies_are_parsed_in_order_and_the_document_kept(
    demo, index_finder, log, fake_finder
):
    finder = index_finder()
    other_index = "http://127.0.0.1:1/simple/"  # no pattern: only the cache can answer there
    assert await finder._get_dependencies_from_index("Demo", "1.0", demo.simple_url) == PARSED
    assert list(finder._metadata_cache) == [("demo", "1.0")]
    assert finder._metadata_cache[("demo", "1.0")]["info"]["requires_dist"] == REQUIRES_DIST
    assert await finder._get_dependencies_from_index("demo", "1.0", other_index) == PARSED
    assert await finder._get_dependencies_from_index("dEMO", "1.0", demo.simple_url) == PARSED
    assert demo.request_log.paths() == [json_path("Demo", "1.0")]
    assert fake_finder.calls == []
    assert log.records == [("debug", "Found 3 dependencies for Demo==1.0")] + [
        ("debug", f"Found 3 dependencies for {name}==1.0") for name in ("demo", "dEMO")
    ]
    # Only case is folded: another spelling of the name or the version is another document.
    await finder._get_dependencies_from_index("demo", "1.0.0", demo.simple_url)
    assert demo.request_log.paths()[-1] == json_path("demo", "1.0.0")


async def test_answers_are_fresh_objects_the_caller_may_change(demo, index_finder, log):
    finder = index_finder()
    first = await finder._get_dependencies_from_index("Demo", "1.0", demo.simple_url)
    first[1]["extras"].append("changed")
    first[0]["name"] = "changed"
    first.append("changed")
    second = await finder._get_dependencies_from_index("Demo", "1.0", demo.simple_url)
    assert second == PARSED
    # A caller may build cycles through what it gets: the collector must be able to see them.
    assert all(gc.is_tracked(record) and gc.is_tracked(record["extras"]) for record in second)
    second[1]["extras"].clear()
    assert await finder._get_dependencies_from_index("Demo", "1.0", demo.simple_url) == PARSED


async def test_other_copies_of_a_document_answer_alike(demo, index_finder, log):
    finder = index_finder()
    await finder._get_dependencies_from_index("Demo", "1.0", demo.simple_url)
    original = finder._metadata_cache[("demo", "1.0")]
    copy = json.loads(json.dumps(original))  # the same texts in other objects
    for document in (copy, original, copy, original):
        finder._metadata_cache[("demo", "1.0")] = document
        answer = await finder._get_dependencies_from_index("Demo", "1.0", demo.simple_url)
        assert answer == PARSED
        answer[1]["extras"].append("changed")
    assert demo.request_log.paths() == [json_path("Demo", "1.0")]


async def test_documents_declaring_the_same_requirements_share_nothing_they_hand_out(demo, index_finder, log):
    demo.add_wheel("Other", "2.0", requires_dist=REQUIRES_DIST)
    demo.add_wheel("Fewer", "1.0", requires_dist=REQUIRES_DIST[:2])
    finder = index_finder()
    first = await finder._get_dependencies_from_index("Demo", "1.0", demo.simple_url)
    first[1]["extras"].append("changed")
    first[0]["name"] = "changed"
    assert await finder._get_dependencies_from_index("Other", "2.0", demo.simple_url) == PARSED
    assert await finder._get_dependencies_from_index("Fewer", "1.0", demo.simple_url) == PARSED[:2]


async def test_a_changed_document_or_parser_is_honoured(repo_finder, demo, index_finder, log):
    finder = index_finder()
    await finder._get_dependencies_from_index("Demo", "1.0", demo.simple_url)
    finder._metadata_cache[("demo", "1.0")]["info"]["requires_dist"] = ["only-this"]
    assert await finder._get_dependencies_from_index("Demo", "1.0", demo.simple_url) == [
        {"name": "only-this", "version_spec": "", "extras": [], "markers": ""}
    ]
    finder._parse_requirement = lambda req: {"name": req.upper()}
    assert await finder._get_dependencies_from_index("Demo", "1.0", demo.simple_url) == [
        {"name": "ONLY-THIS"}
    ]


async def test_unparsable_requirements_are_left_out_with_a_warning_every_time(local_index, index_finder, log):
    local_index.add_wheel("demo", "1.0", requires_dist=["a>=1"])
    local_index.faults.set(json_path("demo", "1.0"), json={"info": {"requires_dist": ["a>=1", ";bad", "b"]}})
    finder = index_finder()
    for _ in range(2):
        assert [
            d["name"]
            for d in await finder._get_dependencies_from_index("demo", "1.0", local_index.simple_url)
        ] == [
            "a",
            "b",
        ]
    assert (
        log.records
        == [("warning", "Could not parse requirement: ;bad"), ("debug", "Found 2 dependencies for demo==1.0")]
        * 2
    )


@pytest.mark.parametrize(
    ("fault", "level", "message"),
    [
        ({"status": 404}, "debug", "Package demo not found at {index}"),
        ({"status": 500}, "error", "API returned status 500 for {api}"),
        ({"body": "this is not JSON"}, "error", "Failed to query {index} for demo: 200, message="),
        ({"json": ["a"]}, "error", "Failed to query {index} for demo: the document is not a JSON object"),
        (
            {"info_null": True},
            "error",
            'Failed to query {index} for demo: the document\'s "info" is not a JSON object',
        ),
        (
            {"json": {"info": {"requires_dist": "a>=1"}}},
            "error",
            'Failed to query {index} for demo: the document\'s "requires_dist" is not a list of strings',
        ),
    ],
    ids=["404", "500", "not JSON", "not an object", "info null", "requires_dist a string"],
)
async def test_failed_fetches_and_unreadable_documents_keep_nothing(
    local_index, index_finder, log, fault, level, message
):
    local_index.add_wheel("demo", "1.0", requires_dist=["a>=1"])
    local_index.faults.set(json_path("demo", "1.0"), times=1, **fault)
    finder = index_finder()
    assert await finder._get_dependencies_from_index("demo", "1.0", local_index.simple_url) == []
    [(logged_level, logged)] = log.records
    assert logged_level == level
    assert logged.startswith(
        message.format(index=local_index.simple_url, api=local_index.json_url("demo", "1.0"))
    )
    assert finder._metadata_cache == {}
    # Nothing was kept, so the next query asks again (and gets the real document).
    assert await finder._get_dependencies_from_index("demo", "1.0", local_index.simple_url) != []
    assert local_index.request_log.count(json_path("demo", "1.0")) == 2


@pytest.mark.parametrize(
    "document", [{"info": {"requires_dist": None}}, {"info": {}}, {}], ids=["null", "absent", "no info"]
)
async def test_no_requirements_is_an_empty_list_without_a_count(local_index, index_finder, log, document):
    local_index.faults.set(json_path("demo", "1.0"), json=document)
    finder = index_finder()
    assert await finder._get_dependencies_from_index("demo", "1.0", local_index.simple_url) == []
    assert log.records == [] and finder._metadata_cache == {("demo", "1.0"): document}


async def test_the_finder_path_parses_and_keeps_nothing(no_api, log, fake_finder):
    fake_finder.best = FakeFile("1.0", link="the link")
    fake_finder.requires_dist = [*REQUIRES_DIST, "[broken"]
    assert await no_api._get_dependencies_from_index("demo", "1.0", "http://127.0.0.1:1/") == PARSED
    assert no_api._metadata_cache == {}
    assert log.records == [("warning", "Could not parse requirement: [broken")]
    assert [call[:2] for call in fake_finder.calls] == [
        ("find_best_match", "demo==1.0"),
        ("get_metadata", "the link"),
    ]


async def test_a_document_put_in_the_cache_by_the_host_is_read_unprotected(repo_finder):
    finder = repo_finder.RepoFinder(None)
    finder._metadata_cache[("demo", "1.0")] = {"info": None}
    with pytest.raises(ValueError, match='"info" is not a JSON object'):
        await finder._get_dependencies_from_index("demo", "1.0", "http://127.0.0.1:1/")
