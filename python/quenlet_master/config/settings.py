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
from collections.abc import Callable, Mapping
from typing import Any

_MISSING = object()


def _split_key(key: str) -> tuple[str, ...]:
    if not isinstance(key, str):
        raise TypeError(f"settings key must be a string, not {type(key).__name__}")
    parts = tuple(key.split("."))
    if not all(parts):
        raise ValueError(f"malformed settings key {key!r}")
    return parts


# Values that cannot be changed in place, so a reader may share them.
_IMMUTABLE = frozenset({str, int, float, bool, type(None)})


def _copied(value: Any) -> Any:
    # Plain members are shared without a call: most settings are lists of small dicts of them.
    kind = type(value)
    if kind is dict:
        return {key: item if type(item) in _IMMUTABLE else _copied(item) for key, item in value.items()}
    if kind is list:
        return [item if type(item) in _IMMUTABLE else _copied(item) for item in value]
    if kind in _IMMUTABLE:
        return value
    return copy.deepcopy(value)


def _detached(value: Any) -> Any:
    """A container value copied so that it shares nothing changeable with the stored one.

    The index client reads settings on every query, so the shapes JSON gives (plain dicts and
    lists of plain values) are copied directly, several times faster than ``copy.deepcopy``;
    anything else inside them, a set or a subclass say, is still deep-copied.
    """
    if type(value) is dict or type(value) is list:
        return _copied(value)
    return copy.deepcopy(value) if isinstance(value, (dict, list)) else value


def _is_flat(value: Any) -> bool:
    """A plain list or dict whose members are all plain values."""
    kind = type(value)
    members = value if kind is list else value.values() if kind is dict else None
    return members is not None and all(type(item) in _IMMUTABLE for item in members)


def _flat_dicts_copied(value: list[dict[str, Any]]) -> list[dict[str, Any]]:
    return list(map(dict.copy, value))


def _copier(value: Any) -> Callable[[Any], Any]:
    """The cheapest function that gives a detached copy of ``value`` as it is stored now. Most
    settings are plain values, or lists of small dicts of them, which C-level copies detach."""
    if type(value) in _IMMUTABLE:
        return _same
    if _is_flat(value):
        return list.copy if type(value) is list else dict.copy
    if type(value) is list and all(type(item) is dict and _is_flat(item) for item in value):
        return _flat_dicts_copied
    return _detached


def _same(value: Any) -> Any:
    return value


# How many keys a store remembers how to read.
_READS_LIMIT = 1024


class SettingsManager:
    """Thread-safe dotted-key settings with optional JSON file loading.

    ``SettingsManager({"package_management": {"pip": {"retries": 5}}})``,
    ``SettingsManager({"package_management.pip.retries": 5})`` and
    ``SettingsManager.from_file("settings.json")`` all give ``get("package_management.pip.retries") == 5``.
    """

    def __init__(self, values: Mapping[str, Any] | None = None, *, path: str | os.PathLike | None = None):
        self._lock = threading.Lock()
        self._data: dict[str, Any] = {}
        # Readers ask for the same few keys on every index query: by key text, the stored node
        # (or _MISSING) and how to copy it. Every change forgets all of it.
        self._reads: dict[str, tuple[Any, Callable[[Any], Any]]] = {}
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
            self._reads.clear()

    def get(self, key: str, default: Any = None) -> Any:
        with self._lock:
            read = self._reads.get(key) if type(key) is str else None
            if read is None:
                read = self._read_locked(key)
            node, copied = read
            return default if node is _MISSING else copied(node)

    def _read_locked(self, key: str) -> tuple[Any, Callable[[Any], Any]]:
        node: Any = self._data
        for part in _split_key(key):
            if not isinstance(node, dict) or part not in node:
                node = _MISSING
                break
            node = node[part]
        read = (node, _same if node is _MISSING else _copier(node))
        # Only an exact str: a subclass could compare equal to another key.
        if type(key) is str:
            if len(self._reads) >= _READS_LIMIT:
                self._reads.clear()
            self._reads[key] = read
        return read

    def __contains__(self, key: object) -> bool:
        return isinstance(key, str) and self.get(key, _MISSING) is not _MISSING

    def set(self, key: str, value: Any) -> None:
        """Store ``value`` under ``key``; a plain value standing in the way of the path is replaced."""
        parts = _split_key(key)
        value = _detached(value)
        with self._lock:
            self._set_locked(parts, value)

    def _set_locked(self, parts: tuple[str, ...], value: Any) -> None:
        self._reads.clear()
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
            self._reads.clear()
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
