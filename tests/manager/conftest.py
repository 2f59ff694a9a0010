import logging
import os
import textwrap
import time

import pytest
from support import ScriptPip, child_processes, reap

from quenlet_master.business_layer.packages import manager


@pytest.fixture(autouse=True)
def no_leftover_children():
    before = child_processes()
    yield
    deadline = time.monotonic() + 1.0
    while (left := child_processes() - before) and time.monotonic() < deadline:
        time.sleep(0.01)
    reap(left)
    assert not left, f"child processes left running: {sorted(left)}"


@pytest.fixture(autouse=True)
def manager_logs(caplog):
    caplog.set_level(logging.INFO, logger=manager.logger.name)
    return caplog


@pytest.fixture
def fake_pip(tmp_path):
    """fake_pip(source) -> a pip stand-in running the Python `source` with argv [script, spec, target]."""
    scripts = tmp_path / "fake_pips"
    scripts.mkdir()

    def make(source: str) -> ScriptPip:
        script = scripts / f"pip_{len(os.listdir(scripts))}.py"
        script.write_text(textwrap.dedent(source))
        return ScriptPip.python(script)

    return make
