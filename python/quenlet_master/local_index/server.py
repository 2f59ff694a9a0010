"""A real package index on loopback, serving a folder of wheels and sdists.

Everything it says about a project comes from the distribution files themselves (their
METADATA or PKG-INFO), so a test states facts once, by building a wheel, and every view
agrees: the simple pages (HTML, or PEP 691 JSON when asked for), the PEP 658 metadata
files, the files, and the JSON API documents (``/pypi/<name>/json`` and
``/pypi/<name>/<version>/json``). Project names in URLs match after PEP 503 normalisation.

Tests steer failures through ``faults`` (status, delay, broken bodies, altered documents)
and check traffic through ``request_log``; both may be used from any thread.

``LocalIndex`` runs on the caller's event loop; ``LocalIndexServer`` runs one in a thread
of its own for synchronous code (fixtures, benchmarks, a command-line demo).
"""

from __future__ import annotations

import asyncio
import collections
import dataclasses
import functools
import hashlib
import html
import json
import os
import socket
import threading
import time
from collections.abc import Iterable
from email.message import Message
from pathlib import Path
from typing import Any
from urllib.parse import quote

from aiohttp import web
from packaging.version import InvalidVersion, Version

from quenlet_master.config.logging_config import get_logger
from quenlet_master.local_index import wheels

logger = get_logger(__name__)

SIMPLE_JSON_TYPE = "application/vnd.pypi.simple.v1+json"
_SIMPLE_JSON_TYPES = {SIMPLE_JSON_TYPE, "application/vnd.pypi.simple.latest+json"}
_SIMPLE_HTML_TYPES = {
    "application/vnd.pypi.simple.v1+html",
    "application/vnd.pypi.simple.latest+html",
    "text/html",
    "text/*",
    "*/*",
}
_API_VERSION = "1.1"
_UNSET: Any = object()
_FAULT_KEY = web.RequestKey("quenlet_fault", object) if hasattr(web, "RequestKey") else "quenlet_fault"


# -- distribution files ---------------------------------------------------------------------------


@dataclasses.dataclass(frozen=True)
class DistFile:
    """One file of the index with everything the views need, read once per file version."""

    filename: str
    path: Path
    packagetype: str  # "bdist_wheel" or "sdist"
    size: int
    sha256: str
    md5: str
    mtime: float
    metadata: bytes | None  # METADATA of a wheel, PKG-INFO of an sdist when it has one
    name: str  # as the metadata (or, lacking that, the file name) spells it
    version: str

    @property
    def project(self) -> str:
        return wheels.normalize_name(self.name)

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


def _split_filename(filename: str) -> tuple[str, str, str] | None:
    """(name, version, packagetype) from a distribution file name, or None for other files."""
    if filename.endswith(".whl"):
        parts = filename[: -len(".whl")].split("-")
        if len(parts) in (5, 6):
            return parts[0], parts[1], "bdist_wheel"
    elif filename.endswith(".tar.gz"):
        name, sep, version = filename[: -len(".tar.gz")].rpartition("-")
        if sep and name and version:
            return name, version, "sdist"
    return None


def _read_dist_file(path: Path, stat: os.stat_result) -> DistFile | None:
    split = _split_filename(path.name)
    if split is None:
        return None
    name, version, packagetype = split
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

    def projects(self) -> dict[str, list[DistFile]]:
        grouped: dict[str, list[DistFile]] = collections.defaultdict(list)
        for dist in self.files():
            grouped[dist.project].append(dist)
        return dict(sorted(grouped.items()))

    def project(self, name: str) -> list[DistFile]:
        wanted = wheels.normalize_name(name)
        return [dist for dist in self.files() if dist.project == wanted]


# -- fault injection and request log ---------------------------------------------------------------


