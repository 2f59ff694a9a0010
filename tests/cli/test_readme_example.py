"""The README's examples hold: the host example runs as printed and answers what its comments
say, and the specifications it lists as refused by `install` are refused, the others not."""

import re
import subprocess
import sys
from pathlib import Path

import pytest
from cli_support import needs_finder, needs_manager, unsanitized_only

from quenlet_master.business_layer.packages.manager import validate_package_spec
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


def readme_specifications(lead):
    """The specifications the README lists on the line that starts with ``lead``."""
    if not README.is_file():
        pytest.skip("the README is not beside the tests (installed package only)")
    section = README.read_text().split("### Specifications that `install` refuses", 1)[1]
    paragraph = section.split(lead, 1)[1].split("\n\n", 1)[0]
    return re.findall(r"`([^`]+)`", paragraph)


@needs_manager
@unsanitized_only
def test_the_specifications_the_readme_lists_are_refused_or_accepted_as_it_says(cli):
    refused = readme_specifications("Refused, for instance:")
    accepted = readme_specifications("Accepted:")
    assert len(refused) >= 8 and len(accepted) >= 4
    for spec in refused:
        run = cli("install", "--target", "site", "--", spec)  # "--": one starts with "-"
        assert run.status == 2 and f"'{spec}' is refused: Package spec contains " in run.err, spec
    assert [spec for spec in accepted if not validate_package_spec(spec)[0]] == []
