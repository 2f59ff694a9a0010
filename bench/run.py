"""Runs the benchmarks, prints the table and writes bench/results.json.

    python -m bench [--quick] [--only METRIC_MODULE ...] [--output PATH]

``--quick`` (or ``BENCH_SCALE=0.05``) shrinks every workload, to check that the benchmarks
still run; its timings mean nothing.
"""

from __future__ import annotations

import argparse
import os
import platform
import sys
import time
from pathlib import Path

from bench import harness

# In table order. The query benchmarks share one index process.
LOCAL = ["validation", "streaming", "end_latency"]
QUERIES = ["version_queries", "dependency_queries"]
LATER = ["installed_check", "table_build", "import_overhead", "memory"]
ALL = LOCAL + QUERIES + LATER


def machine() -> dict[str, object]:
    model = "unknown"
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    return {
        "nproc": os.cpu_count(),
        "cpu": model,
        "python": sys.version.split()[0] + (" free-threaded" if hasattr(sys, "_is_gil_enabled") else ""),
        "gil_enabled_at_run": gil,
        "platform": platform.platform(),
    }


def run_metric(name: str, index: object | None) -> list[harness.Result]:
    module = __import__(f"bench.{name}", fromlist=["run"])
    started = time.perf_counter()
    results = module.run(index) if name in QUERIES else module.run()
    print(f"  {name}: {time.perf_counter() - started:.1f} s", file=sys.stderr, flush=True)
    return results


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m bench", description=__doc__)
    parser.add_argument("--quick", action="store_true", help=f"scale every workload by {harness.QUICK_SCALE}")
    parser.add_argument("--only", nargs="+", choices=ALL, help="run only these benchmark modules")
    parser.add_argument("--output", type=Path, default=Path(__file__).parent / "results.json")
    args = parser.parse_args(argv)
    if args.quick:
        os.environ["BENCH_SCALE"] = str(harness.QUICK_SCALE)  # for the benchmarks' own children too

    from bench import queries

    chosen = args.only or ALL
    pending = [name for name in QUERIES if name in chosen and not queries.workers_available()]
    results: list[harness.Result] = []
    for name in [n for n in LOCAL if n in chosen]:
        results += run_metric(name, None)
    wanted = [name for name in QUERIES if name in chosen and name not in pending]
    if wanted:
        scale = harness.scale()
        packages = max(5, round(queries.index_server.PACKAGES * scale))
        with queries.IndexProcess(packages, queries.index_server.VERSIONS_PER_PACKAGE) as index:
            for name in wanted:
                results += run_metric(name, index)
    for name in [n for n in LATER if n in chosen]:
        results += run_metric(name, None)

    print(harness.table(results))
    if pending:
        print(f"\nnot run (the repo_finder query workers are not in this tree yet): {', '.join(pending)}")
    harness.write_json(results, args.output, machine(), pending)
    print(f"\nwritten to {args.output}")
    return 0
