"""A guided tour of the package modules, through the command line, against local indexes.

``python -m quenlet_master.demo`` (or ``make demo``) builds a few sample packages, serves them
from two package indexes on 127.0.0.1 — a primary one whose JSON API is configured and a
secondary one reached through its simple pages only — writes a settings file naming both, and
runs ``quenlet-packages`` commands against them as child processes, showing their output as it
arrives. Everything it starts is stopped and everything it writes is removed when it ends.
"""

from __future__ import annotations

import contextlib
import json
import os
import shlex
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from quenlet_master.local_index import LocalIndex, LocalIndexServer

# (name, version, options of ``build_wheel``)
Release = tuple[str, str, dict[str, Any]]

# Primary index: the main sample package and its dependency. The versions are chosen so that
# text order and release order differ (9.0 sorts after 10.0 as text) and one is a pre-release.
PRIMARY_RELEASES: list[Release] = [
    ("quenlet-widgets", "1.0", {"summary": "Sample widgets", "requires_dist": ["quenlet-core>=1.0"]}),
    ("quenlet-widgets", "9.0", {"summary": "Sample widgets", "requires_dist": ["quenlet-core>=1.0"]}),
    (
        "quenlet-widgets",
        "10.0",
        {
            "summary": "Sample widgets",
            "extras": ["cli", "speedups"],
            "requires_dist": [
                "quenlet-core>=1.2",
                'quenlet-speedups>=0.2; extra == "speedups"',
                'quenlet-cli-tools[color]; extra == "cli"',
            ],
        },
    ),
    ("quenlet-widgets", "11.0rc1", {"summary": "Sample widgets", "requires_dist": ["quenlet-core>=2.0"]}),
    ("quenlet-core", "1.0", {"summary": "Core of the sample widgets"}),
    ("quenlet-core", "1.2", {"summary": "Core of the sample widgets"}),
]
# Secondary index: only simple pages, so the index client falls back to its package finder.
SECONDARY_RELEASES: list[Release] = [
    ("quenlet-gadgets", "0.9", {"summary": "Sample gadgets"}),
    ("quenlet-gadgets", "2.0", {"summary": "Sample gadgets"}),
    ("quenlet-gadgets", "2.1b1", {"summary": "Sample gadgets"}),
    ("quenlet-speedups", "0.2", {"summary": "Optional speed-ups"}),
]


@dataclass(frozen=True)
class Step:
    title: str
    argv: list[str]
    expected_status: int = 0


def tour_steps(target_dir: str) -> list[Step]:
    return [
        Step("Versions, newest first (primary index, through its JSON API)", ["versions", "quenlet-widgets"]),
        Step(
            "Versions of a package only the secondary index has (through its simple pages)",
            ["versions", "quenlet-gadgets"],
        ),
        Step("The extras a version offers", ["extras", "quenlet-widgets", "10.0"]),
        Step("The dependencies a version declares", ["deps", "quenlet-widgets", "10.0"]),
        Step("Which index has a package", ["find", "quenlet-gadgets"]),
        Step("Which index has one version of a package", ["find", "quenlet-widgets", "9.0"]),
        Step("Is a requirement already satisfied in this interpreter?", ["check", "packaging", ">=20"]),
        Step("... and one that is not (exit status 1)", ["check", "quenlet-widgets", ">=10"], 1),
        Step(
            "A streamed install: pip's lines arrive as pip writes them",
            ["install", "quenlet-widgets==10.0", "--target", target_dir],
        ),
        Step(
            "An install pip cannot satisfy: its complaints arrive on standard error (exit status 1)",
            ["install", "quenlet-widgets==12.0", "--target", target_dir],
            1,
        ),
        Step(
            "An install into the package cache",
            ["cache-install", "quenlet-widgets", "10.0", "--extra", "cli"],
        ),
        Step(
            "The same install again: served from the cache",
            ["cache-install", "quenlet-widgets", "10.0", "--extra", "cli"],
        ),
        Step("A package no index has (exit status 1)", ["versions", "quenlet-nonexistent"], 1),
    ]


def hermetic_pip_environment() -> dict[str, str]:
    """The environment without the machine's pip configuration.

    The machine's configuration may name other indexes or wheel folders; the tour must install
    from the two local indexes and nothing else.
    """
    env = {key: value for key, value in os.environ.items() if not key.startswith("PIP_")}
    env["PIP_CONFIG_FILE"] = os.devnull
    env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    return env


def write_settings(path: Path, primary: LocalIndex, secondary: LocalIndex) -> None:
    settings = {
        "package_management": {
            "pip": {
                "index_urls": [
                    {"url": primary.simple_url, "primary": True},
                    {"url": secondary.simple_url},
                ],
                "use_secondary_urls": True,
                "retries": 0,
            },
            "pip_api": [{"index_url": primary.simple_url, "api_pattern": primary.api_pattern}],
        }
    }
    path.write_text(json.dumps(settings, indent=2) + "\n", encoding="utf-8")


def run_step(number: int, step: Step, base_argv: list[str], env: dict[str, str], cwd: str) -> bool:
    print(f"\n== {number}. {step.title} ==", flush=True)
    print("$ " + shlex.join(["quenlet-packages", *step.argv]), flush=True)
    with subprocess.Popen(
        [*base_argv, *step.argv],
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        stdin=subprocess.DEVNULL,
        text=True,
        env=env,
        cwd=cwd,
    ) as process:
        assert process.stdout is not None
        for line in process.stdout:
            print("    " + line.rstrip("\n"), flush=True)
    print(f"  (exit status {process.returncode})", flush=True)
    if process.returncode != step.expected_status:
        print(f"  !! expected exit status {step.expected_status}", flush=True)
        return False
    return True


def main() -> int:
    started = time.monotonic()
    with contextlib.ExitStack() as stack:
        work = Path(stack.enter_context(tempfile.TemporaryDirectory(prefix="quenlet-demo-")))
        primary = stack.enter_context(LocalIndexServer(work / "primary-index"))
        secondary = stack.enter_context(LocalIndexServer(work / "secondary-index"))
        for index, releases in ((primary, PRIMARY_RELEASES), (secondary, SECONDARY_RELEASES)):
            for name, version, options in releases:
                index.add_wheel(name, version, **options)
        settings_path = work / "settings.json"
        write_settings(settings_path, primary, secondary)

        base_argv = [
            sys.executable,
            "-m",
            "quenlet_master.cli",
            "--settings",
            str(settings_path),
            "--base-dir",
            str(work / "base"),
        ]
        print("Package modules tour", flush=True)
        print(f"  work folder:     {work}", flush=True)
        print(f"  primary index:   {primary.simple_url} (JSON API {primary.api_pattern})", flush=True)
        print(f"  secondary index: {secondary.simple_url} (simple pages only)", flush=True)
        print(f"  every command runs as: {shlex.join(base_argv[:3])}", flush=True)
        print(f"      {shlex.join(base_argv[3:])} COMMAND ...", flush=True)
        print(
            f"  pip sees none of this machine's pip configuration: PIP_CONFIG_FILE={os.devnull}", flush=True
        )
        print("      and no PIP_* variables, so that every install comes from the indexes above", flush=True)
        steps = tour_steps(str(work / "site-packages"))
        env = hermetic_pip_environment()
        failed = [
            step.title
            for number, step in enumerate(steps, 1)
            if not run_step(number, step, base_argv, env, str(work))
        ]
    print(f"\nTour finished in {time.monotonic() - started:.1f} s; indexes stopped, {work} removed.")
    if failed:
        print(f"{len(failed)} step(s) did not behave as expected: " + "; ".join(failed), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
