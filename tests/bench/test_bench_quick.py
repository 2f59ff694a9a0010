"""Every benchmark still runs: the whole suite at its reduced size, checked for the shape of
what it reports. No timing is asserted here; the numbers of a reduced run mean nothing."""

from __future__ import annotations

import json
import math
import subprocess
import sys
from pathlib import Path

REPOSITORY = Path(__file__).resolve().parents[2]
ALWAYS = {
    "validation",
    "streaming throughput",
    "end latency",
    "installed check, warm",
    "table build",
    "import overhead, manager",
    "import overhead, repo_finder",
    "memory",
}
QUERIES = {
    "version_queries": ["version queries"],
    "dependency_queries": ["dependency queries, cold", "dependency queries, warm"],
}


def test_the_quick_run_reports_every_metric_as_numbers(tmp_path):
    output = tmp_path / "results.json"
    completed = subprocess.run(
        [sys.executable, "-m", "bench", "--quick", "--output", str(output)],
        cwd=REPOSITORY,
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert completed.returncode == 0, completed.stderr
    document = json.loads(output.read_text())
    assert document["scale"] == 0.05
    assert {"nproc", "cpu", "python"} <= set(document["machine"])

    expected = set(ALWAYS)
    for module, metrics in QUERIES.items():
        if module not in document["not_run"]:
            expected.update(metrics)
    rows = {row["metric"]: row for row in document["results"]}
    assert set(rows) == expected and len(document["results"]) == len(expected)

    for row in rows.values():
        # RSS may shrink between the two readings: only memory growth can be negative.
        assert math.isfinite(row["ours"]) and (row["ours"] >= 0 or row["metric"] == "memory")
        assert isinstance(row["met"], bool) and row["target_text"]
        if row["kind"] == "limit":
            assert row["baseline"] is None and row["ratio"] is None
        else:
            assert row["baseline"] > 0 and math.isfinite(row["ratio"]) and row["ratio"] > 0

    table = completed.stdout.splitlines()
    assert table[0].replace(" ", "") == "|metric|ours|baseline|ratio|target|met?|"
    assert [line.split("|")[1].strip() for line in table[2 : 2 + len(expected)]] == [
        row["metric"] for row in document["results"]
    ]
