"""Memory: resident-set growth over many validations, warm queries and fake-pip installs,
after a warm-up, in a fresh interpreter of its own (``python -m bench.memory`` prints it)."""

from __future__ import annotations

import asyncio
import gc
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

from bench import harness

VALIDATIONS = 100_000
WARM_QUERIES = 10_000
INSTALLS = 200
LINES_PER_INSTALL = 50
# Warm queries are answered from cached documents: nothing is ever sent here.
UNUSED_INDEX = "http://127.0.0.1:9/simple/"


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def workload(folder: Path, scale: float):
    """One round of every kind of work, ``scale`` times the full counts."""
    from bench import fake_pip, installed_check, queries
    from quenlet_master.business_layer.packages import manager, repo_finder
    from quenlet_master.business_layer.packages.repo_finder import RepoFinder

    specs = [f"pkg{i}[extra]=={i}.0" if i % 3 else f"bad spec {i}" for i in range(1000)]
    checks = installed_check.workload(1000)
    finder = RepoFinder(None)
    repo_finder.logger = installed_check.Silent()
    documents = queries.warm_documents(finder)
    package_manager = manager.PackageManager(str(folder))
    package_manager.pip_command_builder = fake_pip.lines_builder(folder, LINES_PER_INSTALL)

    async def installs(count: int) -> None:
        for _ in range(count):
            async for _item in package_manager.install_package("pkg", str(folder / "target")):
                pass

    async def warm_dependencies(count: int) -> None:
        for i in range(count):
            name, version = documents[i % len(documents)]
            await finder.get_dependencies(name, version, UNUSED_INDEX)

    def run_round(factor: float) -> None:
        for i in range(round(VALIDATIONS * factor)):
            manager.validate_package_spec(specs[i % len(specs)])
        queries_each = round(WARM_QUERIES * factor)
        if documents:
            queries_each //= 2
            asyncio.run(warm_dependencies(queries_each))
        for i in range(queries_each):
            finder.check_specifier_in_dist(*checks[i % len(checks)])
        asyncio.run(installs(max(1, round(INSTALLS * factor))))

    run_round(scale)  # warm-up: every cache, free list and heap page at its working size
    gc.collect()
    before = resident_bytes()
    run_round(scale)
    gc.collect()
    return resident_bytes() - before


def run() -> list[harness.Result]:
    completed = subprocess.run(
        [sys.executable, "-m", "bench.memory"],
        capture_output=True,
        text=True,
        check=True,
        timeout=1200,
        cwd=Path(__file__).parent.parent,
    )
    growth = json.loads(completed.stdout.strip().splitlines()[-1])["growth"]
    scale = harness.scale()
    return [
        harness.Result(
            "memory",
            "limit",
            growth / 2**20,
            "MiB",
            2.0,
            note=f"RSS growth over {round(VALIDATIONS * scale):,} validations, "
            f"{round(WARM_QUERIES * scale):,} warm queries, {max(1, round(INSTALLS * scale))} installs",
        )
    ]


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as scratch:
        print(json.dumps({"growth": workload(Path(scratch), harness.scale())}))
