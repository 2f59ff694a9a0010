"""End latency: from pip's exit to the install stream's final item, median of 20 runs.

The stand-in for pip writes the monotonic clock as its only line and exits at once with
os._exit, so the measured span is the manager's own: noticing that both pipes ended and the
process exited, and yielding "success" and "path".
"""

from __future__ import annotations

import asyncio
import statistics
import tempfile
import time
from pathlib import Path

from bench import fake_pip, harness
from quenlet_master.business_layer.packages import manager

RUNS = 20


async def measure(folder: Path) -> list[float]:
    package_manager = manager.PackageManager(str(folder))
    package_manager.pip_command_builder = fake_pip.exit_at_once_builder(folder)
    latencies = []
    for run in range(harness.scaled(RUNS, minimum=3) + 1):
        exited_at = None
        async for kind, content in package_manager.install_package("pkg", str(folder / "target")):
            if kind == "stdout":
                exited_at = float(content)
            elif kind == "path":
                if run > 0:  # the first run is the warm-up
                    latencies.append(time.monotonic() - exited_at)
    return latencies


def run() -> list[harness.Result]:
    with tempfile.TemporaryDirectory() as folder:
        latencies = asyncio.run(measure(Path(folder)))
    return [
        harness.Result(
            "end latency",
            "limit",
            statistics.median(latencies) * 1e3,
            "ms",
            5.0,
            note=f"child exit -> final item over {len(latencies)} runs, max {max(latencies) * 1e3:.2f} ms",
        )
    ]
