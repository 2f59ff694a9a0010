"""What the local index serves: the distribution files of a folder and the documents about them.

Everything the index says about a project comes from the distribution files themselves (their
METADATA or PKG-INFO), so a test states facts once, by building a wheel, and every document
agrees: the simple pages (HTML, or PEP 691 JSON), the PEP 658 metadata files and the JSON API
documents. Project names match after PEP 503 normalisation.
"""

from __future__ import annotations

import collections
import dataclasses
import functools
import hashlib
import html
import os
import threading
import time
from collections.abc import Iterable
from email.message import Message
from pathlib import Path
from typing import Any
from urllib.parse import quote

from packaging.utils import (
    InvalidSdistFilename,
    InvalidWheelFilename,
    canonicalize_name,
    parse_sdist_filename,
    parse_wheel_filename,
)
from packaging.version import InvalidVersion, Version

from quenlet_master.config.logging_config import get_logger
from quenlet_master.local_index import wheels

logger = get_logger(__name__)

API_VERSION = "1.1"


# -- distribution files ---------------------------------------------------------------------------


@dataclasses.dataclass(frozen=True)
class DistFile:
    """One file of the index with everything the documents need, read once per file version."""

    filename: str
    path: Path
    packagetype: str  # "bdist_wheel" or "sdist"
    size: int
    sha256: str
    md5: str
    mtime: float
    metadata: bytes | None  # METADATA of a wheel, PKG-INFO of an sdist when it has one
    name: str  # as the metadata spells it (lacking that, as the file name normalises it)
    version: str

    @property
    def project(self) -> str:
        return canonicalize_name(self.name)

    @functools.cached_property
    def metadata_sha256(self) -> str | None:
        # Only wheels get a separate metadata file: an sdist's PKG-INFO is not trustworthy
        # enough for installers, and the real indexes do not serve it either.
        if self.packagetype != "bdist_wheel" or self.metadata is None:
            return None
        return hashlib.sha256(self.metadata).hexdigest()

    @functools.cached_property
    def parsed_metadata(self) -> Message | None:
        return wheels.parse_metadata(self.metadata.decode("utf-8")) if self.metadata is not None else None

    @property
    def requires_python(self) -> str | None:
        meta = self.parsed_metadata
        return meta.get("Requires-Python") if meta is not None else None


def _named_release(filename: str) -> tuple[str, str, str] | None:
    """(name, version, packagetype) as a distribution's file name states them, or None for any
    other file."""
    try:
        if filename.endswith(".whl"):
            name, version, _, _ = parse_wheel_filename(filename)
            return name, str(version), "bdist_wheel"
        # Only gzipped tar archives: their PKG-INFO is what the index can read.
        if filename.endswith(".tar.gz"):
            name, version = parse_sdist_filename(filename)
            return name, str(version), "sdist"
    except (InvalidWheelFilename, InvalidSdistFilename):
        pass
    return None


def _read_dist_file(path: Path, stat: os.stat_result) -> DistFile | None:
    named = _named_release(path.name)
    if named is None:
        return None
    name, version, packagetype = named
    data = path.read_bytes()
    if packagetype == "bdist_wheel":
        metadata: bytes | None = wheels.read_wheel_metadata(path)
    else:
        metadata = wheels.read_sdist_metadata(path)
    if metadata is not None:
        parsed = wheels.parse_metadata(metadata.decode("utf-8"))
        name = parsed.get("Name") or name
        version = parsed.get("Version") or version
    return DistFile(
        filename=path.name,
        path=path,
        packagetype=packagetype,
        size=len(data),
        sha256=hashlib.sha256(data).hexdigest(),
        md5=hashlib.md5(data, usedforsecurity=False).hexdigest(),
        mtime=stat.st_mtime,
        metadata=metadata,
        name=name,
        version=version,
    )


def _version_key(text: str) -> tuple[int, Any]:
    try:
        return (1, Version(text))
    except InvalidVersion:
        return (0, text)


