"""The faults a test tells the local index to commit, path by path: wrong statuses, delays,
redirects, broken or replaced bodies, altered JSON API documents, connections reset mid-answer.

Faults may be set and cleared from any thread while the index serves.
"""

from __future__ import annotations

import asyncio
import dataclasses
import socket
import struct
import threading
from typing import Any

from aiohttp import web

_UNSET: Any = object()
_FAULT_KEY = web.RequestKey("quenlet_fault", object) if hasattr(web, "RequestKey") else "quenlet_fault"


@dataclasses.dataclass
class Fault:
    """What to do instead of (or on top of) the normal answer for matching paths.

    Precedence: ``delay`` always applies first; then a redirect to ``location``, a ``json``
    replacement document, a raw ``body``, or a bare ``status`` answer in place of the normal
    view; ``info_null``, ``requires_dist_null`` and ``padding`` (that many characters of
    "description" in its "info") alter the normal JSON API document. ``reset_mid_body`` cuts whatever
    answer results: its headers and half its body go out, then the connection is reset.
    ``times`` limits how many requests the fault applies to before it removes itself (None:
    until cleared).
    """

    status: int | None = None
    delay: float = 0.0
    body: bytes | str | None = None
    content_type: str | None = None
    json: Any = _UNSET
    info_null: bool = False
    requires_dist_null: bool = False
    padding: int = 0
    location: str | None = None
    reset_mid_body: bool = False
    times: int | None = None

    async def answer(self, request: web.Request, handler: Any) -> web.StreamResponse:
        """The answer to ``request`` with this fault committed; ``handler`` gives the normal one."""
        if self.delay > 0:
            await asyncio.sleep(self.delay)
        answer = await self._replacement(request, handler)
        return await _reset_mid_body(request, answer) if self.reset_mid_body else answer

    async def _replacement(self, request: web.Request, handler: Any) -> web.StreamResponse:
        if self.location is not None:
            return web.Response(status=self.status or 302, headers={"Location": self.location})
        if self.json is not _UNSET:
            return web.json_response(self.json, status=self.status or 200)
        if self.body is not None:
            body = self.body.encode("utf-8") if isinstance(self.body, str) else self.body
            return web.Response(
                body=body,
                status=self.status or 200,
                headers={"Content-Type": self.content_type or "text/plain; charset=utf-8"},
            )
        if self.status is not None:
            return web.Response(text=f"injected status {self.status}\n", status=self.status)
        request[_FAULT_KEY] = self  # for altered_document, as the handler builds the normal answer
        return await handler(request)


def altered_document(request: web.Request, document: dict[str, Any]) -> dict[str, Any]:
    """A JSON API document as the fault committed on ``request`` (if any) alters it."""
    fault = request.get(_FAULT_KEY)
    if isinstance(fault, Fault):
        if fault.requires_dist_null and isinstance(document.get("info"), dict):
            document["info"]["requires_dist"] = None
        if fault.padding and isinstance(document.get("info"), dict):
            document["info"]["description"] = "x" * fault.padding
        if fault.info_null:
            document["info"] = None
    return document


async def _reset_mid_body(request: web.Request, answer: web.StreamResponse) -> web.StreamResponse:
    """Sends the answer's status, headers and the first half of its body, then resets the
    connection (SO_LINGER 0 makes the close an RST), as a server that dies mid-answer does."""
    if not isinstance(answer, web.Response) or not isinstance(answer.body, bytes):
        raise TypeError("only an answer with its body in memory can be cut mid-body")
    body = answer.body
    partial = web.StreamResponse(status=answer.status)
    partial.content_type, partial.charset = answer.content_type, answer.charset
    partial.content_length = len(body)
    await partial.prepare(request)
    await partial.write(body[: len(body) // 2])
    transport = request.transport
    if transport is not None:
        transport.get_extra_info("socket").setsockopt(
            socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0)
        )
        transport.close()
    return partial


class FaultInjector:
    """Faults by exact path or by path prefix; an exact path wins, then the longest prefix."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._exact: dict[str, Fault] = {}
        self._prefixes: dict[str, Fault] = {}

    def set(self, path: str, *, prefix: bool = False, **options: Any) -> Fault:
        """Applies a ``Fault`` made of ``options`` (its fields, by name) to ``path``."""
        if not path.startswith("/"):
            raise ValueError(f"fault path must start with '/': {path!r}")
        fault = Fault(**options)
        if fault.times is not None and fault.times < 1:
            raise ValueError("times must be at least 1")
        with self._lock:
            (self._prefixes if prefix else self._exact)[path] = fault
        return fault

    def not_json(self, path: str, *, json_content_type: bool = False, **kwargs: Any) -> Fault:
        """A body that does not decode as JSON: plain text, or garbage labelled as JSON."""
        if json_content_type:
            return self.set(path, body=b"{not json", content_type="application/json", **kwargs)
        return self.set(path, body="this is not JSON", content_type="text/plain", **kwargs)

    def redirect_loop(self, path: str, **kwargs: Any) -> Fault:
        """``path`` redirects to itself, for ever."""
        return self.set(path, status=302, location=path, **kwargs)

    def invalid_utf8(self, path: str, **kwargs: Any) -> Fault:
        """A JSON document whose bytes are not UTF-8, though it says they are."""
        body = b'{"info": {"summary": "caf\xe9"}, "releases": {"1.0": []}}'
        return self.set(path, body=body, content_type="application/json; charset=utf-8", **kwargs)

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

    @web.middleware
    async def middleware(self, request: web.Request, handler: Any) -> web.StreamResponse:
        """Commits the fault set for the request's path, if there is one."""
        fault = self.take(request.path)
        return await handler(request) if fault is None else await fault.answer(request, handler)
