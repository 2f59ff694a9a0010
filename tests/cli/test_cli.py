"""The installed command line end to end, against a package index on 127.0.0.1."""

import contextlib
import importlib.metadata
import json
import os
import signal
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest
from cli_support import (
    SCRIPT,
    needs_check,
    needs_finder,
    needs_manager,
    processes_mentioning,
    start_cli,
    unsanitized_only,
    write_settings,
)
from support import child_processes

from quenlet_master.cli import main
from quenlet_master.cli.arguments import parse_arguments
from quenlet_master.cli.settings_file import build_settings
from quenlet_master.demo import hermetic_pip_environment
from quenlet_master.local_index import LocalIndexServer

pytestmark = unsanitized_only

SAMPLE_DEPENDENCIES = [
    {"name": "sample-core", "version_spec": ">=1.0", "extras": [], "markers": ""},
    {"name": "sample-speedups", "version_spec": ">=0.2", "extras": ["simd"], "markers": 'extra == "fast"'},
    {"name": "sample-docs", "version_spec": "", "extras": [], "markers": 'extra == "docs"'},
]


@needs_finder
@pytest.mark.parametrize(
    ("argv", "key", "expected"),
    [
        (["versions", "sample-pkg"], "versions", ["11.0rc1", "10.0", "9.0", "1.0"]),
        (["extras", "sample-pkg", "10.0"], "extras", ["docs", "fast"]),
        (["deps", "Sample_Pkg", "10.0"], "dependencies", SAMPLE_DEPENDENCIES),
        (["find", "sample-pkg"], "index_url", "INDEX"),
        (["find", "sample-pkg", "9.0"], "index_url", "INDEX"),
    ],
)
def test_queries_answer_in_json(cli, each_settings_file, sample_index, argv, key, expected):
    run = cli("--settings", each_settings_file, *argv, "--json")
    assert (run.status, run.err) == (0, "")
    assert run.document[key] == (sample_index.simple_url if expected == "INDEX" else expected)


@needs_finder
def test_text_output_lists_versions_newest_first_and_requirements_readably(cli, each_settings_file):
    run = cli("--settings", each_settings_file, "versions", "sample-pkg")
    assert run.out.splitlines() == [
        "Versions of sample-pkg (newest first):",
        "  11.0rc1",
        "  10.0",
        "  9.0",
        "  1.0",
    ]
    run = cli("--settings", each_settings_file, "deps", "sample-pkg", "10.0")
    assert run.out.splitlines()[1:] == [
        "  sample-core >=1.0",
        '  sample-speedups[simd] >=0.2; extra == "fast"',
        '  sample-docs; extra == "docs"',
    ]


@needs_finder
@pytest.mark.parametrize(
    ("argv", "status", "out", "err"),
    [
        (["extras", "sample-pkg", "1.0"], 0, "Extras of sample-pkg 1.0: none\n", ""),
        (["deps", "sample-core", "1.0"], 0, "Dependencies of sample-core 1.0: none\n", ""),
        (["extras", "sample-pkg", "3.0"], 1, "", "sample-pkg 3.0 not found on the configured indexes"),
        (["deps", "sample-core", "3.0"], 1, "", "sample-core 3.0 not found on the configured indexes"),
    ],
)
def test_a_version_without_extras_or_dependencies_is_told_from_a_missing_one(
    cli, each_settings_file, argv, status, out, err
):
    run = cli("--settings", each_settings_file, *argv)
    assert (run.status, run.out) == (status, out)
    assert run.err == (f"quenlet-packages: error: {err}\n" if err else "")


@needs_finder
def test_extra_indexes_given_are_searched_and_the_files_on_request(cli, sample_index, tmp_path):
    with LocalIndexServer(tmp_path / "secondary") as secondary:
        secondary.add_wheel("only-secondary", "2.0")
        # Named on the command line: searched when the primary has nothing, as pip users expect.
        options = ["--index-url", sample_index.simple_url, "--extra-index-url", secondary.simple_url]
        found = cli(*options, "find", "only-secondary", "--json")
        assert found.status == 0 and found.document["index_url"] == secondary.simple_url

        # Named in a settings file, they wait for --use-secondary, as the host's settings do.
        settings = tmp_path / "settings.json"
        entries = [{"url": sample_index.simple_url, "primary": True}, {"url": secondary.simple_url}]
        settings.write_text(json.dumps({"package_management.pip.index_urls": entries}))
        refused = cli("--settings", settings, "find", "only-secondary")
        assert refused.status == 1 and "no configured index has only-secondary" in refused.err
        versions = cli("versions", "only-secondary", "--json", "--settings", settings, "--use-secondary")
        assert versions.document["versions"] == ["2.0"]


