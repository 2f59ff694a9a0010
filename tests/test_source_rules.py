"""Cheap checks over the C++ sources for patterns that have bitten us or that the design forbids."""

import re
from pathlib import Path

import pytest

SOURCE_ROOT = Path(__file__).resolve().parent.parent / "src"
# Only the runtime may touch reference counts by hand; everything else goes through nb::object.
RAW_REFCOUNTING = re.compile(r"\bPy_(X?INCREF|X?DECREF|CLEAR|X?NewRef|SETREF|XSETREF)\b")
# A conditional mixing an nb::object with nb::none() loses a reference when passed to a call.
NONE_IN_CONDITIONAL = re.compile(r"\?[^;:]*:\s*nb::none\(\)|\?\s*nb::none\(\)\s*:")


def sources():
    if not SOURCE_ROOT.is_dir():
        pytest.skip("the C++ sources are not beside the tests (installed package only)")
    return sorted(p for p in SOURCE_ROOT.rglob("*") if p.suffix in {".cpp", ".h"})


def offending_lines(pattern, paths):
    return [
        f"{path.relative_to(SOURCE_ROOT)}:{number}: {line.strip()}"
        for path in paths
        for number, line in enumerate(path.read_text().splitlines(), 1)
        if pattern.search(line)
    ]


def test_reference_counts_are_only_touched_in_the_runtime():
    business = [p for p in sources() if p.relative_to(SOURCE_ROOT).parts[0] != "runtime"]
    assert offending_lines(RAW_REFCOUNTING, business) == []


def test_no_conditional_expression_yields_nb_none():
    assert offending_lines(NONE_IN_CONDITIONAL, sources()) == []