@dataclasses.dataclass
class Fault:
    """What to do instead of (or on top of) the normal answer for matching paths.

    Precedence: ``delay`` always applies first; then a ``json`` replacement document, a raw
    ``body``, or a bare ``status`` answer in place of the normal view; ``info_null`` and
    ``requires_dist_null`` alter the normal JSON API document. ``times`` limits how many
    requests the fault applies to before it removes itself (None: until cleared).
    """

    status: int | None = None
    delay: float = 0.0
    body: bytes | str | None = None
    content_type: str | None = None
    json: Any = _UNSET
    info_null: bool = False
    requires_dist_null: bool = False
    times: int | None = None


class FaultInjector:
    """Faults by exact path or by path prefix; an exact path wins, then the longest prefix."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._exact: dict[str, Fault] = {}
        self._prefixes: dict[str, Fault] = {}

    def set(
        self,
        path: str,
        *,
        prefix: bool = False,
        status: int | None = None,
        delay: float = 0.0,
        body: bytes | str | None = None,
        content_type: str | None = None,
        json: Any = _UNSET,
        info_null: bool = False,
        requires_dist_null: bool = False,
        times: int | None = None,
    ) -> Fault:
        if not path.startswith("/"):
            raise ValueError(f"fault path must start with '/': {path!r}")
        if times is not None and times < 1:
            raise ValueError("times must be at least 1")
        fault = Fault(status, delay, body, content_type, json, info_null, requires_dist_null, times)
        with self._lock:
            (self._prefixes if prefix else self._exact)[path] = fault
        return fault

    def not_json(self, path: str, *, json_content_type: bool = False, **kwargs: Any) -> Fault:
        """A body that does not decode as JSON: plain text, or garbage labelled as JSON."""
        if json_content_type:
            return self.set(path, body=b"{not json", content_type="application/json", **kwargs)
        return self.set(path, body="this is not JSON", content_type="text/plain", **kwargs)

    def clear(self, path: str | None = None) -> None:
        with self._lock:
            if path is None:
                self._exact.clear()
                self._prefixes.clear()
            else:
                self._exact.pop(path, None)
                self._prefixes.pop(path, None)

    def take(self, path: str) -> Fault | None:
        """The fault for a request to ``path``, counting the use against its ``times``."""
        with self._lock:
            table, key = self._exact, path
            if path not in self._exact:
                matches = [p for p in self._prefixes if path.startswith(p)]
                if not matches:
                    return None
                table, key = self._prefixes, max(matches, key=len)
            fault = table[key]
            if fault.times is not None:
                fault.times -= 1
                if fault.times <= 0:
                    del table[key]
            return fault


@dataclasses.dataclass(frozen=True)
class RequestRecord:
    method: str
    path: str
    query: str


class RequestLog:
    """Every request the index received, in arrival order."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._records: list[RequestRecord] = []

    def record(self, method: str, path: str, query: str = "") -> None:
        with self._lock:
            self._records.append(RequestRecord(method, path, query))

    def records(self) -> list[RequestRecord]:
        with self._lock:
            return list(self._records)

    def paths(self) -> list[str]:
        return [r.path for r in self.records()]

    def counts(self) -> collections.Counter[str]:
        return collections.Counter(self.paths())

    def count(self, path: str | None = None, *, method: str | None = None, prefix: bool = False) -> int:
        """Requests to ``path`` (or under it with ``prefix``), optionally of one method only."""

        def matches(r: RequestRecord) -> bool:
            if method is not None and r.method != method:
                return False
            if path is None:
                return True
            return r.path.startswith(path) if prefix else r.path == path

        return sum(1 for r in self.records() if matches(r))

    def clear(self) -> None:
        with self._lock:
            self._records.clear()

    def __len__(self) -> int:
        with self._lock:
            return len(self._records)


# -- the index -------------------------------------------------------------------------------------


