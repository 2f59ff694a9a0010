"""Addresses of the public package index.

We do not keep our own copy of the index's address: the installed pip already records it,
and whatever pip considers the public index is what a plain ``pip install`` would use. The
record is read from its source, never imported: importing pip's package runs its initialisation,
which changes the logging of the process it runs in (a logger class, a level name). It is read on
first need only.
"""

from __future__ import annotations

import ast
import functools
import importlib.machinery
import importlib.util
from typing import Any
from urllib.parse import urljoin

_RECORD = "pip._internal.models.index"


class UnknownIndexError(LookupError):
    """pip, or its record of the public index, is not there to read."""


@functools.cache
def _recorded_address() -> str:
    # Found package by package in the locations of the one before, as the import system would,
    # without importing any of them.
    spec = importlib.util.find_spec("pip")
    if spec is None:
        raise UnknownIndexError("No module named 'pip'")
    parts = _RECORD.split(".")
    for depth in range(2, len(parts) + 1):
        if spec is None or spec.submodule_search_locations is None:
            break
        spec = importlib.machinery.PathFinder.find_spec(
            ".".join(parts[:depth]), spec.submodule_search_locations
        )
    source = spec.loader.get_source(spec.name) if spec is not None and spec.loader is not None else None
    # The record reads `PyPI = PackageIndex("<address>", ...)`.
    for statement in ast.parse(source or "").body:
        match statement:
            case ast.Assign(
                targets=[ast.Name(id="PyPI")], value=ast.Call(args=[ast.Constant(str(address)), *_])
            ):
                return address if address.endswith("/") else address + "/"
    raise UnknownIndexError("pip's record of it was not found")


def base_url() -> str:
    """The index's root address, with a trailing slash; UnknownIndexError without pip's record."""
    return _recorded_address()


def simple_url() -> str:
    """The simple repository address in the form pip is usually given: with a trailing slash."""
    return urljoin(base_url(), "simple") + "/"


def json_api_url() -> str:
    """The root of the JSON API, without a trailing slash (documents live at ``/<name>/json``)."""
    return urljoin(base_url(), "pypi")


def default_index_urls() -> list[dict[str, Any]]:
    """The index list used when no setting names one: the public index alone, as primary."""
    return [{"url": simple_url(), "primary": True}]
