"""The finder path end to end: the chosen file's metadata from the index's metadata file or from
the wheel itself, and each finder's connections released after its query."""

from __future__ import annotations

import gc
import weakref

import pytest
from unearth import PackageFinder

REQUIRES_DIST = ["requests>=2", 'pytest>=7; extra == "test"', "sphinx; extra == 'Docs'"]
DECOY = "Metadata-Version: 2.1\nName: other\nVersion: 9\nRequires-Dist: decoy; extra == 'decoy'\n\n"


@pytest.fixture
def demo(local_index):
    files = {"demo/__init__.py": "", "vendored/other-9.dist-info/METADATA": DECOY}
    local_index.add_wheel("demo", "1.0", requires_dist=REQUIRES_DIST, extras=["test", "Docs"], files=files)
    local_index.add_sdist("demo", "1.0", requires_dist=["never-read"])
    local_index.add_sdist("demo", "2.0", requires_dist=["never-read; extra == 'x'"])
    return local_index


async def query(finder, index):
    extras = await finder.get_extras("demo", "1.0", index_url=index.simple_url)
    dependencies = await finder.get_dependencies("demo", "1.0", index_url=index.simple_url)
    return extras, [d["name"] for d in dependencies]


@pytest.mark.parametrize("metadata_files", [True, False], ids=["metadata file", "wheel"])
async def test_requirements_come_from_the_wheels_metadata(demo, index_finder, log, metadata_files):
    demo.metadata_files = metadata_files
    assert await query(index_finder(with_api=False), demo) == (
        ["Docs", "test"],
        ["requests", "pytest", "sphinx"],
    )
    downloads = [path for path in demo.request_log.paths() if path.startswith("/files/")]
    wanted = "/files/demo-1.0-py3-none-any.whl" + (".metadata" if metadata_files else "")
    assert downloads == [wanted, wanted]
    assert log.records == []


async def test_an_sdist_gives_nothing(demo, index_finder, log):
    finder = index_finder(with_api=False)
    assert await finder.get_extras("demo", "2.0", index_url=demo.simple_url) == []
    assert await finder.get_dependencies("demo", "2.0", index_url=demo.simple_url) == []
    assert not any(path.startswith("/files/") for path in demo.request_log.paths())


@pytest.mark.parametrize("metadata_files", [True, False], ids=["metadata file", "wheel"])
async def test_a_file_that_does_not_match_its_digest_is_refused(demo, index_finder, log, metadata_files):
    demo.metadata_files = metadata_files
    path = "/files/demo-1.0-py3-none-any.whl" + (".metadata" if metadata_files else "")
    demo.faults.set(path, body=DECOY)
    assert await query(index_finder(with_api=False), demo) == ([], [])
    digest_error = f"{demo.url}{path} does not match the sha256 digest the index gives"
    assert log.records == [
        ("debug", f"Unearth get_extras failed: {digest_error}"),
        ("debug", f"Unearth get_dependencies failed: {digest_error}"),
    ]


async def test_a_missing_file_is_a_finder_failure(demo, index_finder, log):
    demo.faults.set("/files/demo-1.0-py3-none-any.whl.metadata", status=404)
    assert await index_finder(with_api=False)._get_extras_from_index("demo", "1.0", demo.simple_url) == set()
    [(level, message)] = log.records
    assert level == "debug" and message.startswith("Unearth get_extras failed: Client error '404 Not Found'")


async def test_each_finder_releases_its_connections(repo_finder, demo, index_finder, log, monkeypatch):
    made = []

    class Recording(PackageFinder):
        def __init__(self, **kwargs):
            super().__init__(**kwargs)
            made.append(self)

    monkeypatch.setattr(repo_finder, "PackageFinder", Recording)
    finder = index_finder(with_api=False)
    await finder._package_exists_in_index("demo", demo.simple_url)
    await finder._package_version_exists_in_index("demo", "1.0", demo.simple_url)
    await finder._get_versions_from_index("demo", demo.simple_url)
    await query(finder, demo)
    await finder._package_version_exists_in_index("demo", "9.9", demo.simple_url)
    assert len(made) == 6
    sessions = [weakref.ref(made_finder.session) for made_finder in made]
    assert all(session().is_closed for session in sessions)
    # unearth registers each session's close() to run at exit; that registration must be gone,
    # or it would keep every session (and its connections) alive for the life of the process.
    made.clear()
    gc.collect()
    assert [session() for session in sessions] == [None] * 6
