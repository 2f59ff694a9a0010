"""Lists the versions of a package that the configured indexes offer."""

from __future__ import annotations

from quenlet_master.business_layer.packages._finder_client import FinderClient
from quenlet_master.config.logging_config import get_logger

logger = get_logger(__name__)


class VersionResolver(FinderClient):
    """Answers "which versions exist?" through the index client's multi-index search."""

    async def get_available_versions(self, package_name: str) -> list[str]:
        """Version strings newest first (the index client's order), from the first index that has
        any; [] on any failure."""
        try:
            versions = await self._get_finder().get_versions(package_name)
        except Exception as exc:  # a failed lookup is an empty answer to the host
            logger.error(f"Failed to list versions of {package_name}: {exc}")
            return []
        return list(versions or [])
