"""What the query benchmarks share: the index process, the finder pointed at it, and the plain
aiohttp client with a Python requirement parser that they are compared with."""

from __future__ import annotations

import contextlib
import re
import subprocess
import sys
from collections.abc import AsyncIterator
from pathlib import Path

import aiohttp
from packaging.version import InvalidVersion, Version

from bench import index_server
from quenlet_master.business_layer.packages.repo_finder import RepoFinder
from quenlet_master.config.settings import SettingsManager

CONCURRENCY = 64


def workers_available() -> bool:
    """The per-index query workers are merged into this tree."""
    return hasattr(RepoFinder, "get_dependencies") and hasattr(RepoFinder, "get_versions")


class IndexProcess:
    """``with IndexProcess(packages, versions) as index:`` the index server, running."""

    def __init__(self, packages: int, versions: int):
        self.releases = index_server.releases(packages, versions)
        self.packages, self.versions = packages, versions

    def __enter__(self) -> IndexProcess:
        self.process = subprocess.Popen(
            [sys.executable, "-m", "bench.index_server", str(self.packages), str(self.versions)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            cwd=Path(__file__).parent.parent,
        )
        self.url = self.process.stdout.readline().strip()
        if not self.url.startswith("http://"):
            self.__exit__()
            raise RuntimeError("the benchmark index did not start")
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.process.stdin.close()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()

    @property
    def simple_url(self) -> str:
        return f"{self.url}/simple/"

    @property
    def api_pattern(self) -> str:
        return self.url + "/pypi/{package_name}/{version}/json"

    def finder(self) -> RepoFinder:
        settings = SettingsManager(
            {
                "package_management.pip.index_urls": [{"url": self.simple_url, "primary": True}],
                "package_management.pip.use_secondary_urls": False,
                "package_management.pip_api": [
                    {"index_url": self.simple_url, "api_pattern": self.api_pattern}
                ],
            }
        )
        return RepoFinder(settings)


@contextlib.asynccontextmanager
async def clients(index: IndexProcess) -> AsyncIterator[tuple[RepoFinder, aiohttp.ClientSession]]:
    """Our finder and the plain client's session, both pointed at ``index``, closed at the end."""
    finder = index.finder()
    try:
        async with aiohttp.ClientSession() as session:
            yield finder, session
    finally:
        await finder.close()


TIMEOUT = aiohttp.ClientTimeout(total=10)
REQUIREMENT = re.compile(r"^([a-zA-Z0-9._-]+)(\[[^\]]+\])?(.*)")


def parse_requirement(req: str) -> dict | None:
    requirement, _, markers = req.partition(";")
    match = REQUIREMENT.match(requirement.strip())
    if not match:
        return None
    name, extras_text, spec = match.groups()
    extras = [piece.strip() for piece in extras_text.strip("[]").split(",")] if extras_text else []
    return {"name": name, "version_spec": spec.strip(), "extras": extras, "markers": markers.strip()}


def newest_first(texts: list[str]) -> list[str]:
    """Versions in PEP 440 order, newest first; texts that do not parse follow, in plain string
    order, descending: the order the finder gives versions in."""
    parsed, unparsed = [], []
    for text in texts:
        try:
            parsed.append((Version(text), text))
        except InvalidVersion:
            unparsed.append(text)
    parsed.sort(key=lambda pair: pair[0], reverse=True)
    unparsed.sort(reverse=True)
    return [text for _, text in parsed] + unparsed


def dependencies_of(document: dict) -> list[dict]:
    requires = (document.get("info") or {}).get("requires_dist") or []
    return [parsed for req in requires if (parsed := parse_requirement(req))]


async def fetch_json(session: aiohttp.ClientSession, url: str) -> dict | None:
    async with session.get(url, timeout=TIMEOUT) as reply:
        if reply.status != 200:
            return None
        return await reply.json()


def warm_documents(finder: RepoFinder) -> list[tuple[str, str]]:
    """Fills the finder's document cache as earlier queries would have, and gives the keys; none
    while the query workers are not in this tree."""
    if not workers_available():
        return []
    keys = [(name, version) for name, version in index_server.releases(20, 5)]
    for name, version in keys:
        finder._metadata_cache[(name.lower(), version)] = {
            "info": {"name": name, "version": version, "requires_dist": list(index_server.REQUIREMENTS)}
        }
    return keys
