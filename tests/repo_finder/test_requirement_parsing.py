"""Splitting "Requires-Dist" strings into name, version specifier, extras and markers."""

from __future__ import annotations

import re

import pytest
from hypothesis import given
from hypothesis import strategies as st

PATTERN = re.compile(r"^([a-zA-Z0-9._-]+)(\[[^\]]+\])?(.*)")


def reference(req: str):
    parts = req.split(";", 1)
    requirement = parts[0].strip()
    markers = parts[1].strip() if len(parts) > 1 else ""
    match = PATTERN.match(requirement)
    if not match:
        return None
    extras_text = match.group(2) or ""
    extras = [piece.strip() for piece in extras_text.strip("[]").split(",")] if extras_text else []
    return {
        "name": match.group(1),
        "version_spec": match.group(3).strip(),
        "extras": extras,
        "markers": markers,
    }


def record(name, version_spec="", extras=(), markers=""):
    return {"name": name, "version_spec": version_spec, "extras": list(extras), "markers": markers}


@pytest.mark.parametrize(
    ("req", "expected"),
    [
        ("package>=1.0.0; extra == 'dev'", record("package", ">=1.0.0", markers="extra == 'dev'")),
        ("pkg[security, socks]>=2.0", record("pkg", ">=2.0", ["security", "socks"])),
        ("pkg[a,,b]", record("pkg", extras=["a", "", "b"])),
        ("pkg[]>=1", record("pkg", "[]>=1")),
        ("pkg [extra]>=1", record("pkg", "[extra]>=1")),
        ("pkg (>=1.0,<2)", record("pkg", "(>=1.0,<2)")),
        ("My_Package.Name==1", record("My_Package.Name", "==1")),
        (
            "pkg; python_version < '3.8'; extra == 'x'",
            record("pkg", markers="python_version < '3.8'; extra == 'x'"),
        ),
        ("pkg>=1\n<2 ; os_name == 'nt'", record("pkg", ">=1", markers="os_name == 'nt'")),
        ("pkg[a\n, b]>=1\nrest", record("pkg", ">=1", ["a", "b"])),
        ("pkg[[x]", record("pkg", extras=["x"])),
        ("  pkg \t>= 1 \u00a0; \u2003m ", record("pkg", ">= 1", markers="m")),
    ],
    ids=[
        "marker",
        "two extras",
        "empty piece",
        "empty brackets",
        "blank before extras",
        "parentheses",
        "name kept",
        "two semicolons",
        "line break",
        "line break in extras",
        "nested bracket",
        "unicode blanks",
    ],
)
def test_parse_requirement(finder, req, expected):
    assert finder._parse_requirement(req) == expected


@pytest.mark.parametrize("req", ["", "   ", "; extra == 'x'", ">=1.0", "[x]pkg", "écrit"])
def test_unparsable_requirements_warn_once_and_give_none(finder, log, req):
    assert finder._parse_requirement(req) is None
    assert log.records == [("warning", f"Could not parse requirement: {req}")]


def test_a_lone_surrogate_is_escaped_in_the_warning(finder, log):
    assert finder._parse_requirement("\ud800>=1") is None
    assert log.records == [("warning", "Could not parse requirement: \\ud800>=1")]


def test_the_record_keys_come_in_order(finder):
    assert list(finder._parse_requirement("a[b]>=1; c")) == ["name", "version_spec", "extras", "markers"]


REQUIREMENT_TEXT = st.lists(
    st.one_of(
        st.sampled_from(["pkg", "A_b.c-1", "[", "]", ",", ";", " ", "\n", "\t", "\u00a0", ">=1.0", "(", "é"]),
        st.text(max_size=3),
    ),
    max_size=10,
).map("".join)


@given(REQUIREMENT_TEXT)
def test_parse_requirement_matches_the_regular_expression(req):
    from quenlet_master.business_layer.packages import repo_finder

    finder = repo_finder.RepoFinder(None)
    lines = []

    class Logger:
        def warning(self, message):
            lines.append(message)

    saved, repo_finder.logger = repo_finder.logger, Logger()
    try:
        expected = reference(req)
        assert finder._parse_requirement(req) == expected
        assert lines == ([] if expected else [f"Could not parse requirement: {req}"])
    finally:
        repo_finder.logger = saved
