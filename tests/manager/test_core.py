import os
import subprocess
import sys
from typing import ClassVar

import pytest

from quenlet_master.business_layer.packages import manager
from quenlet_master.business_layer.packages.package_cache import PackageCache


def test_module_binds_its_names_in_order():
    public = [name for name in vars(manager) if not name.startswith("_")]
    assert public == [
        "asyncio",
        "os",
        "re",
        "aiohttp",
        "PackageCache",
        "PipCommandBuilder",
        "VersionResolver",
        "ExtrasResolver",
        "setup_logging_subprocess",
        "get_logger",
        "logger",
        "DEFAULT_CACHE_DIR",
        "VALID_PACKAGE_PATTERN",
        "validate_package_spec",
        "PackageManager",
    ]
    assert manager.PackageCache is PackageCache
    assert manager.logger.name == "quenlet_master.business_layer.packages.manager"
    assert manager.DEFAULT_CACHE_DIR == ".quenlet_packages"
    methods = [name for name in vars(manager.PackageManager) if not name.startswith("_")]
    assert methods == [
        "get_target_dir",
        "ensure_cache_dir",
        "install_package",
        "get_installation_path",
        "get_available_versions",
        "get_package_extras",
        "get_package_info",
        "install_package_to_cache",
        "install_package_no_deps",
    ]
    assert manager.PackageManager.__mro__[1:] == (object,)


def test_import_leaves_out_the_index_client_and_survives_without_aiohttp():
    probe = (
        "import sys; sys.modules['aiohttp'] = None\n"
        "from quenlet_master.business_layer.packages import manager\n"
        "assert manager.aiohttp is None\n"
        "assert not [m for m in sys.modules if m.endswith('repo_finder')], sys.modules\n"
    )
    done = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


class Recorder:
    made: ClassVar[list] = []

    def __init__(self, *args, **kwargs):
        Recorder.made.append((type(self).__name__, args, kwargs))


@pytest.fixture
def recorded_services(monkeypatch):
    Recorder.made = []
    for name in ("PackageCache", "PipCommandBuilder", "VersionResolver", "ExtrasResolver"):
        monkeypatch.setattr(manager, name, type(name, (Recorder,), {}))
    return Recorder.made


def test_constructor_sets_attributes_in_order_and_builds_services(recorded_services, tmp_path):
    settings = object()
    pm = manager.PackageManager(str(tmp_path), settings)
    assert list(vars(pm)) == [
        "base_dir",
        "cache_dir",
        "settings_manager",
        "package_cache",
        "pip_command_builder",
        "version_resolver",
        "extras_resolver",
    ]
    assert pm.cache_dir == os.path.join(str(tmp_path), ".quenlet_packages")
    assert pm.settings_manager is settings
    assert recorded_services == [
        ("PackageCache", (), {"cache_dir": str(tmp_path)}),
        ("PipCommandBuilder", (settings,), {}),
        ("VersionResolver", (settings,), {}),
        ("ExtrasResolver", (settings,), {}),
    ]
    assert not os.path.exists(pm.cache_dir)


@pytest.mark.parametrize("base_dir", [None, ""])
def test_missing_base_dir_means_the_working_directory(base_dir, recorded_services, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    pm = manager.PackageManager(base_dir=base_dir)
    assert pm.base_dir == str(tmp_path)
    assert pm.cache_dir == os.path.join(str(tmp_path), ".quenlet_packages")
    assert [args for _, args, _ in recorded_services[1:]] == [(None,)] * 3


def test_relative_base_dir_follows_the_working_directory(recorded_services, tmp_path, monkeypatch):
    pm = manager.PackageManager("rel")
    assert pm.cache_dir == os.path.join("rel", ".quenlet_packages")
    for sub in ("one", "two"):
        (tmp_path / sub).mkdir()
        monkeypatch.chdir(tmp_path / sub)
        assert pm.get_target_dir() == str(tmp_path / sub / "rel" / ".quenlet_packages")
        assert pm.get_installation_path() == pm.get_target_dir()
        assert not (tmp_path / sub / "rel").exists()


def test_ensure_cache_dir_creates_once_and_errors_propagate(recorded_services, tmp_path):
    pm = manager.PackageManager(str(tmp_path))
    assert pm.ensure_cache_dir() == pm.ensure_cache_dir() == str(tmp_path / ".quenlet_packages")
    assert (tmp_path / ".quenlet_packages").is_dir()
    (tmp_path / "blocked").mkdir()
    (tmp_path / "blocked" / ".quenlet_packages").write_text("a file where the folder belongs")
    with pytest.raises(FileExistsError):
        manager.PackageManager(str(tmp_path / "blocked")).ensure_cache_dir()


def test_installation_path_goes_through_an_overriding_get_target_dir(recorded_services):
    class Elsewhere(manager.PackageManager):
        def get_target_dir(self):
            return "/elsewhere"

    assert Elsewhere("/base").get_installation_path() == "/elsewhere"


def test_constructor_failure_keeps_the_attributes_set_so_far(monkeypatch, tmp_path):
    def broken(settings_manager):
        raise RuntimeError("no builder")

    monkeypatch.setattr(manager, "PipCommandBuilder", broken)
    pm = manager.PackageManager.__new__(manager.PackageManager)
    with pytest.raises(RuntimeError, match="no builder"):
        pm.__init__(str(tmp_path))
    assert list(vars(pm)) == ["base_dir", "cache_dir", "settings_manager", "package_cache"]
