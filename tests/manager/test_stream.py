import asyncio
import gc
import json
import os
import statistics
import time
import warnings

import pytest
from manager_support import folder_exists, manager_records
from support import INSTALL_OPERATIONS, child_processes, collect, live_group_members, reap, start_install

from quenlet_master.business_layer.packages import manager

OUTPUT = r"""
import sys
out, err = sys.stdout.buffer, sys.stderr.buffer
out.write(b"first  \t\n\n  indented\r\n")
out.flush()
err.write(b"warning: careful \r\n")
err.flush()
out.write(b"bad \xff\xfe bytes\n" + "nbsp\u00a0\u3000\x1f\n".encode() + b"ends without newline")
sys.exit(int(sys.argv[1].endswith("fail")))
"""


def pip_lines(data: bytes) -> list[str]:
    return [line.decode("utf-8", errors="replace").rstrip() for line in data.splitlines(keepends=True)]


@pytest.mark.parametrize("spec", ["pkg", "pkg-fail"])
async def test_lines_are_decoded_stripped_and_followed_by_the_outcome(
    spec, package_manager, fake_pip, tmp_path, manager_logs
):
    package_manager.pip_command_builder = builder = fake_pip(OUTPUT)
    items = await collect(package_manager.install_package(spec, str(tmp_path / "target")))
    stdout = b"first  \t\n\n  indented\r\nbad \xff\xfe bytes\n" + "nbsp\u00a0\u3000\x1f\n".encode()
    assert [text for kind, text in items if kind == "stdout"] == [
        *pip_lines(stdout),
        "ends without newline",
    ]
    assert [text for kind, text in items if kind == "stderr"] == ["warning: careful"]
    if spec == "pkg":
        assert items[-2:] == [("success", "Successfully installed pkg"), ("path", str(tmp_path / "target"))]
    else:
        assert items[-1] == ("error", "pip install failed with return code 1")
        assert items[-2][0] in ("stdout", "stderr")
    command = " ".join([*builder.build_install_command(spec, str(tmp_path / "target"))])
    assert manager_records(manager_logs) == [("INFO", f"Running pip install: {command}")]


HANDSHAKE = """
import os, sys, time
def wait_for(name):
    deadline = time.monotonic() + 10
    while not os.path.exists(name) and time.monotonic() < deadline:
        time.sleep(0.005)
print("out 1", flush=True)
wait_for(sys.argv[2] + "/go1")
sys.stderr.write("err 1\\n")
sys.stderr.flush()
wait_for(sys.argv[2] + "/go2")
print("out 2")
"""


async def test_each_line_is_delivered_as_it_arrives(package_manager, fake_pip, tmp_path):
    package_manager.pip_command_builder = fake_pip(HANDSHAKE)
    items = []
    async for item in package_manager.install_package("pkg", str(tmp_path)):
        items.append(item)
        # pip waits for our answer before writing more: a line held back would hang here.
        (tmp_path / f"go{len(items)}").touch()
    assert items == [
        ("stdout", "out 1"),
        ("stderr", "err 1"),
        ("stdout", "out 2"),
        ("success", "Successfully installed pkg"),
        ("path", str(tmp_path)),
    ]


MIB = 1 << 20


@pytest.mark.parametrize(
    "line, pieces",
    [
        ("'x' * 200 * 1024", 1),
        ("'x' * MIB + ' \\r'", 1),
        # A cut at 1 MiB would fall inside the euro sign, and later inside the emoji.
        ("'x' * (MIB - 1) + '\\u20ac' + 'y' * (MIB - 4) + '\\U0001f600' + 'z  '", 3),
        ("'\\u20ac' * MIB", 4),
    ],
)
async def test_a_line_over_a_mebibyte_arrives_in_pieces_of_at_most_that(
    line, pieces, package_manager, fake_pip, tmp_path
):
    write = f"import sys\nMIB = {MIB}\nsys.stdout.buffer.write(({line}).encode() + b'\\nafter')"
    package_manager.pip_command_builder = fake_pip(write)
    items = await collect(package_manager.install_package("pkg", str(tmp_path)))
    texts = [text for kind, text in items if kind == "stdout"]
    assert texts[-1] == "after" and items[-2][0] == "success"
    assert "".join(texts[:-1]) == eval(line, {"MIB": MIB}).rstrip()
    assert len(texts) - 1 == pieces
    assert all(len(text.encode()) <= MIB for text in texts)


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


