"""The local index as a web application: a real package index on loopback, serving a folder of
wheels and sdists.

It serves the simple pages (HTML, or PEP 691 JSON when asked for), the files and their PEP 658
metadata files, and the JSON API documents (``/pypi/<name>/json`` and
``/pypi/<name>/<version>/json``), all from its ``catalogue``. Tests steer failures through its
``faults`` and check traffic through its ``request_log``; both may be used from any thread.

``LocalIndex`` runs on the caller's event loop; ``LocalIndexServer`` runs one on a thread of its
own for synchronous code (fixtures, benchmarks, a command-line demo).
"""

from __future__ import annotations

import asyncio
import collections
import dataclasses
import json
import os
import socket
import threading
from pathlib import Path
from typing import Any

from aiohttp import web
from packaging.utils import canonicalize_name

from quenlet_master.config.logging_config import get_logger
from quenlet_master.local_index import wheels
from quenlet_master.local_index.catalogue import (
    Catalogue,
    project_document,
    served_metadata_sha256,
    simple_index_html,
    simple_index_json,
    simple_project_html,
    simple_project_json,
    version_document,
)
from quenlet_master.local_index.faults import FaultInjector, altered_document

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


def json_path(name: str, version: str | None = None) -> str:
    """Path of a JSON API document, for fault injection and request-log checks."""
    if version is None:
        return f"/pypi/{name}/json"
    return f"/pypi/{name}/{version}/json"


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
        self.catalogue = Catalogue(self.root)
        self.faults = FaultInjector()
        self.request_log = RequestLog()
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
        app = web.Application(middlewares=[self._record_request, self.faults.middleware])
        app.router.add_get("/simple/", self._simple_index)
        app.router.add_get("/simple", self._simple_index)
        app.router.add_get("/simple/{project}/", self._simple_project)
        app.router.add_get("/simple/{project}", self._simple_project)
        app.router.add_get("/files/{filename}", self._file)
        app.router.add_get("/pypi/{project}/json", self._project_json)
        app.router.add_get("/pypi/{project}/{version}/json", self._version_json)
        return app

    @web.middleware
    async def _record_request(self, request: web.Request, handler: Any) -> web.StreamResponse:
        self.request_log.record(request.method, request.path, request.query_string)
        return await handler(request)

    async def _simple_index(self, request: web.Request) -> web.Response:
        projects = self.catalogue.projects()
        if _wants_simple_json(request.headers.get("Accept", "")):
            return web.json_response(simple_index_json(projects), content_type=SIMPLE_JSON_TYPE)
        return web.Response(text=simple_index_html(projects), content_type="text/html")

    async def _simple_project(self, request: web.Request) -> web.Response:
        project = canonicalize_name(request.match_info["project"])
        files = self.catalogue.project(project)
        if not files:
            raise web.HTTPNotFound(text=f"no project {project}\n")
        if _wants_simple_json(request.headers.get("Accept", "")):
            document = simple_project_json(project, files, self.metadata_files)
            return web.json_response(document, content_type=SIMPLE_JSON_TYPE)
        page = simple_project_html(project, files, self.metadata_files)
        return web.Response(text=page, content_type="text/html")

    async def _file(self, request: web.Request) -> web.StreamResponse:
        filename = request.match_info["filename"]
        if "/" in filename or filename.startswith("."):
            raise web.HTTPNotFound()
        wanted_metadata = filename.endswith(".metadata")
        target = filename[: -len(".metadata")] if wanted_metadata else filename
        dist = self.catalogue.file(target)
        if dist is None:
            raise web.HTTPNotFound(text=f"no file {filename}\n")
        if wanted_metadata:
            if served_metadata_sha256(dist, self.metadata_files) is None:
                raise web.HTTPNotFound(text=f"no metadata for {target}\n")
            return web.Response(body=dist.metadata, content_type="application/octet-stream")
        return web.FileResponse(dist.path, headers={"Content-Type": "application/octet-stream"})

    async def _project_json(self, request: web.Request) -> web.Response:
        releases = self.catalogue.releases(request.match_info["project"])
        if not releases:
            raise _json_not_found()
        document = project_document(str(request.url.origin()), releases)
        return web.json_response(altered_document(request, document))

    async def _version_json(self, request: web.Request) -> web.Response:
        files = self.catalogue.release(request.match_info["project"], request.match_info["version"])
        if files is None:
            raise _json_not_found()
        document = version_document(str(request.url.origin()), files)
        return web.json_response(altered_document(request, document))


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


def _json_not_found() -> web.HTTPNotFound:
    return web.HTTPNotFound(text=json.dumps({"message": "Not Found"}), content_type="application/json")


class LocalIndexServer:
    """Serves a ``LocalIndex`` on a thread with its own event loop, for synchronous callers.

    ``with LocalIndexServer(folder) as index: pip install --index-url index.simple_url ...``:
    entering (or ``start``) gives the running index; ``index`` is there before and after too.
    """

    def __init__(self, root: str | os.PathLike, *, host: str = "127.0.0.1", port: int = 0):
        self.index = LocalIndex(root, host=host, port=port)
        self._thread: threading.Thread | None = None
        self._loop: asyncio.AbstractEventLoop | None = None
        self._stop_event: asyncio.Event | None = None
        self._started = threading.Event()
        self._startup_error: BaseException | None = None

    def start(self, timeout: float = 10.0) -> LocalIndex:
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
        return self.index

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

    def __enter__(self) -> LocalIndex:
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()
