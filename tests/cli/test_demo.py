"""The tour that ``make demo`` runs, checked for its key results and for what it leaves behind."""

import os
import re
import shlex
import signal
import socket
import subprocess
import sys
from urllib.parse import urlsplit

import pytest
from cli_support import needs_finder, needs_manager, processes_mentioning, run_cli
from support import under_address_sanitizer


def sections(output):
    """{heading: body} of the tour's "== N. heading ==" sections."""
    parts = re.split(r"^== \d+\. (.+) ==$", output, flags=re.MULTILINE)
    return dict(zip(parts[1::2], parts[2::2], strict=True))


def body_lines(text):
    return [line.strip() for line in text.splitlines() if line.strip()]


@needs_finder
@needs_manager
# Every interpreter of the tour would run sanitized, many times slower: its one-minute
# budget is for the real thing, and it drives nothing native that the other tests do not.
@pytest.mark.skipif(under_address_sanitizer(), reason="the tour's budget is for unsanitized runs")
def test_demo_tour_shows_the_key_results_and_leaves_nothing_behind(tmp_path):
    # pip configuration that, if the tour's pip saw it, would keep it away from every index
    config = tmp_path / "pip.conf"
    config.write_text("[global]\nno-index = true\n")
    hostile = os.environ | {"PIP_CONFIG_FILE": str(config), "PIP_NO_INDEX": "1"}
    child = subprocess.run(
        [sys.executable, "-m", "quenlet_master.demo"],
        capture_output=True,
        text=True,
        timeout=120,
        env=hostile,
    )
    assert child.returncode == 0, child.stdout + child.stderr
    tour = sections(child.stdout)
    steps = list(tour.values())

    assert body_lines(steps[0])[1:6] == [
        "Versions of quenlet-widgets (newest first):",
        "11.0rc1",
        "10.0",
        "9.0",
        "1.0",
    ]
    assert body_lines(steps[1])[2:5] == ["2.1b1", "2.0", "0.9"]
    assert body_lines(steps[2])[2:4] == ["cli", "speedups"]
    assert body_lines(steps[3])[2:5] == [
        "quenlet-core >=1.2",
        'quenlet-speedups >=0.2; extra == "speedups"',
        'quenlet-cli-tools[color]; extra == "cli"',
    ]
    assert any(line.startswith("stderr | ERROR: ") for line in body_lines(steps[9]))
    assert body_lines(steps[8])[-2].startswith("Successfully installed quenlet-widgets==10.0 into ")

    fresh = re.search(r"Successfully installed quenlet-widgets\[cli\]==10\.0 to cache into (\S+)", steps[10])
    cached = re.search(
        r"Using cached quenlet-widgets\[cli\]==10\.0: served from the cache at (\S+)", steps[11]
    )
    assert fresh and cached and fresh.group(1) == cached.group(1)

    seconds = float(re.search(r"Tour finished in ([\d.]+) s", child.stdout).group(1))
    assert seconds < 60

    work = re.search(r"work folder: +(\S+)", child.stdout).group(1)
    assert not os.path.exists(work)
    assert processes_mentioning(work) == []
    for url in re.findall(r"index: +(http://127\.0\.0\.1:\d+)/simple/", child.stdout):
        with socket.socket() as sock:
            assert sock.connect_ex(("127.0.0.1", urlsplit(url).port)) != 0, f"{url} still answers"


@needs_finder
def test_the_local_index_banner_shows_how_to_query_it_through_its_json_api(tmp_path):
    with subprocess.Popen(
        [sys.executable, "-m", "quenlet_master.local_index", "--demo"],
        stdout=subprocess.PIPE,
        text=True,
        cwd=tmp_path,
    ) as index:
        try:
            banner = [index.stdout.readline() for _ in range(4)]
            pattern = re.search(r"JSON API pattern: (\S+)", banner[1]).group(1)
            command = shlex.split(banner[3])
            assert command[0] == "quenlet-packages" and command[-1] == "NAME"
            assert f"={pattern}" in command[command.index("--api-pattern") + 1]
            run = run_cli(*command[1:-1], "quenlet-demo", "-v")
        finally:
            index.terminate()
    assert run.status == 0 and run.out.splitlines()[1:] == ["  1.1.0", "  1.0.0"]
    assert "Found 2 versions via API for quenlet-demo" in run.err


@pytest.mark.parametrize("stop", [signal.SIGTERM, signal.SIGINT])
@pytest.mark.parametrize("reader_leaves", [False, True])
def test_the_local_index_stops_cleanly_on_a_signal_whatever_its_reader_does(tmp_path, stop, reader_leaves):
    # Signalled at once after its first line, while it may still be printing or arming itself.
    with subprocess.Popen(
        [sys.executable, "-X", "faulthandler", "-m", "quenlet_master.local_index"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        cwd=tmp_path,
    ) as index:
        first = index.stdout.readline()
        folder = re.search(r"Serving (\S+) at", first).group(1)
        if reader_leaves:
            index.stdout.close()  # as `| head -1` does
        index.send_signal(stop)
        try:
            errors = index.communicate(timeout=30)[1]
        except subprocess.TimeoutExpired:
            index.send_signal(signal.SIGABRT)  # faulthandler shows where it hangs
            errors = index.communicate()[1]
    assert index.returncode == 0, errors
    assert "Traceback" not in errors
    assert not os.path.exists(folder)
