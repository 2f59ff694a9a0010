"""Hosts keep registries of weak references to the objects they build, as plain classes allow."""

import gc
import weakref

import pytest

from quenlet_master.business_layer.packages.manager import PackageManager
from quenlet_master.business_layer.packages.repo_finder import RepoFinder


@pytest.mark.parametrize(
    "make",
    [lambda base: RepoFinder(None), lambda base: PackageManager(str(base))],
    ids=["RepoFinder", "PackageManager"],
)
def test_weak_references_follow_the_object_until_it_goes(make, tmp_path):
    instance = make(tmp_path)
    reference = weakref.ref(instance)
    registry = weakref.WeakValueDictionary({"one": instance})
    assert reference() is instance and registry["one"] is instance
    del instance
    gc.collect()
    assert reference() is None and "one" not in registry
