import socket

import pytest
from cli_support import SAMPLE_RELEASES, run_cli, write_settings

from quenlet_master.demo import hermetic_pip_environment


@pytest.fixture
def cli(tmp_path):
    """Runs the installed command in a folder of the test's own, where a cache may be made."""

    def run(*argv, **options):
        options.setdefault("cwd", tmp_path)
        return run_cli(*argv, **options)

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


@pytest.fixture
def public_index_at(tmp_path):
    """An environment in which pip's record of the public index names the given local index: a
    pip package of that one record, ahead of the installed pip on the path. The command's info
    starts no pip, so nothing else of pip is missed."""

    def environment(index):
        site = tmp_path / "pip-record"
        models = site / "pip" / "_internal" / "models"
        models.mkdir(parents=True)
        for package in (site / "pip", models.parent, models):
            (package / "__init__.py").write_text("")
        (models / "index.py").write_text(
            f"PyPI = PackageIndex({index.url + '/'!r}, file_storage_domain='127.0.0.1')\n"
        )
        return hermetic_pip_environment() | {"PYTHONPATH": str(site)}

    return environment
