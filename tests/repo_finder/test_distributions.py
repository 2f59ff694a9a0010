"""The installed-distributions table and whether the running interpreter satisfies a requirement."""

from __future__ import annotations

import importlib.metadata
import re
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st
from packaging.specifiers import InvalidSpecifier, SpecifierSet
from packaging.version import Version

from quenlet_master.business_layer.packages.repo_finder import RepoFinder

INSTALLED = "pytest-asyncio"


@pytest.fixture
def installed_version():
    return importlib.metadata.version(INSTALLED)


class FakeMetadata(dict):
    def __init__(self, version, requires=None):
        super().__init__(Name="fake", Version=version)
        self.requires = requires

    def get_all(self, key):
        assert key == "Requires-Dist"
        return self.requires


class FakeDist:
    def __init__(self, version, requires=None):
        self.metadata = FakeMetadata(version, requires)


@pytest.mark.parametrize("name", ["pytest-asyncio", "pytest_asyncio", "PYTEST.ASYNCIO", "Pytest-_.Asyncio"])
def test_installed_distributions_are_found_under_any_spelling(finder, installed_version, name):
    assert finder.check_specifier_in_dist(name, "") == installed_version


def test_the_table_holds_every_installed_distribution_and_the_standard_library(finder):
    table = finder._get_current_distributions()
    assert finder._get_current_distributions() is table and finder._distributions_cache is table
    for dist in importlib.metadata.distributions():
        assert finder._normalize_name(dist.metadata["Name"]) in table
    stand_in = table["asyncio"]
    assert type(stand_in).__name__ == "_dummy_dist"
    assert stand_in.metadata == {"Name": "asyncio", "Version": sys.version.split()[0]}


@pytest.mark.parametrize(
    ("spec_of", "satisfied"),
    [
        (lambda v: f">={v}", True),
        (lambda v: f"=={v}", True),
        (lambda v: f" >= {v.major} , < {v.major + 1} ", True),
        (lambda v: f"<{v}", False),
        (lambda v: f"!={v}", False),
        (lambda v: "   ", True),
    ],
    ids=[">=", "==", "blanks around clauses", "<", "!=", "blank"],
)
def test_specifiers_against_an_installed_distribution(finder, installed_version, spec_of, satisfied):
    answer = finder.check_specifier_in_dist(INSTALLED, spec_of(Version(installed_version)))
    assert answer == (installed_version if satisfied else None)


def test_a_name_that_is_not_installed_gives_none(finder):
    assert finder.check_specifier_in_dist("surely-not-installed-here", "") is None


def test_a_standard_library_module_answers_with_the_interpreter_version(finder):
    interpreter = sys.version.split()[0]
    assert finder.check_specifier_in_dist("asyncio", "") == interpreter
    assert finder.check_specifier_in_dist("asyncio", f"=={interpreter}") == interpreter
    assert finder.check_specifier_in_dist("asyncio", "", []) == interpreter
    assert finder.check_specifier_in_dist("asyncio", "", ["any"]) is None


def test_version_ranges_and_pre_releases(finder, install_wheel):
    install_wheel("Range.Pkg", "1.5.0")
    install_wheel("Pre_Release", "2.0.0rc1")
    assert finder.check_specifier_in_dist("range-pkg", ">=1.0.0,<2.0.0") == "1.5.0"
    assert finder.check_specifier_in_dist("range-pkg", ">=1.0.0,<1.5.0") is None
    assert finder.check_specifier_in_dist("pre-release", ">=2.0.0rc1") == "2.0.0rc1"
    assert finder.check_specifier_in_dist("pre-release", "<2.0.0rc1") is None
    assert finder.check_specifier_in_dist("pre-release", "") == "2.0.0rc1"
    assert finder.check_specifier_in_dist("pre-release", ">=1.0") is None


class AcceptingByDefault(SpecifierSet):
    """packaging 26's default: a lone pre-release is a member unless told otherwise."""

    def contains(self, item, prereleases=None, installed=None):
        return super().contains(item, prereleases=True if prereleases is None else prereleases)


