"""Every operation of both package modules, used the way a host uses them, with full types.

``make lint`` type-checks this file against the modules' stubs (mypy --strict), and the stub
tests run it against a local package index:

    python host_example.py INDEX_URL API_PATTERN NAME VERSION WORK_DIR

It prints one JSON document with what each operation answered.
"""

from __future__ import annotations

import asyncio
import json
import sys
from typing import Any

from quenlet_master.business_layer.packages.manager import (
    DEFAULT_CACHE_DIR,
    PackageManager,
    validate_package_spec,
)
from quenlet_master.business_layer.packages.repo_finder import PACKAGING_AVAILABLE, RepoFinder
from quenlet_master.config.settings import SettingsManager


def settings_for(index_url: str, api_pattern: str) -> SettingsManager:
    return SettingsManager(
        {
            "package_management.pip.index_urls": [{"url": index_url, "primary": True}],
            "package_management.pip.use_secondary_urls": False,
            "package_management.pip_api": [{"index_url": index_url, "api_pattern": api_pattern}],
        }
    )


async def query(finder: RepoFinder, name: str, version: str) -> dict[str, Any]:
    versions: list[str] = await finder.get_versions(name)
    extras: list[str] = await finder.get_extras(name, version)
    dependencies: list[dict[str, Any]] = await finder.get_dependencies(name, version)
    index: str | None = await finder.find_repo_for_package(name)
    version_index: str | None = await finder.find_repo_for_package_version(name, version)
    installed: str | None = finder.check_specifier_in_dist("packaging", ">=20", None)
    return {
        "versions": versions,
        "extras": extras,
        "dependencies": [dep["name"] for dep in dependencies],
        "index": index,
        "version_index": version_index,
        "packaging_installed": installed if PACKAGING_AVAILABLE else None,
    }


async def install(manager: PackageManager, name: str, version: str, target: str) -> dict[str, Any]:
    spec = f"{name}=={version}"
    is_valid, reason = validate_package_spec(spec)
    if not is_valid:
        raise ValueError(reason)
    streamed: list[tuple[str, str]] = [item async for item in manager.install_package(spec, target)]
    first: list[tuple[str, str]] = [item async for item in manager.install_package_to_cache(name, version)]
    second: list[tuple[str, str]] = [item async for item in manager.install_package_no_deps(name, version)]
    known: list[str] | None = await manager.get_available_versions(name)
    return {
        "install": streamed[-2:],
        "cache_first": [kind for kind, _ in first][-2:],
        "cache_second": [kind for kind, _ in second],
        "available": known,
        "cache_dir_is_default": manager.get_installation_path().endswith(DEFAULT_CACHE_DIR),
    }


async def main(index_url: str, api_pattern: str, name: str, version: str, work_dir: str) -> dict[str, Any]:
    settings = settings_for(index_url, api_pattern)
    finder = RepoFinder(settings)
    try:
        answers = await query(finder, name, version)
    finally:
        await finder.close()
    manager = PackageManager(work_dir, settings)
    answers.update(await install(manager, name, version, f"{work_dir}/target"))
    await manager.version_resolver.close()
    return answers


if __name__ == "__main__":
    index_url, api_pattern, name, version, work_dir = sys.argv[1:6]
    print(json.dumps(asyncio.run(main(index_url, api_pattern, name, version, work_dir))))