@pytest.mark.parametrize(
    ("argv", "message"),
    [
        (["versions"], "the following arguments are required: name"),
        (["upgrade", "x"], "invalid choice: 'upgrade'"),
        (["--retries", "-1", "versions", "x"], "'-1' is not a non-negative integer"),
        (["--index-url", "ftp://index.example/simple", "versions", "x"], "is not an http://, https://"),
        (["versions", "x", "--api-pattern", "http://127.0.0.1/simple"], "is not INDEX_URL=PATTERN"),
        (["--settings", "missing.json", "versions", "x"], "cannot read settings file missing.json"),
        # Names go into index addresses: one that is not a name is not asked about.
        (["versions", ""], "argument name: '' is not a valid package name"),
        (["deps", "sample/pkg", "1.0"], "argument name: 'sample/pkg' is not a valid package name"),
        (["extras", "sample-pkg", "../1.0"], "argument version: '../1.0' is not a version"),
        (["extras", "sample-pkg", "1.0 rc1"], "argument version: '1.0 rc1' is not a version"),
        (["deps", "sample-pkg", ""], "argument version: '' is not a version"),
        (["install", "sample-pkg", "--target", ""], "argument --target: an empty folder name"),
        (["--base-dir", "", "cache-install", "sample-pkg", "1.0"], "argument --base-dir: an empty folder"),
        # The specifications the package manager refuses, refused before anything starts.
        (["install", "numpy>=1.20"], "'numpy>=1.20' is refused: Package spec contains invalid character: >"),
        (
            ["install", "pkg;rm -rf /"],
            "'pkg;rm -rf /' is refused: Package spec contains invalid character: ;",
        ),
        (["install", "pkg\n"], "'pkg\\n' is refused: Package spec contains invalid character: \\n"),
        (["cache-install", "sample-pkg", "1.0", "--extra", "a b"], "'sample-pkg[a b]==1.0' is refused: "),
        (["check", "packaging", "1.0"], "'1.0' is not a version specifier such as '>=1.0,<2'"),
        (["check", "packaging>=1", ">=2"], "'packaging>=1' has a version specifier already"),
        (["check", "packaging @ https://example.org/p.whl"], "only a name, extras and version specifiers"),
        (["check", "packaging >"], "'packaging >' is not a requirement: Expected "),
    ],
)
def test_usage_errors_end_with_one_line_and_status_2(cli, argv, message):
    run = cli(*argv)
    assert run.status == 2 and run.out == ""
    assert len(run.err.splitlines()) == 1 and run.err.startswith("quenlet-packages: error: ")
    assert message in run.err


@pytest.mark.parametrize(
    ("argv", "message"),
    [
        pytest.param(["versions", "no-such-pkg"], "no versions of no-such-pkg found", marks=needs_finder),
        pytest.param(
            ["find", "sample-pkg", "3.0"], "no configured index has sample-pkg 3.0", marks=needs_finder
        ),
    ],
)
def test_nothing_found_is_status_1(cli, settings_file, argv, message):
    run = cli("--settings", settings_file, *argv)
    assert run.status == 1 and len(run.err.splitlines()) == 1 and message in run.err


@needs_finder
@pytest.mark.parametrize(
    ("with_api", "reason"),
    [(True, "Failed to query {url} for sample-pkg: "), (False, "Unearth _get_versions failed: ")],
    ids=["json-api", "simple-pages"],
)
def test_unreachable_index_is_nothing_found_with_the_reason(cli, closed_port_url, with_api, reason):
    options = ["--index-url", closed_port_url]
    if with_api:
        options += ["--api-pattern", f"{closed_port_url}={closed_port_url}{{package_name}}/json"]
    run = cli(*options, "versions", "sample-pkg")
    assert run.status == 1 and len(run.err.splitlines()) == 1
    assert "no versions of sample-pkg found" in run.err
    assert "(last index error: " + reason.format(url=closed_port_url) in run.err


