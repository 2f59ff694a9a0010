"""Types of the native ``manager`` module: pip installs streamed line by line, the package cache."""

import asyncio as asyncio
import os as os
import re as re
from collections.abc import AsyncGenerator
from logging import Logger
from types import ModuleType
from typing import Any, Final

from quenlet_master.business_layer.packages.extras_resolver import ExtrasResolver as ExtrasResolver
from quenlet_master.business_layer.packages.package_cache import PackageCache as PackageCache
from quenlet_master.business_layer.packages.pip_command_builder import PipCommandBuilder as PipCommandBuilder
from quenlet_master.business_layer.packages.version_resolver import VersionResolver as VersionResolver
from quenlet_master.config.logging_config import get_logger as get_logger
from quenlet_master.config.logging_config import setup_logging_subprocess as setup_logging_subprocess

# None when the library is not installed; read when a query runs, so a host may replace it.
aiohttp: ModuleType | None
logger: Logger
DEFAULT_CACHE_DIR: Final[str]
VALID_PACKAGE_PATTERN: Final[re.Pattern[str]]

def validate_package_spec(package_spec: str) -> tuple[bool, str]:
    """(True, "") for an acceptable pip specification, else (False, the reason)."""

class _PipOutputProtocol:
    """The subprocess protocol on pip's pipes: splits and decodes its output into items."""

    def __init__(self) -> None: ...
    def connection_made(self, transport: asyncio.BaseTransport) -> None: ...
    def pipe_data_received(self, fd: int, data: bytes) -> None: ...
    def pipe_connection_lost(self, fd: int, exc: Exception | None) -> None: ...
    def process_exited(self) -> None: ...
    def connection_lost(self, exc: Exception | None) -> None: ...

class PackageManager:
    base_dir: str
    cache_dir: str
    settings_manager: Any
    package_cache: PackageCache
    pip_command_builder: PipCommandBuilder
    version_resolver: VersionResolver
    extras_resolver: ExtrasResolver

    def __init__(self, base_dir: str | None = None, settings_manager: Any = None) -> None: ...
    def get_target_dir(self) -> str: ...
    def ensure_cache_dir(self) -> str: ...
    def install_package(
        self, package_spec: str, target_dir: str | None = None
    ) -> AsyncGenerator[tuple[str, str], None]:
        """Items ("stdout" | "stderr", line) while pip runs, then ("success", message) and
        ("path", folder), or one ("error", message)."""

    def get_installation_path(self) -> str: ...
    async def get_available_versions(self, package_name: str) -> list[str] | None: ...
    async def get_package_extras(self, package_name: str, version: str | None = None) -> list[str] | None: ...
    async def get_package_info(self, package_name: str) -> dict[str, Any]:
        """{"name", "latest_version", "summary"}, or {"error": message} when the query failed."""

    def install_package_to_cache(
        self,
        package_name: str,
        version: str,
        extras: list[str] | None = None,
        env: dict[str, str] | None = None,
    ) -> AsyncGenerator[tuple[str, str], None]:
        """As ``install_package`` into a fresh cache folder; a cached install yields "stdout",
        "success" and ("cached", folder) instead."""

    def install_package_no_deps(
        self, package_name: str, version: str, extras: list[str] | None = None
    ) -> AsyncGenerator[tuple[str, str], None]: ...
