"""Installed check, warm: ``check_specifier_in_dist`` over a mixed workload on a built table
against the same algorithm in Python with packaging."""

from __future__ import annotations

import importlib.metadata
import random
import sys

from bench import distributions_baseline, harness
from quenlet_master.business_layer.packages import repo_finder
from quenlet_master.business_layer.packages.repo_finder import RepoFinder

CHECKS = 20_000


class Silent:
    """The module logger for the run: the workload's invalid specifiers log at debug."""

    def debug(self, message: str) -> None:
        pass


def spellings(name: str) -> list[str]:
    return [name, name.upper(), name.replace("-", "_"), name.replace("-", ".").title()]


def workload(count: int) -> list[tuple[str, str, list[str] | None]]:
    """What a host asks before installs: installed packages under any spelling, with and
    without specifiers and extras, missing packages, standard-library names, bad specifiers."""
    chooser = random.Random(7)
    installed = []
    for dist in importlib.metadata.distributions():
        name, version = dist.metadata["Name"], dist.metadata["Version"]
        extras = dist.metadata.get_all("Provides-Extra") or []
        installed.append((name, version, extras))
    interpreter = sys.version.split()[0]
    checks = []
    for _ in range(count):
        roll = chooser.random()
        name, version, extras = chooser.choice(installed)
        spelled = chooser.choice(spellings(name))
        if roll < 0.25:
            checks.append((spelled, "", None))
        elif roll < 0.45:
            checks.append(
                (spelled, chooser.choice([f">={version}", f"=={version}", ">=0.1,<1000", "<0.0.1"]), None)
            )
        elif roll < 0.6:
            wanted = [chooser.choice(extras)] if extras and chooser.random() < 0.7 else ["no-such-extra"]
            checks.append((spelled, ">=0", wanted))
        elif roll < 0.75:
            checks.append((f"not-installed-{chooser.randrange(50)}", ">=1.0", None))
        elif roll < 0.9:
            module = chooser.choice(["asyncio", "json", "sqlite3", "zipfile"])
            checks.append((module, chooser.choice(["", f"=={interpreter}", ">=3"]), None))
        else:
            checks.append((spelled, version, None))  # a bare version: not a specifier
    return checks


def run() -> list[harness.Result]:
    checks = workload(harness.scaled(CHECKS, minimum=200))
    finder = RepoFinder(None)
    finder._get_current_distributions()
    table = distributions_baseline.build_table()
    logger, repo_finder.logger = repo_finder.logger, Silent()
    try:
        answers = [finder.check_specifier_in_dist(*c) for c in checks]
        if answers != [distributions_baseline.check(table, *c) for c in checks]:
            raise AssertionError("check_specifier_in_dist and the Python check disagree")

        def ours() -> None:
            check = finder.check_specifier_in_dist
            for name, spec, extras in checks:
                check(name, spec, extras)

        def baseline() -> None:
            check = distributions_baseline.check
            for name, spec, extras in checks:
                check(table, name, spec, extras)

        ours_time, baseline_time = harness.median_times(ours, baseline, harness.repetitions(5))
    finally:
        repo_finder.logger = logger
    per_check = 1e6 / len(checks)
    satisfied = sum(answer is not None for answer in answers)
    return [
        harness.Result(
            "installed check, warm",
            "speedup",
            ours_time * per_check,
            "us/check",
            2.0,
            baseline=baseline_time * per_check,
            note=f"{len(checks):,} checks on a table of {len(table)} entries, {satisfied:,} satisfied",
        )
    ]