INSTALLED_PACKAGING = importlib.metadata.version("packaging")
INSTALLED_AIOHTTP = importlib.metadata.version("aiohttp")


@needs_check
@pytest.mark.parametrize(
    ("argv", "status", "installed", "extras"),
    [
        (["packaging>=20"], 0, INSTALLED_PACKAGING, []),
        (["packaging >= 20, < 9999"], 0, INSTALLED_PACKAGING, []),
        (["packaging", ">=20"], 0, INSTALLED_PACKAGING, []),
        (["PACKAGING", ""], 0, INSTALLED_PACKAGING, []),
        (["aiohttp[speedups]>=3"], 0, INSTALLED_AIOHTTP, ["speedups"]),
        (["asyncio"], 0, sys.version.split()[0], []),
        # Not satisfied, yet installed: the version that is there is reported.
        (["packaging", ">=9999"], 1, INSTALLED_PACKAGING, []),
        (["packaging[no-such-extra]"], 1, INSTALLED_PACKAGING, ["no-such-extra"]),
        (["packaging", "--extra", "no-such-extra"], 1, INSTALLED_PACKAGING, ["no-such-extra"]),
        (["sample-pkg>=1"], 1, None, []),
    ],
)
def test_check_takes_requirements_as_pip_users_write_them(cli, argv, status, installed, extras):
    run = cli("check", *argv, "--json")
    assert run.status == status
    document = run.document
    assert (document["satisfied"], document["installed_version"]) == (status == 0, installed)
    assert document["extras"] == extras


@needs_check
@pytest.mark.parametrize(
    ("argv", "err"),
    [
        (
            ["packaging", ">=9999"],
            f"packaging>=9999 is not satisfied: packaging {INSTALLED_PACKAGING} is installed",
        ),
        (
            ["packaging[no-such-extra]"],
            f"packaging[no-such-extra] is not satisfied: packaging {INSTALLED_PACKAGING} does not offer "
            "every extra asked for",
        ),
        (["sample-pkg"], f"sample-pkg is not installed in {sys.executable}"),
    ],
)
def test_check_says_why_a_requirement_is_not_satisfied(cli, argv, err):
    run = cli("check", *argv)
    assert (run.status, run.out, run.err) == (1, "", f"quenlet-packages: error: {err}\n")


@needs_manager
def test_install_streams_pip_output_then_the_result(cli, settings_file, tmp_path):
    target = tmp_path / "site"
    run = cli("--settings", settings_file, "install", "sample-pkg==10.0", "--target", target)
    assert run.status == 0, run.err
    lines = run.out.splitlines()
    assert lines[0].startswith("  stdout | ") and len(lines) > 2
    assert lines[-1] == f"Successfully installed sample-pkg==10.0 into {target}"
    # pip resolved the dependency from the same index
    assert (target / "sample_pkg" / "__init__.py").is_file() and (target / "sample_core").is_dir()


@needs_manager
def test_failed_install_keeps_pip_stderr_apart_and_exits_1(cli, settings_file, tmp_path):
    run = cli("--settings", settings_file, "install", "sample-pkg==99.0", "--target", tmp_path, "--json")
    items = run.items
    assert run.status == 1
    assert any(i.get("type") == "stderr" and "sample-pkg==99.0" in i["content"] for i in items)
    assert items[-2]["type"] == "error" and items[-2]["content"] == "pip install failed with return code 1"
    assert items[-1]["error"] == "pip install failed with return code 1" and items[-1]["exit_status"] == 1
    assert run.err == "quenlet-packages: error: pip install failed with return code 1\n"


@needs_manager
def test_second_cache_install_is_served_from_the_cache(cli, settings_file, tmp_path):
    argv = ["--settings", settings_file, "--base-dir", tmp_path, "cache-install", "sample-pkg", "10.0"]
    first = cli(*argv, "--extra", "fast")
    assert first.status == 0, first.err
    assert first.out.splitlines()[-1].startswith(
        "Successfully installed sample-pkg[fast]==10.0 to cache into "
    )
    installed = first.out.splitlines()[-1].rpartition(" into ")[2]
    assert Path(installed, "sample_pkg").is_dir()

    second = cli(*argv, "--extra", "fast", "--json")
    assert second.status == 0
    assert [i["type"] for i in second.items] == ["stdout", "success", "cached"]
    assert second.items[-1]["content"] == installed

    other_extras = cli(*argv)
    assert other_extras.status == 0 and "served from the cache" not in other_extras.out


