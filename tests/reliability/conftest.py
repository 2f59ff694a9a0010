"""What the reliability checks share: how big a run is, what the process holds before and after a
workload, shell scripts that stand in for pip, and the counts that `make reliability` prints.

QUENLET_RELIABILITY_SCALE multiplies every workload (1 is the size CI runs; 10 is a long soak).
QUENLET_RELIABILITY_REPORT names a folder that receives the counts when the session ends: one
JSON file per test process (pytest-xdist's workers each write their own), which
tools/reliability_report.py adds up.
"""

from __future__ import annotations

import asyncio
import collections
import ctypes
import dataclasses
import gc
import json
import logging
import os
import sys
import time
from collections.abc import Awaitable, Callable
from pathlib import Path

import pytest
from support import child_processes, reap, under_address_sanitizer

from quenlet_master.business_layer.packages import manager, repo_finder

SCALE = float(os.environ.get("QUENLET_RELIABILITY_SCALE", "1"))
SANITIZED = under_address_sanitizer()
OWN_MODULES = {manager.__name__, repo_finder.__name__}


def scaled(count: int) -> int:
    return max(1, round(count * SCALE))


def pytest_collection_modifyitems(items):
    here = Path(__file__).parent
    for item in items:
        if here in Path(item.path).parents:
            item.add_marker(pytest.mark.reliability)


# -- counts for the report --------------------------------------------------------------------------

COUNT_NAMES = (
    "operations",
    "faults",
    "leaked_objects",
    "memory_over_bound",
    "leftover_processes",
    "leftover_tasks",
    "leftover_descriptors",
)


class Counts:
    """Totals over the session, and per test; written as JSON when the session ends."""

    def __init__(self) -> None:
        self.totals: collections.Counter[str] = collections.Counter({name: 0 for name in COUNT_NAMES})
        self.per_test: dict[str, collections.Counter[str]] = {}
        self.memory_growth: dict[str, dict[str, int]] = {}

    def add(self, test: str, **counts: int) -> None:
        unknown = set(counts) - set(COUNT_NAMES)
        if unknown:
            raise ValueError(f"unknown counts: {sorted(unknown)}")
        self.totals.update(counts)
        self.per_test.setdefault(test, collections.Counter()).update(counts)

    def write(self, path: str) -> None:
        document = {
            "scale": SCALE,
            "sanitized": SANITIZED,
            "totals": dict(self.totals),
            "tests": {name: dict(counts) for name, counts in sorted(self.per_test.items())},
            "memory_growth": dict(sorted(self.memory_growth.items())),
        }
        Path(path).parent.mkdir(parents=True, exist_ok=True)
        Path(path).write_text(json.dumps(document, indent=2) + "\n")


COUNTS = Counts()


def pytest_sessionfinish(session):
    folder = os.environ.get("QUENLET_RELIABILITY_REPORT")
    if folder:
        COUNTS.write(os.path.join(folder, os.environ.get("PYTEST_XDIST_WORKER", "main") + ".json"))


class TestCounts:
    """This test's line of the report."""

    def __init__(self, test: str):
        self.test = test

    def add(self, **numbers: int) -> None:
        COUNTS.add(self.test, **numbers)

    def memory_growth(self, growth: dict[str, int]) -> None:
        COUNTS.memory_growth[self.test] = growth


@pytest.fixture
def counts(request) -> TestCounts:
    return TestCounts(request.node.nodeid)


