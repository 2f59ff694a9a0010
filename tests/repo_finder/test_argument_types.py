"""Every operation refuses an argument of the wrong type before it starts, with one message."""

from __future__ import annotations

import pytest


def message(name: str, expected: str, actual: str) -> str:
    return f"^Argument '{name}' has incorrect type \\(expected {expected}, got {actual}\\)$"


@pytest.mark.parametrize(
    ("method", "args", "expected"),
    [
        ("_normalize_name", (None,), message("name", "str", "NoneType")),
        ("_normalize_name", (b"pkg",), message("name", "str", "bytes")),
        ("_normalize_url", (1,), message("url", "str", "int")),
        ("_get_api_pattern_for_index", (None,), message("index_url", "str", "NoneType")),
        ("_parse_requirement", (["pkg"],), message("req", "str", "list")),
        ("check_specifier_in_dist", (None, ""), message("package_name", "str", "NoneType")),
        ("check_specifier_in_dist", ("pip", 1.0), message("version_spec", "str", "float")),
        ("check_specifier_in_dist", ("pip", "", ("dev",)), message("extras", "list", "tuple")),
        ("check_specifier_in_dist", ("pip", "", "dev"), message("extras", "list", "str")),
        ("check_specifier_in_dist", ("pip", "", ["dev", 1]), message("extras", "list of str", "int")),
    ],
)
def test_wrong_argument_types_raise_type_error(finder, method, args, expected):
    with pytest.raises(TypeError, match=expected):
        getattr(finder, method)(*args)
    # Refused before any work: nothing was tabulated.
    assert finder._distributions_cache is None


def test_arguments_may_be_given_by_keyword(finder):
    assert finder._normalize_name(name="A.B") == "a-b"
    assert finder._normalize_url(url="x/") == "x"
    assert finder._parse_requirement(req="a>=1")["name"] == "a"
    assert (
        finder.check_specifier_in_dist(package_name="no-such-dist-installed", version_spec="", extras=None)
        is None
    )
