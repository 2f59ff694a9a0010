import asyncio
import hashlib
import json
import re
import socket
import threading
import time
import urllib.request

import aiohttp
import pytest
import pytest_asyncio

from quenlet_master.local_index import LocalIndexServer, json_path, read_wheel_metadata

SIMPLE_JSON = "application/vnd.pypi.simple.v1+json"


@pytest_asyncio.fixture
async def http():
    async with aiohttp.ClientSession(timeout=aiohttp.ClientTimeout(total=10)) as session:
        yield session


@pytest.fixture
def releases(local_index):
    wheels = {
        "1.0": local_index.add_wheel("Demo_Pkg", "1.0", summary="first"),
        "2.0": local_index.add_wheel(
            "Demo_Pkg",
            "2.0",
            summary="second",
            extras=["test"],
            requires_dist=["requests>=2", 'pytest>=7; extra == "test"'],
        ),
        "3.0rc1": local_index.add_wheel("Demo_Pkg", "3.0rc1"),
    }
    sdist = local_index.add_sdist("Demo_Pkg", "0.5")
    return wheels, sdist


async def fetch(http, url, **kwargs):
    async with http.get(url, **kwargs) as response:
        return response.status, response.headers.get("Content-Type", ""), await response.read()


@pytest.mark.asyncio
async def test_simple_pages_link_files_with_their_hashes_and_metadata(local_index, releases, http):
    wheels, sdist = releases
    status, _, body = await fetch(http, local_index.simple_url)
    assert status == 200 and b'href="/simple/demo-pkg/"' in body

    status, content_type, body = await fetch(http, local_index.simple_url + "demo-pkg/")
    assert status == 200 and content_type.startswith("text/html")
    anchors = dict(re.findall(r'<a href="([^"]+)"([^>]*)>', body.decode()))
    assert len(anchors) == 4
    for href, attributes in anchors.items():
        path, _, fragment = href.partition("#sha256=")
        status, _, data = await fetch(http, local_index.url + path)
        assert status == 200 and hashlib.sha256(data).hexdigest() == fragment
        if path.endswith(".whl"):
            core = re.search(r'data-core-metadata="sha256=([0-9a-f]+)"', attributes).group(1)
            assert f'data-dist-info-metadata="sha256={core}"' in attributes
            status, _, metadata = await fetch(http, local_index.url + path + ".metadata")
            assert status == 200 and hashlib.sha256(metadata).hexdigest() == core
            wheel = next(w for w in wheels.values() if path.endswith(w.name))
            assert metadata == read_wheel_metadata(wheel)
        else:
            assert path.endswith(sdist.name) and "metadata" not in attributes
            assert (await fetch(http, local_index.url + path + ".metadata"))[0] == 404


@pytest.mark.parametrize("spelling", ["demo-pkg", "Demo_Pkg", "DEMO.pkg", "demo__pkg"])
@pytest.mark.asyncio
async def test_project_names_match_after_normalisation(local_index, releases, http, spelling):
    assert (await fetch(http, f"{local_index.simple_url}{spelling}/"))[0] == 200
    status, _, body = await fetch(http, local_index.json_url(spelling))
    assert status == 200 and json.loads(body)["info"]["name"] == "Demo_Pkg"


@pytest.mark.asyncio
async def test_simple_json_is_served_when_preferred(local_index, releases, http):
    accept = f"{SIMPLE_JSON}, application/vnd.pypi.simple.v1+html; q=0.1, text/html; q=0.01"
    status, content_type, body = await fetch(
        http, local_index.simple_url + "demo-pkg/", headers={"Accept": accept}
    )
    assert status == 200 and content_type.startswith(SIMPLE_JSON)
    page = json.loads(body)
    assert page["name"] == "demo-pkg" and page["versions"] == ["0.5", "1.0", "2.0", "3.0rc1"]
    by_name = {f["filename"]: f for f in page["files"]}
    assert by_name["demo_pkg-0.5.tar.gz"]["core-metadata"] is False
    assert set(by_name["demo_pkg-2.0-py3-none-any.whl"]["core-metadata"]) == {"sha256"}
    # A client that prefers HTML still gets HTML.
    _, content_type, _ = await fetch(
        http, local_index.simple_url + "demo-pkg/", headers={"Accept": f"text/html, {SIMPLE_JSON}; q=0.5"}
    )
    assert content_type.startswith("text/html")


