"""Real pip runs against the local package index on 127.0.0.1."""

import os
import subprocess
import sys

import pytest
from support import collect

from quenlet_master.business_layer.packages import manager
from quenlet_master.config.settings import SettingsManager


@pytest.fixture
def index_settings(local_index, hermetic_pip_env):
    local_index.add_wheel("quenlet-demo", "1.0", requires_dist=["quenlet-dep>=1"], extras=["fast"])
    local_index.add_wheel("quenlet-dep", "1.2")
    return SettingsManager(local_index.settings_values())


def importable(module: str, folder: str) -> bool:
    probe = f"import {module}, sys; sys.exit({module}.__file__.startswith({folder!r}) is False)"
    env = {**os.environ, "PYTHONPATH": folder}
    return subprocess.run([sys.executable, "-c", probe], env=env, capture_output=True).returncode == 0


async def test_install_package_installs_with_dependencies(index_settings, tmp_path):
    pm = manager.PackageManager(str(tmp_path), index_settings)
    items = await collect(pm.install_package("quenlet-demo==1.0", str(tmp_path / "site")))
    assert {kind for kind, _ in items[:-2]} <= {"stdout", "stderr"} and items[:-2]
    assert items[-2:] == [
        ("success", "Successfully installed quenlet-demo==1.0"),
        ("path", str(tmp_path / "site")),
    ]
    assert importable("quenlet_demo", str(tmp_path / "site"))
    assert importable("quenlet_dep", str(tmp_path / "site"))


async def test_cache_installs_are_recorded_and_found_again(index_settings, local_index, tmp_path):
    pm = manager.PackageManager(str(tmp_path), index_settings)
    fresh = await collect(pm.install_package_to_cache("quenlet-demo", "1.0"))
    kind, path = fresh[-1]
    assert kind == "path" and os.path.dirname(path) == str(tmp_path / ".quenlet_packages")
    assert fresh[-2] == ("success", "Successfully installed quenlet-demo==1.0 to cache")
    assert importable("quenlet_demo", path) and not importable("quenlet_dep", path)

    requests_before = len(local_index.request_log)
    assert await collect(pm.install_package_to_cache("quenlet-demo", "1.0")) == [
        ("stdout", f"Package already cached at {path}"),
        ("success", "Using cached quenlet-demo==1.0"),
        ("cached", path),
    ]
    assert len(local_index.request_log) == requests_before

    with_extra = await collect(pm.install_package_to_cache("quenlet-demo", "1.0", ["fast"]))
    assert with_extra[-1][0] == "path" and with_extra[-1][1] != path

    # Another manager on the same base directory finds both through the shared database.
    other = manager.PackageManager(str(tmp_path), index_settings)
    hits = [
        await collect(other.install_package_no_deps("quenlet-demo", "1.0", extras))
        for extras in (None, ["fast"])
    ]
    assert [items[-1] for items in hits] == [("cached", path), ("cached", with_extra[-1][1])]
