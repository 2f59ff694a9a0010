import os
import subprocess
import sys
import types
from typing import ClassVar

import pytest

from quenlet_master.business_layer.packages.extras_resolver import ExtrasResolver
from quenlet_master.business_layer.packages.version_resolver import VersionResolver

FINDER_MODULE = "quenlet_master.business_layer.packages.repo_finder"


def test_importing_the_services_does_not_load_the_index_client():
    code = (
        "import sys\n"
        "import quenlet_master.business_layer.packages.version_resolver\n"
        "import quenlet_master.business_layer.packages.extras_resolver\n"
        "import quenlet_master.business_layer.packages.package_cache\n"
        "import quenlet_master.business_layer.packages.pip_command_builder\n"
        "loaded = [m for m in sys.modules if m.endswith('repo_finder') or m.startswith(('pip', 'aiohttp'))]\n"
        "print(sorted(loaded))\n"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    result = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[]"


class FakeFinder:
    """Index client double with the versions and extras of one index."""

    instances: ClassVar[list["FakeFinder"]] = []

    def __init__(self, settings_manager):
        self.settings_manager = settings_manager
        self.closed = False
        self.calls = []
        FakeFinder.instances.append(self)

    async def get_versions(self, name):
        self.calls.append(("versions", name))
        if name == "broken":
            raise RuntimeError("index exploded")
        return {"pkg": ["9.0", "2.0rc1", "10.0", "1.0", "not-a-version"], "pre": ["2.0b1", "2.0a1"]}.get(
            name, []
        )

    async def get_extras(self, name, version):
        self.calls.append(("extras", name, version))
        return sorted({"pkg": {"test", "Docs"}, "pre": {"beta-only"}}.get(name, set()))

    async def close(self):
        self.closed = True


@pytest.fixture
def fake_finder(monkeypatch):
    FakeFinder.instances = []
    monkeypatch.setitem(sys.modules, FINDER_MODULE, types.SimpleNamespace(RepoFinder=FakeFinder))
    return FakeFinder


@pytest.mark.asyncio
async def test_versions_come_newest_first_through_one_reused_client(fake_finder):
    settings = object()
    resolver = VersionResolver(settings)
    assert await resolver.get_available_versions("pkg") == ["10.0", "9.0", "2.0rc1", "1.0", "not-a-version"]
    assert await resolver.get_available_versions("unknown") == []
    assert await resolver.get_available_versions("broken") == []
    assert len(fake_finder.instances) == 1 and fake_finder.instances[0].settings_manager is settings
    await resolver.close()
    assert fake_finder.instances[0].closed
    assert await resolver.get_available_versions("pkg")
    assert len(fake_finder.instances) == 2


@pytest.mark.parametrize(
    ("name", "version", "asked_version", "extras"),
    [
        ("pkg", "1.0", "1.0", ["Docs", "test"]),
        ("pkg", None, "10.0", ["Docs", "test"]),
        ("pre", None, "2.0b1", ["beta-only"]),
        ("unknown", None, None, []),
        ("broken", None, None, []),
    ],
)
@pytest.mark.asyncio
async def test_extras_of_a_version_or_of_the_latest(fake_finder, name, version, asked_version, extras):
    resolver = ExtrasResolver(None)
    assert await resolver.get_package_extras(name, version) == extras
    asked = [call[2] for call in fake_finder.instances[0].calls if call[0] == "extras"]
    assert asked == ([asked_version] if asked_version else [])