async def test_hundreds_of_megabytes_without_a_line_feed_neither_fill_memory_nor_stall_the_loop(
    package_manager, fake_pip, tmp_path
):
    megabytes = 300
    package_manager.pip_command_builder = fake_pip(
        f"import sys\nfor _ in range({megabytes}):\n    sys.stdout.buffer.write(b'x' * {MIB})"
    )
    before = resident_bytes()
    gaps, peak, done = [], before, False

    async def heartbeat():
        nonlocal peak
        last = time.monotonic()
        while not done:
            await asyncio.sleep(0.005)
            now = time.monotonic()
            gaps.append(now - last)
            last = now
            peak = max(peak, resident_bytes())

    beat = asyncio.create_task(heartbeat())
    sizes = []
    async for kind, text in package_manager.install_package("pkg", str(tmp_path)):
        if kind == "stdout":
            sizes.append(len(text))
    done = True
    await beat
    assert sizes == [MIB] * megabytes
    assert max(gaps) < 0.05
    assert peak - before < 64 * MIB


async def test_a_timeout_fires_on_time_while_an_endless_line_streams(package_manager, fake_pip, tmp_path):
    package_manager.pip_command_builder = fake_pip(
        f"import sys\nwhile True:\n    sys.stdout.buffer.write(b'x' * {MIB})"
    )
    began = time.monotonic()
    with pytest.raises(TimeoutError):
        async with asyncio.timeout(2.0):
            async for _ in package_manager.install_package("pkg", str(tmp_path)):
                pass
    assert time.monotonic() - began < 2.25


async def test_the_end_of_output_is_noticed_at_once(package_manager, fake_pip, tmp_path):
    exits_now = "import os, sys, time\nprint(time.monotonic(), flush=True)\nos._exit(0)\n"
    package_manager.pip_command_builder = fake_pip(exits_now)
    latencies = []
    for _ in range(5):
        items = await collect(package_manager.install_package("pkg", str(tmp_path)))
        latencies.append(time.monotonic() - float(items[0][1]))
    assert statistics.median(latencies) < 0.05


FOREVER = """
import os, signal, sys, time
if "stubborn" in sys.argv[1]:
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
print(os.getpid(), flush=True)
while True:
    time.sleep(1)
"""


async def until(condition, seconds=5.0):
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:  # noqa: ASYNC110 - polls the process table
        await asyncio.sleep(0.01)
    return condition()


@pytest.mark.parametrize("operation", INSTALL_OPERATIONS)
@pytest.mark.parametrize("stop", ["aclose", "cancel", "drop"])
async def test_a_consumer_that_stops_early_takes_pip_down(
    operation, stop, package_manager, fake_pip, tmp_path, caplog
):
    package_manager.pip_command_builder = builder = fake_pip(FOREVER)
    gc.collect()  # what earlier tests left is not this test's to report
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        stream = start_install(package_manager, operation, "pkg", tmp_path / "explicit")
        if stop == "cancel":
            items = []

            async def consume():
                async for item in stream:
                    items.append(item)

            task = asyncio.create_task(consume())
            assert await until(lambda: items)
            pid = int(items[0][1])
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            assert pid not in child_processes()
        else:
            pid = int((await stream.__anext__())[1])
            if stop == "aclose":
                await stream.aclose()
                assert pid not in child_processes()
            else:
                del stream
                gc.collect()
                assert await until(lambda: pid not in child_processes())
                assert await until(lambda: len(asyncio.all_tasks()) == 1)
        gc.collect()
    target = builder.calls[0][1]
    assert folder_exists(target) == (operation == "install_package")
    assert [w for w in caught if issubclass(w.category, ResourceWarning)] == []
    # Nothing for asyncio to complain about: no pending task destroyed, no exit status stolen.
    assert [r.getMessage() for r in caplog.records if r.name == "asyncio"] == []