class RefusingByDefault(SpecifierSet):
    """The default of earlier packaging releases: no pre-release unless told otherwise."""

    def contains(self, item, prereleases=None, installed=None):
        return super().contains(item, prereleases=False if prereleases is None else prereleases)


@pytest.mark.parametrize("specifier_set", [SpecifierSet, AcceptingByDefault, RefusingByDefault])
@pytest.mark.parametrize(
    ("installed", "spec", "satisfied"),
    [
        ("2.0rc1", ">=1.0", False),
        ("2.0rc1", ">=1.0,<3", False),
        ("2.0rc1", ">=1.0,!=2.0rc2", False),
        ("2.0rc1", ">=2.0rc1", True),
        ("2.0rc1", ">=1.0,<2.0rc2", True),
        ("2.0rc1", "==2.0rc1", True),
        ("2.0rc1", "", True),
        ("1.5", ">=1.0rc1", True),
    ],
)
def test_a_pre_release_satisfies_only_a_set_that_mentions_one(
    finder, repo_finder, monkeypatch, specifier_set, installed, spec, satisfied
):
    monkeypatch.setattr(repo_finder, "SpecifierSet", specifier_set)
    finder._distributions_cache = {"pkg": FakeDist(installed)}
    assert finder.check_specifier_in_dist("pkg", spec) == (installed if satisfied else None)


@pytest.mark.parametrize(
    "files",
    [{}, {"METADATA": "Metadata-Version: 2.1\nVersion: 1.0\n"}],
    ids=["no METADATA", "METADATA without a name"],
)
def test_a_distribution_folder_without_a_name_is_left_out_of_the_table(
    finder, tmp_path, monkeypatch, installed_version, files
):
    folder = tmp_path / "leftover-1.0.dist-info"
    folder.mkdir()
    for name, text in {"RECORD": "", **files}.items():
        (folder / name).write_text(text)
    monkeypatch.syspath_prepend(str(tmp_path))
    assert finder.check_specifier_in_dist(INSTALLED, "") == installed_version
    assert finder.check_specifier_in_dist("leftover", "") is None


def test_an_unparsable_specifier_or_version_logs_and_gives_none(finder, log, install_wheel):
    install_wheel("Range.Pkg", "1.5.0")
    with pytest.raises(InvalidSpecifier) as invalid:
        SpecifierSet("1.5.0")
    assert finder.check_specifier_in_dist("Range.Pkg", "1.5.0") is None
    assert log.records == [("debug", f"Error checking version spec for Range.Pkg: {invalid.value}")]

    log.records.clear()
    finder._distributions_cache = {"odd": FakeDist("not a version")}
    assert finder.check_specifier_in_dist("odd", ">=1") is None
    assert [level for level, _ in log.records] == ["debug"]
    assert log.records[0][1].startswith("Error checking version spec for odd: ")
    assert finder.check_specifier_in_dist("odd", "") == "not a version"


@pytest.mark.parametrize("version", [None, ""], ids=["missing", "empty"])
def test_an_entry_without_a_version_gives_none(finder, version):
    finder._distributions_cache = {"bare": FakeDist(version)}
    assert finder.check_specifier_in_dist("bare", "") is None


EXTRAS_REQUIREMENTS = [
    "dep-a; extra == 'dev'",
    "dep-b; extra=='docs'",
    'dep-c>=1; python_version >= "3" and extra == "Test"',
    "dep-d",
]


@pytest.mark.parametrize(
    ("extras", "satisfied"),
    [
        (["DEV"], True),
        (["test"], True),
        (["dev", "Test"], True),
        ([], True),
        (None, True),
        (["docs"], False),
        (["dev", "docs"], False),
        (["missing"], False),
    ],
)
def test_extras_offered_by_an_installed_distribution(finder, install_wheel, extras, satisfied):
    install_wheel("Extra.Demo", "1.5.0", requires_dist=EXTRAS_REQUIREMENTS, extras=["dev", "docs", "test"])
    answer = finder.check_specifier_in_dist("extra_demo", ">=1.0", extras)
    assert answer == ("1.5.0" if satisfied else None)


