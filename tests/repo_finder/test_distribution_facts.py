"""What a check reads from a table entry is read once while the table stands, and never
answers for a table or entry that has since been replaced."""

from __future__ import annotations

import gc
import importlib.metadata
import re
import sys
import weakref

import pytest
from packaging.specifiers import SpecifierSet
from packaging.version import Version

from quenlet_master.business_layer.packages.repo_finder import RepoFinder


class CountingDist:
    """An entry whose metadata notes every read."""

    def __init__(self, version, requires=None):
        self.version, self.requires, self.reads = version, requires, 0

    @property
    def metadata(self):
        self.reads += 1
        return CountingMetadata(self)


class CountingMetadata(dict):
    def __init__(self, dist):
        super().__init__(Name="counted", Version=dist.version)
        self.dist = dist

    def get_all(self, key):
        return self.dist.requires


def reference(table, normalize, name, spec, extras=None):
    """The check as the host describes it, reading the metadata afresh every time."""
    dist = table.get(normalize(name))
    if dist is None:
        return None
    version = dist.metadata.get("Version")
    if not version:
        return None
    if spec.strip():
        try:
            if Version(version) not in SpecifierSet(spec):
                return None
        except Exception:
            return None
    if extras:
        offered = set()
        for requirement in dist.metadata.get_all("Requires-Dist") or []:
            if "extra ==" in requirement:
                match = re.search(r"extra\s*==\s*[\"']([^\"']+)[\"']", requirement)
                if match:
                    offered.add(match.group(1).lower())
        if any(extra.lower() not in offered for extra in extras):
            return None
    return version


def real_checks():
    checks = []
    for dist in importlib.metadata.distributions():
        name, version = dist.metadata["Name"], dist.metadata["Version"]
        for extra in (dist.metadata.get_all("Provides-Extra") or [])[:2]:
            checks.append((name.upper(), ">=0", [extra]))
        checks += [(name, "", None), (name.replace("-", "_"), f"=={version}", None), (name, "<0.0.1", None)]
        checks += [(name, "", ["no-such-extra"]), (name, version, None)]
    interpreter = sys.version.split()[0]
    checks += [("asyncio", f"=={interpreter}", None), ("json", "", ["x"]), ("not-installed", "", None)]
    return checks


def test_answers_over_the_real_table_match_fresh_reads_cold_and_warm(finder, log):
    checks = real_checks()
    table = finder._get_current_distributions()
    expected = [reference(table, finder._normalize_name, *check) for check in checks]
    for _ in range(2):
        assert [finder.check_specifier_in_dist(*check) for check in checks] == expected


def test_an_entry_is_read_once_while_its_table_stands(finder):
    dist = CountingDist("1.5", ["dep; extra == 'dev'"])
    finder._distributions_cache = {"pkg": dist}
    for spec, extras, answer in [
        ("", None, "1.5"),
        (">=2", None, None),
        ("", ["DEV"], "1.5"),
        ("", ["doc"], None),
    ]:
        assert finder.check_specifier_in_dist("pkg", spec, extras) == answer
    assert dist.reads == 1
    finder.clear_distributions_cache()
    finder._distributions_cache = {"pkg": dist}
    assert finder.check_specifier_in_dist("pkg", "", ["dev"]) == "1.5"
    assert dist.reads == 2


def newer():
    return CountingDist("2.0", ["x; extra == 'new'"])


@pytest.mark.parametrize(
    "replace",
    [
        lambda finder, table: table.__setitem__("pkg", newer()),
        lambda finder, table: setattr(finder, "_distributions_cache", {**table, "pkg": newer()}),
        lambda finder, table: (
            finder.clear_distributions_cache(),
            setattr(finder, "_distributions_cache", {**table, "pkg": newer()}),
        ),
    ],
    ids=["entry swapped in the same table", "table replaced", "table cleared and rebuilt"],
)
def test_a_replaced_table_or_entry_is_never_answered_from_the_old_one(finder, replace):
    table = {"pkg": CountingDist("1.0", ["x; extra == 'old'"]), "other": CountingDist("3.0")}
    finder._distributions_cache = table
    assert finder.check_specifier_in_dist("pkg", "==1.0", ["old"]) == "1.0"
    replace(finder, table)
    assert finder.check_specifier_in_dist("pkg", "==1.0") is None
    assert finder.check_specifier_in_dist("pkg", "==2.0", ["new"]) == "2.0"
    assert finder.check_specifier_in_dist("pkg", "", ["old"]) is None
    assert finder.check_specifier_in_dist("other", "==3.0") == "3.0"


def test_finders_with_their_own_tables_answer_each_from_its_own():
    first, second = RepoFinder(None), RepoFinder(None)
    first._distributions_cache = {"pkg": CountingDist("1.0")}
    second._distributions_cache = {"pkg": CountingDist("2.0")}
    for _ in range(3):
        assert first.check_specifier_in_dist("pkg", "") == "1.0"
        assert second.check_specifier_in_dist("pkg", "") == "2.0"


class Reentrant:
    """Metadata whose reading checks against another finder's table, as host code may."""

    def __init__(self, other):
        self.other = other

    @property
    def metadata(self):
        assert self.other.check_specifier_in_dist("inner", "") == "9.0"
        return {"Name": "outer", "Version": "1.0"}


def test_a_check_made_while_metadata_is_read_leaves_both_answers_right(finder):
    other = RepoFinder(None)
    other._distributions_cache = {"inner": CountingDist("9.0")}
    finder._distributions_cache = {"outer": Reentrant(other)}
    for _ in range(2):
        assert finder.check_specifier_in_dist("outer", "==1.0") == "1.0"
        assert other.check_specifier_in_dist("inner", "==9.0") == "9.0"


def test_requirements_are_read_only_when_extras_are_asked_for(finder):
    class NoRequirements(dict):
        def get_all(self, key):
            raise RuntimeError("requirements unreadable")

    class Dist:
        metadata = NoRequirements(Name="pkg", Version="1.0")

    finder._distributions_cache = {"pkg": Dist()}
    assert finder.check_specifier_in_dist("pkg", "") == "1.0"
    with pytest.raises(RuntimeError, match="requirements unreadable"):
        finder.check_specifier_in_dist("pkg", "", ["dev"])
    assert finder.check_specifier_in_dist("pkg", "==1.0") == "1.0"


def test_a_finder_whose_kept_facts_lead_back_to_it_is_collected():
    class Remembering:
        """An entry that refers back to the finder, as host objects may."""

        def __init__(self, finder):
            self.finder = finder
            self.metadata = {"Name": "pkg", "Version": "1.0"}

    finder = RepoFinder(None)
    finder._distributions_cache = {"pkg": Remembering(finder)}
    assert finder.check_specifier_in_dist("pkg", "") == "1.0"
    # Only the kept facts lead to the entry now, and the entry back to the finder.
    finder._distributions_cache = None
    gone = weakref.ref(finder)
    del finder
    gc.collect()
    assert gone() is None
