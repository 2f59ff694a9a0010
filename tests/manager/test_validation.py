import ast
import importlib.util
import re
import string
from pathlib import Path

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from quenlet_master.business_layer.packages.manager import VALID_PACKAGE_PATTERN, validate_package_spec

FORBIDDEN = [";", "|", "&", "$", "`", "(", ")", "{", "}", "<", ">", "\n", "\r"]
INVALID_FORMAT = (False, "Package spec contains invalid format")


def pip_archive_suffixes() -> tuple[str, ...]:
    """The extensions the installed pip takes for a local archive file, read from its source:
    importing pip's internals would change this process (its logging, for one)."""
    spec = importlib.util.find_spec("pip")
    assert spec is not None and spec.origin is not None
    tree = ast.parse((Path(spec.origin).parent / "_internal" / "utils" / "filetypes.py").read_text())
    names: dict[str, object] = {}

    def value(node):
        match node:
            case ast.Constant(value=constant):
                return constant
            case ast.Name(id=name):
                return names[name]
            case ast.Tuple(elts=items):
                return tuple(value(item) for item in items)
            case ast.BinOp(left=left, op=ast.Add(), right=right):
                return value(left) + value(right)
        raise AssertionError(f"pip's archive extensions are no longer plain tuples: {ast.dump(node)}")

    for node in tree.body:
        if isinstance(node, ast.Assign | ast.AnnAssign) and node.value is not None:
            target = node.targets[0] if isinstance(node, ast.Assign) else node.target
            if isinstance(target, ast.Name):
                names[target.id] = value(node.value)
    return names["ARCHIVE_EXTENSIONS"]


ARCHIVE_SUFFIXES = pip_archive_suffixes()
ARCHIVE_WHL = (False, "Package spec looks like an archive file: .whl")


def archive_result(spec, name_end):
    """pip installs from a file when the argument, less a trailing [extras], ends in an archive
    extension (in any case); a package name with such an ending is refused too."""
    for end in (len(spec), name_end):
        for suffix in ARCHIVE_SUFFIXES:
            if spec[:end].lower().endswith(suffix):
                return (False, f"Package spec looks like an archive file: {suffix}")
    return (True, "")


def with_regex(spec):
    """The checks in their order, the last one through the module's compiled pattern."""
    if not spec:
        return (False, "Package spec cannot be empty")
    if len(spec) > 256:
        return (False, "Package spec too long (max 256 characters)")
    for char in FORBIDDEN:
        if char in spec:
            return (False, f"Package spec contains invalid character: {char}")
    match = VALID_PACKAGE_PATTERN.match(spec)
    if not match:
        return INVALID_FORMAT
    # The name is what comes before the extras or, without them, before the operator.
    name_end = next((match.start(group) for group in (1, 2) if match.group(group) is not None), len(spec))
    return archive_result(spec, name_end)


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
    name_end = i
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
    return archive_result(spec, name_end) if set(spec[i:]) <= NAME_CHARS else INVALID_FORMAT


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
        ("zope.interface", (True, "")),
        ("backports.zoneinfo==0.2.1", (True, "")),
        ("backports.tarfile", (True, "")),
        ("pkg.whlx", (True, "")),
        ("pkg[a.whl]", (True, "")),
        ("pkg[a.zip]==1.0", (True, "")),
        ("planted-6.6.6-py3-none-any.whl", ARCHIVE_WHL),
        ("planted.whl[extra]", ARCHIVE_WHL),
        ("planted.whl==1.0", ARCHIVE_WHL),
        ("planted==6.6.6.whl", ARCHIVE_WHL),
        ("planted[x]6.whl", ARCHIVE_WHL),
        # The earlier checks keep deciding for what they reject.
        ("pkg.whl;", (False, "Package spec contains invalid character: ;")),
        ("pkg .whl", INVALID_FORMAT),
        ("a" * 253 + ".zip", (False, "Package spec too long (max 256 characters)")),
    ],
)
def test_validation_table(spec, expected):
    assert validate_package_spec(spec) == expected
    assert with_regex(spec) == from_rules(spec) == expected


@pytest.mark.parametrize("suffix", ARCHIVE_SUFFIXES)
@pytest.mark.parametrize("form", ["pkg{}", "PKG{}", "pkg{}[extra]", "pkg==1.0{}", "pkg{}==1.0"])
def test_every_archive_extension_of_pip_is_refused(suffix, form):
    spec = form.format(suffix.upper() if form.isupper() else suffix)
    assert validate_package_spec(spec) == (False, f"Package spec looks like an archive file: {suffix}")


def test_fixed_answers_are_shared_tuples():
    assert validate_package_spec("a") is validate_package_spec("b")
    assert validate_package_spec("a;") is validate_package_spec("b;")


SPEC_ALPHABET = string.ascii_letters[:6] + "09._-,[]=<>!~ ;|&$`(){}\n\r\t\x00é\u00a0\U0001f600"
spec_texts = st.text(alphabet=SPEC_ALPHABET, max_size=40)
# Archive endings and their near misses, in any case, where a name or a version ends.
endings = st.one_of(
    st.just(""),
    st.builds(
        lambda suffix, shortened_by, upper: suffix[: len(suffix) - shortened_by].upper() if upper else suffix,
        st.sampled_from([*ARCHIVE_SUFFIXES, ".tar.zst", "whl", ".gz"]),
        st.integers(0, 2),
        st.booleans(),
    ),
)
structured_specs = st.builds(
    lambda name, name_end, extras, operator, version, version_end: (
        name + name_end + extras + operator + version + version_end
    ),
    st.text(alphabet=SPEC_ALPHABET, min_size=0, max_size=6),
    endings,
    st.one_of(st.just(""), st.builds(lambda x: f"[{x}]", st.text(alphabet="ab,._-]é", max_size=4))),
    st.sampled_from(["", "==", ">=", "<=", ">", "<", "!=", "~=", "=", "!", "~", "==="]),
    st.text(alphabet="a1.-_=é[ ", max_size=5),
    endings,
)
# Specs the earlier checks let through, so that the archive rule decides often.
plausible_specs = st.builds(
    lambda name, name_end, extras, operator, version, version_end: (
        name + name_end + extras + operator + version + version_end
    ),
    st.text(alphabet="aZ09._-", min_size=1, max_size=5),
    endings,
    st.sampled_from(["", "[x]", "[a.whl]", "[,]"]),
    st.sampled_from(["", "==", "!=", "~=", "="]),
    st.text(alphabet="aZ09._-", max_size=4),
    endings,
)
long_specs = st.builds(lambda n, tail: "a" * n + tail, st.integers(250, 258), st.text(max_size=3))


@settings(max_examples=800)
@given(st.one_of(spec_texts, structured_specs, plausible_specs, long_specs, st.text(max_size=20)))
@example("pkg\n")
@example("a" * 255 + "[")
def test_native_validation_equals_the_regex_and_the_rules(spec):
    assert validate_package_spec(spec) == with_regex(spec) == from_rules(spec)