@pytest.mark.asyncio
async def test_json_api_documents(local_index, releases, http):
    status, _, body = await fetch(http, local_index.json_url("demo-pkg"))
    document = json.loads(body)
    assert status == 200
    assert set(document["releases"]) == {"0.5", "1.0", "2.0", "3.0rc1"}
    # The newest final release is the latest, not the release candidate.
    assert document["info"]["version"] == "2.0" and document["info"]["summary"] == "second"
    assert document["info"]["requires_dist"] == ["requests>=2", 'pytest>=7; extra == "test"']
    assert [f["filename"] for f in document["urls"]] == ["demo_pkg-2.0-py3-none-any.whl"]
    wheel_entry = document["releases"]["2.0"][0]
    status, _, data = await fetch(http, wheel_entry["url"])
    assert status == 200 and hashlib.sha256(data).hexdigest() == wheel_entry["digests"]["sha256"]

    status, _, body = await fetch(http, local_index.json_url("demo-pkg", "1.0"))
    info = json.loads(body)["info"]
    assert (status, info["version"], info["requires_dist"], info["provides_extra"]) == (
        200,
        "1.0",
        None,
        None,
    )
    status, _, body = await fetch(http, local_index.json_url("demo-pkg", "1.0.0"))
    assert status == 200 and json.loads(body)["info"]["version"] == "1.0"

    for url in (
        local_index.json_url("demo-pkg", "9.9"),
        local_index.json_url("missing"),
        local_index.url + "/nope",
    ):
        assert (await fetch(http, url))[0] == 404


@pytest.mark.asyncio
async def test_sdist_only_release_is_described_by_its_pkg_info(local_index, http):
    local_index.add_sdist("bare", "1.0", include_pkg_info=False)
    local_index.add_sdist("described", "1.0", summary="from PKG-INFO", requires_dist=["six"])
    info = json.loads((await fetch(http, local_index.json_url("bare", "1.0")))[2])["info"]
    assert (info["name"], info["version"], info["requires_dist"]) == ("bare", "1.0", None)
    info = json.loads((await fetch(http, local_index.json_url("described")))[2])["info"]
    assert (info["summary"], info["requires_dist"]) == ("from PKG-INFO", ["six"])


@pytest.mark.asyncio
async def test_files_that_are_no_distribution_it_can_read_are_not_served(local_index, releases, http):
    # A zip sdist is a distribution, but not one whose PKG-INFO the index reads.
    for stray in ("notes.txt", "demo_pkg-0.1.zip", "demo_pkg-0.2"):
        (local_index.root / stray).write_bytes(b"not an archive")
    status, _, body = await fetch(http, local_index.simple_url + "demo-pkg/")
    assert status == 200 and body.decode().count("<a ") == 4
    assert (await fetch(http, local_index.url + "/files/notes.txt"))[0] == 404


@pytest.mark.parametrize(
    ("fault", "check"),
    [
        ({"status": 503}, lambda status, ctype, body: status == 503),
        (
            {"status": 404, "json": {"message": "gone"}},
            lambda s, c, b: s == 404 and json.loads(b) == {"message": "gone"},
        ),
        ({"info_null": True}, lambda s, c, b: s == 200 and json.loads(b)["info"] is None),
        (
            {"padding": 3_000_000},
            lambda s, c, b: (
                len(b) > 3_000_000
                and json.loads(b)["info"]["description"] == "x" * 3_000_000
                and json.loads(b)["info"]["version"] == "2.0"
            ),
        ),
        (
            {"requires_dist_null": True},
            lambda s, c, b: (
                json.loads(b)["info"]["requires_dist"] is None and json.loads(b)["info"]["version"] == "2.0"
            ),
        ),
        (
            {"body": "plain words"},
            lambda s, c, b: s == 200 and c.startswith("text/plain") and b == b"plain words",
        ),
    ],
    ids=["status", "json-document", "info-null", "padding", "requires-dist-null", "body"],
)
@pytest.mark.asyncio
async def test_faults_replace_or_alter_the_answer(local_index, releases, http, fault, check):
    path = json_path("demo-pkg", "2.0")
    local_index.faults.set(path, **fault)
    assert check(*await fetch(http, local_index.url + path))
    # Only the faulted path is affected.
    status, _, body = await fetch(http, local_index.json_url("demo-pkg"))
    assert status == 200 and json.loads(body)["info"]["requires_dist"]


