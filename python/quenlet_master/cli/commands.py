"""The commands: each asks the modules, then reports the answer or why there is none."""

from __future__ import annotations

import argparse
import contextlib
import errno
import importlib
import os
import sys
import tempfile
import warnings
from collections.abc import AsyncGenerator, Callable, Coroutine
from typing import Any

from quenlet_master.business_layer.packages.pip_command_builder import PipCommandBuilder
from quenlet_master.cli.logs import ReasonCollector
from quenlet_master.cli.output import EXIT_NOT_FOUND, EXIT_OK, CliError, Reporter, print_error
from quenlet_master.config.settings import SettingsManager


class IsolatedPipCommandBuilder(PipCommandBuilder):
    """pip's commands with its own --isolated: PIP_* variables and the user's file are ignored."""

    def build_install_command(self, *args: Any, **kwargs: Any) -> list[str]:
        # pip takes its options after the package spec too, whatever the builder put before it.
        return [*super().build_install_command(*args, **kwargs), "--isolated"]


class Session:
    """What one command works with: its arguments, the settings, the module objects, the output."""

    def __init__(
        self, args: argparse.Namespace, settings: SettingsManager, report: Reporter, reasons: ReasonCollector
    ):
        self.args = args
        self.settings = settings
        self.report = report
        self.reasons = reasons
        self._finder: Any = None

    @property
    def finder(self) -> Any:
        if self._finder is None:
            self._finder = load_module("repo_finder").RepoFinder(self.settings)
        return self._finder

    def manager(self) -> Any:
        manager = load_module("manager").PackageManager(self.args.base_dir, self.settings)
        if getattr(self.args, "isolated", False):
            manager.pip_command_builder = IsolatedPipCommandBuilder(self.settings)
        return manager

    def nothing_found(self, message: str, explain: bool = True) -> int:
        if explain and self.reasons.last:
            message = f"{message} (last index error: {self.reasons.last})"
        return self.report.failure(message, EXIT_NOT_FOUND)

    async def close(self) -> None:
        if self._finder is not None:
            await self._finder.close()


def load_module(name: str) -> Any:
    qualified = f"quenlet_master.business_layer.packages.{name}"
    with warnings.catch_warnings():
        # 3.14t announces that it turns the GIL on for these modules; that is by design and
        # would otherwise greet every command.
        warnings.filterwarnings("ignore", "The global interpreter lock", RuntimeWarning)
        try:
            return importlib.import_module(qualified)
        except ImportError as exc:
            raise CliError(f"the native module {qualified} cannot be loaded: {exc}") from None


# -- queries -------------------------------------------------------------------------------------


async def cmd_versions(s: Session) -> int:
    name = s.args.name
    versions = list(await s.finder.get_versions(name) or [])
    if not versions:
        return s.nothing_found(f"no versions of {name} found on the configured indexes")
    s.report.result(
        {"package": name, "versions": versions},
        [f"Versions of {name} (newest first):", *(f"  {v}" for v in versions)],
    )
    return EXIT_OK


async def _version_listing(s: Session, key: str, title: str, items: list[Any], lines: list[str]) -> int:
    """extras and deps: an empty list is an answer when the version exists, and "not found" if not."""
    name, version = s.args.name, s.args.version
    if not items and await s.finder.find_repo_for_package_version(name, version) is None:
        return s.nothing_found(f"{name} {version} not found on the configured indexes")
    s.report.result(
        {"package": name, "version": version, key: items},
        [f"{title} of {name} {version}:", *(f"  {line}" for line in lines)]
        if items
        else [f"{title} of {name} {version}: none"],
    )
    return EXIT_OK


async def cmd_extras(s: Session) -> int:
    extras = list(await s.finder.get_extras(s.args.name, s.args.version) or [])
    return await _version_listing(s, "extras", "Extras", extras, extras)


def _requirement_text(dep: dict[str, Any]) -> str:
    text = str(dep["name"])
    if dep.get("extras"):
        text += "[" + ",".join(dep["extras"]) + "]"
    if dep.get("version_spec"):
        text += " " + dep["version_spec"]
    if dep.get("markers"):
        text += "; " + dep["markers"]
    return text


async def cmd_deps(s: Session) -> int:
    deps = list(await s.finder.get_dependencies(s.args.name, s.args.version) or [])
    return await _version_listing(
        s, "dependencies", "Dependencies", deps, [_requirement_text(d) for d in deps]
    )


async def cmd_find(s: Session) -> int:
    name, version = s.args.name, s.args.version
    if version is None:
        index_url = await s.finder.find_repo_for_package(name)
        what = name
    else:
        index_url = await s.finder.find_repo_for_package_version(name, version)
        what = f"{name} {version}"
    if index_url is None:
        return s.nothing_found(f"no configured index has {what}")
    s.report.result(
        {"package": name, "version": version, "index_url": index_url}, [f"{what} is on {index_url}"]
    )
    return EXIT_OK