def latest_version(versions: Iterable[str]) -> str | None:
    """The newest final release, or the newest pre-release when there is nothing else."""
    ordered = sorted(versions, key=_version_key, reverse=True)
    for text in ordered:
        try:
            if not Version(text).is_prerelease:
                return text
        except InvalidVersion:
            continue
    return ordered[0] if ordered else None


class Catalogue:
    """The folder's distribution files, re-read only when a file changes.

    The folder is listed on every request, so a test can drop a new release in at any time.
    """

    def __init__(self, root: Path):
        self.root = root
        self._lock = threading.Lock()
        self._files: dict[str, tuple[tuple[int, int], DistFile]] = {}

    def files(self) -> list[DistFile]:
        found: dict[str, tuple[tuple[int, int], DistFile]] = {}
        with os.scandir(self.root) as entries:
            listing = [(e.name, e.stat()) for e in entries if e.is_file() and not e.name.startswith(".")]
        for filename, stat in listing:
            signature = (stat.st_mtime_ns, stat.st_size)
            with self._lock:
                known = self._files.get(filename)
            if known is not None and known[0] == signature:
                found[filename] = known
                continue
            try:
                dist = _read_dist_file(self.root / filename, stat)
            except (OSError, ValueError, KeyError, EOFError, UnicodeDecodeError) as exc:
                logger.warning(f"Local index skips unreadable file {filename}: {exc}")
                continue
            if dist is not None:
                found[filename] = (signature, dist)
        with self._lock:
            self._files = found
        return sorted((entry[1] for entry in found.values()), key=lambda d: d.filename)

    def file(self, filename: str) -> DistFile | None:
        return next((d for d in self.files() if d.filename == filename), None)

    def projects(self) -> dict[str, list[DistFile]]:
        grouped: dict[str, list[DistFile]] = collections.defaultdict(list)
        for dist in self.files():
            grouped[dist.project].append(dist)
        return dict(sorted(grouped.items()))

    def project(self, name: str) -> list[DistFile]:
        wanted = canonicalize_name(name)
        return [dist for dist in self.files() if dist.project == wanted]

    def releases(self, name: str) -> dict[str, list[DistFile]]:
        """The project's files by version, oldest release first; empty for an unknown project."""
        releases: dict[str, list[DistFile]] = collections.defaultdict(list)
        for dist in self.project(name):
            releases[dist.version].append(dist)
        return dict(sorted(releases.items(), key=lambda item: _version_key(item[0])))

    def release(self, name: str, version: str) -> list[DistFile] | None:
        """The files of one release, found under any spelling of its version (1.0 for 1.0.0)."""
        releases = self.releases(name)
        if version in releases:
            return releases[version]
        try:
            wanted = Version(version)
        except InvalidVersion:
            return None
        return next((files for v, files in releases.items() if _version_key(v) == (1, wanted)), None)


# -- documents -------------------------------------------------------------------------------------
# ``metadata_files`` false describes an index that predates PEP 658: it names no metadata files.


def _file_href(dist: DistFile) -> str:
    return f"/files/{quote(dist.filename)}"


def served_metadata_sha256(dist: DistFile, metadata_files: bool) -> str | None:
    """The digest of the file's metadata file, or None when none is served for it."""
    return dist.metadata_sha256 if metadata_files else None


def simple_index_json(projects: dict[str, list[DistFile]]) -> dict[str, Any]:
    return {
        "meta": {"api-version": API_VERSION},
        "projects": [{"name": files[-1].name} for files in projects.values()],
    }


def simple_index_html(projects: dict[str, list[DistFile]]) -> str:
    links = "".join(
        f'    <a href="/simple/{project}/">{html.escape(files[-1].name)}</a><br/>\n'
        for project, files in projects.items()
    )
    return _html_page("Simple index", links)


def simple_project_json(project: str, files: list[DistFile], metadata_files: bool) -> dict[str, Any]:
    return {
        "meta": {"api-version": API_VERSION},
        "name": project,
        "versions": sorted({d.version for d in files}, key=_version_key),
        "files": [_simple_json_file(d, metadata_files) for d in files],
    }


def simple_project_html(project: str, files: list[DistFile], metadata_files: bool) -> str:
    return _html_page(f"Links for {project}", "".join(_simple_anchor(d, metadata_files) for d in files))


