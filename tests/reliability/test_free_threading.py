"""`make test-nogil` runs the whole suite with PYTHON_GIL=0: the GIL must really stay off after
both modules have loaded, or that run proves nothing."""

import os
import sys

import pytest

from quenlet_master.business_layer.packages import manager, repo_finder


@pytest.mark.skipif(os.environ.get("PYTHON_GIL") != "0", reason="the GIL is not forced off in this run")
def test_the_gil_stays_off_with_both_modules_loaded():
    assert manager.__name__ in sys.modules and repo_finder.__name__ in sys.modules
    assert sys._is_gil_enabled() is False
