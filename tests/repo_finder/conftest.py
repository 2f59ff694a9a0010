"""Fixtures shared by the index client's tests."""

from __future__ import annotations

import json
import subprocess
import sys
import textwrap
import threading
import zipfile
from pathlib import Path
from typing import Any, ClassVar

import pytest

from quenlet_master.business_layer.packages import repo_finder as repo_finder_module
from quenlet_master.config.settings import SettingsManager
from quenlet_master.local_index import build_wheel


@pytest.fixture
def repo_finder():
    return repo_finder_module


@pytest.fixture
def finder():
    return repo_finder_module.RepoFinder(None)


class RecordingLogger:
    """Stands in for the module logger; each level takes exactly one finished message."""

    def __init__(self) -> None:
        self.records: list[tuple[str, str]] = []

    def debug(self, message):
        self.records.append(("debug", message))

    def info(self, message):
        self.records.append(("info", message))

    def warning(self, message):
        self.records.append(("warning", message))

    def error(self, message):
        self.records.append(("error", message))


@pytest.fixture
def log(monkeypatch) -> RecordingLogger:
    recorder = RecordingLogger()
    monkeypatch.setattr(repo_finder_module, "logger", recorder)
    return recorder


class RecordingSettings(SettingsManager):
    """The host's settings store, noting every ``get`` with its arguments."""

    def __init__(self, values: dict[str, Any] | None = None) -> None:
        super().__init__(values)
        self.calls: list[tuple[str, Any]] = []

    def get(self, key, default=None):
        self.calls.append((key, default))
        return super().get(key, default)


@pytest.fixture
async def index_finder(local_index):
    """``make(with_api=True, values=None)``: a RepoFinder whose settings name the local index
    alone (or ``values``), closed after the test."""
    made = []

    def make(*, with_api: bool = True, values: dict[str, Any] | None = None):
        settings = values if values is not None else local_index.settings_values(with_api=with_api)
        made.append(repo_finder_module.RepoFinder(SettingsManager(settings)))
        return made[-1]

    yield make
    for finder in made:
        await finder.close()


@pytest.fixture
def short_timeout(monkeypatch) -> list:
    """Requests give up after 0.3 s, though the code still asks for its usual limit; returns the
    limits asked for."""
    asked = []
    real = repo_finder_module.aiohttp

    class Aiohttp:
        def __getattr__(self, name):
            return getattr(real, name)

        def ClientTimeout(self, *, total):
            asked.append(total)
            return real.ClientTimeout(total=0.3)

    monkeypatch.setattr(repo_finder_module, "aiohttp", Aiohttp())
    return asked


class FakeFile:
    """A finder candidate: a version and a link."""

    def __init__(self, version, link="https://files.invalid/file.whl"):
        self.version = version
        self.link = link


class FakeFinder:
    """Stands in for unearth's PackageFinder; tests set the class attributes.

    ``files`` are what ``find_all_packages`` yields, ``best`` what ``find_best_match`` picks,
    ``requires_dist`` what ``get_metadata(link).get_all("Requires-Dist")`` gives, ``error`` is
    raised by every query. ``calls`` records (method, argument, thread name).
    """

    files: ClassVar[list] = []
    best: Any = None
    requires_dist: Any = None
    error: BaseException | None = None
    calls: ClassVar[list] = []

    def __init__(self, *, index_urls):
        self.index_urls = index_urls

    def _called(self, method, argument):
        type(self).calls.append((method, argument, threading.current_thread().name))
        if self.error is not None:
            raise self.error

    def find_all_packages(self, name):
        self._called("find_all_packages", name)
        return iter(self.files)

    def find_best_match(self, requirement):
        self._called("find_best_match", requirement)
        return type("BestMatch", (), {"best": self.best})()

    def get_metadata(self, link):
        self._called("get_metadata", link)
        requires_dist = self.requires_dist
        return type("Metadata", (), {"get_all": lambda self, key: requires_dist})()


@pytest.fixture
def fake_finder(monkeypatch):
    class Finder(FakeFinder):
        calls: ClassVar[list] = []

    monkeypatch.setattr(repo_finder_module, "PackageFinder", Finder)
    return Finder


@pytest.fixture
def no_api(repo_finder):
    """A RepoFinder that knows no API pattern: its workers take the finder path."""
    finder = repo_finder.RepoFinder(None)
    finder._get_api_pattern_for_index = lambda index_url: None
    return finder


@pytest.fixture
def public_root() -> str:
    """The public index's root address as the installed pip records it, without trailing slash."""
    from quenlet_master.config import public_index

    return public_index.base_url().rstrip("/")


@pytest.fixture
def install_wheel(tmp_path, monkeypatch):
    """Builds a real wheel and unpacks it into a folder put on ``sys.path``, where
    ``importlib.metadata`` finds it as an installed distribution.

    Returns ``install(name, version, requires_dist=(), extras=(), activate=True)``; with
    ``activate=False`` it returns a function that puts the folder on the path later.
    """
    counter = iter(range(1000))

    def install(name, version, requires_dist=(), extras=(), activate=True):
        site = tmp_path / f"site-{next(counter)}"
        wheel = build_wheel(tmp_path / "wheels", name, version, requires_dist=requires_dist, extras=extras)
        with zipfile.ZipFile(wheel) as archive:
            archive.extractall(site)

        def activate_site():
            monkeypatch.syspath_prepend(str(site))

        if not activate:
            return activate_site
        activate_site()
        return None

    return install


BLOCKER = """
import sys

class _Blocked:
    # A library that is not installed: its import fails as a missing module's would.
    def find_spec(self, name, path=None, target=None):
        if name.partition(".")[0] in {blocked!r}:
            raise ModuleNotFoundError(f"No module named {{name!r}}")
        return None

sys.meta_path.insert(0, _Blocked())
"""


def run_without(blocked: set[str], script: str) -> Any:
    """Runs ``script`` in a fresh interpreter in which importing any of ``blocked`` fails, and
    returns what it printed last, as JSON."""
    code = BLOCKER.format(blocked=blocked) + textwrap.dedent(script)
    completed = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        timeout=120,
        cwd=Path(__file__).parent,
    )
    assert completed.returncode == 0, completed.stderr
    return json.loads(completed.stdout.strip().splitlines()[-1])
