"""Serve a folder as a package index: ``python -m quenlet_master.local_index [FOLDER] [--demo]``."""

from __future__ import annotations

import argparse
import shlex
import signal
import tempfile
import threading

from quenlet_master.local_index.server import LocalIndex, LocalIndexServer

DEMO_RELEASES = [
    ("quenlet-demo", "1.0.0", {"summary": "Demo package", "requires_dist": []}),
    (
        "quenlet-demo",
        "1.1.0",
        {
            "summary": "Demo package",
            "extras": ["fast", "test"],
            "requires_dist": ['quenlet-demo-speedups>=0.1; extra == "fast"', 'pytest>=7; extra == "test"'],
        },
    ),
    ("quenlet-demo-speedups", "0.1.0", {"summary": "Optional speed-ups for the demo"}),
]


def banner(index: LocalIndex) -> list[str]:
    """What a user needs to point pip and quenlet-packages at the index: its simple pages, and
    the pattern of its JSON API, which the command line only uses when told."""
    return [
        f"Serving {index.root} at {index.simple_url}",
        f"  JSON API pattern: {index.api_pattern}",
        "  " + shlex.join(["pip", "install", "--index-url", index.simple_url, "--target", "DIR", "NAME"]),
        "  "
        + shlex.join(
            [
                "quenlet-packages",
                "--index-url",
                index.simple_url,
                "--api-pattern",
                f"{index.simple_url}={index.api_pattern}",
                "versions",
                "NAME",
            ]
        ),
    ]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quenlet_master.local_index", description=__doc__)
    parser.add_argument(
        "folder", nargs="?", help="folder of wheels and sdists (default: a new temporary one)"
    )
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (default: any free port)")
    parser.add_argument("--demo", action="store_true", help="add a few sample releases to the folder")
    args = parser.parse_args(argv)

    with tempfile.TemporaryDirectory(prefix="local-index-") as scratch:
        server = LocalIndexServer(args.folder or scratch, port=args.port)
        if args.demo:
            for name, version, options in DEMO_RELEASES:
                server.index.add_wheel(name, version, **options)
        with server as index:
            for line in banner(index):
                print(line, flush=True)
            stop = threading.Event()
            # A service manager stops us with SIGTERM; shut the server down as on Ctrl-C.
            signal.signal(signal.SIGTERM, lambda *_: stop.set())
            try:
                stop.wait()
            except KeyboardInterrupt:
                pass
            print("Stopping", flush=True)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
