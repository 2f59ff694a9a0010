"""Every public operation, many times over: the process must end each workload holding what it
held before it, give or take a few pages of memory: no objects of the modules' types, child
processes, tasks or file descriptors left behind."""

from __future__ import annotations

import gc
import itertools
import os

from support import (
    INSTALL_OPERATIONS,
    ScriptPip,
    child_processes,
    collect,
    live_group_members,
    running,
    start_install,
)

from quenlet_master.business_layer.packages import manager, repo_finder
from quenlet_master.config.settings import SettingsManager

from .conftest import FOREVER, INSTALLING, scaled

SPECS = [
    "requests[socks,security]==2.31.0",
    "pkg~=1.4",
    "",
    "a" * 257,
    "numpy>=1.20",
    "pkg[a];b",
    "pkg 1.0",
    "paquet-é",
    "x" * 256,
]


async def test_validations(soak):
    expected = [manager.validate_package_spec(spec) for spec in SPECS]

    async def validate(count):
        for spec, answer in zip(itertools.islice(itertools.cycle(SPECS), count), itertools.cycle(expected)):
            assert manager.validate_package_spec(spec) == answer
        return count

    await soak.run(validate, scaled(100_000))


class Resolver:
    """The host's resolvers as the manager calls them, answering at once."""

    async def get_available_versions(self, package_name):
        return ["2.0", "1.0"]

    async def get_package_extras(self, package_name, version):
        return ["socks"]


def demo_index(local_index):
    local_index.add_wheel("demo", "1.0", requires_dist=["six", 'pytest>=7; extra == "test"'], extras=["test"])
    local_index.add_wheel("demo", "2.0", requires_dist=["six>=1.16"])
    return local_index


async def test_warm_queries(local_index, package_manager, soak):
    """Queries the modules answer from memory: kept documents and tables, the resolvers."""
    index = demo_index(local_index)
    finder = repo_finder.RepoFinder(SettingsManager(index.settings_values()))
    package_manager.version_resolver = package_manager.extras_resolver = Resolver()
    queries = [
        lambda: finder.get_dependencies("demo", "1.0"),
        lambda: finder.get_dependencies("Demo", "2.0", index.simple_url),
        lambda: package_manager.get_available_versions("demo"),
        lambda: package_manager.get_package_extras("demo", "1.0"),
    ]
    checks = [
        lambda: finder.check_specifier_in_dist("pip", ">=1", None),
        lambda: finder.check_specifier_in_dist("no-such-thing", "", ["x"]),
        lambda: finder._parse_requirement("a[b, c]>=1; extra == 'd'"),
        lambda: finder._normalize_name("Zope.Interface__x"),
        lambda: package_manager.get_installation_path(),
    ]

    async def one_round():
        return [await query() for query in queries] + [check() for check in checks]

    first = await one_round()  # fetches the two documents and builds the distributions table
    requests = len(index.request_log)

    async def ask(count):
        rounds = count // (len(queries) + len(checks))
        for number in range(rounds):
            if number % 500 == 499:
                finder.clear_distributions_cache()
            assert await one_round() == first
        return rounds * (len(queries) + len(checks))

    await soak.run(ask, scaled(10_000))
    await finder.close()
    assert len(index.request_log) == requests  # all answered from memory


