"""Name and address normalisation, API-pattern lookup and filling a pattern in."""

from __future__ import annotations

import asyncio
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from packaging.utils import canonicalize_name

from quenlet_master.business_layer.packages.repo_finder import RepoFinder

SEPARATED = st.text(alphabet=st.sampled_from("aZ9-_.İ/\\ Ωß"), max_size=20)


@pytest.mark.parametrize(
    ("name", "expected"),
    [
        ("Foo_Bar", "foo-bar"),
        ("a..b--c", "a-b-c"),
        ("zope.interface", "zope-interface"),
        ("_thread", "-thread"),
        ("trailing._-", "trailing-"),
        ("", ""),
        ("ÀB__ç", "àb-ç"),
    ],
)
def test_normalize_name(finder, name, expected):
    assert finder._normalize_name(name) == expected


@given(st.one_of(SEPARATED, st.text(max_size=20)))
def test_normalize_name_matches_the_rule(name):
    assert RepoFinder(None)._normalize_name(name) == canonicalize_name(name)


@pytest.mark.parametrize(
    ("url", "expected"),
    [
        ("https://example.test/simple/", "https://example.test/simple"),
        ("http://127.0.0.1/Simple/\\//\\", "http://127.0.0.1/Simple"),
        ("///", ""),
        ("/leading/kept", "/leading/kept"),
    ],
)
def test_normalize_url(finder, url, expected):
    assert finder._normalize_url(url) == expected


@given(st.one_of(SEPARATED, st.text(max_size=20)))
def test_normalize_url_matches_the_rule(url):
    assert RepoFinder(None)._normalize_url(url) == url.rstrip("/\\")


class Rewriting(dict):
    """An entry whose own get answers for the pattern."""

    def get(self, key, default=None):
        return "from get" if key == "api_pattern" else super().get(key, default)


class Entries:
    def __init__(self, entries):
        self.entries = entries

    def get(self, key, default):
        return self.entries


@pytest.mark.parametrize(
    ("entries", "index_url", "expected"),
    [
        ([{"index_url": "http://127.0.0.1/simple", "api_pattern": "P"}], "http://127.0.0.1/simple//", "P"),
        ([{"index_url": "http://127.0.0.1/simple", "api_pattern": "P"}], "http://127.0.0.1/SIMPLE", None),
        (
            [
                {"index_url": "http://index.example/s/", "api_pattern": "first"},
                {"index_url": "http://index.example/s", "api_pattern": "x"},
            ],
            "http://index.example/s",
            "first",
        ),
        ([{"api_pattern": "no address"}], "//", "no address"),
        ([{"api_pattern": "no address"}], "http://index.example/s", None),
        ([{"index_url": "http://index.example/s"}], "http://index.example/s", None),
        ([], "http://index.example/s", None),
        ([Rewriting(index_url="http://index.example/s")], "http://index.example/s", "from get"),
    ],
    ids=[
        "normalised",
        "case differs",
        "first of two",
        "absent address",
        "absent no match",
        "no pattern",
        "empty",
        "a dict with its own get",
    ],
)
def test_pattern_lookup(repo_finder, entries, index_url, expected):
    assert repo_finder.RepoFinder(Entries(entries))._get_api_pattern_for_index(index_url) == expected


def test_the_default_index_finds_the_default_pattern(finder, public_root):
    index_url = finder._get_pip_settings()["index_urls"][0]["url"]
    assert (
        finder._get_api_pattern_for_index(index_url)
        == f"{public_root}/pypi/{{package_name}}/{{version}}/json"
    )


@pytest.mark.parametrize(
    ("entries", "error", "message"),
    [
        (None, TypeError, "'NoneType' object is not iterable"),
        ([{"index_url": "http://index.example/s", "api_pattern": 5}], TypeError, "^Expected str, got int$"),
        (["http://index.example/s"], AttributeError, "get"),
        ([{"index_url": 5}], TypeError, r"^Argument 'url' has incorrect type \(expected str, got int\)$"),
    ],
    ids=["None list", "pattern not a string", "entry not a dict", "address not a string"],
)
def test_malformed_entries_fail_the_lookup(repo_finder, entries, error, message):
    with pytest.raises(error, match=message):
        repo_finder.RepoFinder(Entries(entries))._get_api_pattern_for_index("http://index.example/s")


def test_the_lookup_honours_an_overridden_entry_list(repo_finder):
    class Configured(repo_finder.RepoFinder):
        def _get_pip_api_list(self):
            return [{"index_url": "http://127.0.0.1/simple", "api_pattern": "override"}]

    finder = Configured(None)
    assert finder._get_api_pattern_for_index("http://127.0.0.1/simple/") == "override"
    finder._get_pip_api_list = lambda: [{"index_url": "http://127.0.0.1/simple", "api_pattern": "instance"}]
    assert finder._get_api_pattern_for_index("http://127.0.0.1/simple") == "instance"