@pytest.mark.parametrize("operation", INSTALL_OPERATIONS)
async def test_a_consumer_closed_while_it_waits_for_an_item_takes_pip_down_at_once(
    operation, package_manager, fake_pip, tmp_path
):
    package_manager.pip_command_builder = builder = fake_pip(FOREVER)
    stream = start_install(package_manager, operation, "pkg", tmp_path / "explicit")
    pid = int((await stream.__anext__())[1])

    async def next_item():
        return await stream.__anext__()

    waiting = next_item()
    waiting.send(None)  # suspended inside __anext__, as an abandoned consumer is when finalised
    waiting.close()  # a close() refuses any await: pip is stopped there and then
    assert not live_group_members(pid) - {pid}
    assert await until(lambda: pid not in child_processes())
    assert [item async for item in stream] == []
    assert folder_exists(builder.calls[0][1]) == (operation == "install_package")


def live_managers():
    gc.collect()
    return sum(isinstance(o, manager.PackageManager) for o in gc.get_objects())


@pytest.mark.parametrize("operation", INSTALL_OPERATIONS)
async def test_a_stream_kept_by_its_own_manager_is_collected_and_takes_pip_down(
    operation, fake_pip, tmp_path
):
    # Weak references and __del__ would not tell: the collector clears and finalizes all of a
    # cycle before the cycle's finalizer (the event loop's hook here) brings it back to run its
    # clean-up, so the count of live managers is what says the cycle has gone.
    before = live_managers()
    owner = manager.PackageManager(str(tmp_path / "base"))
    owner.pip_command_builder = builder = fake_pip(FOREVER)
    owner.stream = start_install(owner, operation, "pkg", tmp_path / "explicit")
    pid = int((await owner.stream.__anext__())[1])
    del owner
    gc.collect()
    assert await until(lambda: pid not in child_processes())
    assert await until(lambda: live_managers() == before)
    assert folder_exists(builder.calls[0][1]) == (operation == "install_package")


# pip with a build back end of its own, which writes into the install folder and, when told to,
# outlives a SIGTERM.
FAMILY = """
import os, subprocess, sys, time
BACK_END = '''
import os, signal, sys, time
if sys.argv[2] == "stubborn":
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
folder = os.path.join(sys.argv[1], "build")
while True:
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "log"), "a") as log:
        log.write("x")
    time.sleep(0.005)
'''
back_end = subprocess.Popen([sys.executable, "-c", BACK_END, sys.argv[2], sys.argv[1].split("==")[0]])
print(os.getpid(), back_end.pid, flush=True)
while True:
    time.sleep(1)
"""


async def start_family(package_manager, fake_pip, back_end):
    """A cache install of pip and its back end, once the back end writes into the folder."""
    package_manager.pip_command_builder = builder = fake_pip(FAMILY)
    stream = package_manager.install_package_to_cache(back_end, "1.0")
    pip, child = map(int, (await stream.__anext__())[1].split())
    folder = builder.calls[0][1]
    assert await until(lambda: folder_exists(os.path.join(folder, "build")))
    return stream, pip, child, folder


