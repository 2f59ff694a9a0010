"""Prints the table of `make reliability` and fails when a count that must be zero is not.

Usage: reliability_report.py BUILD.json BUILD_STATUS SANITIZED.json SANITIZED_STATUS REPORT_DIR

The JSON files are what the reliability tests wrote (tests/reliability/conftest.py) in the normal
build and in the sanitizer build, each followed by that run's exit status; the folder holds the
sanitizer run's reports.
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


def totals(path: str) -> dict[str, int]:
    """The run's totals; none at all when it died before writing them."""
    file = Path(path)
    return json.loads(file.read_text())["totals"] if file.exists() else {}


def main(
    build_json: str, build_status: str, sanitized_json: str, sanitized_status: str, report_dir: str
) -> int:
    runs = [totals(build_json), totals(sanitized_json)]
    rows = [(label, *(run.get(key, "missing") for run in runs)) for label, key in ROWS]
    rows.append(("sanitizer reports", "-", sanitizer_reports(Path(report_dir))))
    width = max(len(label) for label, *_ in rows)
    print(f"\n{'reliability':<{width}}  {'build':>10}  {'sanitized':>10}")
    print(f"{'-' * width}  {'-' * 10}  {'-' * 10}")
    for label, *values in rows:
        print(f"{label:<{width}}  {values[0]!s:>10}  {values[1]!s:>10}")
    problems = [f"not zero: {label}" for label, *values in rows[2:] if any(v not in (0, "-") for v in values)]
    problems += [
        f"the {name} run failed (exit status {status})"
        for name, status in (("build", build_status), ("sanitized", sanitized_status))
        if status != "0"
    ]
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
