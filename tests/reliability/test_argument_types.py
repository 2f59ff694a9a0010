"""Every operation of both modules refuses every wrong type of every parameter, at the call and
before any work, with one exact text."""

from __future__ import annotations

import warnings

import pytest

from quenlet_master.business_layer.packages import manager, repo_finder

PM = manager.PackageManager("/nowhere")

# Parameter kinds: the type named in the message, whether None passes, and a valid value.
STR = ("str", False, "pkg")
OPTIONAL_STR = ("str", True, None)
OPTIONAL_LIST = ("list", True, None)
OPTIONAL_DICT = ("dict", True, None)

# (operation, parameters in order as (name, kind)); the operation is given the valid values of
# the other parameters.
PACKAGE_WORKER = [("package_name", STR), ("index_url", STR)]
VERSION_WORKER = [("package_name", STR), ("version", STR), ("index_url", STR)]
OPERATIONS = {
    "validate_package_spec": (manager.validate_package_spec, [("package_spec", STR)]),
    "PackageManager": (manager.PackageManager, [("base_dir", OPTIONAL_STR)]),
    "install_package": (PM.install_package, [("package_spec", STR), ("target_dir", OPTIONAL_STR)]),
    "install_package_to_cache": (
        PM.install_package_to_cache,
        [("package_name", STR), ("version", STR), ("extras", OPTIONAL_LIST), ("env", OPTIONAL_DICT)],
    ),
    "install_package_no_deps": (
        PM.install_package_no_deps,
        [("package_name", STR), ("version", STR), ("extras", OPTIONAL_LIST)],
    ),
    "get_available_versions": (PM.get_available_versions, [("package_name", STR)]),
    "get_package_extras": (PM.get_package_extras, [("package_name", STR), ("version", OPTIONAL_STR)]),
    "get_package_info": (PM.get_package_info, [("package_name", STR)]),
    "_normalize_name": ("_normalize_name", [("name", STR)]),
    "_normalize_url": ("_normalize_url", [("url", STR)]),
    "_get_api_pattern_for_index": ("_get_api_pattern_for_index", [("index_url", STR)]),
    "_parse_requirement": ("_parse_requirement", [("req", STR)]),
    "check_specifier_in_dist": (
        "check_specifier_in_dist",
        [("package_name", STR), ("version_spec", STR), ("extras", OPTIONAL_LIST)],
    ),
    "find_repo_for_package": ("find_repo_for_package", [("package_name", STR)]),
    "find_repo_for_package_version": (
        "find_repo_for_package_version",
        [("package_name", STR), ("version", STR)],
    ),
    "get_versions": ("get_versions", [("package_name", STR), ("index_url", OPTIONAL_STR)]),
    "get_extras": ("get_extras", [("package_name", STR), ("version", STR), ("index_url", OPTIONAL_STR)]),
    "get_dependencies": (
        "get_dependencies",
        [("package_name", STR), ("version", STR), ("index_url", OPTIONAL_STR)],
    ),
    **{
        name: (name, PACKAGE_WORKER)
        for name in (
            "_package_exists_in_index",
            "_package_exists_via_unearth",
            "_get_versions_from_index",
            "_get_versions_via_unearth",
        )
    },
    **{
        name: (name, VERSION_WORKER)
        for name in (
            "_package_version_exists_in_index",
            "_package_version_exists_via_unearth",
            "_get_extras_from_index",
            "_get_extras_via_unearth",
            "_get_dependencies_from_index",
            "_get_dependencies_via_unearth",
        )
    },
}
WRONG_VALUES = [None, 1, 1.5, b"pkg", ["pkg"], ("pkg",), {"pkg": 1}, {"pkg"}, object()]
EXPECTED_TYPES = {"str": str, "list": list, "dict": dict}


def cases():
    found = []
    for operation, (_, parameters) in OPERATIONS.items():
        for position, (name, (expected, optional, _)) in enumerate(parameters):
            for value in WRONG_VALUES:
                if isinstance(value, EXPECTED_TYPES[expected]) or (value is None and optional):
                    continue
                found.append(
                    pytest.param(operation, position, value, id=f"{operation}-{name}-{type(value).__name__}")
                )
    return found


@pytest.mark.parametrize(("operation", "position", "value"), cases())
@pytest.mark.parametrize("by_keyword", [False, True], ids=["positional", "keyword"])
def test_a_wrong_type_is_refused_at_the_call(operation, position, value, by_keyword):
    target, parameters = OPERATIONS[operation]
    finder = repo_finder.RepoFinder(None)
    call = getattr(finder, target) if isinstance(target, str) else target
    values = [kind[2] for _, kind in parameters]
    values[position] = value
    name, (expected, _, _) = parameters[position]
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a coroutine created and dropped unawaited would warn
        with pytest.raises(TypeError) as raised:
            if by_keyword:
                call(**{parameter: v for (parameter, _), v in zip(parameters, values, strict=True)})
            else:
                call(*values)
    assert (
        str(raised.value)
        == f"Argument '{name}' has incorrect type (expected {expected}, got {type(value).__name__})"
    )
    assert finder._distributions_cache is None  # nothing was tabulated


@pytest.mark.parametrize("extras", [["dev", 1], [None]])
def test_extras_of_the_specifier_check_must_all_be_strings(extras):
    finder = repo_finder.RepoFinder(None)
    with pytest.raises(TypeError) as raised:
        finder.check_specifier_in_dist("pip", "", extras)
    wrong = type(extras[-1]).__name__
    assert str(raised.value) == f"Argument 'extras' has incorrect type (expected list of str, got {wrong})"
    assert finder._distributions_cache is None
