"""Settings files and folders the command cannot use: named, with status 2, before anything runs."""

import json
import shutil
import subprocess

import pytest
from cli_support import needs_finder, needs_manager, unsanitized_only

pytestmark = unsanitized_only

KEY = "package_management.pip.index_urls"
URL = "http://127.0.0.1:9/simple/"
INDEXES_SHAPE = f'{KEY} must be a list of {{"url": ADDRESS, "primary": true/false}} objects'


@pytest.mark.parametrize(
    ("settings", "message"),
    [
        ({"package_management": {"pip": {"index_urls": "http://x"}}}, f'{INDEXES_SHAPE} (it is "http://x")'),
        ({KEY: ["http://127.0.0.1/simple/"]}, f'{INDEXES_SHAPE} (entry 1 is "http://127.0.0.1/simple/")'),
        ({KEY: [{"url": URL}, {"primary": True}]}, f'{INDEXES_SHAPE} (entry 2 has no "url")'),
        ({KEY: [{"url": "ftp://x/"}]}, f'{INDEXES_SHAPE} (entry 1\'s "url" is not an http://, https://'),
        (
            {KEY: [{"url": URL, "primary": "yes"}]},
            f'{INDEXES_SHAPE} (entry 1\'s "primary" is not true or false)',
        ),
        ({"package_management.pip.retries": "3"}, 'retries must be a non-negative integer (it is "3")'),
        (
            {"package_management.pip.use_secondary_urls": 1},
            "use_secondary_urls must be true or false (it is 1)",
        ),
        (
            {"package_management.pip_api": "http://x/"},
            'package_management.pip_api must be a list of {"index_url"',
        ),
        (
            {"package_management.pip_api": [{"index_url": URL, "api_pattern": "http://x/pypi/json"}]},
            '(entry 1\'s "api_pattern" is not an address with {package_name} in it)',
        ),
        ({"package_management": {"pip": []}}, "package_management.pip must be an object, not a list"),
        ({"package_management": 5}, "package_management must be an object, not 5"),
    ],
)
def test_a_setting_of_the_wrong_shape_is_named_with_the_shape_it_needs(cli, tmp_path, settings, message):
    path = tmp_path / "settings.json"
    path.write_text(json.dumps(settings))
    run = cli("--settings", path, "versions", "x")
    assert run.status == 2 and run.err.startswith(f"quenlet-packages: error: settings file {path}: ")
    assert len(run.err.splitlines()) == 1 and message in run.err


@needs_finder
def test_keys_nothing_reads_are_warned_about_and_ignored(cli, sample_index, tmp_path):
    settings = sample_index.settings_values()
    settings["package_management.pip.retry"] = 2
    settings["package_management.pip.index_urls"][0]["primry"] = True
    settings["ui"] = {"theme": "dark"}
    path = tmp_path / "settings.json"
    path.write_text(json.dumps(settings))
    run = cli("--settings", path, "versions", "sample-pkg")
    assert run.status == 0 and run.out.startswith("Versions of sample-pkg")
    warning = f"quenlet-packages: warning: settings file {path}: "
    assert sorted(run.err.splitlines()) == [
        f'{warning}unknown field "primry" in entry 1 of {KEY} is ignored',
        f"{warning}unknown key package_management.pip.retry is ignored",
        f"{warning}unknown key ui is ignored",
    ]


def _read_only(folder):
    """A command prefix under which ``folder`` is on a read-only file system: root writes past
    permission bits, so only a read-only mount stops everyone. None where that cannot be had."""
    if shutil.which("unshare") is None:
        return None
    wrapper = [
        "unshare",
        "--user",
        "--map-root-user",
        "--mount",
        "sh",
        "-c",
        'mount -o bind,ro "$0" "$0" && exec "$@"',
    ]
    probe = subprocess.run([*wrapper, str(folder), "true"], capture_output=True, check=False)
    return [*wrapper, str(folder)] if probe.returncode == 0 else None


@needs_manager
@pytest.mark.parametrize("problem", ["read-only", "a file"])
@pytest.mark.parametrize(
    "argv",
    [
        ["install", "sample-pkg==10.0", "--target", "FOLDER"],
        ["--base-dir", "FOLDER", "cache-install", "sample-pkg", "10.0"],
    ],
    ids=["--target", "--base-dir"],
)
def test_a_folder_that_cannot_be_written_is_named_before_pip_runs(
    cli, settings_file, tmp_path, argv, problem
):
    folder = tmp_path / "folder"
    wrapper = ()
    if problem == "a file":
        folder.write_text("")
        reason = "not a directory"
    else:
        folder.mkdir()
        wrapper = _read_only(folder)
        if wrapper is None:
            pytest.skip("no read-only mount can be made here (unshare)")
        reason = "read-only file system"
    argv = [str(folder) if a == "FOLDER" else a for a in argv]
    run = cli("--settings", settings_file, *argv, wrapper=wrapper)
    assert (run.status, run.out) == (2, "")
    assert run.err == f"quenlet-packages: error: cannot write to {folder}: {reason}\n"
