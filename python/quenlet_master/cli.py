"""Command-line front end to the package manager and the index client.

It drives the two native modules exactly as the host application does: one ``RepoFinder`` and
one ``PackageManager`` built on a ``SettingsManager``, their coroutines awaited and their
install streams iterated on one event loop, and the index client's session closed at the end.

    quenlet-packages --settings settings.json versions requests
    quenlet-packages --index-url http://127.0.0.1:8080/simple/ install "requests==2.31.0" --target lib
    python -m quenlet_master.cli deps requests 2.31.0 --json

Exit status: 0 success, 1 nothing found or install failed, 2 usage or unexpected error.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import logging
import sys
import warnings
from collections.abc import AsyncIterator, Callable, Coroutine
from typing import Any
from urllib.parse import urlsplit

from quenlet_master.business_layer.packages.pip_command_builder import (
    INDEX_URLS_KEY,
    RETRIES_KEY,
    USE_SECONDARY_URLS_KEY,
)
from quenlet_master.config import public_index
from quenlet_master.config.logging_config import ROOT_LOGGER_NAME
from quenlet_master.config.settings import SettingsManager

PROG = "quenlet-packages"
PIP_API_KEY = "package_management.pip_api"
INDEX_URL_SCHEMES = ("http", "https", "file")

EXIT_OK = 0
EXIT_NOT_FOUND = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

# The package finder the index client uses warns about every index page it cannot read (a
# missing project included); the index client already logs what matters of that as its own.
FINDER_LOGGER_NAME = "unearth"


class CliError(Exception):
    """A failure that ends the command with one line on standard error."""

    def __init__(self, message: str, exit_code: int = EXIT_USAGE):
        super().__init__(message)
        self.exit_code = exit_code


# -- arguments -----------------------------------------------------------------------------------


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> Any:
        # One line, not argparse's usage block: the command may run under a script that logs it.
        raise CliError(f"{message} (see '{self.prog} --help')")


def _index_url(text: str) -> str:
    parts = urlsplit(text)
    if parts.scheme not in INDEX_URL_SCHEMES or not (parts.netloc or parts.scheme == "file"):
        raise argparse.ArgumentTypeError(f"'{text}' is not an http://, https:// or file:// address")
    return text


def _api_pattern(text: str) -> tuple[str, str]:
    index_url, sep, pattern = text.partition("=")
    if not sep or not index_url or not pattern:
        raise argparse.ArgumentTypeError(f"'{text}' is not INDEX_URL=PATTERN")
    if "{package_name}" not in pattern:
        raise argparse.ArgumentTypeError(f"pattern '{pattern}' has no {{package_name}} placeholder")
    return _index_url(index_url), _index_url(pattern)


def _retries(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"'{text}' is not a non-negative integer")
    return value


# Repeatable options may be given on both sides of the command; argparse hands the command's
# parser a namespace of its own, so the two halves are kept apart and joined after parsing.
_REPEATABLE = ("extra_index_url", "api_pattern")
_AFTER_COMMAND = "_after_command"


def _add_common_options(parser: argparse.ArgumentParser, after_command: bool) -> None:
    """Options accepted both before and after the command.

    The command's parser would overwrite what the main parser read with its own defaults, so
    there they are suppressed and set only when given.
    """

    def default(value: Any) -> Any:
        return argparse.SUPPRESS if after_command else value

    def repeatable(dest: str) -> str:
        return dest + _AFTER_COMMAND if after_command else dest

    group = parser.add_argument_group("index and settings options")
    group.add_argument(
        "--index-url", type=_index_url, default=default(None), help="primary package index (simple pages)"
    )
    group.add_argument(
        "--extra-index-url",
        type=_index_url,
        action="append",
        dest=repeatable("extra_index_url"),
        default=default([]),
        metavar="URL",
        help="secondary index, repeatable; searched only with --use-secondary",
    )
    group.add_argument(
        "--use-secondary",
        action="store_true",
        default=default(False),
        help="search the secondary indexes when the primary has nothing",
    )
    group.add_argument(
        "--api-pattern",
        type=_api_pattern,
        action="append",
        dest=repeatable("api_pattern"),
        default=default([]),
        metavar="INDEX_URL=PATTERN",
        help="JSON API address template of an index, with {package_name} and {version}; repeatable",
    )
    group.add_argument("--retries", type=_retries, default=default(None), help="pip's retry count")
    group.add_argument(
        "--settings", default=default(None), metavar="FILE", help="JSON settings file (options override it)"
    )
    group.add_argument(
        "--base-dir",
        default=default(None),
        metavar="DIR",
        help="base directory of the package cache (default: the working directory)",
    )
    out = parser.add_argument_group("output options")
    out.add_argument("--json", action="store_true", default=default(False), help="machine-readable output")
    out.add_argument(
        "-v", "--verbose", action="store_true", default=default(False), help="show the modules' log lines"
    )


def parse_arguments(argv: list[str] | None = None) -> argparse.Namespace:
    args = build_parser().parse_args(argv)
    for dest in _REPEATABLE:
        setattr(args, dest, getattr(args, dest) + vars(args).pop(dest + _AFTER_COMMAND, []))
    return args


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Query package indexes and install packages through the native package modules.",
        epilog="Exit status: 0 success, 1 nothing found or install failed, 2 usage or unexpected error.",
    )
    _add_common_options(parser, after_command=False)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True, parser_class=_Parser)

    def command(name: str, help_text: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help_text, description=help_text)
        _add_common_options(sub, after_command=True)
        return sub

    sub = command("versions", "list the versions of a package, newest first")
    sub.add_argument("name")
    sub = command("extras", "list the extras of a package version")
    sub.add_argument("name")
    sub.add_argument("version")
    sub = command("deps", "list the requirements of a package version")
    sub.add_argument("name")
    sub.add_argument("version")
    sub = command("find", "name the first index that has a package (or one version of it)")
    sub.add_argument("name")
    sub.add_argument("version", nargs="?")
    sub = command("check", "tell whether this interpreter already satisfies a requirement")
    sub.add_argument("name")
    sub.add_argument("specifier", nargs="?", default="", help="e.g. '>=1.0,<2'")
    sub.add_argument("--extra", action="append", default=[], metavar="E", help="required extra, repeatable")
    sub = command("install", "install a package specification with pip, streaming its output")
    sub.add_argument("spec", help="e.g. 'requests==2.31.0' or 'requests[socks]'")
    sub.add_argument("--target", metavar="DIR", help="install folder (default: the package cache folder)")
    sub = command("cache-install", "install one exact version into the package cache (reused when cached)")
    sub.add_argument("name")
    sub.add_argument("version")
    sub.add_argument("--extra", action="append", default=[], metavar="E", help="extra to include, repeatable")
    sub = command("info", "show a package's name, latest version and summary from the public index")
    sub.add_argument("name")
    return parser


# -- settings ------------------------------------------------------------------------------------


def build_settings(args: argparse.Namespace) -> SettingsManager:
    """The settings file, if any, with the command-line options laid over it."""
    try:
        settings = SettingsManager.from_file(args.settings) if args.settings else SettingsManager()
    except (OSError, ValueError, TypeError) as exc:  # a JSON syntax error is a ValueError
        raise CliError(f"cannot read settings file {args.settings}: {exc}") from None

    if args.index_url or args.extra_index_url:
        entries = settings.get(INDEX_URLS_KEY)
        if entries is None:
            entries = public_index.default_index_urls()
        if not isinstance(entries, list) or not all(isinstance(e, dict) for e in entries):
            raise CliError(f"setting {INDEX_URLS_KEY} must be a list of {{'url', 'primary'}} objects")
        primary = [e for e in entries if e.get("primary")]
        secondary = [e for e in entries if not e.get("primary")]
        if args.index_url:
            primary = [{"url": args.index_url, "primary": True}]
        if args.extra_index_url:
            secondary = [{"url": url} for url in args.extra_index_url]
        settings.set(INDEX_URLS_KEY, primary + secondary)
    if args.use_secondary:
        settings.set(USE_SECONDARY_URLS_KEY, True)
    if args.retries is not None:
        settings.set(RETRIES_KEY, args.retries)
    if args.api_pattern:
        configured = settings.get(PIP_API_KEY)
        if configured is not None and not isinstance(configured, list):
            raise CliError(f"setting {PIP_API_KEY} must be a list of {{'index_url', 'api_pattern'}} objects")
        # The first entry for an index wins, so the command line goes ahead of the file.
        given = [{"index_url": url, "api_pattern": pattern} for url, pattern in args.api_pattern]
        settings.set(PIP_API_KEY, given + (configured or []))
    return settings


# -- logging -------------------------------------------------------------------------------------


class _ReasonCollector(logging.Handler):
    """Remembers the last error the modules logged.

    A failed index query comes back as an empty answer with its cause only in the log; the
    cause lets "nothing found" say whether an index was down rather than silent.
    """

    def __init__(self) -> None:
        super().__init__(logging.ERROR)
        self.last: str | None = None

    def emit(self, record: logging.LogRecord) -> None:
        self.last = record.getMessage()


class _LoggingSetup:
    """Attaches our handlers for the duration of one command and removes them afterwards."""

    def __init__(self, verbose: bool):
        self.reasons = _ReasonCollector()
        self._attached: list[tuple[logging.Logger, logging.Handler, int]] = []
        if verbose:
            handler = logging.StreamHandler(sys.stderr)
            handler.setFormatter(logging.Formatter("%(levelname)s %(name)s: %(message)s"))
            self._attach(logging.getLogger(ROOT_LOGGER_NAME), handler, logging.DEBUG)
        self._attach(logging.getLogger(ROOT_LOGGER_NAME), self.reasons)
        # Any handler keeps a logger's warnings from logging's last resort, which would print
        # them on standard error.
        self._attach(logging.getLogger(FINDER_LOGGER_NAME), logging.NullHandler())

    def _attach(self, logger: logging.Logger, handler: logging.Handler, level: int | None = None) -> None:
        self._attached.append((logger, handler, logger.level))
        logger.addHandler(handler)
        if level is not None:
            logger.setLevel(level)

    def close(self) -> None:
        for logger, handler, level in reversed(self._attached):
            logger.removeHandler(handler)
            logger.setLevel(level)


# -- output --------------------------------------------------------------------------------------


def print_error(message: str) -> None:
    # One line whatever the message holds: a rejected spec may end in the line break it names.
    message = message.replace("\r", "\\r").replace("\n", "\\n")
    print(f"{PROG}: error: {message}", file=sys.stderr, flush=True)


class Reporter:
    """Writes results as text for people or as JSON for scripts."""

    def __init__(self, as_json: bool, reasons: _ReasonCollector):
        self.as_json = as_json
        self.reasons = reasons

    def result(self, document: dict[str, Any], text: list[str]) -> None:
        if self.as_json:
            print(json.dumps(document, indent=2), flush=True)
        else:
            for line in text:
                print(line, flush=True)

    def item(self, output_type: str, content: str) -> None:
        """One item of an install stream, written the moment it arrives."""
        if self.as_json:
            print(json.dumps({"type": output_type, "content": content}), flush=True)
        elif output_type == "stdout":
            print(f"  stdout | {content}", flush=True)
        elif output_type == "stderr":
            print(f"  stderr | {content}", file=sys.stderr, flush=True)

    def nothing_found(self, document: dict[str, Any], message: str, explain: bool = True) -> int:
        if self.as_json:
            print(json.dumps(document, indent=2), flush=True)
        if explain and self.reasons.last:
            message = f"{message} (last index error: {self.reasons.last})"
        print_error(message)
        return EXIT_NOT_FOUND


# -- commands ------------------------------------------------------------------------------------


class Session:
    """What one command works with: the settings, the two module objects and the reporter."""

    def __init__(self, args: argparse.Namespace, settings: SettingsManager, reporter: Reporter):
        self.args = args
        self.settings = settings
        self.report = reporter
        self._finder: Any = None

    @property
    def finder(self) -> Any:
        if self._finder is None:
            repo_finder = _load_module("repo_finder")
            self._finder = repo_finder.RepoFinder(self.settings)
        return self._finder

    def manager(self) -> Any:
        return _load_module("manager").PackageManager(self.args.base_dir, self.settings)

    async def close(self) -> None:
        if self._finder is not None:
            await self._finder.close()


def _load_module(name: str) -> Any:
    import importlib

    qualified = f"quenlet_master.business_layer.packages.{name}"
    with warnings.catch_warnings():
        # 3.14t announces that it turns the GIL on for these modules; that is by design and
        # would otherwise greet every command.
        warnings.filterwarnings("ignore", "The global interpreter lock", RuntimeWarning)
        try:
            return importlib.import_module(qualified)
        except ImportError as exc:
            raise CliError(f"the native module {qualified} cannot be loaded: {exc}") from None


async def cmd_versions(s: Session) -> int:
    name = s.args.name
    versions = list(await s.finder.get_versions(name) or [])
    document = {"package": name, "versions": versions}
    if not versions:
        return s.report.nothing_found(document, f"no versions of {name} found on the configured indexes")
    s.report.result(document, [f"Versions of {name} (newest first):", *(f"  {v}" for v in versions)])
    return EXIT_OK


async def cmd_extras(s: Session) -> int:
    name, version = s.args.name, s.args.version
    extras = list(await s.finder.get_extras(name, version) or [])
    document = {"package": name, "version": version, "extras": extras}
    if not extras:
        return s.report.nothing_found(document, f"no extras found for {name} {version}")
    s.report.result(document, [f"Extras of {name} {version}:", *(f"  {e}" for e in extras)])
    return EXIT_OK


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
    name, version = s.args.name, s.args.version
    deps = list(await s.finder.get_dependencies(name, version) or [])
    document = {"package": name, "version": version, "dependencies": deps}
    if not deps:
        return s.report.nothing_found(document, f"no dependencies found for {name} {version}")
    s.report.result(
        document, [f"Dependencies of {name} {version}:", *(f"  {_requirement_text(d)}" for d in deps)]
    )
    return EXIT_OK


async def cmd_find(s: Session) -> int:
    name, version = s.args.name, s.args.version
    if version is None:
        index_url = await s.finder.find_repo_for_package(name)
        what = name
    else:
        index_url = await s.finder.find_repo_for_package_version(name, version)
        what = f"{name} {version}"
    document = {"package": name, "version": version, "index_url": index_url}
    if index_url is None:
        return s.report.nothing_found(document, f"no configured index has {what}")
    s.report.result(document, [f"{what} is on {index_url}"])
    return EXIT_OK


def _check_specifier(specifier: str) -> None:
    # The index client answers "not satisfied" for a malformed specifier; say what is wrong.
    if not specifier.strip():
        return
    from packaging.specifiers import InvalidSpecifier, SpecifierSet

    try:
        SpecifierSet(specifier)
    except InvalidSpecifier as exc:
        raise CliError(f"invalid version specifier '{specifier}': {exc}", EXIT_NOT_FOUND) from None


async def cmd_check(s: Session) -> int:
    name, specifier, extras = s.args.name, s.args.specifier, s.args.extra
    _check_specifier(specifier)
    installed = s.finder.check_specifier_in_dist(name, specifier, extras or None)
    requirement = name + (f"[{','.join(extras)}]" if extras else "") + specifier
    document = {
        "package": name,
        "specifier": specifier,
        "extras": extras,
        "satisfied": installed is not None,
        "installed_version": installed,
    }
    if installed is None:
        return s.report.nothing_found(document, f"{requirement} is not satisfied in {sys.executable}")
    s.report.result(document, [f"{requirement} is satisfied: {name} {installed} is installed"])
    return EXIT_OK


async def _stream_install(s: Session, items: AsyncIterator[tuple[str, str]]) -> int:
    outcome: dict[str, str] = {}
    async for output_type, content in items:
        s.report.item(output_type, content)
        outcome[output_type] = content
    if "error" in outcome:
        print_error(outcome["error"])
        return EXIT_NOT_FOUND
    if "success" not in outcome:
        print_error("the install stream ended without a result")
        return EXIT_NOT_FOUND
    if not s.report.as_json:
        if "cached" in outcome:
            print(f"{outcome['success']}: served from the cache at {outcome['cached']}", flush=True)
        else:
            print(f"{outcome['success']} into {outcome.get('path', '?')}", flush=True)
    return EXIT_OK


async def cmd_install(s: Session) -> int:
    return await _stream_install(s, s.manager().install_package(s.args.spec, s.args.target))


async def cmd_cache_install(s: Session) -> int:
    args = s.args
    items = s.manager().install_package_to_cache(args.name, args.version, args.extra or None)
    return await _stream_install(s, items)


async def cmd_info(s: Session) -> int:
    name = s.args.name
    info = await s.manager().get_package_info(name)
    if "error" in info:
        # The manager logged the same failure; repeating it as a reason would say it twice.
        return s.report.nothing_found(info, f"no information on {name}: {info['error']}", explain=False)
    s.report.result(
        info,
        [f"{info['name']} {info['latest_version']}", *([f"  {info['summary']}"] if info["summary"] else [])],
    )
    return EXIT_OK


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


async def _run(session: Session) -> int:
    try:
        return await COMMANDS[session.args.command](session)
    finally:
        await session.close()


def main(argv: list[str] | None = None) -> int:
    logs: _LoggingSetup | None = None
    try:
        args = parse_arguments(argv)
        settings = build_settings(args)
        logs = _LoggingSetup(args.verbose)
        return asyncio.run(_run(Session(args, settings, Reporter(args.json, logs.reasons))))
    except CliError as exc:
        print_error(str(exc))
        return exc.exit_code
    except KeyboardInterrupt:
        print_error("interrupted")
        return EXIT_INTERRUPTED
    except Exception as exc:  # the promise is one line and status 2, never a traceback
        print_error(f"unexpected {type(exc).__name__}: {exc}")
        return EXIT_USAGE
    finally:
        if logs is not None:
            logs.close()


if __name__ == "__main__":
    raise SystemExit(main())
