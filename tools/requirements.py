"""Prints what pyproject.toml lists for an environment, one requirement a line, for pip's -r: the
build's requirements, the package's own dependencies, and the extras named on the command line.
The Makefile makes its environments from it, so that pyproject.toml is the one list.

Usage: requirements.py [EXTRA...]
"""

from __future__ import annotations

import sys
import tomllib
from pathlib import Path

PYPROJECT = Path(__file__).resolve().parent.parent / "pyproject.toml"


def requirements(extras: list[str]) -> list[str]:
    project = tomllib.loads(PYPROJECT.read_text())
    optional = project["project"].get("optional-dependencies", {})
    unknown = [extra for extra in extras if extra not in optional]
    if unknown:
        raise SystemExit(f"{PYPROJECT} has no extra {', '.join(unknown)} (it has {', '.join(optional)})")
    found = [*project["build-system"]["requires"], *project["project"]["dependencies"]]
    for extra in extras:
        found += optional[extra]
    return found


if __name__ == "__main__":
    print("\n".join(requirements(sys.argv[1:])))
