"""The installed-distributions table and the specifier check written plainly in Python with
packaging: the baselines of the table-build and installed-check benchmarks."""

from __future__ import annotations

import importlib.metadata
import re
import sys

from packaging.specifiers import SpecifierSet
from packaging.version import Version

from quenlet_master.business_layer.packages import repo_finder

SEPARATORS = re.compile(r"[-_.]+")
MARKER_EXTRA = re.compile(r"extra\s*==\s*[\"']([^\"']+)[\"']")


def normalize(name: str) -> str:
    return SEPARATORS.sub("-", name).lower()


class StandIn:
    """A standard-library module posing as a distribution."""

    def __init__(self, name: str, version: str):
        self.metadata = {"Name": name, "Version": version}


def build_table() -> dict:
    table = {}
    for dist in importlib.metadata.distributions():
        table[normalize(dist.metadata["Name"])] = dist
    version = sys.version.split()[0]
    for name in getattr(sys, "stdlib_module_names", ()):
        key = normalize(name)
        if key not in table:
            table[key] = StandIn(name, version)
    return table


def check(table: dict, package_name: str, version_spec: str, extras: list[str] | None = None) -> str | None:
    dist = table.get(normalize(package_name))
    if dist is None:
        return None
    metadata = dist.metadata
    version = metadata.get("Version")
    if not version:
        return None
    if version_spec.strip():
        try:
            if Version(version) not in SpecifierSet(version_spec):
                return None
        except Exception as error:
            repo_finder.logger.debug(f"Error checking version spec for {package_name}: {error}")
            return None
    if extras:
        offered = set()
        for requirement in metadata.get_all("Requires-Dist") or []:
            if "extra ==" in requirement:
                match = MARKER_EXTRA.search(requirement)
                if match:
                    offered.add(match.group(1).lower())
        for extra in extras:
            if extra.lower() not in offered:
                return None
    return version
