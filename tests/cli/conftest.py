import dataclasses
import json
import socket

import pytest
from cli_support import SAMPLE_RELEASES, write_settings

from quenlet_master.cli import main


@dataclasses.dataclass
class Run:
    status: int
    out: str
    err: str

    @property
    def document(self):
        return json.loads(self.out)


@pytest.fixture
def cli(capsys, hermetic_pip_env):
    def run(*argv):
        status = main([str(a) for a in argv])
        captured = capsys.readouterr()
        return Run(status, captured.out, captured.err)

    return run


@pytest.fixture
def sample_index(local_index_server):
    for name, version, options in SAMPLE_RELEASES:
        local_index_server.add_wheel(name, version, **options)
    return local_index_server


@pytest.fixture(params=[True, False], ids=["json-api", "simple-pages"])
def each_settings_file(request, sample_index, tmp_path):
    """Settings naming the sample index, with and without its JSON API configured."""
    return write_settings(tmp_path / "settings.json", sample_index, with_api=request.param)


@pytest.fixture
def settings_file(sample_index, tmp_path):
    """Settings naming the sample index and its JSON API."""
    return write_settings(tmp_path / "settings.json", sample_index)


@pytest.fixture
def closed_port_url():
    # A port that was just free: nothing listens there, so connecting fails at once.
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
    return f"http://127.0.0.1:{port}/simple/"