async def cmd_check(s: Session) -> int:
    requirement = s.args.requirement
    name = requirement.name
    specifier = s.args.specifier if s.args.specifier is not None else str(requirement.specifier)
    extras = list(dict.fromkeys([*sorted(requirement.extras), *s.args.extra]))
    wanted = name + (f"[{','.join(extras)}]" if extras else "") + specifier
    # The installed version comes from the same table as the verdict, so the two never disagree.
    installed = s.finder.check_specifier_in_dist(name, "", None)
    satisfied = (
        installed is not None
        and s.finder.check_specifier_in_dist(name, specifier, extras or None) is not None
    )
    s.report.result(
        {
            "package": name,
            "specifier": specifier,
            "extras": extras,
            "satisfied": satisfied,
            "installed_version": installed,
        },
        [f"{wanted} is satisfied: {name} {installed} is installed"] if satisfied else [],
    )
    if satisfied:
        return EXIT_OK
    if installed is None:
        print_error(f"{name} is not installed in {sys.executable}")
    elif s.finder.check_specifier_in_dist(name, specifier, None) is not None:
        print_error(f"{wanted} is not satisfied: {name} {installed} does not offer every extra asked for")
    else:
        print_error(f"{wanted} is not satisfied: {name} {installed} is installed")
    return EXIT_NOT_FOUND


async def cmd_info(s: Session) -> int:
    name = s.args.name
    info = await s.manager().get_package_info(name)
    if "error" in info:
        # The manager logged the same failure; repeating it as a reason would say it twice.
        return s.nothing_found(f"no information on {name}: {info['error']}", explain=False)
    s.report.result(
        {"package": name, **info},
        [f"{info['name']} {info['latest_version']}", *([f"  {info['summary']}"] if info["summary"] else [])],
    )
    return EXIT_OK


# -- installs ------------------------------------------------------------------------------------


def _writable_folder(path: str) -> None:
    """Makes the folder if need be and proves a file can be made in it, so that a folder pip
    cannot use is named before pip runs."""
    try:
        if os.path.exists(path) and not os.path.isdir(path):
            raise NotADirectoryError(errno.ENOTDIR, os.strerror(errno.ENOTDIR), path)
        os.makedirs(path, exist_ok=True)
        with tempfile.TemporaryFile(dir=path):
            pass
    except OSError as exc:
        reason = exc.strerror or str(exc)
        raise CliError(f"cannot write to {path}: {reason[:1].lower()}{reason[1:]}") from None


SPEC_FORMS = "a name, extras in brackets and ==, != or ~= with a version can be installed"


def _valid_spec(spec: str) -> None:
    valid, reason = load_module("manager").validate_package_spec(spec)
    if not valid:
        raise CliError(f"'{spec}' is refused: {reason} ({SPEC_FORMS})")


async def _stream_install(s: Session, items: AsyncGenerator[tuple[str, str], None]) -> int:
    outcome: dict[str, str] = {}
    # Closed on every way out, a closed standard output and a signal included: closing the
    # stream is what stops pip.
    async with contextlib.aclosing(items):
        async for output_type, content in items:
            s.report.item(output_type, content)
            outcome[output_type] = content
    if "error" in outcome:
        return s.report.failure(outcome["error"], EXIT_NOT_FOUND)
    if "success" not in outcome:
        return s.report.failure("the install stream ended without a result", EXIT_NOT_FOUND)
    if "cached" in outcome:
        s.report.note(f"{outcome['success']}: served from the cache at {outcome['cached']}")
    else:
        s.report.note(f"{outcome['success']} into {outcome.get('path', '?')}")
    return EXIT_OK


def _prepared_manager(s: Session, target: str | None) -> Any:
    manager = s.manager()
    if target is not None:
        _writable_folder(target)
    else:
        _writable_folder(s.args.base_dir or os.getcwd())
        _writable_folder(manager.get_target_dir())
    return manager


async def cmd_install(s: Session) -> int:
    _valid_spec(s.args.spec)
    manager = _prepared_manager(s, s.args.target)
    return await _stream_install(s, manager.install_package(s.args.spec, s.args.target))


async def cmd_cache_install(s: Session) -> int:
    args = s.args
    # The package spec the package manager builds from these and checks before pip runs.
    _valid_spec(f"{args.name}{'[' + ','.join(args.extra) + ']' if args.extra else ''}=={args.version}")
    manager = _prepared_manager(s, None)
    return await _stream_install(
        s, manager.install_package_to_cache(args.name, args.version, args.extra or None)
    )


COMMANDS: dict[str, Callable[[Session], Coroutine[Any, Any, int]]] = {
    "versions": cmd_versions,
    "extras": cmd_extras,
    "deps": cmd_deps,
    "find": cmd_find,
    "check": cmd_check,
    "install": cmd_install,
    "cache-install": cmd_cache_install,
    "info": cmd_info,
}
