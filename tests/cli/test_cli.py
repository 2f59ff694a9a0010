"""The command line end to end: real module objects against a package index on 127.0.0.1."""

import importlib.metadata
import json
import signal
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest
from cli_support import needs_check, needs_finder, needs_manager, write_settings
from support import child_processes

from quenlet_master.cli import build_settings, main, parse_arguments
from quenlet_master.demo import hermetic_pip_environment
from quenlet_master.local_index import LocalIndexServer

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
def test_secondary_index_is_searched_only_when_allowed(cli, sample_index, tmp_path):
    with LocalIndexServer(tmp_path / "secondary") as secondary:
        secondary.add_wheel("only-secondary", "2.0")
        options = ["--index-url", sample_index.simple_url, "--extra-index-url", secondary.simple_url]

        refused = cli(*options, "find", "only-secondary")
        assert refused.status == 1 and "no configured index has only-secondary" in refused.err

        found = cli(*options, "--use-secondary", "find", "only-secondary", "--json")
        assert found.status == 0 and found.document["index_url"] == secondary.simple_url
        versions = cli("versions", "only-secondary", "--json", *options, "--use-secondary")
        assert versions.document["versions"] == ["2.0"]


@pytest.mark.parametrize(
    ("argv", "status", "message"),
    [
        pytest.param(["versions", "no-such-pkg"], 1, "no versions of no-such-pkg found", marks=needs_finder),
        pytest.param(
            ["extras", "sample-pkg", "1.0"], 1, "no extras found for sample-pkg 1.0", marks=needs_finder
        ),
        pytest.param(
            ["find", "sample-pkg", "3.0"], 1, "no configured index has sample-pkg 3.0", marks=needs_finder
        ),
        pytest.param(["install", "numpy>=1.20"], 1, "Invalid package spec: ", marks=needs_manager),
        pytest.param(["install", "pkg;rm -rf /"], 1, "invalid character: ;", marks=needs_manager),
        pytest.param(["install", "pkg\n"], 1, "invalid character: \\n\n", marks=needs_manager),
        pytest.param(
            ["cache-install", "sample-pkg", ">=1"], 1, "Invalid package spec: ", marks=needs_manager
        ),
        pytest.param(["check", "packaging", "1.0"], 1, "invalid version specifier '1.0'", marks=needs_check),
        (["versions"], 2, "the following arguments are required: name"),
        (["upgrade", "x"], 2, "invalid choice: 'upgrade'"),
        (["--retries", "-1", "versions", "x"], 2, "'-1' is not a non-negative integer"),
        (["--index-url", "ftp://index.example/simple", "versions", "x"], 2, "is not an http://, https://"),
        (["versions", "x", "--api-pattern", "http://127.0.0.1/simple"], 2, "is not INDEX_URL=PATTERN"),
        (["--settings", "missing.json", "versions", "x"], 2, "cannot read settings file missing.json"),
    ],
)
def test_failures_end_with_one_line_and_their_status(cli, settings_file, argv, status, message):
    run = cli("--settings", settings_file, *argv)
    assert run.status == status
    assert len(run.err.splitlines()) == 1 and run.err.startswith("quenlet-packages: error: ")
    assert message in run.err


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


@pytest.mark.parametrize(
    ("content", "message"),
    [
        ('{"package_management": ', "cannot read settings file "),
        ('["not", "an", "object"]', "must hold a JSON object"),
        # Accepted by the settings store, refused by the index client when it reads it.
        pytest.param(
            '{"package_management.pip_api": "http://index.example/simple/"}',
            "unexpected TypeError: ",
            marks=needs_finder,
        ),
    ],
)
def test_unusable_settings_end_with_status_2_and_no_traceback(cli, tmp_path, content, message):
    path = tmp_path / "settings.json"
    path.write_text(content)
    run = cli("--settings", path, "versions", "x")
    assert run.status == 2 and len(run.err.splitlines()) == 1 and message in run.err


@needs_check
@pytest.mark.parametrize(
    ("argv", "status", "installed"),
    [
        (["packaging", ">=20"], 0, importlib.metadata.version("packaging")),
        (["PACKAGING", ""], 0, importlib.metadata.version("packaging")),
        (["packaging", ">=9999"], 1, None),
        (["packaging", "", "--extra", "no-such-extra"], 1, None),
        (["asyncio"], 0, sys.version.split()[0]),
        (["sample-pkg"], 1, None),
    ],
)
def test_check_tells_whether_this_interpreter_satisfies_a_requirement(cli, argv, status, installed):
    run = cli("check", *argv, "--json")
    assert run.status == status
    assert (run.document["satisfied"], run.document["installed_version"]) == (status == 0, installed)


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
    items = [json.loads(line) for line in run.out.splitlines()]
    assert run.status == 1
    assert any(i["type"] == "stderr" and "sample-pkg==99.0" in i["content"] for i in items)
    assert items[-1] == {"type": "error", "content": "pip install failed with return code 1"}
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
    items = [json.loads(line) for line in second.out.splitlines()]
    assert second.status == 0
    assert [i["type"] for i in items] == ["stdout", "success", "cached"]
    assert items[-1]["content"] == installed

    other_extras = cli(*argv)
    assert other_extras.status == 0 and "served from the cache" not in other_extras.out