def _simple_anchor(dist: DistFile, metadata_files: bool) -> str:
    attributes = [f'href="{_file_href(dist)}#sha256={dist.sha256}"']
    if dist.requires_python:
        attributes.append(f'data-requires-python="{html.escape(dist.requires_python)}"')
    digest = served_metadata_sha256(dist, metadata_files)
    if digest:
        # Both spellings: the older one is all that some installers still look for.
        attributes.append(f'data-core-metadata="sha256={digest}"')
        attributes.append(f'data-dist-info-metadata="sha256={digest}"')
    return f"    <a {' '.join(attributes)}>{html.escape(dist.filename)}</a><br/>\n"


def _simple_json_file(dist: DistFile, metadata_files: bool) -> dict[str, Any]:
    digest = served_metadata_sha256(dist, metadata_files)
    metadata: Any = {"sha256": digest} if digest else False
    entry: dict[str, Any] = {
        "filename": dist.filename,
        "url": _file_href(dist),
        "hashes": {"sha256": dist.sha256},
        "core-metadata": metadata,
        "dist-info-metadata": metadata,
        "size": dist.size,
    }
    if dist.requires_python:
        entry["requires-python"] = dist.requires_python
    return entry


def _html_page(title: str, body: str) -> str:
    return (
        "<!DOCTYPE html>\n<html>\n  <head>\n"
        f'    <meta name="pypi:repository-version" content="{API_VERSION}">\n'
        f"    <title>{html.escape(title)}</title>\n  </head>\n  <body>\n"
        f"    <h1>{html.escape(title)}</h1>\n{body}  </body>\n</html>\n"
    )


def project_document(base: str, releases: dict[str, list[DistFile]]) -> dict[str, Any]:
    """The JSON API document of a project (``releases`` not empty), with ``base`` the index's
    address as its client reached it."""
    latest = latest_version(releases)
    assert latest is not None
    return {
        "info": _info(base, releases[latest]),
        "last_serial": 0,
        "releases": {v: [_json_file(base, d) for d in files] for v, files in releases.items()},
        "urls": [_json_file(base, d) for d in releases[latest]],
        "vulnerabilities": [],
    }


def version_document(base: str, files: list[DistFile]) -> dict[str, Any]:
    """The JSON API document of one release."""
    return {
        "info": _info(base, files),
        "last_serial": 0,
        "urls": [_json_file(base, d) for d in files],
        "vulnerabilities": [],
    }


def _json_file(base: str, dist: DistFile) -> dict[str, Any]:
    return {
        "filename": dist.filename,
        "url": base + _file_href(dist),
        "packagetype": dist.packagetype,
        "python_version": "py3" if dist.packagetype == "bdist_wheel" else "source",
        "size": dist.size,
        "digests": {"sha256": dist.sha256, "md5": dist.md5},
        "requires_python": dist.requires_python,
        "upload_time_iso_8601": time.strftime("%Y-%m-%dT%H:%M:%S.000000Z", time.gmtime(dist.mtime)),
        "yanked": False,
        "yanked_reason": None,
    }


def _info(base: str, files: list[DistFile]) -> dict[str, Any]:
    # A wheel's metadata is what installers trust, so it wins over an sdist's PKG-INFO.
    source = next((d for d in files if d.packagetype == "bdist_wheel"), files[0])
    meta = source.parsed_metadata
    requires_dist = (meta.get_all("Requires-Dist") or None) if meta is not None else None
    provides_extra = (meta.get_all("Provides-Extra") or None) if meta is not None else None
    summary = meta.get("Summary", "") if meta is not None else ""
    project = source.project
    return {
        "name": source.name,
        "version": source.version,
        "summary": summary,
        "requires_dist": requires_dist,
        "provides_extra": provides_extra,
        "requires_python": source.requires_python,
        "package_url": f"{base}/project/{project}/",
        "project_url": f"{base}/project/{project}/",
        "release_url": f"{base}/project/{project}/{source.version}/",
        "yanked": False,
        "yanked_reason": None,
    }
