"""The module's names, its stand-in types and its behaviour without optional libraries."""

from __future__ import annotations

import sys

import pytest

from .conftest import run_without


def test_module_names_are_bound_in_order(repo_finder):
    names = [name for name in vars(repo_finder) if not name.startswith("__")]
    assert names == [
        "asyncio",
        "re",
        "sys",
        "importlib",
        "aiohttp",
        "PackageFinder",
        "UNEARTH_AVAILABLE",
        "SpecifierSet",
        "Version",
        "PACKAGING_AVAILABLE",
        "get_logger",
        "logger",
        "_dummy_metadata",
        "_dummy_dist",
        "RepoFinder",
    ]
    import importlib.metadata

    import aiohttp
    from packaging.specifiers import SpecifierSet
    from unearth import PackageFinder

    assert repo_finder.importlib is importlib and repo_finder.importlib.metadata is importlib.metadata
    assert repo_finder.sys is sys
    assert repo_finder.aiohttp is aiohttp
    assert repo_finder.PackageFinder is PackageFinder and repo_finder.UNEARTH_AVAILABLE is True
    assert repo_finder.SpecifierSet is SpecifierSet and repo_finder.PACKAGING_AVAILABLE is True
    assert repo_finder.logger.name == "quenlet_master.business_layer.packages.repo_finder"


def test_dummy_dist_stands_in_with_dict_metadata_that_offers_no_requirements(repo_finder):
    dist = repo_finder._dummy_dist("asyncio", "3.14.0")
    metadata = dist.metadata
    assert type(metadata) is repo_finder._dummy_metadata and isinstance(metadata, dict)
    assert metadata == {"Name": "asyncio", "Version": "3.14.0"} and metadata.get("Version") == "3.14.0"
    first = metadata.get_all("Requires-Dist")
    assert first == [] and metadata.get_all(1, 2, key=3) == []
    first.append("kept")
    assert metadata.get_all() == []


@pytest.mark.parametrize(
    "kwargs", [{}, {"settings_manager": None, "extra": 1}], ids=["no argument", "unknown keyword"]
)
def test_constructor_takes_exactly_the_settings_manager(repo_finder, kwargs):
    with pytest.raises(TypeError):
        repo_finder.RepoFinder(**kwargs)


def test_fields_are_set_in_order_without_reading_settings(repo_finder):
    class Untouchable:
        def get(self, key, default):
            raise AssertionError("settings read by the constructor")

    settings = Untouchable()
    finder = repo_finder.RepoFinder(settings_manager=settings)
    assert list(vars(finder).items()) == [
        ("settings_manager", settings),
        ("_session", None),
        ("_metadata_cache", {}),
        ("_distributions_cache", None),
    ]
    assert repo_finder.RepoFinder(None)._metadata_cache is not finder._metadata_cache


def test_without_aiohttp_the_module_imports_and_sessions_fail():
    result = run_without(
        {"aiohttp"},
        """
        import asyncio, json
        from quenlet_master.business_layer.packages import repo_finder as m

        async def attempt():
            try:
                await m.RepoFinder(None)._get_session()
            except RuntimeError as error:
                return str(error)

        print(json.dumps({"aiohttp": repr(m.aiohttp), "error": asyncio.run(attempt()),
                          "unearth": m.UNEARTH_AVAILABLE, "packaging": m.PACKAGING_AVAILABLE}))
        """,
    )
    assert result == {
        "aiohttp": "None",
        "error": "aiohttp not installed, cannot query package indexes",
        "unearth": True,
        "packaging": True,
    }


def test_without_packaging_checks_answer_none_after_one_debug_line():
    result = run_without(
        {"packaging"},
        """
        import json
        from quenlet_master.business_layer.packages import repo_finder as m

        lines = []
        class Logger:
            def debug(self, message):
                lines.append(message)
        m.logger = Logger()
        finder = m.RepoFinder(None)
        answer = finder.check_specifier_in_dist("pip", "")
        print(json.dumps({
            "flag": m.PACKAGING_AVAILABLE, "names": [repr(m.SpecifierSet), repr(m.Version)],
            "answer": answer, "lines": lines, "table": repr(finder._distributions_cache),
        }))
        """,
    )
    assert result == {
        "flag": False,
        "names": ["None", "None"],
        "answer": None,
        "lines": ["packaging library not available, cannot check distributions"],
        "table": "None",
    }
