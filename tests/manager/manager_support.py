"""Helpers shared by the manager tests (fixtures live in conftest.py)."""

import os
import sys
from pathlib import Path

from quenlet_master.business_layer.packages import manager
from quenlet_master.business_layer.packages.pip_command_builder import PipCommandBuilder


def child_processes() -> set[int]:
    """Processes whose parent is this one, zombies included."""
    me = os.getpid()
    found = set()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == me:
            found.add(int(entry))
    return found


class FakePip(PipCommandBuilder):
    """Runs a small Python program instead of pip and remembers what it was asked for."""

    def __init__(self, script: Path):
        super().__init__(None)
        self.script = script
        self.calls: list[tuple] = []

    def build_install_command(self, package_spec, target_dir, no_deps=False, prefer_binary=False):
        self.calls.append((package_spec, target_dir, no_deps, prefer_binary))
        return [sys.executable, str(self.script), package_spec, str(target_dir)]


def folder_exists(path) -> bool:
    return os.path.isdir(path)


async def collect(stream) -> list[tuple[str, str]]:
    return [item async for item in stream]


def manager_records(caplog) -> list[tuple[str, str]]:
    return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == manager.logger.name]
