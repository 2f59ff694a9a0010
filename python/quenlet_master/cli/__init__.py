"""Command-line front end to the package manager and the index client.

It drives the two native modules exactly as the host application does: one ``RepoFinder`` and
one ``PackageManager`` built on a ``SettingsManager``, their coroutines awaited and their
install streams iterated on one event loop, and the index client's session closed at the end.

    quenlet-packages --settings settings.json versions requests
    quenlet-packages --index-url http://127.0.0.1:8080/simple/ install "requests==2.31.0" --target lib
    python -m quenlet_master.cli check "requests[socks]>=2" --json
"""

from __future__ import annotations

import asyncio
import signal
import sys

from quenlet_master.cli.arguments import INSTALL_COMMANDS, json_requested, parse_arguments
from quenlet_master.cli.commands import COMMANDS, Session
from quenlet_master.cli.logs import LoggingSetup
from quenlet_master.cli.output import (
    EXIT_INTERRUPTED,
    EXIT_OUTPUT_CLOSED,
    EXIT_TERMINATED,
    EXIT_USAGE,
    CliError,
    OutputClosed,
    Reporter,
    silence_stdout,
)
from quenlet_master.cli.settings_file import build_settings

__all__ = ["main"]


class Terminated(Exception):
    """SIGTERM arrived: the command was cancelled as Ctrl-C cancels it."""


async def _run(session: Session) -> int:
    loop = asyncio.get_running_loop()
    task = asyncio.current_task()
    assert task is not None
    terminated = False

    def terminate() -> None:
        nonlocal terminated
        terminated = True
        task.cancel()

    # Cancelling the command closes its install stream, which stops pip: the same road as
    # asyncio's own handling of Ctrl-C, so a service manager's stop leaves no pip behind.
    loop.add_signal_handler(signal.SIGTERM, terminate)
    try:
        return await COMMANDS[session.args.command](session)
    except asyncio.CancelledError:
        if terminated:
            raise Terminated from None
        raise
    finally:
        loop.remove_signal_handler(signal.SIGTERM)
        await session.close()


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    report = Reporter(None, json_requested(argv))
    logs: LoggingSetup | None = None
    try:
        try:
            args = parse_arguments(argv)
        except SystemExit as finished:  # --help and --version end here, having printed
            return finished.code if isinstance(finished.code, int) else EXIT_USAGE
        report = Reporter(args.command, args.json, streaming=args.command in INSTALL_COMMANDS)
        settings = build_settings(args)
        logs = LoggingSetup(args.verbose)
        return asyncio.run(_run(Session(args, settings, report, logs.reasons)))
    except OutputClosed:
        # The reader has what it wanted (`| head -1`); there is no one left to tell.
        silence_stdout()
        return EXIT_OUTPUT_CLOSED
    except CliError as exc:
        return report.failure(str(exc), exc.exit_code)
    except KeyboardInterrupt:
        return report.failure("interrupted", EXIT_INTERRUPTED)
    except Terminated:
        return report.failure("terminated", EXIT_TERMINATED)
    except Exception as exc:  # the promise is one line and status 2, never a traceback
        return report.failure(f"unexpected {type(exc).__name__}: {exc}", EXIT_USAGE)
    finally:
        if logs is not None:
            logs.close()
