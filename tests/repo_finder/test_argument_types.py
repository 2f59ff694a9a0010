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
        ("find_repo_for_package", (b"pkg",), message("package_name", "str", "bytes")),
        ("find_repo_for_package_version", ("pkg", 1.0), message("version", "str", "float")),
        ("get_versions", ("pkg", 5), message("index_url", "str", "int")),
        ("get_extras", ("pkg", None), message("version", "str", "NoneType")),
        ("get_dependencies", ("pkg", "1.0", ["http://h/"]), message("index_url", "str", "list")),
        ("_package_exists_in_index", ("pkg", None), message("index_url", "str", "NoneType")),
        ("_package_exists_via_unearth", (None, "http://h/"), message("package_name", "str", "NoneType")),
        ("_package_version_exists_in_index", ("pkg", 1, "http://h/"), message("version", "str", "int")),
        ("_package_version_exists_via_unearth", ("pkg", "1", 2), message("index_url", "str", "int")),
        ("_get_versions_from_index", ("pkg", None), message("index_url", "str", "NoneType")),
        ("_get_versions_via_unearth", (1, "http://h/"), message("package_name", "str", "int")),
        ("_get_extras_from_index", ("pkg", b"1", "http://h/"), message("version", "str", "bytes")),
        ("_get_extras_via_unearth", ("pkg", "1", None), message("index_url", "str", "NoneType")),
        (
            "_get_dependencies_from_index",
            (None, "1", "http://h/"),
            message("package_name", "str", "NoneType"),
        ),
        ("_get_dependencies_via_unearth", ("pkg", None, "http://h/"), message("version", "str", "NoneType")),
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
