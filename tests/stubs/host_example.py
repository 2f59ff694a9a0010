"""Every public operation of both package modules, used with full types the way a host uses them.

``make lint`` type-checks this file against the modules' stubs (mypy --strict), so a stub that
lost a name or changed a type breaks the build here as it would break a host. It is not run:
the README's host example is, by tests/cli, and the stubs are compared with the built modules
by the tests beside this file.
"""

from __future__ import annotations

from typing import Any

from quenlet_master.business_layer.packages.manager import (
    DEFAULT_CACHE_DIR,
    VALID_PACKAGE_PATTERN,
    PackageManager,
    validate_package_spec,
)
from quenlet_master.business_layer.packages.repo_finder import (
    PACKAGING_AVAILABLE,
    UNEARTH_AVAILABLE,
    RepoFinder,
)
from quenlet_master.config.settings import SettingsManager


def settings_for(index_url: str, api_pattern: str) -> SettingsManager:
    return SettingsManager(
        {
            "package_management.pip.index_urls": [{"url": index_url, "primary": True}],
            "package_management.pip_api": [{"index_url": index_url, "api_pattern": api_pattern}],
        }
    )


async def query(finder: RepoFinder, name: str, version: str) -> dict[str, Any]:
    try:
        versions: list[str] = await finder.get_versions(name)
        on_index: list[str] = await finder.get_versions(name, index_url="http://127.0.0.1:8080/simple/")
        extras: list[str] = await finder.get_extras(name, version)
        dependencies: list[dict[str, Any]] = await finder.get_dependencies(name, version)
        index: str | None = await finder.find_repo_for_package(name)
        version_index: str | None = await finder.find_repo_for_package_version(name, version)
    finally:
        await finder.close()
    finder.clear_distributions_cache()
    installed: str | None = None
    if PACKAGING_AVAILABLE:
        installed = finder.check_specifier_in_dist(name, f">={version}", extras=["fast"])
    return {
        "versions": versions or on_index,
        "extras": extras,
        "dependencies": [(dep["name"], dep["version_spec"]) for dep in dependencies],
        "index": index or version_index,
        "installed": installed,
        "finder_fallback": UNEARTH_AVAILABLE,
    }


async def install(manager: PackageManager, name: str, version: str, target: str) -> list[tuple[str, str]]:
    spec = f"{name}=={version}"
    is_valid, reason = validate_package_spec(spec)
    if not is_valid or VALID_PACKAGE_PATTERN.match(spec) is None:
        raise ValueError(reason)
    items: list[tuple[str, str]] = [item async for item in manager.install_package(spec, target)]
    async for output_type, content in manager.install_package_to_cache(name, version, ["fast"], env=None):
        items.append((output_type, content))
    async for item in manager.install_package_no_deps(name, version):
        items.append(item)
    return items


async def describe(manager: PackageManager, name: str) -> dict[str, Any]:
    cache: str = manager.ensure_cache_dir()
    assert cache == manager.get_target_dir() == manager.get_installation_path()
    assert cache.endswith(DEFAULT_CACHE_DIR)
    versions: list[str] | None = await manager.get_available_versions(name)
    extras: list[str] | None = await manager.get_package_extras(name)
    info: dict[str, Any] = await manager.get_package_info(name)
    await manager.version_resolver.close()
    await manager.extras_resolver.close()
    return {"versions": versions or [], "extras": extras or [], "summary": info.get("summary")}


async def host(index_url: str, api_pattern: str, base_dir: str) -> dict[str, Any]:
    settings = settings_for(index_url, api_pattern)
    answers = await query(RepoFinder(settings), "demo-pkg", "1.0")
    manager = PackageManager(base_dir, settings)
    answers["items"] = await install(manager, "demo-pkg", "1.0", f"{base_dir}/lib")
    answers.update(await describe(manager, "demo-pkg"))
    return answers