@pytest.mark.parametrize("back_end", ["obliging", "stubborn"])
@pytest.mark.parametrize("stop", ["aclose", "cancel", "drop"])
async def test_stopping_pip_stops_its_whole_process_group_before_the_folder_goes(
    back_end, stop, package_manager, fake_pip
):
    stream, pip, child, folder = await start_family(package_manager, fake_pip, back_end)
    try:
        assert os.getpgid(pip) == pip and os.getpgid(child) == pip
        began = time.monotonic()
        if stop == "aclose":
            await stream.aclose()
        elif stop == "cancel":
            task = asyncio.create_task(stream.__anext__())
            await asyncio.sleep(0.05)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
        else:
            del stream
            gc.collect()
            # The loop closes the dropped stream in a task of its own: its last step is the folder.
            assert await until(lambda: not folder_exists(folder))
        took = time.monotonic() - began
        assert live_group_members(pip) == set()
        # Nothing of the group is left to bring the folder back.
        assert not folder_exists(folder)
        await asyncio.sleep(0.05)
        assert not folder_exists(folder)
        # SIGTERM reaches the back end too; one that ignores it is killed after the grace period.
        assert (took < 0.9) if back_end == "obliging" else (0.9 < took < 3)
    finally:
        reap([pip, child])


def test_a_frame_destroyed_without_a_loop_kills_pips_group_synchronously(package_manager, fake_pip):
    loop = asyncio.new_event_loop()
    try:
        stream, pip, child, folder = loop.run_until_complete(
            start_family(package_manager, fake_pip, "stubborn")
        )
    finally:
        loop.close()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", ResourceWarning)  # the closed loop cannot close the pipes
            del stream
            gc.collect()
        assert live_group_members(pip) == set()
        assert not folder_exists(folder)
        time.sleep(0.05)
        assert not folder_exists(folder)
    finally:
        reap([pip, child])


async def test_pip_that_ignores_sigterm_is_killed(package_manager, fake_pip):
    package_manager.pip_command_builder = fake_pip(FOREVER)
    stream = package_manager.install_package_to_cache("stubborn", "1.0")
    pid = int((await stream.__anext__())[1])
    began = time.monotonic()
    await stream.aclose()
    assert 0.9 < time.monotonic() - began < 3
    assert pid not in child_processes()


def test_a_frame_destroyed_without_a_loop_kills_pip_synchronously(package_manager, fake_pip):
    package_manager.pip_command_builder = builder = fake_pip(FOREVER)
    loop = asyncio.new_event_loop()
    try:
        stream = package_manager.install_package_to_cache("pkg", "1.0")
        step = stream.__anext__()  # made outside the loop: no async-generator hooks to call
        pid = int(loop.run_until_complete(step)[1])
    finally:
        loop.close()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ResourceWarning)  # the closed loop cannot close the pipes
        del stream, step
        gc.collect()
    assert pid not in child_processes()
    assert not folder_exists(builder.calls[0][1])


async def test_failures_of_the_run_become_error_items(package_manager, fake_pip, tmp_path, monkeypatch):
    package_manager.pip_command_builder = builder = fake_pip("")
    missing = tmp_path / "no-such-python"
    monkeypatch.setattr(builder, "build_install_command", lambda spec, target: [str(missing), spec])
    assert await collect(package_manager.install_package("pkg")) == [("error", "Python executable not found")]

    not_executable = tmp_path / "python"
    not_executable.write_text("")
    monkeypatch.setattr(builder, "build_install_command", lambda spec, target: [str(not_executable)])
    monkeypatch.chdir(tmp_path)
    assert await collect(package_manager.install_package("pkg", "relative")) == [
        ("error", f"Permission denied when installing to {tmp_path / 'relative'}")
    ]


async def test_a_failed_recording_fails_the_install_and_records_nothing(
    package_manager, fake_pip, monkeypatch, manager_logs
):
    package_manager.pip_command_builder = builder = fake_pip("print('ok')")

    def disk_full(*args):
        raise OSError("disk full")

    monkeypatch.setattr(package_manager.package_cache, "add_cached_package", disk_full)
    items = await collect(package_manager.install_package_to_cache("pkg", "1.0"))
    assert items == [("stdout", "ok"), ("error", "Installation failed: disk full")]
    assert manager_records(manager_logs)[-1] == ("ERROR", "Failed to install package pkg==1.0: disk full")
    assert folder_exists(builder.calls[0][1])
    assert package_manager.package_cache.list_cached_packages() == []