def _wants_simple_json(accept: str) -> bool:
    best_json = best_html = 0.0
    for item in accept.split(","):
        mime, *params = (part.strip() for part in item.split(";"))
        quality = 1.0
        for param in params:
            key, _, value = param.partition("=")
            if key.strip() == "q":
                try:
                    quality = float(value)
                except ValueError:
                    quality = 0.0
        mime = mime.lower()
        if mime in _SIMPLE_JSON_TYPES:
            best_json = max(best_json, quality)
        elif mime in _SIMPLE_HTML_TYPES:
            best_html = max(best_html, quality)
    return best_json > best_html


def _iso_time(timestamp: float) -> str:
    return time.strftime("%Y-%m-%dT%H:%M:%S.000000Z", time.gmtime(timestamp))


class LocalIndex:
    """The index on the running event loop: ``async with LocalIndex(folder) as index: ...``.

    Set ``metadata_files`` false (at any time) to serve no PEP 658 metadata files, like an
    index that predates them: clients then have to read a wheel's METADATA from the wheel.
    """

    def __init__(self, root: str | os.PathLike, *, host: str = "127.0.0.1", port: int = 0):
        self.root = Path(root)
        self.root.mkdir(parents=True, exist_ok=True)
        self.host = host
        self._requested_port = port
        self.port: int | None = None
        self.faults = FaultInjector()
        self.request_log = RequestLog()
        self.catalogue = Catalogue(self.root)
        self.metadata_files = True
        self._runner: web.AppRunner | None = None
        self._socket: socket.socket | None = None

    # -- addresses ----------------------------------------------------------------------------

    @property
    def url(self) -> str:
        """Base address, e.g. ``http://127.0.0.1:41234`` (no trailing slash)."""
        if self.port is None:
            raise RuntimeError("the local index is not running")
        return f"http://{self.host}:{self.port}"

    @property
    def simple_url(self) -> str:
        return f"{self.url}/simple/"

    @property
    def json_api_url(self) -> str:
        return f"{self.url}/pypi"

    @property
    def api_pattern(self) -> str:
        """The index's JSON API address template, with the two placeholders left in."""
        return self.url + "/pypi/{package_name}/{version}/json"

    def json_url(self, name: str, version: str | None = None) -> str:
        return f"{self.url}{json_path(name, version)}"

    def settings_values(self, *, with_api: bool = True, primary: bool = True) -> dict[str, Any]:
        """Dotted settings that point the index client and pip at this index alone."""
        values: dict[str, Any] = {
            "package_management.pip.index_urls": [{"url": self.simple_url, "primary": primary}],
            "package_management.pip.use_secondary_urls": not primary,
        }
        values["package_management.pip_api"] = (
            [{"index_url": self.simple_url, "api_pattern": self.api_pattern}] if with_api else []
        )
        return values

    # -- content ------------------------------------------------------------------------------

    def add_wheel(self, name: str, version: str, **kwargs: Any) -> Path:
        """Build a wheel into the served folder (see ``wheels.build_wheel``); served at once."""
        return wheels.build_wheel(self.root, name, version, **kwargs)

    def add_sdist(self, name: str, version: str, **kwargs: Any) -> Path:
        return wheels.build_sdist(self.root, name, version, **kwargs)

    # -- lifecycle ----------------------------------------------------------------------------

    async def start(self) -> LocalIndex:
        if self._runner is not None:
            raise RuntimeError("the local index is already running")
        runner = web.AppRunner(self.make_app(), access_log=None, shutdown_timeout=2.0)
        await runner.setup()
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            sock.bind((self.host, self._requested_port))
            site = web.SockSite(runner, sock)
            await site.start()
        except BaseException:
            sock.close()
            await runner.cleanup()
            raise
        self._runner, self._socket = runner, sock
        self.port = sock.getsockname()[1]
        logger.debug(f"Local index serving {self.root} at {self.url}")
        return self

    async def stop(self) -> None:
        runner, sock = self._runner, self._socket
        self._runner = self._socket = None
        if runner is not None:
            await runner.cleanup()
        if sock is not None:
            sock.close()
        self.port = None

    async def __aenter__(self) -> LocalIndex:
        return await self.start()

    async def __aexit__(self, *exc_info: object) -> None:
        await self.stop()

    # -- the web application ------------------------------------------------------------------

    def make_app(self) -> web.Application:
        app = web.Application(middlewares=[self._middleware])
        app.router.add_get("/simple/", self._simple_index)
        app.router.add_get("/simple", self._simple_index)
        app.router.add_get("/simple/{project}/", self._simple_project)
        app.router.add_get("/simple/{project}", self._simple_project)
        app.router.add_get("/files/{filename}", self._file)
        app.router.add_get("/pypi/{project}/json", self._project_json)
        app.router.add_get("/pypi/{project}/{version}/json", self._version_json)
        return app

    @web.middleware
    async def _middleware(self, request: web.Request, handler: Any) -> web.StreamResponse:
        self.request_log.record(request.method, request.path, request.query_string)
        fault = self.faults.take(request.path)
        if fault is None:
            return await handler(request)
        if fault.delay > 0:
            await asyncio.sleep(fault.delay)
        if fault.json is not _UNSET:
            return web.json_response(fault.json, status=fault.status or 200)
        if fault.body is not None:
            body = fault.body.encode("utf-8") if isinstance(fault.body, str) else fault.body
            return web.Response(
                body=body,
                status=fault.status or 200,
                headers={"Content-Type": fault.content_type or "text/plain; charset=utf-8"},
            )
        if fault.status is not None:
            return web.Response(text=f"injected status {fault.status}\n", status=fault.status)
        request[_FAULT_KEY] = fault
        return await handler(request)

    async def _simple_index(self, request: web.Request) -> web.Response:
        projects = self.catalogue.projects()
        if _wants_simple_json(request.headers.get("Accept", "")):
            return web.json_response(
                {
                    "meta": {"api-version": _API_VERSION},
                    "projects": [{"name": files[-1].name} for files in projects.values()],
                },
                content_type=SIMPLE_JSON_TYPE,
            )
        links = "".join(
            f'    <a href="/simple/{project}/">{html.escape(files[-1].name)}</a><br/>\n'
            for project, files in projects.items()
        )
        return web.Response(text=_html_page("Simple index", links), content_type="text/html")

    async def _simple_project(self, request: web.Request) -> web.Response:
        project = wheels.normalize_name(request.match_info["project"])
        files = self.catalogue.project(project)
        if not files:
            raise web.HTTPNotFound(text=f"no project {project}\n")
        if _wants_simple_json(request.headers.get("Accept", "")):
            return web.json_response(
                {
                    "meta": {"api-version": _API_VERSION},
                    "name": project,
                    "versions": sorted({d.version for d in files}, key=_version_key),
                    "files": [self._simple_json_file(d) for d in files],
                },
                content_type=SIMPLE_JSON_TYPE,
            )
        return web.Response(
            text=_html_page(f"Links for {project}", "".join(self._simple_anchor(d) for d in files)),
            content_type="text/html",
        )

    @staticmethod
    def _file_href(dist: DistFile) -> str:
        return f"/files/{quote(dist.filename)}"

    def _metadata_sha256(self, dist: DistFile) -> str | None:
        """The digest of the file's metadata file, or None when none is served for it."""
        return dist.metadata_sha256 if self.metadata_files else None

    def _simple_anchor(self, dist: DistFile) -> str:
        attributes = [f'href="{self._file_href(dist)}#sha256={dist.sha256}"']
        if dist.requires_python:
            attributes.append(f'data-requires-python="{html.escape(dist.requires_python)}"')
        if self._metadata_sha256(dist):
            # Both spellings: the older one is all that some installers still look for.
            attributes.append(f'data-core-metadata="sha256={dist.metadata_sha256}"')
            attributes.append(f'data-dist-info-metadata="sha256={dist.metadata_sha256}"')
        return f"    <a {' '.join(attributes)}>{html.escape(dist.filename)}</a><br/>\n"

    def _simple_json_file(self, dist: DistFile) -> dict[str, Any]:
        digest = self._metadata_sha256(dist)
        metadata: Any = {"sha256": digest} if digest else False
        entry: dict[str, Any] = {
            "filename": dist.filename,
            "url": self._file_href(dist),
            "hashes": {"sha256": dist.sha256},
            "core-metadata": metadata,
            "dist-info-metadata": metadata,
            "size": dist.size,
        }
        if dist.requires_python:
            entry["requires-python"] = dist.requires_python
        return entry

    async def _file(self, request: web.Request) -> web.StreamResponse:
        filename = request.match_info["filename"]
        if "/" in filename or filename.startswith("."):
            raise web.HTTPNotFound()
        wanted_metadata = filename.endswith(".metadata")
        target = filename[: -len(".metadata")] if wanted_metadata else filename
        dist = next((d for d in self.catalogue.files() if d.filename == target), None)
        if dist is None:
            raise web.HTTPNotFound(text=f"no file {filename}\n")
        if wanted_metadata:
            if self._metadata_sha256(dist) is None:
                raise web.HTTPNotFound(text=f"no metadata for {target}\n")
            return web.Response(body=dist.metadata, content_type="application/octet-stream")
        return web.FileResponse(dist.path, headers={"Content-Type": "application/octet-stream"})

    def _releases(self, project: str) -> dict[str, list[DistFile]]:
        releases: dict[str, list[DistFile]] = collections.defaultdict(list)
        for dist in self.catalogue.project(project):
            releases[dist.version].append(dist)
        if not releases:
            raise _json_not_found()
        return dict(sorted(releases.items(), key=lambda item: _version_key(item[0])))

    async def _project_json(self, request: web.Request) -> web.Response:
        project = request.match_info["project"]
        releases = self._releases(project)
        latest = latest_version(releases)
        assert latest is not None
        base = self._base(request)
        document = {
            "info": self._info(base, releases[latest]),
            "last_serial": 0,
            "releases": {v: [self._json_file(base, d) for d in files] for v, files in releases.items()},
            "urls": [self._json_file(base, d) for d in releases[latest]],
            "vulnerabilities": [],
        }
        return self._api_response(request, document)

    async def _version_json(self, request: web.Request) -> web.Response:
        releases = self._releases(request.match_info["project"])
        version = request.match_info["version"]
        files = releases.get(version)
        if files is None:
            # Accept another spelling of the same version, as 1.0 for 1.0.0.
            try:
                wanted = Version(version)
            except InvalidVersion:
                raise _json_not_found() from None
            files = next((f for v, f in releases.items() if _version_key(v) == (1, wanted)), None)
            if files is None:
                raise _json_not_found()
        base = self._base(request)
        document = {
            "info": self._info(base, files),
            "last_serial": 0,
            "urls": [self._json_file(base, d) for d in files],
            "vulnerabilities": [],
        }
        return self._api_response(request, document)

    @staticmethod
    def _api_response(request: web.Request, document: dict[str, Any]) -> web.Response:
        fault = request.get(_FAULT_KEY)
        if isinstance(fault, Fault):
            if fault.requires_dist_null and isinstance(document.get("info"), dict):
                document["info"]["requires_dist"] = None
            if fault.info_null:
                document["info"] = None
        return web.json_response(document)

    @staticmethod
    def _base(request: web.Request) -> str:
        return str(request.url.origin())

    def _json_file(self, base: str, dist: DistFile) -> dict[str, Any]:
        return {
            "filename": dist.filename,
            "url": base + self._file_href(dist),
            "packagetype": dist.packagetype,
            "python_version": "py3" if dist.packagetype == "bdist_wheel" else "source",
            "size": dist.size,
            "digests": {"sha256": dist.sha256, "md5": dist.md5},
            "requires_python": dist.requires_python,
            "upload_time_iso_8601": _iso_time(dist.mtime),
            "yanked": False,
            "yanked_reason": None,
        }

    @staticmethod
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