@needs_manager
def test_installs_follow_pip_variables_unless_isolated_and_queries_never_do(cli, settings_file, tmp_path):
    # A variable that, obeyed, keeps pip away from every index the settings name.
    env = hermetic_pip_environment() | {"PIP_NO_INDEX": "1"}
    install = ["--settings", settings_file, "install", "sample-pkg==10.0"]
    obeyed = cli(*install, "--target", tmp_path / "a", "--json", env=env)
    assert obeyed.status == 1
    assert any("(from versions: none)" in i.get("content", "") for i in obeyed.items)

    isolated = cli(*install, "--target", tmp_path / "b", "--isolated", env=env)
    assert isolated.status == 0, isolated.err
    cached = cli("--settings", settings_file, "cache-install", "sample-core", "1.0", "--isolated", env=env)
    assert cached.status == 0, cached.err

    assert cli("--settings", settings_file, "versions", "sample-pkg", env=env).status == 0


@needs_manager
@pytest.mark.parametrize(
    ("name", "status", "output"),
    [
        ("Sample_Pkg", 0, "sample-pkg 10.0\n  A sample\n"),
        ("no-such-pkg", 1, "no information on no-such-pkg: Package 'no-such-pkg' not found on PyPI"),
    ],
)
def test_info_reports_the_public_index_document(cli, sample_index, public_index_at, name, status, output):
    run = cli("info", name, env=public_index_at(sample_index))
    assert run.status == status
    assert output in (run.out if status == 0 else run.err)


@needs_finder
def test_verbose_shows_the_modules_log_lines_on_stderr(cli, settings_file):
    quiet = cli("--settings", settings_file, "versions", "sample-pkg")
    loud = cli("--settings", settings_file, "versions", "sample-pkg", "-v")
    assert quiet.err == "" and quiet.out == loud.out
    assert "INFO quenlet_master.business_layer.packages.repo_finder: Querying primary index" in loud.err


def test_console_script_is_installed_for_the_command_line():
    (script,) = importlib.metadata.entry_points(group="console_scripts", name="quenlet-packages")
    assert script.load() is main
    assert SCRIPT == Path(sysconfig.get_path("scripts"), "quenlet-packages")
    # Run as a shell runs it; --version loads no native module, so this works under the
    # sanitizers too, whose runtime such a start would not load.
    child = subprocess.run([SCRIPT, "--version"], capture_output=True, text=True, check=False)
    assert (child.returncode, child.stderr) == (0, "")
    assert child.stdout == f"quenlet-packages {importlib.metadata.version('quenlet-packages')}\n"


@pytest.mark.skipif(sys.version_info < (3, 14), reason="argparse suggests choices from 3.14 on")
def test_a_mistyped_command_gets_a_suggestion(cli):
    run = cli("verisons", "sample-pkg")
    assert run.status == 2 and "invalid choice: 'verisons', maybe you meant 'versions'?" in run.err


# Options and settings are only parsed here: no index is ever asked.
A, B, C, D, E = (f"http://index-{name}.example/simple/" for name in "abcde")
FILE_INDEXES = [{"url": A, "primary": True}, {"url": B}]
FILE_API = [{"index_url": A, "api_pattern": "http://index-a.example/pypi/{package_name}/json"}]
B_API = "http://index-b.example/api/{package_name}/{version}"


