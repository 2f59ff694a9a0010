"""Validation: ``validate_package_spec`` over a mixed batch of specs against the same checks
written as a Python function around a compiled ``re`` pattern."""

from __future__ import annotations

import random
import re

from bench import harness
from quenlet_master.business_layer.packages.manager import validate_package_spec

SPECS = 20_000

PATTERN = re.compile(
    r"^[a-zA-Z0-9][a-zA-Z0-9._-]*(\[[a-zA-Z0-9,._-]+\])?(==|>=|<=|>|<|!=|~=)?[a-zA-Z0-9._-]*$"
)
FORBIDDEN = [";", "|", "&", "$", "`", "(", ")", "{", "}", "<", ">", "\n", "\r"]
# What pip takes for a local archive file rather than a requirement.
ARCHIVE_SUFFIXES = (
    ".zip",
    ".whl",
    ".tar.bz2",
    ".tbz",
    ".tar.gz",
    ".tgz",
    ".tar",
    ".tar.xz",
    ".txz",
    ".tlz",
    ".tar.lz",
    ".tar.lzma",
)


def plain_validate(package_spec):
    if not isinstance(package_spec, str):
        raise TypeError("package_spec must be a string")
    if not package_spec:
        return (False, "Package spec cannot be empty")
    if len(package_spec) > 256:
        return (False, "Package spec too long (max 256 characters)")
    for char in FORBIDDEN:
        if char in package_spec:
            return (False, f"Package spec contains invalid character: {char}")
    match = PATTERN.match(package_spec)
    if not match:
        return (False, "Package spec contains invalid format")
    lowered = package_spec.lower()
    # The name ends where the extras or the operator begin.
    name_end = match.start(1) if match.group(1) else match.start(2) if match.group(2) else len(lowered)
    for text in (lowered, lowered[:name_end]):
        if text.endswith(ARCHIVE_SUFFIXES):
            suffix = next(suffix for suffix in ARCHIVE_SUFFIXES if text.endswith(suffix))
            return (False, f"Package spec looks like an archive file: {suffix}")
    return (True, "")


# What a package field receives: mostly valid specs, then the usual mistakes and attacks.
SHAPES = [
    "requests",
    "requests[socks,security]==2.31.0",
    "scikit-learn==1.3.2",
    "pandas~=2.1",
    "pkg!=1.0",
    "numpy>=1.20",
    "pkg 1.0",
    "pkg; rm -rf /",
    "pkg$(whoami)",
    "pkg\n",
    ".pkg",
    "pkg[]",
    "naïve-pkg",
    "",
    "a" * 257,
    "zope.interface",
    "planted-6.6.6-py3-none-any.whl",
    "pkg==1.0.tar.gz",
]


def mixed_specs(count: int) -> list[str]:
    chooser = random.Random(20)
    specs = []
    for i in range(count):
        shape = chooser.choice(SHAPES)
        # Distinct strings, as typed input is: no answer comes from a string seen before.
        specs.append(shape.replace("pkg", f"pkg{i}") if "pkg" in shape else shape)
    return specs


def run() -> list[harness.Result]:
    specs = mixed_specs(harness.scaled(SPECS, minimum=100))
    if [validate_package_spec(s) for s in specs] != [plain_validate(s) for s in specs]:
        raise AssertionError("validate_package_spec and the Python checks disagree")

    def ours() -> None:
        for spec in specs:
            validate_package_spec(spec)

    def baseline() -> None:
        for spec in specs:
            plain_validate(spec)

    ours_time, baseline_time = harness.median_times(ours, baseline, harness.repetitions(15), warmup=2)
    per_call = 1e9 / len(specs)
    return [
        harness.Result(
            "validation",
            "speedup",
            ours_time * per_call,
            "ns/spec",
            5.0,
            baseline=baseline_time * per_call,
            note=f"{len(specs):,} mixed specs per repetition",
        )
    ]
