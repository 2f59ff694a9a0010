"""Helpers shared by the manager tests (fixtures live in conftest.py; what other folders use too
lives in ../support.py)."""

import os

from quenlet_master.business_layer.packages import manager


def folder_exists(path) -> bool:
    return os.path.isdir(path)


def manager_records(caplog) -> list[tuple[str, str]]:
    return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == manager.logger.name]


def live_group_members(group: int) -> set[int]:
    """The processes of process group `group` that have not ended (zombies have: they only wait
    for their parent, often init, to collect them)."""
    found = set()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stat:
                # State, parent and group are the first fields after the command name.
                state, _parent, process_group = stat.read().rsplit(")", 1)[1].split()[:3]
        except OSError:  # the process ended while we looked
            continue
        if int(process_group) == group and state not in "ZX":
            found.add(int(entry))
    return found