def run_cli_process(argv, prelude=""):
    """The command line as a child process; ``prelude`` runs first in it."""
    code = f"{prelude}\nfrom quenlet_master.cli import main\nraise SystemExit(main({argv!r}))"
    return subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        env=hermetic_pip_environment(),
        timeout=60,
    )


@needs_manager
@pytest.mark.parametrize(
    ("name", "status", "output"),
    [
        ("Sample_Pkg", 0, "sample-pkg 10.0\n  A sample\n"),
        ("no-such-pkg", 1, "no information on no-such-pkg: Package 'no-such-pkg' not found on PyPI"),
    ],
)
def test_info_reports_the_public_index_document(sample_index, tmp_path, name, status, output):
    # The public index is whatever pip's record names: the child finds a pip whose record names
    # the local index before the installed one.
    models = tmp_path / "pip" / "_internal" / "models"
    models.mkdir(parents=True)
    for package in (tmp_path / "pip", models.parent, models):
        (package / "__init__.py").write_text("")
    url = sample_index.url + "/"
    (models / "index.py").write_text(f"PyPI = PackageIndex({url!r}, file_storage_domain='127.0.0.1')\n")
    child = run_cli_process(["info", name], f"import sys\nsys.path.insert(0, {str(tmp_path)!r})")
    assert child.returncode == status
    assert output in (child.stdout if status == 0 else child.stderr)


@needs_finder
def test_verbose_shows_the_modules_log_lines_on_stderr(cli, settings_file):
    quiet = cli("--settings", settings_file, "versions", "sample-pkg")
    loud = cli("--settings", settings_file, "versions", "sample-pkg", "-v")
    assert quiet.err == "" and quiet.out == loud.out
    assert "INFO quenlet_master.business_layer.packages.repo_finder: Querying primary index" in loud.err


def test_console_script_is_installed_for_the_command_line():
    (script,) = importlib.metadata.entry_points(group="console_scripts", name="quenlet-packages")
    assert script.load() is main
    assert Path(sysconfig.get_path("scripts"), "quenlet-packages").is_file()


# Options and settings are only parsed here: no index is ever asked.
A, B, C, D, E = (f"http://index-{name}.example/simple/" for name in "abcde")
FILE_INDEXES = [{"url": A, "primary": True}, {"url": B}]
FILE_API = [{"index_url": A, "api_pattern": "http://index-a.example/pypi/{package_name}/json"}]
B_API = "http://index-b.example/api/{package_name}/{version}"


@pytest.mark.parametrize(
    ("options", "index_urls", "api"),
    [
        ([], FILE_INDEXES, FILE_API),
        (["--index-url", C], [{"url": C, "primary": True}, {"url": B}], FILE_API),
        (
            ["--extra-index-url", D, "--extra-index-url", E],
            [FILE_INDEXES[0], {"url": D}, {"url": E}],
            FILE_API,
        ),
        (
            ["--api-pattern", f"http://index-b.example/simple={B_API}"],
            FILE_INDEXES,
            [{"index_url": "http://index-b.example/simple", "api_pattern": B_API}, *FILE_API],
        ),
    ],
)
def test_options_are_laid_over_the_settings_file(tmp_path, options, index_urls, api):
    path = tmp_path / "settings.json"
    path.write_text(
        json.dumps(
            {
                "package_management.pip.index_urls": FILE_INDEXES,
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


@needs_manager
def test_interrupted_install_stops_pip_and_exits_130(sample_index, tmp_path):
    sample_index.faults.set("/simple/sample-pkg/", delay=30)  # pip waits here until we interrupt
    settings = write_settings(tmp_path / "settings.json", sample_index)
    with subprocess.Popen(
        [sys.executable, "-m", "quenlet_master.cli", "--settings", settings, "install", "sample-pkg==10.0"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=hermetic_pip_environment(),
        cwd=tmp_path,
    ) as cli_process:
        assert cli_process.stdout.readline().startswith("  stdout | Looking in indexes: ")
        pip = child_processes(cli_process.pid)
        cli_process.send_signal(signal.SIGINT)
        _, err = cli_process.communicate(timeout=30)
    assert cli_process.returncode == 130 and err == "quenlet-packages: error: interrupted\n"
    assert pip and not any(Path(f"/proc/{pid}").exists() for pid in pip)
