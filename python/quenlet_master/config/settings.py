"""Settings store addressed by dotted keys.

Values live in one nested dictionary: ``"package_management.pip.retries"`` is the member
``retries`` of ``pip`` of ``package_management``. Input may use either spelling, nested
dictionaries or flat dotted keys, and both can be mixed. Readers get copies of containers,
so a caller that edits a returned list cannot change the stored settings behind our back.
"""

from __future__ import annotations

import copy
import json
import os
import threading
from collections.abc import Mapping
from typing import Any

_MISSING = object()


def _split_key(key: str) -> tuple[str, ...]:
    if not isinstance(key, str):
        raise TypeError(f"settings key must be a string, not {type(key).__name__}")
    parts = tuple(key.split("."))
    if not all(parts):
        raise ValueError(f"malformed settings key {key!r}")
    return parts


def _detached(value: Any) -> Any:
    """A copy of a container that shares nothing changeable with the stored one."""
    return copy.deepcopy(value) if isinstance(value, (dict, list)) else value


class SettingsManager:
    """Thread-safe dotted-key settings with optional JSON file loading.

    ``SettingsManager({"package_management": {"pip": {"retries": 5}}})``,
    ``SettingsManager({"package_management.pip.retries": 5})`` and
    ``SettingsManager.from_file("settings.json")`` all give ``get("package_management.pip.retries") == 5``.
    """

    def __init__(self, values: Mapping[str, Any] | None = None, *, path: str | os.PathLike | None = None):
        self._lock = threading.Lock()
        self._data: dict[str, Any] = {}
        self.path = os.fspath(path) if path is not None else None
        if self.path is not None:
            self.update(self._read_file(self.path))
        if values is not None:
            self.update(values)

    @classmethod
    def from_file(cls, path: str | os.PathLike) -> SettingsManager:
        return cls(path=path)

    @staticmethod
    def _read_file(path: str) -> Mapping[str, Any]:
        with open(path, encoding="utf-8") as fh:
            document = json.load(fh)
        if not isinstance(document, dict):
            raise TypeError(f"settings file {path} must hold a JSON object, not {type(document).__name__}")
        return document

    def reload(self) -> None:
        """Replace every setting with the file's current content (values set since are lost)."""
        if self.path is None:
            raise RuntimeError("settings were not loaded from a file")
        fresh = SettingsManager(path=self.path)
        with self._lock:
            self._data = fresh._data

    def get(self, key: str, default: Any = None) -> Any:
        parts = _split_key(key)
        with self._lock:
            node: Any = self._data
            for part in parts:
                if not isinstance(node, dict) or part not in node:
                    return default
                node = node[part]
            return _detached(node)

    def __contains__(self, key: object) -> bool:
        return isinstance(key, str) and self.get(key, _MISSING) is not _MISSING

    def set(self, key: str, value: Any) -> None:
        """Store ``value`` under ``key``; a plain value standing in the way of the path is replaced."""
        parts = _split_key(key)
        value = _detached(value)
        with self._lock:
            self._set_locked(parts, value)

    def _set_locked(self, parts: tuple[str, ...], value: Any) -> None:
        node = self._data
        for part in parts[:-1]:
            child = node.get(part)
            if not isinstance(child, dict):
                child = node[part] = {}
            node = child
        node[parts[-1]] = value

    def delete(self, key: str) -> bool:
        """Forget ``key``; later reads see their default. Returns whether anything was stored."""
        parts = _split_key(key)
        with self._lock:
            node: Any = self._data
            for part in parts[:-1]:
                node = node.get(part) if isinstance(node, dict) else None
            if not isinstance(node, dict) or parts[-1] not in node:
                return False
            del node[parts[-1]]
            return True

    def update(self, values: Mapping[str, Any]) -> None:
        """Merge ``values`` in: nested mappings merge member by member, dotted keys are split."""
        if not isinstance(values, Mapping):
            raise TypeError(f"settings must be a mapping, not {type(values).__name__}")
        flat: list[tuple[tuple[str, ...], Any]] = []
        self._flatten(values, (), flat)
        with self._lock:
            for parts, value in flat:
                self._set_locked(parts, value)

    def _flatten(
        self, values: Mapping[str, Any], prefix: tuple[str, ...], out: list[tuple[tuple[str, ...], Any]]
    ) -> None:
        for key, value in values.items():
            parts = prefix + _split_key(key)
            if isinstance(value, Mapping) and value:
                self._flatten(value, parts, out)
            else:
                out.append((parts, _detached(dict(value) if isinstance(value, Mapping) else value)))

    def as_dict(self) -> dict[str, Any]:
        """A nested copy of everything stored."""
        with self._lock:
            return copy.deepcopy(self._data)

    def __repr__(self) -> str:
        source = f" from {self.path!r}" if self.path else ""
        return f"<SettingsManager{source} with {len(self._data)} top-level keys>"
