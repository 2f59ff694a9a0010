"""Helpers shared by the command-line tests."""

import importlib
import json

import pytest

SAMPLE_RELEASES = [
    ("sample-pkg", "1.0", {"summary": "A sample", "requires_dist": ["sample-core>=1.0"]}),
    ("sample-pkg", "9.0", {"summary": "A sample", "requires_dist": ["sample-core>=1.0"]}),
    (
        "sample-pkg",
        "10.0",
        {
            "summary": "A sample",
            "extras": ["fast", "docs"],
            "requires_dist": [
                "sample-core>=1.0",
                'sample-speedups[simd]>=0.2; extra == "fast"',
                'sample-docs; extra == "docs"',
            ],
        },
    ),
    ("sample-pkg", "11.0rc1", {"summary": "A sample"}),
    ("sample-core", "1.0", {"summary": "The sample's core"}),
]


def requires(module, operation):
    """Skips the test while the native module, or that operation of it, is not built."""
    try:
        loaded = importlib.import_module(f"quenlet_master.business_layer.packages.{module}")
    except ImportError:
        return pytest.mark.skip(reason=f"the {module} module is not built")
    owner, _, name = operation.rpartition(".")
    return pytest.mark.skipif(
        not hasattr(getattr(loaded, owner), name), reason=f"{module} has no {operation}"
    )


needs_finder = requires("repo_finder", "RepoFinder.get_versions")
needs_check = requires("repo_finder", "RepoFinder.check_specifier_in_dist")
needs_manager = requires("manager", "PackageManager.install_package_to_cache")


def write_settings(path, server, with_api=True):
    path.write_text(json.dumps(server.settings_values(with_api=with_api)))
    return path
