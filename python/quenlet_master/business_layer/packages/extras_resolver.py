"""Lists the extras that a package version declares."""

from __future__ import annotations

from quenlet_master.business_layer.packages._finder_client import FinderClient
from quenlet_master.config.logging_config import get_logger

logger = get_logger(__name__)


def _is_prerelease(version: str) -> bool:
    try:
        from packaging.version import InvalidVersion, Version
    except ImportError:
        return False
    try:
        return Version(version).is_prerelease
    except InvalidVersion:
        return False


class ExtrasResolver(FinderClient):
    """Answers "which extras does this version offer?" through the index client."""

    async def get_package_extras(self, package_name: str, version: str | None = None) -> list[str]:
        """Sorted extra names of ``version`` (the latest when None); [] when none or on failure."""
        try:
            finder = self._get_finder()
            if version is None:
                version = await self._latest_version(finder, package_name)
                if version is None:
                    logger.info(f"No versions of {package_name} found; no extras to list")
                    return []
            extras = await finder.get_extras(package_name, version)
        except Exception as exc:  # a failed lookup is an empty answer to the host
            logger.error(f"Failed to list extras of {package_name}: {exc}")
            return []
        return sorted(extras or [])

    @staticmethod
    async def _latest_version(finder, package_name: str) -> str | None:
        # "Latest" as an installer means it: the newest final release, unless there are only
        # pre-releases. The index client lists versions newest first.
        versions = list(await finder.get_versions(package_name) or [])
        if not versions:
            return None
        return next((v for v in versions if not _is_prerelease(v)), versions[0])
