import os

import pytest

from quenlet_master.local_index.pytest_plugin import local_index, local_index_server  # noqa: F401


@pytest.fixture
def hermetic_pip_env():
    """Environment for a pip child process that sees no machine-wide pip configuration.

    The machine's pip configuration adds extra indexes and find-links folders; a test that
    installs from the local index must not be able to pick a file from anywhere else.
    """
    env = {key: value for key, value in os.environ.items() if not key.startswith("PIP_")}
    env["PIP_CONFIG_FILE"] = os.devnull
    env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    return env
