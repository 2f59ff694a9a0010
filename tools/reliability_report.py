"""Prints the table of `make reliability` and fails when a count that must be zero is not.

Usage: reliability_report.py NOGIL_DIR NOGIL_STATUS SANITIZED_DIR SANITIZED_STATUS REPORT_DIR

The two folders hold what the reliability tests wrote (tests/reliability/conftest.py), one JSON
file per test process, in the normal build with the GIL forced off and in the sanitizer build,
each followed by that run's exit status; REPORT_DIR holds the sanitizer run's reports.
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

# (label, count); every count but the first two must be zero.
ROWS = [
    ("operations run", "operations"),
    ("faults injected", "faults"),
    ("leaked objects of the modules' types", "leaked_objects"),
    ("memory measures over their bound", "memory_over_bound"),
    ("leftover child processes", "leftover_processes"),
    ("leftover asyncio tasks", "leftover_tasks"),
    ("leftover file descriptors", "leftover_descriptors"),
]


def sanitizer_reports(folder: Path) -> int:
    """AddressSanitizer and LeakSanitizer report files, plus undefined behaviour and nanobind leak
    reports in the run's log."""
    files = len(list(folder.glob("asan.*")))
    log = folder / "pytest.log"
    text = log.read_text(errors="replace") if log.exists() else ""
    return files + text.count(": runtime error: ") + text.count("nanobind: leaked")


def totals(folder: str) -> dict[str, int]:
    """The run's totals over its test processes; none at all when none of them wrote any."""
    found: dict[str, int] = {}
    for file in sorted(Path(folder).glob("*.json")):
        for name, count in json.loads(file.read_text())["totals"].items():
            found[name] = found.get(name, 0) + count
    return found


def main(
    nogil_dir: str, nogil_status: str, sanitized_dir: str, sanitized_status: str, report_dir: str
) -> int:
    runs = [totals(nogil_dir), totals(sanitized_dir)]
    rows = [(label, *(run.get(key, "missing") for run in runs)) for label, key in ROWS]
    rows.append(("sanitizer reports", "-", sanitizer_reports(Path(report_dir))))
    width = max(len(label) for label, *_ in rows)
    print(f"\n{'reliability':<{width}}  {'GIL off':>10}  {'sanitized':>10}")
    print(f"{'-' * width}  {'-' * 10}  {'-' * 10}")
    for label, *values in rows:
        print(f"{label:<{width}}  {values[0]!s:>10}  {values[1]!s:>10}")
    problems = [f"not zero: {label}" for label, *values in rows[2:] if any(v not in (0, "-") for v in values)]
    problems += [
        f"the {name} run failed (exit status {status})"
        for name, status in (("GIL-off", nogil_status), ("sanitized", sanitized_status))
        if status != "0"
    ]
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
