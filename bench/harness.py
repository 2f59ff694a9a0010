"""Timing, medians, the results table and results.json, shared by every benchmark.

Ours and the baseline are always timed interleaved in one process (warm-up first, then
ours/baseline alternately), so that a machine that slows down or speeds up during a run moves
both sides alike: absolute times here are noise, ratios are not.
"""

from __future__ import annotations

import asyncio
import dataclasses
import gc
import json
import math
import os
import statistics
import time
from collections.abc import Awaitable, Callable
from pathlib import Path
from typing import Any

QUICK_SCALE = 0.05


def scale() -> float:
    """The workload size factor: 1.0 for a full run, ``BENCH_SCALE`` when set."""
    return float(os.environ.get("BENCH_SCALE", "1.0"))


def scaled(count: int, minimum: int = 1) -> int:
    return max(minimum, round(count * scale()))


def repetitions(full: int = 7) -> int:
    """How many timed repetitions a metric takes: fewer when the workload is reduced."""
    return full if scale() >= 1.0 else 3


@dataclasses.dataclass
class Result:
    """One row of the table.

    ``kind`` says how ``ratio`` is formed and tested against ``target``:
      "speedup"  ratio = baseline / ours (times) or ours / baseline (rates), met when >= target
      "slowdown" ratio = ours / baseline (times), met when <= target
      "limit"    no baseline; ours itself is met when <= target
    """

    metric: str
    kind: str
    ours: float
    unit: str
    target: float
    baseline: float | None = None
    note: str = ""
    ratio: float | None = None
    met: bool | None = None

    def __post_init__(self) -> None:
        if self.kind == "speedup":
            rate = self.unit.endswith("/s")
            assert self.baseline is not None
            self.ratio = self.ours / self.baseline if rate else self.baseline / self.ours
            self.met = self.ratio >= self.target
        elif self.kind == "slowdown":
            assert self.baseline is not None
            self.ratio = self.ours / self.baseline
            self.met = self.ratio <= self.target
        elif self.kind == "limit":
            self.met = self.ours <= self.target
        else:
            raise ValueError(f"unknown kind {self.kind!r}")

    @property
    def target_text(self) -> str:
        if self.kind == "speedup":
            return f">= {self.target:g}x"
        if self.kind == "slowdown":
            return f"<= {self.target:g}x"
        return f"<= {self.target:g} {self.unit}"


def median_times(
    ours: Callable[[], Any], baseline: Callable[[], Any], repeats: int, warmup: int = 1
) -> tuple[float, float]:
    """Median wall times (s) of two synchronous workloads, timed alternately after warm-up."""
    for _ in range(warmup):
        ours()
        baseline()
    times: dict[Callable[[], Any], list[float]] = {ours: [], baseline: []}
    for repetition in range(repeats):
        for workload in in_turn(ours, baseline, repetition):
            times[workload].append(timed(workload))
    return statistics.median(times[ours]), statistics.median(times[baseline])


def in_turn(ours: Any, baseline: Any, repetition: int) -> tuple[Any, Any]:
    """Ours first in even repetitions, the baseline first in odd ones: neither always runs in the
    other's wake (its garbage, its warm or cold caches)."""
    return (ours, baseline) if repetition % 2 == 0 else (baseline, ours)


def timed(workload: Callable[[], Any]) -> float:
    settle()
    start = time.perf_counter()
    workload()
    return time.perf_counter() - start


def settle() -> None:
    """Collects what earlier runs left, before a timed run starts. The free-threaded collector
    walks the whole heap, and a pass that falls in every other run (it did: the timed ratios of
    the query benchmarks alternated by a tenth from one repetition to the next) times the
    previous run's garbage, not the work."""
    gc.collect()


async def median_times_async(
    ours: Callable[[], Awaitable[Any]],
    baseline: Callable[[], Awaitable[Any]],
    repeats: int,
    warmup: int = 1,
    reset: Callable[[], Any] = lambda: None,
) -> tuple[float, float]:
    """The same for asynchronous workloads, on the running loop. ``reset`` runs before every run
    of ours, outside the timing (emptying a cache, say, whose release is no part of the work)."""
    for _ in range(warmup):
        reset()
        await ours()
        await baseline()
    times: dict[Callable[[], Awaitable[Any]], list[float]] = {ours: [], baseline: []}
    for repetition in range(repeats):
        for workload in in_turn(ours, baseline, repetition):
            if workload is ours:
                reset()
            times[workload].append(await timed_async(workload))
    return statistics.median(times[ours]), statistics.median(times[baseline])


async def timed_async(workload: Callable[[], Awaitable[Any]]) -> float:
    settle()
    start = time.perf_counter()
    await workload()
    return time.perf_counter() - start


async def bounded(jobs: list[Callable[[], Awaitable[Any]]], concurrency: int) -> list[Any]:
    """Runs the jobs with at most ``concurrency`` in flight, results in job order."""
    results: list[Any] = [None] * len(jobs)
    next_job = iter(range(len(jobs)))

    async def worker() -> None:
        for index in next_job:
            results[index] = await jobs[index]()

    await asyncio.gather(*(worker() for _ in range(min(concurrency, len(jobs)))))
    return results


def _number(value: float | None, unit: str = "") -> str:
    if value is None:
        return "—"
    magnitude = abs(value)
    text = f"{value:,.0f}" if magnitude >= 1000 else f"{value:.3g}" if magnitude < 10 else f"{value:.1f}"
    return f"{text} {unit}".rstrip()


def table(results: list[Result]) -> str:
    header = ("metric", "ours", "baseline", "ratio", "target", "met?")
    rows = [
        (
            r.metric,
            _number(r.ours, r.unit),
            _number(r.baseline, r.unit),
            "—" if r.ratio is None else f"{r.ratio:.2f}x",
            r.target_text,
            "yes" if r.met else "NO",
        )
        for r in results
    ]
    widths = [max(len(row[i]) for row in [header, *rows]) for i in range(len(header))]

    def line(row: tuple[str, ...]) -> str:
        return "| " + " | ".join(cell.ljust(w) for cell, w in zip(row, widths, strict=True)) + " |"

    lines = [line(row) for row in [header, *rows]]
    lines.insert(1, "|" + "|".join("-" * (w + 2) for w in widths) + "|")
    notes = [f"- {r.metric}: {r.note}" for r in results if r.note]
    return "\n".join(lines + (["", *notes] if notes else []))


def write_json(results: list[Result], path: Path, machine: dict[str, Any], not_run: list[str]) -> None:
    document = {
        "scale": scale(),
        "machine": machine,
        "results": [dataclasses.asdict(r) | {"target_text": r.target_text} for r in results],
        "not_run": not_run,
    }
    path.write_text(json.dumps(document, indent=2, allow_nan=False) + "\n")


def finite(value: float) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)
