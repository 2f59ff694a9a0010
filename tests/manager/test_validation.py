import re
import string

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from quenlet_master.business_layer.packages.manager import VALID_PACKAGE_PATTERN, validate_package_spec

FORBIDDEN = [";", "|", "&", "$", "`", "(", ")", "{", "}", "<", ">", "\n", "\r"]
INVALID_FORMAT = (False, "Package spec contains invalid format")


def with_regex(spec):
    """The checks in their order, the last one through the module's compiled pattern."""
    if not spec:
        return (False, "Package spec cannot be empty")
    if len(spec) > 256:
        return (False, "Package spec too long (max 256 characters)")
    for char in FORBIDDEN:
        if char in spec:
            return (False, f"Package spec contains invalid character: {char}")
    if not VALID_PACKAGE_PATTERN.match(spec):
        return INVALID_FORMAT
    return (True, "")


NAME_CHARS = set(string.ascii_letters + string.digits + "._-")


def from_rules(spec):
    """The same checks written out by hand: name, optional [extras], optional operator, version."""
    if not spec:
        return (False, "Package spec cannot be empty")
    if len(spec) > 256:
        return (False, "Package spec too long (max 256 characters)")
    for char in FORBIDDEN:
        if char in spec:
            return (False, f"Package spec contains invalid character: {char}")
    if spec[0] not in string.ascii_letters + string.digits:
        return INVALID_FORMAT
    i = 1
    while i < len(spec) and spec[i] in NAME_CHARS:
        i += 1
    if spec[i : i + 1] == "[":
        close = spec.find("]", i)
        extras = spec[i + 1 : close] if close > 0 else ""
        if not extras or not set(extras) <= NAME_CHARS | {","}:
            return INVALID_FORMAT
        i = close + 1
    for operator in ("==", ">=", "<=", ">", "<", "!=", "~="):
        if spec.startswith(operator, i):
            i += len(operator)
            break
    return (True, "") if set(spec[i:]) <= NAME_CHARS else INVALID_FORMAT


def test_pattern_is_the_documented_expression_without_flags():
    assert isinstance(VALID_PACKAGE_PATTERN, re.Pattern)
    assert VALID_PACKAGE_PATTERN.pattern == (
        r"^[a-zA-Z0-9][a-zA-Z0-9._-]*(\[[a-zA-Z0-9,._-]+\])?(==|>=|<=|>|<|!=|~=)?[a-zA-Z0-9._-]*$"
    )
    assert VALID_PACKAGE_PATTERN.flags == re.compile("").flags


@pytest.mark.parametrize(
    "spec, expected",
    [
        ("", (False, "Package spec cannot be empty")),
        ("a" * 256, (True, "")),
        ("a" * 257, (False, "Package spec too long (max 256 characters)")),
        ("a;" * 129, (False, "Package spec too long (max 256 characters)")),
        ("é" * 256, INVALID_FORMAT),
        ("\U0001f600" * 257, (False, "Package spec too long (max 256 characters)")),
        ("numpy>=1.20", (False, "Package spec contains invalid character: >")),
        ("a<b>", (False, "Package spec contains invalid character: <")),
        ("x>y;z", (False, "Package spec contains invalid character: ;")),
        ("pkg\n", (False, "Package spec contains invalid character: \n")),
        ("pkg\r", (False, "Package spec contains invalid character: \r")),
        ("pkg[a];b", (False, "Package spec contains invalid character: ;")),
        ("é$`", (False, "Package spec contains invalid character: $")),
        ("requests[socks,security]==2.31.0", (True, "")),
        ("pkg!=1.0", (True, "")),
        ("pkg~=1.4", (True, "")),
        ("pkg", (True, "")),
        ("pkg1.0", (True, "")),
        ("pkg==", (True, "")),
        ("pkg[,]", (True, "")),
        ("pkg 1.0", INVALID_FORMAT),
        (".pkg", INVALID_FORMAT),
        ("-pkg", INVALID_FORMAT),
        ("pkg[]", INVALID_FORMAT),
        ("pkg+local", INVALID_FORMAT),
        ("pkgé", INVALID_FORMAT),
        ("pkg=1", INVALID_FORMAT),
        ("pkg===1", INVALID_FORMAT),
        ("pkg[a]b[c]", INVALID_FORMAT),
        ("pkg\x00", INVALID_FORMAT),
    ],
)
def test_validation_table(spec, expected):
    assert validate_package_spec(spec) == expected
    assert with_regex(spec) == from_rules(spec) == expected


def test_fixed_answers_are_shared_tuples():
    assert validate_package_spec("a") is validate_package_spec("b")
    assert validate_package_spec("a;") is validate_package_spec("b;")


SPEC_ALPHABET = string.ascii_letters[:6] + "09._-,[]=<>!~ ;|&$`(){}\n\r\t\x00é\u00a0\U0001f600"
spec_texts = st.text(alphabet=SPEC_ALPHABET, max_size=40)
structured_specs = st.builds(
    lambda name, extras, operator, version: name + extras + operator + version,
    st.text(alphabet=SPEC_ALPHABET, min_size=0, max_size=6),
    st.one_of(st.just(""), st.builds(lambda x: f"[{x}]", st.text(alphabet="ab,._-]é", max_size=4))),
    st.sampled_from(["", "==", ">=", "<=", ">", "<", "!=", "~=", "=", "!", "~", "==="]),
    st.text(alphabet="a1.-_=é[ ", max_size=5),
)
long_specs = st.builds(lambda n, tail: "a" * n + tail, st.integers(250, 258), st.text(max_size=3))


@settings(max_examples=600)
@given(st.one_of(spec_texts, structured_specs, long_specs, st.text(max_size=20)))
@example("pkg\n")
@example("a" * 255 + "[")
def test_native_validation_equals_the_regex_and_the_rules(spec):
    assert validate_package_spec(spec) == with_regex(spec) == from_rules(spec)
