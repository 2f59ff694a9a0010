import logging
import os
import textwrap
import time

import pytest
from manager_support import FakePip, child_processes

from quenlet_master.business_layer.packages import manager


@pytest.fixture(autouse=True)
def no_leftover_children():
    before = child_processes()
    yield
    deadline = time.monotonic() + 1.0
    while (left := child_processes() - before) and time.monotonic() < deadline:
        time.sleep(0.01)
    for pid in left:  # so that one failure does not cascade into the next tests
        try:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
        except (ProcessLookupError, ChildProcessError):
            pass
    assert not left, f"child processes left running: {sorted(left)}"


@pytest.fixture(autouse=True)
def manager_logs(caplog):
    caplog.set_level(logging.INFO, logger=manager.logger.name)
    return caplog


@pytest.fixture
def fake_pip(tmp_path):
    """fake_pip(source) -> a FakePip running `source` with argv [script, spec, target]."""
    scripts = tmp_path / "fake_pips"
    scripts.mkdir()

    def make(source: str) -> FakePip:
        script = scripts / f"pip_{len(os.listdir(scripts))}.py"
        script.write_text(textwrap.dedent(source))
        return FakePip(script)

    return make


@pytest.fixture
def package_manager(tmp_path):
    return manager.PackageManager(str(tmp_path / "base"))


@pytest.fixture
def hermetic_pip_env(monkeypatch):
    """pip children see no machine-wide pip configuration (extra indexes, find-links folders)."""
    for key in [k for k in os.environ if k.startswith("PIP_")]:
        monkeypatch.delenv(key)
    monkeypatch.setenv("PIP_CONFIG_FILE", os.devnull)
    monkeypatch.setenv("PIP_DISABLE_PIP_VERSION_CHECK", "1")
