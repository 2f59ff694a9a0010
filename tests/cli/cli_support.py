"""Helpers shared by the command-line tests: the one way they start the installed command."""

import dataclasses
import importlib
import json
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest
from support import under_address_sanitizer

from quenlet_master.demo import hermetic_pip_environment

SCRIPT = Path(sysconfig.get_path("scripts"), "quenlet-packages")

SAMPLE_RELEASES = [
    ("sample-pkg", "1.0", {"summary": "A sample", "requires_dist": ["sample-core>=1.0"]}),
    ("sample-pkg", "9.0", {"summary": "A sample", "requires_dist": ["sample-core>=1.0"]}),
    (
        "sample-pkg",
        "10.0",
        {
            "summary": "A sample",
            "extras": ["fast", "docs"],
            "requires_dist": [
                "sample-core>=1.0",
                'sample-speedups[simd]>=0.2; extra == "fast"',
                'sample-docs; extra == "docs"',
            ],
        },
    ),
    ("sample-pkg", "11.0rc1", {"summary": "A sample"}),
    ("sample-core", "1.0", {"summary": "The sample's core"}),
]


@dataclasses.dataclass
class Run:
    status: int
    out: str
    err: str

    @property
    def document(self):
        return json.loads(self.out)

    @property
    def items(self):
        """The JSON objects of an install, one per line."""
        return [json.loads(line) for line in self.out.splitlines()]


def start_cli(*argv, env=None, wrapper=(), **popen_options):
    """The installed ``quenlet-packages`` as a child process, by default with pip seeing none of
    the machine's configuration; ``wrapper`` is a command that runs it (``unshare ...``).

    The script is run by this interpreter rather than by its own first line: under the
    sanitizers only this interpreter loads their runtime, which our modules need first.
    """
    popen_options.setdefault("stdout", subprocess.PIPE)
    popen_options.setdefault("stderr", subprocess.PIPE)
    return subprocess.Popen(
        [*wrapper, sys.executable, str(SCRIPT), *(str(a) for a in argv)],
        env=hermetic_pip_environment() if env is None else env,
        stdin=subprocess.DEVNULL,
        text=True,
        **popen_options,
    )


def run_cli(*argv, timeout=120, **options):
    with start_cli(*argv, **options) as child:
        try:
            out, err = child.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            child.kill()
            raise
    return Run(child.returncode, out, err)


def requires(module, operation):
    """Skips the test while the native module, or that operation of it, is not built."""
    try:
        loaded = importlib.import_module(f"quenlet_master.business_layer.packages.{module}")
    except ImportError:
        return pytest.mark.skip(reason=f"the {module} module is not built")
    owner, _, name = operation.rpartition(".")
    return pytest.mark.skipif(
        not hasattr(getattr(loaded, owner), name), reason=f"{module} has no {operation}"
    )


needs_finder = requires("repo_finder", "RepoFinder.get_versions")
needs_check = requires("repo_finder", "RepoFinder.check_specifier_in_dist")
needs_manager = requires("manager", "PackageManager.install_package_to_cache")


# Every run of the command starts an interpreter, many times slower under the sanitizers. There
# the JSON tests alone run each command, with the modules' own tests covering the rest natively.
unsanitized_only = pytest.mark.skipif(
    under_address_sanitizer(), reason="each command is run under the sanitizers by test_json_output"
)


def write_settings(path, index, with_api=True):
    path.write_text(json.dumps(index.settings_values(with_api=with_api)))
    return path


def processes_mentioning(text):
    """Processes whose command line holds ``text``: a pip left running names its target."""
    found = []
    for cmdline in Path("/proc").glob("[0-9]*/cmdline"):
        try:
            if text.encode() in cmdline.read_bytes():
                found.append(cmdline.parent.name)
        except OSError:  # the process ended while we looked
            continue
    return found