async def test_queries_against_the_local_index(local_index, local_aiohttp, package_manager, soak):
    """Queries that go to the index every time, on the JSON API and through the finder."""
    index = demo_index(local_index)
    settings = SettingsManager(index.settings_values())
    finder_settings = SettingsManager(index.settings_values(with_api=False))
    dependencies = [
        {"name": "six", "version_spec": "", "extras": [], "markers": ""},
        {"name": "pytest", "version_spec": ">=7", "extras": [], "markers": 'extra == "test"'},
    ]

    async def api_round(finder):
        assert await finder.get_versions("demo") == ["2.0", "1.0"]
        assert await finder.get_extras("demo", "1.0") == ["test"]
        finder._metadata_cache.clear()  # so that the dependencies are fetched again
        assert await finder.get_dependencies("demo", "1.0") == dependencies
        assert await finder.find_repo_for_package("demo") == index.simple_url
        assert await finder.find_repo_for_package_version("demo", "3.0") is None
        info = await package_manager.get_package_info("demo")
        assert info == {"name": "demo", "latest_version": "2.0", "summary": ""}
        return 6

    async def finder_round(finder):
        assert await finder.get_versions("demo") == ["2.0", "1.0"]
        assert await finder.get_dependencies("demo", "1.0") == dependencies
        return 2

    async def ask(count):
        finder = repo_finder.RepoFinder(settings)
        through_finder = repo_finder.RepoFinder(finder_settings)
        done = 0
        for number in range(count // 6):
            done += await api_round(finder)
            if number % 10 == 0:
                done += await finder_round(through_finder)
            # Counted and forgotten as it goes: the log would grow with the run.
            assert len(index.request_log) >= 6
            index.request_log.clear()
        await finder.close()
        await through_finder.close()
        return done

    await soak.run(ask, scaled(1000))


async def test_installs(package_manager, tmp_path, soak):
    """Installs that run to their end: fresh ones, failed ones and cache hits."""
    package_manager.pip_command_builder = ScriptPip.shell(INSTALLING)
    cache = package_manager.package_cache
    numbers = itertools.count()

    async def install(number):
        kind = number % 5
        if kind < 2:
            spec = "demo==1.0" if kind == 0 else "demo-fail==1.0"
            target = str(tmp_path / "targets" / str(number))
            items = await collect(package_manager.install_package(spec, target))
            if kind == 0:
                assert items[-2:] == [("success", f"Successfully installed {spec}"), ("path", target)]
            else:
                assert items[-1] == ("error", "pip install failed with return code 1")
            return
        operation = (
            package_manager.install_package_to_cache if kind < 4 else package_manager.install_package_no_deps
        )
        # A new version every ten installs: the others find it cached.
        version = f"{number // 10}.0"
        items = await collect(operation("demo", version, ["socks"]))
        assert items[-1][0] in ("path", "cached") and items[-2][0] == "success"
        assert cache.get_cached_package("demo", version, "socks") == items[-1][1]

    async def installs(count):
        for number in itertools.islice(numbers, count):
            await install(number)
        return count

    await soak.run(installs, scaled(200))
    records = cache.list_cached_packages()
    assert len(records) == len({r["version"] for r in records})  # one record per version
    assert all(os.path.isdir(r["install_path"]) for r in records)  # noqa: ASYNC240


def stream_of(package_manager, number, tmp_path):
    """Each install operation in turn."""
    operation = INSTALL_OPERATIONS[number % len(INSTALL_OPERATIONS)]
    return start_install(package_manager, operation, f"pkg{number}", tmp_path / "early" / str(number))


async def test_streams_closed_early(package_manager, tmp_path, soak):
    package_manager.pip_command_builder = ScriptPip.shell(FOREVER)

    async def close_early(count):
        for number in range(count):
            stream = stream_of(package_manager, number, tmp_path)
            pid, back_end = map(int, (await stream.__anext__())[1].split())
            await stream.aclose()
            assert pid not in child_processes() and not running(back_end) and not live_group_members(pid)
        return count

    await soak.run(close_early, scaled(100))
    assert package_manager.package_cache.list_cached_packages() == []


async def test_streams_dropped_without_closing(package_manager, tmp_path, soak):
    package_manager.pip_command_builder = ScriptPip.shell(FOREVER)
    pids = []

    async def drop(count):
        for number in range(count):
            stream = stream_of(package_manager, number, tmp_path)
            pids.extend(map(int, (await stream.__anext__())[1].split()))
            del stream
        gc.collect()
        return count

    total = scaled(100)
    await soak.run(drop, total, settle_seconds=10 + total * 0.05)
    assert not set(pids) & child_processes()
    assert [pid for pid in pids if running(pid) or live_group_members(pid)] == []
    # The cache folders of abandoned runs go with them; the explicit targets stay.
    assert [entry for entry in os.scandir(package_manager.get_target_dir()) if entry.is_dir()] == []
