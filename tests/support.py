"""Helpers that tests in several folders share (their fixtures live in conftest.py): the process
table, a pip stand-in, and the install streams."""

from __future__ import annotations

import contextlib
import os
import signal
import sys
from collections.abc import AsyncIterator, Iterable, Iterator
from pathlib import Path

from quenlet_master.business_layer.packages.pip_command_builder import PipCommandBuilder


def _processes() -> Iterator[tuple[int, list[str]]]:
    """Every process with the fields of its /proc stat line that follow the command name: state,
    parent, process group, ..."""
    for entry in os.listdir("/proc"):
        if entry.isdigit() and (fields := _stat_fields(int(entry))) is not None:
            yield int(entry), fields


def _stat_fields(pid: int) -> list[str] | None:
    try:
        with open(f"/proc/{pid}/stat") as stat:
            # The command name, in parentheses, may hold anything: the fields follow its last ")".
            return stat.read().rsplit(")", 1)[1].split()
    except OSError:  # the process has ended and been collected
        return None


def child_processes(parent: int | None = None) -> set[int]:
    """Processes whose parent is `parent` (this process by default), zombies included."""
    parent = os.getpid() if parent is None else parent
    return {pid for pid, fields in _processes() if int(fields[1]) == parent}


def running(pid: int) -> bool:
    """Whether the process has not ended (a zombie has: it only waits for its parent, often
    init, to collect it)."""
    fields = _stat_fields(pid)
    return fields is not None and fields[0] not in "ZX"


def live_group_members(group: int) -> set[int]:
    """The processes of process group `group` that have not ended."""
    return {pid for pid, fields in _processes() if int(fields[2]) == group and fields[0] not in "ZX"}


def reap(pids: Iterable[int]) -> None:
    """Kills and waits for children a failed test left behind, so that its failure does not
    cascade into the tests after it."""
    for pid in pids:
        with contextlib.suppress(ProcessLookupError, ChildProcessError):
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)


def under_address_sanitizer() -> bool:
    """Whether this process runs under the sanitizers of `make sanitize` (their runtime is
    preloaded)."""
    try:
        return "libasan" in Path("/proc/self/maps").read_text()
    except OSError:
        return False


class ScriptPip(PipCommandBuilder):
    """Runs a small program instead of pip, with the package spec and the target folder as its
    last two arguments, and remembers what it was asked for."""

    def __init__(self, command: list[str]):
        super().__init__(None)
        self.command = command
        self.calls: list[tuple[str, str, bool, bool]] = []

    @classmethod
    def python(cls, script: Path) -> ScriptPip:
        return cls([sys.executable, str(script)])

    @classmethod
    def shell(cls, script: str) -> ScriptPip:
        """`script` sees the spec as $1 and the target as $2. A shell starts far sooner than an
        interpreter, so hundreds of installs stay quick, and it is never the sanitized one."""
        return cls(["/bin/sh", "-c", script, "pip"])

    def build_install_command(self, package_spec, target_dir, no_deps=False, prefer_binary=False):
        self.calls.append((package_spec, str(target_dir), no_deps, prefer_binary))
        return [*self.command, package_spec, str(target_dir)]


INSTALL_OPERATIONS = ["install_package", "install_package_to_cache", "install_package_no_deps"]


def start_install(package_manager, operation: str, name: str, target) -> AsyncIterator[tuple[str, str]]:
    """The stream of one of INSTALL_OPERATIONS for version 1.0 of `name`. Only install_package
    installs into `target`; the others install into the package cache."""
    if operation == "install_package":
        return package_manager.install_package(f"{name}==1.0", str(target))
    return getattr(package_manager, operation)(name, "1.0")


async def collect(stream: AsyncIterator[tuple[str, str]]) -> list[tuple[str, str]]:
    return [item async for item in stream]