async def test_cache_installs_spell_the_spec_and_key_from_the_extras(package_manager, fake_pip, manager_logs):
    package_manager.pip_command_builder = builder = fake_pip("import sys; sys.exit(sys.argv[1] == 'bad==1')")
    fresh = await collect(package_manager.install_package_to_cache("pkg", "1.0", ["socks", "security"]))
    spec, target, no_deps, prefer_binary = builder.calls[0]
    assert (spec, no_deps, prefer_binary) == ("pkg[socks,security]==1.0", True, True)
    assert fresh == [
        ("success", "Successfully installed pkg[socks,security]==1.0 to cache"),
        ("path", target),
    ]
    [record] = package_manager.package_cache.list_cached_packages()
    assert (record["extras_key"], record["install_path"]) == ("security,socks", target)
    assert manager_records(manager_logs)[-1][1].startswith("Installing to cache: ")

    hit = await collect(package_manager.install_package_no_deps("pkg", "1.0", ["security", "socks"]))
    assert hit == [
        ("stdout", f"Package already cached at {target}"),
        ("success", "Using cached pkg[security,socks]==1.0"),
        ("cached", target),
    ]
    assert len(builder.calls) == 1

    failed = [await collect(package_manager.install_package_to_cache("bad", "1")) for _ in range(2)]
    assert failed == [[("error", "pip install failed with return code 1")]] * 2
    assert (
        all(folder_exists(call[1]) for call in builder.calls[1:])
        and builder.calls[1][1] != builder.calls[2][1]
    )


@pytest.mark.parametrize(
    "operation, args, message",
    [
        ("install_package", ("",), "Package spec cannot be empty"),
        ("install_package_to_cache", ("numpy", ">=1.20"), "Package spec contains invalid character: >"),
        ("install_package_no_deps", ("pkg", "1", ["a b"]), "Package spec contains invalid format"),
        # pip would install a planted file of that name from the working directory.
        (
            "install_package_to_cache",
            ("planted", "6.6.6.whl"),
            "Package spec looks like an archive file: .whl",
        ),
    ],
)
async def test_an_invalid_spec_is_the_only_item(operation, args, message, package_manager, fake_pip):
    package_manager.pip_command_builder = builder = fake_pip("")
    items = await collect(getattr(package_manager, operation)(*args))
    assert items == [("error", f"Invalid package spec: {message}")]
    assert builder.calls == [] and not folder_exists(package_manager.cache_dir)


async def test_an_extra_that_is_no_string_fails_the_iteration(package_manager):
    stream = package_manager.install_package_to_cache("pkg", "1.0", [1])
    with pytest.raises(TypeError, match="sequence item 0: expected str instance, int found"):
        await stream.__anext__()


ENVIRONMENT = "import json, os\nprint(json.dumps(sorted(os.environ)))"


async def test_env_is_the_complete_environment_and_none_inherits(package_manager, fake_pip, monkeypatch):
    package_manager.pip_command_builder = fake_pip(ENVIRONMENT)
    monkeypatch.setenv("QUENLET_MARK", "1")

    async def seen(stream):
        return set(json.loads((await collect(stream))[0][1]))

    # An empty environment leaves the interpreter to coerce its C locale, and nothing else.
    assert await seen(package_manager.install_package_to_cache("a", "1", env={})) <= {"LC_CTYPE"}
    assert await seen(package_manager.install_package_to_cache("b", "1", env={"ONLY": "x"})) <= {
        "ONLY",
        "LC_CTYPE",
    }
    assert "QUENLET_MARK" in await seen(package_manager.install_package_to_cache("c", "1"))
    assert "QUENLET_MARK" in await seen(package_manager.install_package_no_deps("d", "1"))
