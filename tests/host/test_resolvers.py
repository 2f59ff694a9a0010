import asyncio
import os
import subprocess
import sys

import pytest

from quenlet_master.business_layer.packages.extras_resolver import ExtrasResolver
from quenlet_master.business_layer.packages.version_resolver import VersionResolver
from quenlet_master.config.settings import SettingsManager


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


@pytest.fixture
def releases(local_index):
    for version in ("1.0", "10.0", "9.0", "11.0rc1"):
        local_index.add_wheel("demo", version, requires_dist=[f'extra-{version}; extra == "v{version}"'])
    local_index.add_sdist("demo", "9.0")
    local_index.add_wheel("pre", "2.0b1", requires_dist=['x; extra == "beta"'])
    local_index.add_wheel("pre", "2.0a1")
    return local_index


@pytest.mark.parametrize("with_api", [True, False], ids=["JSON API", "finder"])
async def test_versions_come_newest_first_through_one_reused_client(releases, with_api):
    resolver = VersionResolver(SettingsManager(releases.settings_values(with_api=with_api)))
    assert await resolver.get_available_versions("demo") == ["11.0rc1", "10.0", "9.0", "1.0"]
    assert await resolver.get_available_versions("unknown") == []
    first = resolver._finder
    assert await resolver.get_available_versions("pre") == ["2.0b1", "2.0a1"]
    assert resolver._finder is first and first.settings_manager is resolver.settings_manager
    await resolver.close()
    assert first._session is None or first._session.closed
    assert await resolver.get_available_versions("demo")
    assert resolver._finder is not first
    await resolver.close()


@pytest.mark.parametrize(
    ("name", "version", "extras"),
    [
        ("demo", "1.0", ["v1.0"]),
        ("demo", None, ["v10.0"]),  # the newest final release, not the release candidate
        ("pre", None, ["beta"]),  # only pre-releases: the newest of them
        ("unknown", None, []),
        ("demo", "5.0", []),
    ],
)
@pytest.mark.parametrize("with_api", [True, False], ids=["JSON API", "finder"])
async def test_extras_of_a_version_or_of_the_latest(releases, with_api, name, version, extras):
    resolver = ExtrasResolver(SettingsManager(releases.settings_values(with_api=with_api)))
    try:
        assert await resolver.get_package_extras(name, version) == extras
    finally:
        await resolver.close()


async def test_a_failed_lookup_is_an_empty_answer(caplog):
    broken = SettingsManager({"package_management.pip.index_urls": [{"primary": True}]})
    versions, extras = VersionResolver(broken), ExtrasResolver(broken)
    assert await versions.get_available_versions("demo") == []
    assert await extras.get_package_extras("demo", "1.0") == []
    assert [record.getMessage() for record in caplog.records if record.levelname == "ERROR"] == [
        "Failed to list versions of demo: 'url'",
        "Failed to list extras of demo: 'url'",
    ]


def test_each_event_loop_gets_its_own_client(local_index_server):
    local_index_server.add_wheel("demo", "1.0")
    # Through the finder, which keeps no connection open: a client left behind on a finished
    # loop cannot be closed any more, and an open HTTP session would leak with it.
    resolver = VersionResolver(SettingsManager(local_index_server.settings_values(with_api=False)))

    async def versions_and_client():
        return await resolver.get_available_versions("demo"), resolver._finder

    first_versions, first_client = asyncio.run(versions_and_client())
    second_versions, second_client = asyncio.run(versions_and_client())
    asyncio.run(resolver.close())
    assert first_versions == second_versions == ["1.0"]
    assert second_client is not first_client
