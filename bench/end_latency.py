"""Time from pip's exit to the install stream's final item, median of 20 runs.

The stand-in for pip writes the monotonic clock (shared by all processes on Linux) as its only
line and exits at once with os._exit, so the measured span is the manager's own: noticing that
both pipes ended and the process exited, and yielding "success" and "path".

    .venv/bin/python bench/end_latency.py
"""

import asyncio
import statistics
import sys
import tempfile
import time
from pathlib import Path

from quenlet_master.business_layer.packages import manager

RUNS = 20
EXITS_AT_ONCE = "import os, time\nprint(time.monotonic(), flush=True)\nos._exit(0)\n"


class ExitAtOnce:
    def __init__(self, script: Path):
        self.script = script

    def build_install_command(self, package_spec, target_dir):
        return [sys.executable, str(self.script), package_spec, target_dir]


async def measure(folder: Path) -> list[float]:
    script = folder / "pip.py"
    script.write_text(EXITS_AT_ONCE)
    package_manager = manager.PackageManager(str(folder))
    package_manager.pip_command_builder = ExitAtOnce(script)
    latencies = []
    for _ in range(RUNS):
        exited_at = None
        async for kind, content in package_manager.install_package("pkg", str(folder / "target")):
            if kind == "stdout":
                exited_at = float(content)
            elif kind == "path":
                latencies.append(time.monotonic() - exited_at)
    return latencies


def main() -> None:
    with tempfile.TemporaryDirectory() as folder:
        latencies = asyncio.run(measure(Path(folder)))
    print(
        f"end latency over {RUNS} runs: median {statistics.median(latencies) * 1e3:.2f} ms, "
        f"min {min(latencies) * 1e3:.2f} ms, max {max(latencies) * 1e3:.2f} ms"
    )


if __name__ == "__main__":
    main()