def json_path(name: str, version: str | None = None) -> str:
    """Path of a JSON API document, for fault injection and request-log checks."""
    if version is None:
        return f"/pypi/{name}/json"
    return f"/pypi/{name}/{version}/json"


def _json_not_found() -> web.HTTPNotFound:
    return web.HTTPNotFound(text=json.dumps({"message": "Not Found"}), content_type="application/json")


def _html_page(title: str, body: str) -> str:
    return (
        "<!DOCTYPE html>\n<html>\n  <head>\n"
        f'    <meta name="pypi:repository-version" content="{_API_VERSION}">\n'
        f"    <title>{html.escape(title)}</title>\n  </head>\n  <body>\n"
        f"    <h1>{html.escape(title)}</h1>\n{body}  </body>\n</html>\n"
    )


class LocalIndexServer:
    """A ``LocalIndex`` on a thread with its own event loop, for synchronous callers.

    ``with LocalIndexServer(folder) as server: pip install --index-url server.simple_url ...``
    """

    def __init__(self, root: str | os.PathLike, *, host: str = "127.0.0.1", port: int = 0):
        self.index = LocalIndex(root, host=host, port=port)
        self._thread: threading.Thread | None = None
        self._loop: asyncio.AbstractEventLoop | None = None
        self._stop_event: asyncio.Event | None = None
        self._started = threading.Event()
        self._startup_error: BaseException | None = None

    def start(self, timeout: float = 10.0) -> LocalIndexServer:
        if self._thread is not None:
            raise RuntimeError("the local index server is already running")
        self._started.clear()
        self._startup_error = None
        self._thread = threading.Thread(target=self._run, name="local-index", daemon=True)
        self._thread.start()
        if not self._started.wait(timeout):
            raise TimeoutError("the local index did not start in time")
        if self._startup_error is not None:
            self._thread.join()
            self._thread = None
            raise self._startup_error
        return self

    def _run(self) -> None:
        asyncio.run(self._serve())

    async def _serve(self) -> None:
        self._loop = asyncio.get_running_loop()
        self._stop_event = asyncio.Event()
        try:
            await self.index.start()
        except BaseException as exc:  # handed to the starting thread, which raises it
            self._startup_error = exc
            self._started.set()
            return
        self._started.set()
        try:
            await self._stop_event.wait()
        finally:
            await self.index.stop()

    def stop(self, timeout: float = 10.0) -> None:
        thread, loop, stop_event = self._thread, self._loop, self._stop_event
        if thread is None:
            return
        if loop is not None and stop_event is not None and not loop.is_closed():
            try:
                loop.call_soon_threadsafe(stop_event.set)
            except RuntimeError:  # the loop finished on its own in the meantime
                pass
        thread.join(timeout)
        if thread.is_alive():
            raise TimeoutError("the local index thread did not stop in time")
        self._thread = self._loop = self._stop_event = None

    def __enter__(self) -> LocalIndexServer:
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    # The index's own attributes, for code that only holds the server.
    @property
    def root(self) -> Path:
        return self.index.root

    @property
    def url(self) -> str:
        return self.index.url

    @property
    def simple_url(self) -> str:
        return self.index.simple_url

    @property
    def json_api_url(self) -> str:
        return self.index.json_api_url

    @property
    def api_pattern(self) -> str:
        return self.index.api_pattern

    @property
    def faults(self) -> FaultInjector:
        return self.index.faults

    @property
    def request_log(self) -> RequestLog:
        return self.index.request_log

    def json_url(self, name: str, version: str | None = None) -> str:
        return self.index.json_url(name, version)

    def settings_values(self, **kwargs: Any) -> dict[str, Any]:
        return self.index.settings_values(**kwargs)

    def add_wheel(self, name: str, version: str, **kwargs: Any) -> Path:
        return self.index.add_wheel(name, version, **kwargs)

    def add_sdist(self, name: str, version: str, **kwargs: Any) -> Path:
        return self.index.add_sdist(name, version, **kwargs)