@pytest.mark.parametrize(
    ("options", "index_urls", "use_secondary", "api"),
    [
        ([], FILE_INDEXES, False, FILE_API),
        (["--index-url", C], [{"url": C, "primary": True}, {"url": B}], False, FILE_API),
        (
            ["--extra-index-url", D, "--extra-index-url", E],
            [FILE_INDEXES[0], {"url": D}, {"url": E}],
            True,
            FILE_API,
        ),
        (
            ["--api-pattern", f"http://index-b.example/simple={B_API}"],
            FILE_INDEXES,
            False,
            [{"index_url": "http://index-b.example/simple", "api_pattern": B_API}, *FILE_API],
        ),
    ],
)
def test_options_are_laid_over_the_settings_file(tmp_path, options, index_urls, use_secondary, api):
    path = tmp_path / "settings.json"
    path.write_text(
        json.dumps(
            {
                "package_management.pip.index_urls": FILE_INDEXES,
                "package_management.pip.use_secondary_urls": False,
                "package_management.pip.retries": 7,
                "package_management.pip_api": FILE_API,
            }
        )
    )
    # Options are accepted before and after the command alike.
    half = len(options) // 2 if len(options) > 2 else 0
    argv = ["--settings", str(path), *options[:half], "versions", "x", *options[half:]]
    settings = build_settings(parse_arguments(argv))
    assert settings.get("package_management.pip.index_urls") == index_urls
    assert settings.get("package_management.pip.use_secondary_urls") is use_secondary
    assert settings.get("package_management.pip_api") == api
    assert settings.get("package_management.pip.retries") == 7


def test_options_alone_make_complete_settings():
    args = parse_arguments(["--index-url", A, "versions", "x", "--use-secondary", "--retries", "0"])
    assert build_settings(args).as_dict() == {
        "package_management": {
            "pip": {
                "index_urls": [{"url": A, "primary": True}],
                "use_secondary_urls": True,
                "retries": 0,
            }
        }
    }


@contextlib.contextmanager
def sigint_at_its_default_in_children():
    """Children started inside have SIGINT at its default, as when a user starts them from a
    terminal. A background job of a non-interactive shell (`make test > log &`) starts with SIGINT
    ignored, and an ignored signal stays ignored across exec: Python would then install no handler
    for it, nor asyncio, and the child would never see the interrupt. A signal this process
    handles is reset to its default in a child at exec."""
    if signal.getsignal(signal.SIGINT) is not signal.SIG_IGN:
        yield
        return
    signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, signal.SIG_IGN)


@needs_manager
@pytest.mark.parametrize(
    ("stop", "status", "said"),
    [(signal.SIGINT, 130, "interrupted"), (signal.SIGTERM, 143, "terminated")],
    ids=["SIGINT", "SIGTERM"],
)
def test_a_stopped_install_stops_pip_and_says_so(sample_index, tmp_path, stop, status, said):
    sample_index.faults.set("/simple/sample-pkg/", delay=30)  # pip waits here until we stop it
    settings = write_settings(tmp_path / "settings.json", sample_index)
    with sigint_at_its_default_in_children():
        cli_process = start_cli("--settings", settings, "install", "sample-pkg==10.0", cwd=tmp_path)
    with cli_process:
        assert cli_process.stdout.readline().startswith("  stdout | Looking in indexes: ")
        pip = child_processes(cli_process.pid)
        cli_process.send_signal(stop)
        _, err = cli_process.communicate(timeout=30)
    assert cli_process.returncode == status and err == f"quenlet-packages: error: {said}\n"
    assert pip and not any(Path(f"/proc/{pid}").exists() for pid in pip)


@needs_manager
def test_a_reader_that_leaves_ends_an_install_quietly_and_stops_pip(settings_file, tmp_path):
    # `quenlet-packages install ... | head -1`
    target = tmp_path / "site"
    argv = ["--settings", settings_file, "install", "sample-pkg==10.0", "--target", target]
    with start_cli(*argv, cwd=tmp_path) as cli_process:
        assert cli_process.stdout.readline().startswith("  stdout | ")
        cli_process.stdout.close()
        err = cli_process.stderr.read()
        cli_process.wait(timeout=60)
    assert (cli_process.returncode, err) == (141, "")
    assert processes_mentioning(str(target)) == []


@needs_finder
def test_a_reader_gone_before_the_answer_ends_a_query_quietly(settings_file, tmp_path):
    read_end, write_end = os.pipe()
    os.close(read_end)  # `| head -0`, and certain to be gone before the first line
    with start_cli("--settings", settings_file, "versions", "sample-pkg", stdout=write_end) as cli_process:
        os.close(write_end)
        err = cli_process.stderr.read()
        cli_process.wait(timeout=60)
    assert (cli_process.returncode, err) == (141, "")
