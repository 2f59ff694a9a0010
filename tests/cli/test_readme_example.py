"""The README's host example runs as printed and answers what its comments say."""

import re
import subprocess
import sys
from pathlib import Path

import pytest
from cli_support import needs_finder, needs_manager

from quenlet_master.demo import hermetic_pip_environment

README = Path(__file__).resolve().parents[2] / "README.md"


def host_example():
    if not README.is_file():
        pytest.skip("the README is not beside the tests (installed package only)")
    section = README.read_text().split("## Using the modules from a host", 1)[1]
    return re.search(r"```python\n(.*?)```", section, re.DOTALL).group(1)


@needs_finder
@needs_manager
def test_readme_host_example_runs(tmp_path):
    child = subprocess.run(
        [sys.executable, "-c", host_example()],
        capture_output=True,
        text=True,
        env=hermetic_pip_environment(),
        cwd=tmp_path,
        timeout=120,
    )
    assert child.returncode == 0, child.stderr
    lines = child.stdout.splitlines()
    assert lines[:2] == ["['2.0', '1.0']", "['fast']"]
    assert lines[2].startswith("[{'name': 'demo-core', 'version_spec': '>=1.0'")
    assert lines[3].startswith("http://127.0.0.1:") and lines[4] == "None"
    assert lines[6] == "(False, 'Package spec contains invalid character: >')"
    kinds = [line.split(" ", 1)[0] for line in lines[7:-2]]
    # install_package, then the cache install fresh and again from the cache
    assert kinds.count("success") == 3 and kinds.count("path") == 2 and kinds[-1] == "cached"
    assert lines[-2:] == ["['2.0', '1.0']", "['fast']"]
