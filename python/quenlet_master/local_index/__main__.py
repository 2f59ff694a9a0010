"""Serve a folder as a package index: ``python -m quenlet_master.local_index [FOLDER] [--demo]``."""

from __future__ import annotations

import argparse
import os
import shlex
import signal
import sys
import tempfile

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


def say(line: str) -> None:
    """Prints ``line`` for whoever reads our output; once they have gone (``| head``, a parent
    that closed its pipe), the index goes on serving without printing."""
    try:
        print(line, flush=True)
    except BrokenPipeError:
        # Python flushes stdout once more at exit: point it at nothing, or that flush fails too.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quenlet_master.local_index", description=__doc__)
    parser.add_argument(
        "folder", nargs="?", help="folder of wheels and sdists (default: a new temporary one)"
    )
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (default: any free port)")
    parser.add_argument("--demo", action="store_true", help="add a few sample releases to the folder")
    args = parser.parse_args(argv)

    # Ctrl-C, or SIGTERM from a service manager, stops the server and removes its folder. Held
    # back from the start, and from every thread the server starts (they inherit the mask), they
    # wait for sigwait below: a Python handler runs only on the main thread, which a signal
    # delivered to another thread never wakes, and one that came before it was installed would
    # end the process with the folder left behind.
    stopping = {signal.SIGINT, signal.SIGTERM}
    held = signal.pthread_sigmask(signal.SIG_BLOCK, stopping)
    try:
        with tempfile.TemporaryDirectory(prefix="local-index-") as scratch:
            server = LocalIndexServer(args.folder or scratch, port=args.port)
            if args.demo:
                for name, version, options in DEMO_RELEASES:
                    server.index.add_wheel(name, version, **options)
            with server as index:
                for line in banner(index):
                    say(line)
                signal.sigwait(stopping)
                say("Stopping")
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, held)  # a caller in the same process gets its own back
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
