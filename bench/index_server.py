"""The package index of the query benchmarks, in a process of its own.

``python -m bench.index_server PACKAGES VERSIONS`` builds real wheels into a scratch folder,
asks the local index (``quenlet_master.local_index``) once for every JSON API document, and
then serves those documents from memory over plain HTTP/1.1 keep-alive on 127.0.0.1, printing
its base address as the first line. It stops when its standard input closes.

Serving from memory keeps the index's own cost per request a small fraction of a client's, so
that what the benchmarks compare is the two clients, not the server.
"""

from __future__ import annotations

import asyncio
import sys
import tempfile

import aiohttp

from quenlet_master.local_index import LocalIndex

REQUIREMENTS = [
    "requests>=2.28,<3",
    "urllib3[socks]>=1.26; python_version >= '3.8'",
    "typing-extensions>=4.0; python_version < '3.11'",
    "numpy>=1.22",
    "pytest>=7; extra == 'test'",
    "pytest-cov; extra == 'test'",
    "sphinx>=6,<8; extra == 'docs'",
    "colorama; sys_platform == 'win32'",
]
EXTRAS = ["test", "docs"]
# 2,000 distinct versions at full size.
PACKAGES, VERSIONS_PER_PACKAGE = 100, 20


def releases(packages: int, versions: int) -> list[tuple[str, str]]:
    """(name, version) of every release the index holds."""
    return [(f"bench-pkg-{p}", f"1.{v}.0") for p in range(packages) for v in range(versions)]


def json_paths(name: str, versions: list[str]) -> list[str]:
    return [f"/pypi/{name}/json"] + [f"/pypi/{name}/{version}/json" for version in versions]


def response(status: bytes, body: bytes, content_type: bytes) -> bytes:
    head = b"HTTP/1.1 %s\r\nContent-Type: %s\r\nContent-Length: %d\r\n\r\n" % (
        status,
        content_type,
        len(body),
    )
    return head + body


NOT_FOUND = response(b"404 Not Found", b'{"message": "Not Found"}', b"application/json")


class ServeFromMemory(asyncio.Protocol):
    """Answers each GET by its path; requests on one connection are answered in order."""

    def __init__(self, answers: dict[bytes, bytes]):
        self.answers = answers
        self.pending = b""

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        self.transport = transport

    def data_received(self, data: bytes) -> None:
        self.pending += data
        while (end := self.pending.find(b"\r\n\r\n")) >= 0:
            request_line = self.pending[: self.pending.find(b"\r\n")]
            self.pending = self.pending[end + 4 :]
            path = request_line.split(b" ")[1]
            self.transport.write(self.answers.get(path, NOT_FOUND))


async def documents(folder: str, packages: int, versions: int) -> dict[bytes, bytes]:
    by_name: dict[str, list[str]] = {}
    async with LocalIndex(folder) as index:
        for name, version in releases(packages, versions):
            index.add_wheel(name, version, requires_dist=REQUIREMENTS, extras=EXTRAS)
            by_name.setdefault(name, []).append(version)
        # The folder is complete: list it once, not on every one of the requests below.
        files = index.catalogue.files()
        index.catalogue.files = lambda: files
        answers = {}
        async with aiohttp.ClientSession(index.url) as session:
            for name, held in by_name.items():
                for path in json_paths(name, held):
                    async with session.get(path) as reply:
                        body = await reply.read()
                        answers[path.encode()] = response(b"200 OK", body, reply.content_type.encode())
    return answers


async def serve(packages: int, versions: int) -> None:
    with tempfile.TemporaryDirectory(prefix="bench-index-") as folder:
        answers = await documents(folder, packages, versions)
    loop = asyncio.get_running_loop()
    server = await loop.create_server(lambda: ServeFromMemory(answers), "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    print(f"http://127.0.0.1:{port}", flush=True)
    stdin_closed = loop.create_future()
    loop.add_reader(sys.stdin.fileno(), lambda: stdin_closed.done() or stdin_closed.set_result(None))
    await stdin_closed
    # Clients may still hold connections open: close without waiting for them.
    server.close()


if __name__ == "__main__":
    asyncio.run(serve(int(sys.argv[1]), int(sys.argv[2])))
