"""Addresses of the public package index.

We do not keep our own copy of the index's address: the installed pip already records it,
and whatever pip considers the public index is what a plain ``pip install`` would use. It is
looked up on first need only, because importing pip's internals costs tens of milliseconds.
"""

from __future__ import annotations

import functools
from typing import Any


@functools.cache
def _pip_record() -> Any:
    from pip._internal.models.index import PyPI

    return PyPI


def base_url() -> str:
    """The index's root address, with a trailing slash."""
    return _pip_record().url


def simple_url() -> str:
    """The simple repository address in the form pip is usually given: with a trailing slash."""
    return _pip_record().simple_url.rstrip("/") + "/"


def json_api_url() -> str:
    """The root of the JSON API, without a trailing slash (documents live at ``/<name>/json``)."""
    return _pip_record().pypi_url.rstrip("/")


def default_index_urls() -> list[dict[str, Any]]:
    """The index list used when no setting names one: the public index alone, as primary."""
    return [{"url": simple_url(), "primary": True}]
