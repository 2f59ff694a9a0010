"""What the command line writes, and the exit statuses it ends with.

Results go to standard output, as text for people or as JSON for scripts; errors and warnings
are one line each on standard error. With ``--json`` every object written carries the schema
version and the command, and a command that fails ends its output with one error object, so a
script can tell an answer from a failure without reading standard error.
"""

from __future__ import annotations

import json
import os
import sys
from typing import Any

PROG = "quenlet-packages"

# Raised whenever a field is renamed, removed or changes type; new fields keep it.
SCHEMA_VERSION = 1

EXIT_OK = 0
EXIT_NOT_FOUND = 1
EXIT_USAGE = 2
# A shell's status for a program ended by the signal (128 + its number): scripts that tell a
# signal from a failure keep working when we end cleanly instead of dying of it.
EXIT_INTERRUPTED = 130
EXIT_OUTPUT_CLOSED = 141
EXIT_TERMINATED = 143


class CliError(Exception):
    """A failure that ends the command with one line on standard error."""

    def __init__(self, message: str, exit_code: int = EXIT_USAGE):
        super().__init__(message)
        self.exit_code = exit_code


class OutputClosed(Exception):
    """Standard output's reader has gone (``| head -1``): there is no one left to tell anything."""


def silence_stdout() -> None:
    """Points standard output at the null device once its reader has gone, so that the
    interpreter's last flush at exit does not fail over what is left in its buffer."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def _one_line(message: str) -> str:
    # A rejected spec may end in the very line break it names.
    return message.replace("\r", "\\r").replace("\n", "\\n")


def print_error(message: str) -> None:
    print(f"{PROG}: error: {_one_line(message)}", file=sys.stderr, flush=True)


def print_warning(message: str) -> None:
    print(f"{PROG}: warning: {_one_line(message)}", file=sys.stderr, flush=True)


class Reporter:
    """Writes one command's results and failures.

    Query results are one indented JSON document; install items are written one object per
    line the moment they arrive, and so is the error object that may end them.
    """

    def __init__(self, command: str | None, as_json: bool, streaming: bool = False):
        self.command = command
        self.as_json = as_json
        self.streaming = streaming

    def _write(self, text: str, *, to_stderr: bool = False) -> None:
        try:
            print(text, file=sys.stderr if to_stderr else sys.stdout, flush=True)
        except BrokenPipeError:
            if to_stderr:
                raise
            raise OutputClosed from None

    def _write_object(self, fields: dict[str, Any]) -> None:
        document = {"schema_version": SCHEMA_VERSION, "command": self.command, **fields}
        self._write(json.dumps(document, indent=None if self.streaming else 2))

    def result(self, fields: dict[str, Any], text: list[str]) -> None:
        if self.as_json:
            self._write_object(fields)
        else:
            for line in text:
                self._write(line)

    def item(self, output_type: str, content: str) -> None:
        """One item of an install stream."""
        if self.as_json:
            self._write_object({"type": output_type, "content": content})
        elif output_type == "stdout":
            self._write(f"  stdout | {content}")
        elif output_type == "stderr":
            self._write(f"  stderr | {content}", to_stderr=True)

    def note(self, text: str) -> None:
        """A closing line for people; scripts have it in the items already."""
        if not self.as_json:
            self._write(text)

    def failure(self, message: str, exit_code: int) -> int:
        print_error(message)
        if self.as_json:
            try:
                self._write_object({"error": message, "exit_status": exit_code})
            except OutputClosed:  # standard error has said it
                silence_stdout()
        return exit_code
