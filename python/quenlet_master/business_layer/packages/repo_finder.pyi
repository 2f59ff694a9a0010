"""Types of the native ``repo_finder`` module: package index queries and installed-package checks."""

import asyncio as asyncio
import importlib as importlib
import re as re
import sys as sys
from logging import Logger
from types import ModuleType
from typing import Any

from aiohttp import ClientSession
from packaging.specifiers import SpecifierSet as _SpecifierSet
from packaging.version import Version as _Version
from unearth import PackageFinder as _PackageFinder

from quenlet_master.config.logging_config import get_logger as get_logger

# The optional libraries are None when missing (with the flag false); all are read when an
# operation runs, so a host may replace them after import.
aiohttp: ModuleType | None
PackageFinder: type[_PackageFinder] | None
UNEARTH_AVAILABLE: bool
SpecifierSet: type[_SpecifierSet] | None
Version: type[_Version] | None
PACKAGING_AVAILABLE: bool
logger: Logger

class _dummy_metadata(dict[str, str]):
    def get_all(self, *args: Any, **kwargs: Any) -> list[str]: ...

class _dummy_dist:
    """Stands for a standard-library module in the installed-distributions table."""

    metadata: _dummy_metadata
    def __init__(self, name: str, version: str) -> None: ...

class RepoFinder:
    settings_manager: Any
    _session: ClientSession | None
    _metadata_cache: dict[tuple[str, str], Any]
    _distributions_cache: dict[str, Any] | None

    def __init__(self, settings_manager: Any) -> None: ...
    def _get_pip_settings(self) -> dict[str, Any]: ...
    def _get_pip_api_list(self) -> list[dict[str, str]] | None: ...
    async def _get_session(self) -> ClientSession: ...
    async def close(self) -> None: ...
    def _normalize_name(self, name: str) -> str: ...
    def _normalize_url(self, url: str) -> str: ...
    def _get_api_pattern_for_index(self, index_url: str) -> str | None: ...
    def _get_current_distributions(self) -> dict[str, Any]: ...
    def clear_distributions_cache(self) -> None: ...
    def check_specifier_in_dist(
        self, package_name: str, version_spec: str, extras: list[str] | None = None
    ) -> str | None:
        """The installed version when this interpreter satisfies the requirement, else None."""

    def _parse_requirement(self, req: str) -> dict[str, Any] | None:
        """{"name", "version_spec", "extras", "markers"}, or None when ``req`` has no name."""

    async def find_repo_for_package(self, package_name: str) -> str | None: ...
    async def find_repo_for_package_version(self, package_name: str, version: str) -> str | None: ...
    async def get_versions(self, package_name: str, index_url: str | None = None) -> list[str]: ...
    async def get_extras(
        self, package_name: str, version: str, index_url: str | None = None
    ) -> list[str]: ...
    async def get_dependencies(
        self, package_name: str, version: str, index_url: str | None = None
    ) -> list[dict[str, Any]]:
        """Requirement records {"name", "version_spec", "extras", "markers"} of that version."""

    async def _package_exists_in_index(self, package_name: str, index_url: str) -> bool: ...
    def _package_exists_via_unearth(self, package_name: str, index_url: str) -> bool: ...
    async def _package_version_exists_in_index(
        self, package_name: str, version: str, index_url: str
    ) -> bool: ...
    def _package_version_exists_via_unearth(
        self, package_name: str, version: str, index_url: str
    ) -> bool: ...
    async def _get_versions_from_index(self, package_name: str, index_url: str) -> list[str]: ...
    def _get_versions_via_unearth(self, package_name: str, index_url: str) -> list[str]: ...
    async def _get_extras_from_index(self, package_name: str, version: str, index_url: str) -> set[str]: ...
    def _get_extras_via_unearth(self, package_name: str, version: str, index_url: str) -> set[str]: ...
    async def _get_dependencies_from_index(
        self, package_name: str, version: str, index_url: str
    ) -> list[dict[str, Any]]: ...
    def _get_dependencies_via_unearth(
        self, package_name: str, version: str, index_url: str
    ) -> list[dict[str, Any]]: ...