# -- what the process holds -------------------------------------------------------------------------


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class _MallocInfo(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


_libc = ctypes.CDLL(None)
_libc.mallinfo2.restype = _MallocInfo


def malloc_bytes() -> int:
    """Bytes that malloc has handed out and not had back: what C and C++ code holds (Python's
    objects live in the interpreter's own heaps, not here)."""
    info = _libc.mallinfo2()
    return info.uordblks + info.hblkhd


def own_objects() -> collections.Counter[str]:
    """Live objects of the two modules' own types (classes, coroutines, generators, protocols),
    by type name."""
    return collections.Counter(
        f"{type(o).__module__}.{type(o).__qualname__}"
        for o in gc.get_objects()
        if type(o).__module__ in OWN_MODULES
    )


@dataclasses.dataclass
class Usage:
    rss: int
    blocks: int
    malloc: int
    objects: collections.Counter[str]
    children: set[int]
    descriptors: int
    tasks: int


def usage() -> Usage:
    gc.collect()
    try:
        tasks = len(asyncio.all_tasks()) - 1  # the test's own
    except RuntimeError:  # no running loop
        tasks = 0
    return Usage(
        rss=resident_bytes(),
        blocks=sys.getallocatedblocks(),
        malloc=malloc_bytes(),
        objects=own_objects(),
        children=child_processes(),
        descriptors=len(os.listdir("/proc/self/fd")),
        tasks=tasks,
    )


def _settled(before: Usage, now: Usage) -> bool:
    return (
        not (now.children - before.children)
        and now.descriptors <= before.descriptors
        and now.tasks <= before.tasks
        and not (now.objects - before.objects)
    )


async def settle(before: Usage, seconds: float = 5.0) -> Usage:
    """Usage once child processes, descriptors, tasks and objects have had time to go (a dropped
    stream's clean-up runs on the loop; a closed transport lets go of its socket and protocol at
    the loop's next turn)."""
    deadline = time.monotonic() + seconds
    now = usage()
    while not _settled(before, now) and time.monotonic() < deadline:
        await asyncio.sleep(0.02)
        now = usage()
    return now


# How much each measure of memory may grow over a measured workload. A leak grows with the
# workload (QUENLET_RELIABILITY_SCALE sharpens these bounds); what a warm-up fills does not.
MEMORY_BOUNDS = {
    "resident_bytes": 8 * 2**20,
    "python_blocks": 5000,  # sys.getallocatedblocks(): the interpreter's own heaps
    "malloc_bytes": 2**20,  # C and C++ allocations
}


class Soak:
    """Runs a workload once so that caches, connection pools and the allocators' pages fill up,
    then once more, measured: afterwards the process must hold what it held before, within
    MEMORY_BOUNDS."""

    def __init__(self, counts: TestCounts):
        self.counts = counts

    async def run(
        self,
        workload: Callable[[int], Awaitable[int]],
        count: int,
        *,
        faults: int = 0,
        settle_seconds: float = 5.0,
    ) -> None:
        """`workload(n)` does n units of work and returns the operations it ran."""
        warm_up = await workload(count)
        before = usage()
        done = await workload(count)
        self.finish(before, await settle(before, settle_seconds), warm_up + done, faults)

    def finish(self, before: Usage, after: Usage, operations: int, faults: int) -> None:
        leaked = {
            name: after.objects[name] - before.objects[name]
            for name in after.objects
            if after.objects[name] > before.objects[name]
        }
        growth = {
            "resident_bytes": after.rss - before.rss,
            "python_blocks": after.blocks - before.blocks,
            "malloc_bytes": after.malloc - before.malloc,
        }
        self.counts.memory_growth(growth)
        # ASan keeps freed memory in a quarantine of hundreds of megabytes and serves malloc
        # itself, so the memory measures mean nothing there; LeakSanitizer watches C++ instead.
        over = (
            {} if SANITIZED else {kind: size for kind, size in growth.items() if size > MEMORY_BOUNDS[kind]}
        )
        left_processes = sorted(after.children - before.children)
        left_descriptors = max(0, after.descriptors - before.descriptors)
        left_tasks = max(0, after.tasks - before.tasks)
        self.counts.add(
            operations=operations,
            faults=faults,
            leaked_objects=sum(leaked.values()),
            memory_over_bound=len(over),
            leftover_processes=len(left_processes),
            leftover_tasks=left_tasks,
            leftover_descriptors=left_descriptors,
        )
        reap(left_processes)
        assert leaked == {}, f"objects of the modules' types left alive: {leaked}"
        assert over == {}, f"memory grew beyond its bounds ({MEMORY_BOUNDS}): {over}"
        assert left_processes == [], f"child processes left running: {left_processes}"
        assert left_descriptors == 0, f"{left_descriptors} file descriptors left open"
        assert left_tasks == 0, f"{left_tasks} tasks left on the loop"


@pytest.fixture
def soak(counts) -> Soak:
    return Soak(counts)


# -- scripts for ScriptPip.shell --------------------------------------------------------------------

# Output on both pipes, something written into the target, and a failure for specs that contain "fail".
INSTALLING = """
echo "Collecting $1"
echo "progress for $1" >&2
touch "$2/installed"
case "$1" in *fail*) echo "ERROR: no such version" >&2; exit 1;; esac
echo "Successfully installed $1"
"""
# Says its pid and that of a process of its own (as pip has build back ends), then runs until it is
# stopped.
FOREVER = 'sleep 60 & echo "$$ $!"; exec sleep 60'


class ModuleLogs:
    """Every line both modules log, as (level, message)."""

    def __init__(self, caplog: pytest.LogCaptureFixture):
        self.caplog = caplog
        for module in (manager, repo_finder):
            caplog.set_level(logging.DEBUG, logger=module.logger.name)

    def records(self) -> list[tuple[str, str]]:
        names = {manager.logger.name, repo_finder.logger.name}
        return [(r.levelname.lower(), r.getMessage()) for r in self.caplog.records if r.name in names]

    def clear(self) -> None:
        self.caplog.clear()


@pytest.fixture
def module_logs(caplog) -> ModuleLogs:
    return ModuleLogs(caplog)
