"""Streaming throughput: output items per second through ``install_package`` against a
minimal asyncio consumer of the same child (two readline tasks feeding a queue)."""

from __future__ import annotations

import asyncio
import tempfile
from pathlib import Path

from bench import fake_pip, harness
from quenlet_master.business_layer.packages import manager

LINES = 200_000  # in total, half on each pipe


async def ours(package_manager: manager.PackageManager, target: str) -> int:
    items = 0
    async for _kind, _content in package_manager.install_package("pkg", target):
        items += 1
    return items


async def baseline(command: list[str]) -> int:
    process = await asyncio.create_subprocess_exec(
        *command, stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.PIPE
    )
    queue: asyncio.Queue = asyncio.Queue()

    async def read(stream: asyncio.StreamReader, kind: str) -> None:
        while line := await stream.readline():
            await queue.put((kind, line.decode("utf-8", "replace").rstrip()))
        await queue.put(None)

    readers = [
        asyncio.create_task(read(process.stdout, "stdout")),
        asyncio.create_task(read(process.stderr, "stderr")),
    ]
    items = ended = 0
    while ended < 2:
        if await queue.get() is None:
            ended += 1
        else:
            items += 1
    await asyncio.gather(*readers)
    await process.wait()
    return items + 2  # the final "success" and "path" items ours yields


async def measure(folder: Path) -> harness.Result:
    lines = harness.scaled(LINES, minimum=1000)
    builder = fake_pip.lines_builder(folder, lines)
    package_manager = manager.PackageManager(str(folder))
    package_manager.pip_command_builder = builder
    target = str(folder / "target")
    command = builder.build_install_command("pkg", target)
    items = lines + 2
    counts = set()

    async def run_ours() -> None:
        counts.add(await ours(package_manager, target))

    async def run_baseline() -> None:
        counts.add(await baseline(command))

    ours_time, baseline_time = await harness.median_times_async(run_ours, run_baseline, harness.repetitions())
    if counts != {items}:
        raise AssertionError(f"item counts differ: {sorted(counts)}, expected {items}")
    return harness.Result(
        "streaming throughput",
        "speedup",
        items / ours_time,
        "items/s",
        1.0,
        baseline=items / baseline_time,
        note=f"{lines:,} lines, half on each pipe, child start-up included on both sides",
    )


def run() -> list[harness.Result]:
    with tempfile.TemporaryDirectory() as folder:
        return [asyncio.run(measure(Path(folder)))]
