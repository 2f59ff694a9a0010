"""What the modules do to the process that hosts them: threads making their first read at once,
the host's logging left as the host set it, and a process in which pip cannot be imported. Each
runs in a fresh interpreter, since a first use happens once per process."""

from __future__ import annotations

import json
import textwrap

import pytest

from .conftest import run_without

# An aiohttp that never reaches the network: the package-information query records the address
# it asks for and fails as an unreachable index does.
OFFLINE_AIOHTTP = """
import types

requested = []

class OfflineSession:
    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc_info):
        return False

    def get(self, url, **kwargs):
        requested.append(url)
        raise OSError("offline")

def offline(module):
    module.aiohttp = types.SimpleNamespace(ClientSession=OfflineSession, ClientTimeout=lambda total: total)
"""


FIRST_READS = {
    "the index client's settings": "repo_finder.RepoFinder(None)._get_pip_settings()",
    "the package-information query": "asyncio.run(manager.PackageManager(base).get_package_info('x'))",
}


@pytest.mark.parametrize("first_read", FIRST_READS.values(), ids=FIRST_READS.keys())
def test_two_threads_making_their_first_read_at_once_both_finish(first_read, tmp_path):
    script = f"""
        import asyncio, json, sys, threading, time
        from quenlet_master.business_layer.packages import manager, repo_finder

        class SlowImports:
            # A host whose imports take a while (a network file system, say): the second thread
            # arrives while the first is still reading.
            def find_spec(self, name, path=None, target=None):
                if name.partition(".")[0] == "pip":
                    time.sleep(0.2)
                return None

        sys.meta_path.insert(0, SlowImports())
        offline(manager)
        base = {str(tmp_path)!r}
        start = threading.Barrier(2)
        answers = []

        def first_read():
            start.wait()
            answers.append({first_read})

        threads = [threading.Thread(target=first_read) for _ in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        print(json.dumps([str(answer) for answer in answers]))
    """
    # A child that hangs fails the test when it is killed after the timeout.
    answers = run_without(set(), OFFLINE_AIOHTTP + textwrap.dedent(script))
    assert len(answers) == 2 and answers[0] == answers[1]


def test_reading_the_public_index_leaves_the_hosts_logging_as_it_was(tmp_path, public_root):
    script = f"""
        import asyncio, json, logging

        class HostLogger(logging.Logger):
            pass

        logging.setLoggerClass(HostLogger)
        from quenlet_master.business_layer.packages import manager, repo_finder

        offline(manager)
        settings = repo_finder.RepoFinder(None)._get_pip_settings()
        api_list = repo_finder.RepoFinder(None)._get_pip_api_list()
        info = asyncio.run(manager.PackageManager({str(tmp_path)!r}).get_package_info("x"))
        print(json.dumps({{
            "logger_class": logging.getLoggerClass().__qualname__,
            "level_15": logging.getLevelName(15),
            "index_url": settings["index_urls"][0]["url"],
            "api_pattern": api_list[0]["api_pattern"],
            "requested": requested,
            "info": info,
        }}))
    """
    assert run_without(set(), OFFLINE_AIOHTTP + textwrap.dedent(script)) == {
        "logger_class": "HostLogger",
        "level_15": "Level 15",
        # The same index the installed pip names, found without running pip.
        "index_url": f"{public_root}/simple/",
        "api_pattern": f"{public_root}/pypi/{{package_name}}/{{version}}/json",
        "requested": [f"{public_root}/pypi/x/json"],
        "info": {"error": "offline"},
    }


def test_without_pip_configured_indexes_answer_and_the_public_index_fails_as_its_queries_do(
    local_index_server, tmp_path
):
    local_index_server.add_wheel("alpha", "1.0", requires_dist=["beta>=1"])
    local_index_server.add_wheel("alpha", "2.0", extras=["fast"], requires_dist=['gamma; extra == "fast"'])
    settings = json.dumps(local_index_server.settings_values())
    script = (
        OFFLINE_AIOHTTP
        + f"""
import asyncio, json
from quenlet_master.business_layer.packages import manager, repo_finder
from quenlet_master.config.settings import SettingsManager

class Log:
    def __init__(self):
        self.lines = []
    def __getattr__(self, level):
        return lambda message: self.lines.append([level, message])

repo_finder.logger = finder_log = Log()
manager.logger = manager_log = Log()
offline(manager)

async def queries():
    configured = repo_finder.RepoFinder(SettingsManager(json.loads({settings!r})))
    public = repo_finder.RepoFinder(None)
    try:
        answers = {{
            "versions": await configured.get_versions("alpha"),
            "extras": await configured.get_extras("alpha", "2.0"),
            "dependencies": [d["name"] for d in await configured.get_dependencies("alpha", "1.0")],
            "found": await configured.find_repo_for_package("alpha") is not None,
            "public versions": await public.get_versions("alpha"),
            "public repo": await public.find_repo_for_package("alpha"),
            "public settings": public._get_pip_settings(),
            "public api list": public._get_pip_api_list(),
        }}
    finally:
        await configured.close()
    answers["info"] = await manager.PackageManager({str(tmp_path)!r}).get_package_info("alpha")
    return answers

answers = asyncio.run(queries())
answers["finder log"] = [line for line in finder_log.lines if line[0] != "debug"]
answers["manager log"] = manager_log.lines
print(json.dumps(answers))
"""
    )
    answers = run_without({"pip"}, script)
    unknown = answers["info"]["error"]
    assert "pip" in unknown
    assert answers == {
        "versions": ["2.0", "1.0"],
        "extras": ["fast"],
        "dependencies": ["beta"],
        "found": True,
        "public versions": [],
        "public repo": None,
        "public settings": {"index_urls": [], "use_secondary_urls": False, "retries": 3},
        "public api list": [],
        "info": {"error": unknown},
        "finder log": [
            ["info", "Querying primary index for alpha versions"],
            ["info", "Found 2 versions in primary index"],
            ["info", "Querying primary index for extras: alpha"],
            ["info", "Found 1 extras in primary index"],
            ["info", "Querying primary index for dependencies: alpha"],
            ["info", "Found 1 dependencies in primary index"],
            ["warning", f"No default package index: {unknown}"],
            ["warning", "No versions found for alpha in any index"],
            ["warning", f"No default package index: {unknown}"],
            ["warning", f"No default package index: {unknown}"],
        ],
        "manager log": [
            ["info", "Querying package info for alpha from PyPI"],
            ["error", f"Failed to query package info for alpha: {unknown}"],
        ],
    }
