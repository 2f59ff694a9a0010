"""Table build: ``_get_current_distributions`` right after ``clear_distributions_cache``
against a plain loop over ``importlib.metadata.distributions()`` normalising names (plus the
same standard-library stand-ins)."""

from __future__ import annotations

from bench import distributions_baseline, harness
from quenlet_master.business_layer.packages.repo_finder import RepoFinder


def run() -> list[harness.Result]:
    finder = RepoFinder(None)
    ours_table = finder._get_current_distributions()
    baseline_table = distributions_baseline.build_table()
    if sorted(ours_table) != sorted(baseline_table):
        raise AssertionError("the two tables hold different names")

    def ours() -> None:
        finder.clear_distributions_cache()
        finder._get_current_distributions()

    ours_time, baseline_time = harness.median_times(
        ours, distributions_baseline.build_table, harness.repetitions(15), warmup=2
    )
    return [
        harness.Result(
            "table build",
            "slowdown",
            ours_time * 1e3,
            "ms",
            1.1,
            baseline=baseline_time * 1e3,
            note=f"{len(ours_table)} entries",
        )
    ]
