"""Import overhead: what importing each native module costs beyond importing the libraries it
binds, in fresh interpreters with those libraries already imported."""

from __future__ import annotations

import statistics
import subprocess
import sys

from bench import harness

PACKAGE = "quenlet_master.business_layer.packages"

# What each module imports at load; imported first, so that what remains is the module's own.
LIBRARIES = {
    "manager": [
        "asyncio",
        "os",
        "re",
        "aiohttp",
        f"{PACKAGE}.package_cache",
        f"{PACKAGE}.pip_command_builder",
        f"{PACKAGE}.version_resolver",
        f"{PACKAGE}.extras_resolver",
        "quenlet_master.config.logging_config",
    ],
    "repo_finder": [
        "asyncio",
        "re",
        "sys",
        "importlib.metadata",
        "aiohttp",
        "unearth",
        "packaging.specifiers",
        "packaging.version",
        "quenlet_master.config.logging_config",
    ],
}

TIMES_IMPORT = """\
import importlib, sys, time
for library in sys.argv[2:]:
    importlib.import_module(library)
start = time.perf_counter()
importlib.import_module(sys.argv[1])
print(time.perf_counter() - start)
"""

RUNS = 7


def import_time(module: str) -> float:
    command = [sys.executable, "-c", TIMES_IMPORT, f"{PACKAGE}.{module}", *LIBRARIES[module]]
    completed = subprocess.run(command, capture_output=True, text=True, check=True, timeout=120)
    return float(completed.stdout.strip().splitlines()[-1])


def run() -> list[harness.Result]:
    runs = harness.repetitions(RUNS)
    results = []
    for module in LIBRARIES:
        times = [import_time(module) for _ in range(runs)]
        results.append(
            harness.Result(
                f"import overhead, {module}",
                "limit",
                statistics.median(times) * 1e3,
                "ms",
                10.0,
                note=f"median of {runs} fresh interpreters, its libraries imported first",
            )
        )
    return results
