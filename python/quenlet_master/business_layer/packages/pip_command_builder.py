"""Builds the pip command lines that install packages into a target folder."""

from __future__ import annotations

import os
import sys
from collections.abc import Mapping
from typing import Any

from quenlet_master.config import public_index

INDEX_URLS_KEY = "package_management.pip.index_urls"
USE_SECONDARY_URLS_KEY = "package_management.pip.use_secondary_urls"
RETRIES_KEY = "package_management.pip.retries"
DEFAULT_RETRIES = 3


class PipCommandBuilder:
    """Turns a package specification and target folder into a complete pip argument vector.

    The index options follow the same plan as the index client's searches, so pip installs
    from the indexes that version and extras queries looked at: the last entry marked primary
    is the index, the unmarked ones are extra indexes only when secondary indexes are allowed.
    Settings are read on every call, so a changed setting applies to the next install.
    """

    def __init__(self, settings_manager: Any = None):
        self.settings_manager = settings_manager

    def _setting(self, key: str, default: Any) -> Any:
        if not self.settings_manager:
            return default
        return self.settings_manager.get(key, default)

    def index_plan(self) -> tuple[str | None, list[str]]:
        """(primary index URL or None, secondary URLs that may be used) from the current settings."""
        entries = self._setting(INDEX_URLS_KEY, None)
        if entries is None:
            entries = public_index.default_index_urls()
        if not isinstance(entries, (list, tuple)):
            raise TypeError(f"setting {INDEX_URLS_KEY} must be a list, not {type(entries).__name__}")
        primary: str | None = None
        secondary: list[str] = []
        for entry in entries:
            if not isinstance(entry, Mapping) or not isinstance(entry.get("url"), str):
                raise TypeError(f"setting {INDEX_URLS_KEY} holds an entry without a 'url' string: {entry!r}")
            if entry.get("primary", False):
                primary = entry["url"]
            else:
                secondary.append(entry["url"])
        if not self._setting(USE_SECONDARY_URLS_KEY, False):
            secondary = []
        return primary, secondary

    def _retries(self) -> int | None:
        retries = self._setting(RETRIES_KEY, DEFAULT_RETRIES)
        if retries is None:
            return None
        if isinstance(retries, bool) or not isinstance(retries, (int, str)):
            raise TypeError(f"setting {RETRIES_KEY} must be an integer, not {type(retries).__name__}")
        try:
            value = int(retries)
        except ValueError:
            raise ValueError(f"setting {RETRIES_KEY} must be an integer, not {retries!r}") from None
        if value < 0:
            raise ValueError(f"setting {RETRIES_KEY} must not be negative, got {value}")
        return value

    def index_options(self) -> list[str]:
        primary, secondary = self.index_plan()
        if primary is None and not secondary:
            # Nothing the settings allow would be searched by the index client either; letting
            # pip fall back to its own configuration would install from somewhere unqueried.
            return ["--no-index"]
        urls = ([primary] if primary is not None else []) + secondary
        options = ["--index-url", urls[0]]
        for url in urls[1:]:
            options += ["--extra-index-url", url]
        return options

    def build_install_command(
        self,
        package_spec: str,
        target_dir: str | os.PathLike,
        no_deps: bool = False,
        prefer_binary: bool = False,
    ) -> list[str]:
        if not isinstance(package_spec, str):
            raise TypeError(f"package_spec must be a string, not {type(package_spec).__name__}")
        target = os.fspath(target_dir)
        if not isinstance(target, str):
            raise TypeError(f"target_dir must be a text path, not {type(target).__name__}")
        cmd = [
            sys.executable,
            "-m",
            "pip",
            "install",
            "--target",
            target,
            "--disable-pip-version-check",
            "--no-input",
            # Output is streamed line by line to the caller; a redrawn progress bar is noise there.
            "--progress-bar",
            "off",
        ]
        cmd += self.index_options()
        retries = self._retries()
        if retries is not None:
            cmd += ["--retries", str(retries)]
        if no_deps:
            cmd.append("--no-deps")
        if prefer_binary:
            cmd.append("--prefer-binary")
        cmd.append(package_spec)
        return cmd
