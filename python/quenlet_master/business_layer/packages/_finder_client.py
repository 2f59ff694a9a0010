"""Lazily created index client shared by the version and extras resolvers.

The index client is a native module that the package manager must not load just by being
imported (importing the manager imports the resolvers), so it is imported on first query.
"""

from __future__ import annotations

import asyncio
import threading
import weakref
from typing import Any

from quenlet_master.config.logging_config import get_logger

logger = get_logger(__name__)


class FinderClient:
    """Owns one index client per event loop and hands it out on demand.

    The index client keeps an HTTP session bound to the loop that opened it, so a resolver
    used from a second loop (a host that runs ``asyncio.run`` more than once) gets a new one.
    """

    def __init__(self, settings_manager: Any = None):
        self.settings_manager = settings_manager
        self._finder: Any = None
        self._finder_loop: weakref.ref[asyncio.AbstractEventLoop] | None = None
        self._lock = threading.Lock()

    def _get_finder(self) -> Any:
        loop = asyncio.get_running_loop()
        with self._lock:
            if self._finder is not None and self._finder_loop is not None and self._finder_loop() is loop:
                return self._finder
            from quenlet_master.business_layer.packages.repo_finder import RepoFinder

            if self._finder is not None:
                logger.debug("Index client belongs to another event loop; creating a new one")
            self._finder = RepoFinder(self.settings_manager)
            self._finder_loop = weakref.ref(loop)
            return self._finder

    async def close(self) -> None:
        """Release the index client's connections; the resolver stays usable afterwards."""
        with self._lock:
            finder, self._finder, self._finder_loop = self._finder, None, None
        if finder is not None:
            await finder.close()