def test_the_table_is_kept_until_it_is_cleared(finder, install_wheel):
    activate = install_wheel("Late.Arrival", "0.3", activate=False)
    assert finder.check_specifier_in_dist("late-arrival", "") is None
    table = finder._distributions_cache
    activate()
    assert finder.check_specifier_in_dist("late-arrival", "") is None
    assert finder.clear_distributions_cache() is None and finder._distributions_cache is None
    assert finder.check_specifier_in_dist("late-arrival", "==0.3") == "0.3"
    assert finder._distributions_cache is not table


class Unreadable:
    @property
    def metadata(self):
        raise OSError("metadata unreadable")


def test_a_failed_build_leaves_no_partial_table(finder, monkeypatch):
    good = FakeDist("1.0")
    good.metadata["Name"] = "Good"
    monkeypatch.setattr(importlib.metadata, "distributions", lambda: iter([good, Unreadable()]))
    for _ in range(2):
        with pytest.raises(OSError, match=r"^metadata unreadable$"):
            finder.check_specifier_in_dist("good", "")
        assert finder._distributions_cache is None
    monkeypatch.setattr(importlib.metadata, "distributions", lambda: iter([good]))
    assert finder.check_specifier_in_dist("good", "") == "1.0"


def test_without_packaging_nothing_is_tabulated(repo_finder, finder, log, monkeypatch):
    monkeypatch.setattr(repo_finder, "PACKAGING_AVAILABLE", False)
    assert finder.check_specifier_in_dist("asyncio", "") is None
    assert log.records == [("debug", "packaging library not available, cannot check distributions")]
    assert finder._distributions_cache is None


def test_the_parsers_are_looked_up_on_every_check(repo_finder, finder, log, monkeypatch):
    finder._distributions_cache = {"pkg": FakeDist("1.0")}
    assert finder.check_specifier_in_dist("pkg", ">=1") == "1.0"

    def refuse(text):
        raise ValueError(f"refused {text}")

    monkeypatch.setattr(repo_finder, "SpecifierSet", refuse)
    assert finder.check_specifier_in_dist("pkg", ">=1") is None
    assert log.records == [("debug", "Error checking version spec for pkg: refused >=1")]
    monkeypatch.undo()
    assert finder.check_specifier_in_dist("pkg", ">=1") == "1.0"


def test_overridden_table_and_name_rule_are_honoured(repo_finder):
    class Custom(repo_finder.RepoFinder):
        def _get_current_distributions(self):
            return {"KEY:pkg": FakeDist("2.0")}

        def _normalize_name(self, name):
            return "KEY:" + name

    assert Custom(None).check_specifier_in_dist("pkg", "==2.0") == "2.0"


def reference_offered(requirements):
    offered = set()
    for requirement in requirements or []:
        if "extra ==" in requirement:
            match = re.search(r"extra\s*==\s*[\"']([^\"']+)[\"']", requirement)
            if match:
                offered.add(match.group(1).lower())
    return offered


MARKER = st.lists(
    st.sampled_from(["extra", " ", "==", "=", "'", '"', "Dev", "x", ";", "\t", "\u00a0", "É", "extra =="]),
    max_size=10,
).map("".join)


@given(
    requirements=st.one_of(st.none(), st.lists(MARKER, max_size=4)), wanted=st.sampled_from(["dev", "x", "é"])
)
def test_offered_extras_match_the_rule(requirements, wanted):
    finder = RepoFinder(None)
    finder._distributions_cache = {"pkg": FakeDist("1.0", requirements)}
    expected = "1.0" if wanted in reference_offered(requirements) else None
    assert finder.check_specifier_in_dist("pkg", "", [wanted.upper()]) == expected