@pytest.mark.parametrize("where", ["instance", "subclass", "class, after a lookup"])
def test_the_lookup_honours_a_replaced_address_normaliser(repo_finder, monkeypatch, where):
    def same(*args):
        return "same"

    entries = Entries([{"index_url": "http://index-a.example/s", "api_pattern": "A"}])
    finder_type = repo_finder.RepoFinder
    if where == "subclass":
        finder_type = type("Normalising", (repo_finder.RepoFinder,), {"_normalize_url": same})
    finder = finder_type(entries)
    if where == "instance":
        finder._normalize_url = same
    elif where == "class, after a lookup":
        assert finder._get_api_pattern_for_index("http://index-b.example/s") is None
        monkeypatch.setattr(repo_finder.RepoFinder, "_normalize_url", same)
    assert finder._get_api_pattern_for_index("http://index-b.example/s") == "A"


ADDRESSES = st.sampled_from(
    [
        "http://index-a.example/s",
        "http://index-a.example/s/",
        "http://index-a.example/S",
        "",
        "/",
        "http://index-b.example\\",
    ]
)


@given(
    entries=st.lists(
        st.fixed_dictionaries({}, optional={"index_url": ADDRESSES, "api_pattern": st.text(max_size=5)}),
        max_size=4,
    ),
    index_url=ADDRESSES,
)
def test_pattern_lookup_matches_the_rule(entries, index_url):
    def reference():
        wanted = index_url.rstrip("/\\")
        for entry in entries:
            if entry.get("index_url", "").rstrip("/\\") == wanted:
                return entry.get("api_pattern")
        return None

    assert RepoFinder(Entries(entries))._get_api_pattern_for_index(index_url) == reference()


class RecordingSession:
    """Answers every GET with status 404 and notes the address and time limit asked for."""

    def __init__(self):
        self.requests = []

    def get(self, url, *, timeout):
        self.requests.append((url, timeout.total))
        return self

    status = 404

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc_info):
        return None


def requested(pattern: str, name: str, version: str) -> list[tuple[str, float]]:
    """What a version listing and then an extras query of one index request with `pattern`."""
    finder = RepoFinder(None)
    finder._get_pip_api_list = lambda: [{"index_url": "http://index.example/s", "api_pattern": pattern}]
    session = RecordingSession()

    async def get_session():
        return session

    finder._get_session = get_session

    async def query():
        await finder._get_versions_from_index(name, "http://index.example/s")
        await finder._get_extras_from_index(name, version, "http://index.example/s")

    asyncio.run(query())
    return session.requests


def reference_fill(form: str, pattern: str, name: str, version: str) -> str:
    filled = pattern.replace("{package_name}", name)
    if form == "package":
        return re.sub(r"/\{version\}", "", filled)
    return filled.replace("{version}", version)


@pytest.mark.parametrize(
    ("pattern", "name", "version", "package_form", "version_form"),
    [
        (
            "https://index.test/pypi/{package_name}/{version}/json",
            "foo",
            "1.0",
            "https://index.test/pypi/foo/json",
            "https://index.test/pypi/foo/1.0/json",
        ),
        (
            "http://index.example/x{version}-{package_name}/{x}",
            "a b",
            "1",
            "http://index.example/x{version}-a b/{x}",
            "http://index.example/x1-a b/{x}",
        ),
        (
            "http://index.example/{package_name}/{version}",
            "n",
            "{version}",
            "http://index.example/n",
            "http://index.example/n/{version}",
        ),
        ("http://index.example/plain", "n", "1", "http://index.example/plain", "http://index.example/plain"),
    ],
)
def test_the_workers_fill_the_pattern_in(pattern, name, version, package_form, version_form):
    assert requested(pattern, name, version) == [(package_form, 10), (version_form, 10)]


MARKER_PIECES = st.sampled_from(
    ["{package_name}", "{version}", "/", "{", "}", "version", "a", "é", "/{ver", "\udc80"]
)


@settings(deadline=None, max_examples=50)
@given(
    st.lists(MARKER_PIECES, min_size=1, max_size=8).map("".join),
    st.lists(MARKER_PIECES, max_size=8).map("".join),
    st.lists(MARKER_PIECES, max_size=8).map("".join),
)
def test_filling_matches_the_rule(pattern, name, version):
    assert requested(pattern, name, version) == [
        (reference_fill("package", pattern, name, version), 10),
        (reference_fill("version", pattern, name, version), 10),
    ]