@pytest.mark.parametrize("json_content_type", [False, True])
@pytest.mark.asyncio
async def test_bodies_that_are_not_json_fail_to_decode(local_index, releases, http, json_content_type):
    path = json_path("demo-pkg")
    local_index.faults.not_json(path, json_content_type=json_content_type)
    async with http.get(local_index.url + path) as response:
        assert response.status == 200
        expected = json.JSONDecodeError if json_content_type else aiohttp.ContentTypeError
        with pytest.raises(expected):
            await response.json()


@pytest.mark.asyncio
async def test_a_redirect_loop_never_ends_and_invalid_utf8_fails_to_decode(local_index, releases, http):
    path = json_path("demo-pkg")
    local_index.faults.redirect_loop(path)
    with pytest.raises(aiohttp.TooManyRedirects):
        await fetch(http, local_index.url + path)
    assert local_index.request_log.count(path) == 10  # as many as the client follows
    local_index.faults.invalid_utf8(path)
    async with http.get(local_index.url + path) as response:
        with pytest.raises(UnicodeDecodeError):
            await response.json()


@pytest.mark.asyncio
async def test_a_reset_mid_body_cuts_the_answer_after_half_its_body(local_index, releases, http):
    path = json_path("demo-pkg")
    whole = (await fetch(http, local_index.url + path))[2]
    local_index.faults.set(path, reset_mid_body=True, times=1)
    async with http.get(local_index.url + path) as response:
        assert (response.status, response.content_length) == (200, len(whole))
        assert await response.content.readexactly(len(whole) // 2) == whole[: len(whole) // 2]
        with pytest.raises(aiohttp.ClientPayloadError, match="Not enough data"):
            await response.read()
    assert (await fetch(http, local_index.url + path))[2] == whole


@pytest.mark.asyncio
async def test_delay_prefix_and_limited_faults(local_index, releases, http):
    local_index.faults.set("/pypi/", prefix=True, status=500)
    local_index.faults.set("/pypi/demo-pkg/", prefix=True, status=502, times=1)
    local_index.faults.set("/simple/demo-pkg/", delay=0.3)
    assert (await fetch(http, local_index.json_url("other")))[0] == 500
    # The longer prefix wins, once; then the shorter one applies again.
    assert (await fetch(http, local_index.json_url("demo-pkg")))[0] == 502
    assert (await fetch(http, local_index.json_url("demo-pkg")))[0] == 500
    started = time.monotonic()
    assert (await fetch(http, local_index.simple_url + "demo-pkg/"))[0] == 200
    assert time.monotonic() - started >= 0.3
    with pytest.raises(asyncio.TimeoutError):
        await fetch(http, local_index.simple_url + "demo-pkg/", timeout=aiohttp.ClientTimeout(total=0.1))
    local_index.faults.clear()
    assert (await fetch(http, local_index.json_url("demo-pkg")))[0] == 200


@pytest.mark.asyncio
async def test_request_log_counts_per_path(local_index, releases, http):
    await fetch(http, local_index.json_url("demo-pkg"))
    await fetch(http, local_index.json_url("demo-pkg"))
    await fetch(http, local_index.json_url("demo-pkg", "1.0"))
    async with http.head(local_index.simple_url):
        pass
    log = local_index.request_log
    assert log.count(json_path("demo-pkg")) == 2
    assert log.count("/pypi/", prefix=True) == 3
    assert log.count(method="HEAD") == 1
    assert log.counts()[json_path("demo-pkg", "1.0")] == 1
    assert [r.method for r in log.records()] == ["GET", "GET", "GET", "HEAD"]
    log.clear()
    assert len(log) == 0 and log.count() == 0


def test_thread_runner_starts_serves_and_stops_cleanly(tmp_path):
    threads_before = set(threading.enumerate())
    server = LocalIndexServer(tmp_path)
    with server as index:
        index.add_wheel("threaded", "1.0")
        host, port = "127.0.0.1", int(index.url.rsplit(":", 1)[1])
        with urllib.request.urlopen(index.simple_url + "threaded/", timeout=5) as response:
            assert b"threaded-1.0-py3-none-any.whl" in response.read()
        assert index.request_log.count("/simple/threaded/") == 1
    assert set(threading.enumerate()) == threads_before
    with pytest.raises(OSError):
        socket.create_connection((host, port), timeout=1).close()
    # A stopped runner can be started again, on a fresh port.
    with server as index:
        assert index.request_log.count() == 1
    with pytest.raises(RuntimeError):
        _ = index.url
