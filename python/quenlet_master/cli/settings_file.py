"""The settings a command runs with: the settings file, checked, with the options laid over it.

The modules read the settings when a query runs and fail deep inside on a wrong shape ("'str'
object has no attribute 'get'"), so the file is checked first, key by key, and an error names
the key and the shape it must have. A key nothing reads is most often a typo: it is reported
as a warning, and the command goes on without it.
"""

from __future__ import annotations

import argparse
import json
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from quenlet_master.business_layer.packages.pip_command_builder import (
    INDEX_URLS_KEY,
    RETRIES_KEY,
    USE_SECONDARY_URLS_KEY,
)
from quenlet_master.cli.arguments import is_api_pattern, is_index_url
from quenlet_master.cli.output import CliError, print_warning
from quenlet_master.config import public_index
from quenlet_master.config.settings import SettingsManager

PIP_API_KEY = "package_management.pip_api"


def _is_bool(value: Any) -> bool:
    return isinstance(value, bool)


def _is_index_url(value: Any) -> bool:
    return isinstance(value, str) and is_index_url(value)


def _is_api_pattern(value: Any) -> bool:
    return isinstance(value, str) and is_api_pattern(value)


@dataclass(frozen=True)
class _Field:
    shape: str
    valid: Callable[[Any], bool]
    required: bool = True


_ADDRESS = _Field("an http://, https:// or file:// address", _is_index_url)


@dataclass(frozen=True)
class _Shape:
    """What a setting must be: a plain value, or a list of objects with known fields."""

    description: str
    valid: Callable[[Any], bool] = lambda value: True
    fields: dict[str, _Field] | None = None

    def problem(self, value: Any) -> str | None:
        """What is wrong with ``value`` (None when nothing is), in a few words."""
        if self.fields is None:
            return None if self.valid(value) else f"it is {_shown(value)}"
        if not isinstance(value, list):
            return f"it is {_shown(value)}"
        for number, entry in enumerate(value, 1):
            if not isinstance(entry, dict):
                return f"entry {number} is {_shown(entry)}"
            for name, field in self.fields.items():
                if name not in entry:
                    if field.required:
                        return f'entry {number} has no "{name}"'
                elif not field.valid(entry[name]):
                    return f'entry {number}\'s "{name}" is not {field.shape}'
        return None

    def unknown_fields(self, value: list[dict[str, Any]]) -> list[str]:
        known = self.fields or {}
        return [
            f'"{name}" in entry {n}'
            for n, entry in enumerate(value, 1)
            for name in entry
            if name not in known
        ]


_SHAPES = {
    INDEX_URLS_KEY: _Shape(
        'a list of {"url": ADDRESS, "primary": true/false} objects',
        fields={"url": _ADDRESS, "primary": _Field("true or false", _is_bool, required=False)},
    ),
    USE_SECONDARY_URLS_KEY: _Shape("true or false", _is_bool),
    RETRIES_KEY: _Shape("a non-negative integer", lambda value: type(value) is int and value >= 0),
    PIP_API_KEY: _Shape(
        'a list of {"index_url": ADDRESS, "api_pattern": ADDRESS with {package_name}} objects',
        fields={
            "index_url": _ADDRESS,
            "api_pattern": _Field("an address with {package_name} in it", _is_api_pattern),
        },
    ),
}


def _shown(value: Any) -> str:
    """A value as an error names it: a plain one as it is written, a container by its kind."""
    if isinstance(value, list):
        return "a list"
    if isinstance(value, dict):
        return "an object"
    text = json.dumps(value)
    return text if len(text) <= 40 else text[:37] + "..."


def check_settings_file(path: str, settings: SettingsManager) -> None:
    """Refuses a setting of the wrong shape; warns about every key nothing reads."""

    def visit(node: dict[str, Any], prefix: str) -> None:
        for key, value in node.items():
            dotted = prefix + key
            shape = _SHAPES.get(dotted)
            if shape is not None:
                problem = shape.problem(value)
                if problem is not None:
                    raise CliError(f"settings file {path}: {dotted} must be {shape.description} ({problem})")
                if shape.fields is not None:
                    for field in shape.unknown_fields(value):
                        print_warning(f"settings file {path}: unknown field {field} of {dotted} is ignored")
            elif any(known.startswith(dotted + ".") for known in _SHAPES):
                if not isinstance(value, dict):
                    raise CliError(f"settings file {path}: {dotted} must be an object, not {_shown(value)}")
                visit(value, dotted + ".")
            else:
                print_warning(f"settings file {path}: unknown key {dotted} is ignored")

    visit(settings.as_dict(), "")


def build_settings(args: argparse.Namespace) -> SettingsManager:
    """The settings file, if any, with the command-line options laid over it."""
    if args.settings:
        try:
            settings = SettingsManager.from_file(args.settings)
        except (OSError, ValueError, TypeError) as exc:  # a JSON syntax error is a ValueError
            raise CliError(f"cannot read settings file {args.settings}: {exc}") from None
        check_settings_file(args.settings, settings)
    else:
        settings = SettingsManager()

    if args.index_url or args.extra_index_url:
        entries = settings.get(INDEX_URLS_KEY)
        if entries is None:
            entries = public_index.default_index_urls()
        primary = [e for e in entries if e.get("primary")]
        secondary = [e for e in entries if not e.get("primary")]
        if args.index_url:
            primary = [{"url": args.index_url, "primary": True}]
        if args.extra_index_url:
            secondary = [{"url": url} for url in args.extra_index_url]
        settings.set(INDEX_URLS_KEY, primary + secondary)
    # An index named on the command line is one the user wants searched, as pip searches its
    # --extra-index-url; only a settings file's secondaries wait for --use-secondary.
    if args.use_secondary or args.extra_index_url:
        settings.set(USE_SECONDARY_URLS_KEY, True)
    if args.retries is not None:
        settings.set(RETRIES_KEY, args.retries)
    if args.api_pattern:
        # The first entry for an index wins, so the command line goes ahead of the file.
        given = [{"index_url": url, "api_pattern": pattern} for url, pattern in args.api_pattern]
        settings.set(PIP_API_KEY, given + (settings.get(PIP_API_KEY) or []))
    return settings
