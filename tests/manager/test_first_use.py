"""First use of the module's operations from two threads at once, in a fresh interpreter: no
set-up that runs Python code may hold a C++ static's guard, a once-flag or a mutex, since the
code may let the other thread run, which then waits on the guard while the first waits for it."""

import subprocess
import sys

import pytest
from support import under_address_sanitizer

FIRST_USE = r"""
import asyncio, builtins, sys, threading, time
from quenlet_master.business_layer.packages import manager

operation, base = sys.argv[1], sys.argv[2]


class Offline:
    # The network is never reached: the session fails as it is made.
    class ClientSession:
        def __init__(self):
            raise OSError("offline")


class ExitingPip:
    def build_install_command(self, spec, target, **options):
        return ["/bin/sh", "-c", "exit 0"]


def use(number):
    package_manager = manager.PackageManager(f"{base}/{number}")
    package_manager.pip_command_builder = ExitingPip()

    async def first_use():
        if operation == "get_package_info":
            return await package_manager.get_package_info("demo")
        stream = getattr(package_manager, operation)("demo", "1.0")
        return [item[0] async for item in stream]

    started.wait()
    results[number] = asyncio.run(first_use())


manager.aiohttp = Offline
results = [None, None]
started = threading.Barrier(2)
# A host whose import hook is Python code (a profiler, say): any import, even of a module already
# loaded, may let the other thread run in the middle of it.
plain_import = builtins.__import__
builtins.__import__ = lambda *args, **kwargs: (time.sleep(0.01), plain_import(*args, **kwargs))[1]
threads = [threading.Thread(target=use, args=(number,)) for number in range(2)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
print(results)
"""


@pytest.mark.parametrize(
    "operation, result",
    [
        ("get_package_info", {"error": "offline"}),
        ("install_package_to_cache", ["success", "path"]),
        ("install_package_no_deps", ["success", "path"]),
    ],
)
def test_two_threads_making_first_use_at_once_do_not_hang(operation, result, tmp_path):
    try:
        done = subprocess.run(
            [sys.executable, "-c", FIRST_USE, operation, str(tmp_path)],
            capture_output=True,
            text=True,
            timeout=120 if under_address_sanitizer() else 30,
        )
    except subprocess.TimeoutExpired:
        pytest.fail(f"two threads making first use of {operation} hung")
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == repr([result, result])
