"""The command line's arguments: the parser, and a check for every value the user types.

A value the modules would take without complaint but answer wrongly (a package name with "/"
in it goes into an index address as a path, an empty --target means the working directory) is
refused here, as a usage error that names it.
"""

from __future__ import annotations

import argparse
import importlib.metadata
import re
import sys
from typing import Any
from urllib.parse import urlsplit

from packaging.requirements import InvalidRequirement, Requirement
from packaging.specifiers import InvalidSpecifier, SpecifierSet
from packaging.utils import InvalidName, canonicalize_name

from quenlet_master.cli.output import PROG, CliError

INDEX_URL_SCHEMES = ("http", "https", "file")
PACKAGE_NAME_PLACEHOLDER = "{package_name}"
INSTALL_COMMANDS = ("install", "cache-install")
# A version goes into an index address as one path segment.
_VERSION_TEXT = re.compile(r"[^/\s]+")
EXIT_STATUS_HELP = (
    "Exit status: 0 success; 1 nothing found, requirement not satisfied or install failed; "
    "2 usage or unexpected error; 130, 143 stopped by SIGINT, SIGTERM; 141 standard output closed."
)


class _Parser(argparse.ArgumentParser):
    def __init__(self, **kwargs: Any) -> None:
        if sys.version_info >= (3, 14):
            kwargs.setdefault("suggest_on_error", True)  # "maybe you meant 'versions'?"
        super().__init__(**kwargs)

    def error(self, message: str) -> Any:
        # One line, not argparse's usage block: the command may run under a script that logs it.
        raise CliError(f"{message} (see '{self.prog} --help')")


# -- values --------------------------------------------------------------------------------------


def is_index_url(text: str) -> bool:
    parts = urlsplit(text)
    return parts.scheme in INDEX_URL_SCHEMES and bool(parts.netloc or parts.scheme == "file")


def is_api_pattern(text: str) -> bool:
    return PACKAGE_NAME_PLACEHOLDER in text and is_index_url(text)


def _index_url(text: str) -> str:
    if not is_index_url(text):
        raise argparse.ArgumentTypeError(f"'{text}' is not an http://, https:// or file:// address")
    return text


def _api_pattern(text: str) -> tuple[str, str]:
    index_url, sep, pattern = text.partition("=")
    if not sep or not index_url or not pattern:
        raise argparse.ArgumentTypeError(f"'{text}' is not INDEX_URL=PATTERN")
    if PACKAGE_NAME_PLACEHOLDER not in pattern:
        raise argparse.ArgumentTypeError(f"pattern '{pattern}' has no {PACKAGE_NAME_PLACEHOLDER} placeholder")
    return _index_url(index_url), _index_url(pattern)


def _retries(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"'{text}' is not a non-negative integer")
    return value


def _package_name(text: str) -> str:
    # The name goes into index addresses as it is; anything but a valid name would reach a
    # different path there ("a/b") or none at all ("").
    try:
        canonicalize_name(text, validate=True)
    except InvalidName:
        raise argparse.ArgumentTypeError(f"'{text}' is not a valid package name") from None
    return text


def _version(text: str) -> str:
    if not _VERSION_TEXT.fullmatch(text):
        raise argparse.ArgumentTypeError(f"'{text}' is not a version")
    return text


def _folder(text: str) -> str:
    # An empty value is most often an unset shell variable; the modules would take it for the
    # working directory.
    if not text:
        raise argparse.ArgumentTypeError("an empty folder name is not a folder")
    return text


def _requirement(text: str) -> Requirement:
    try:
        requirement = Requirement(text)
    except InvalidRequirement as exc:
        reason = str(exc).splitlines()[0]  # the rest draws a caret under the text
        raise argparse.ArgumentTypeError(f"'{text}' is not a requirement: {reason}") from None
    if requirement.url or requirement.marker:
        raise argparse.ArgumentTypeError(
            f"'{text}': only a name, extras and version specifiers can be checked, not a URL or marker"
        )
    return requirement


def _specifier(text: str) -> str:
    try:
        return str(SpecifierSet(text))
    except InvalidSpecifier:
        raise argparse.ArgumentTypeError(f"'{text}' is not a version specifier such as '>=1.0,<2'") from None


# -- the parser ----------------------------------------------------------------------------------

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
        help="secondary index, repeatable: searched, in order, when the primary has nothing",
    )
    group.add_argument(
        "--use-secondary",
        action="store_true",
        default=default(False),
        help="search the settings file's secondary indexes when the primary has nothing",
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
        type=_folder,
        default=default(None),
        metavar="DIR",
        help="base directory of the package cache (default: the working directory)",
    )
    out = parser.add_argument_group("output options")
    out.add_argument("--json", action="store_true", default=default(False), help="machine-readable output")
    out.add_argument(
        "-v", "--verbose", action="store_true", default=default(False), help="show the modules' log lines"
    )


def _installed_version() -> str:
    try:
        return importlib.metadata.version(PROG)
    except importlib.metadata.PackageNotFoundError:  # run from a source tree
        return "(not installed)"


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Query package indexes and install packages through the native package modules.",
        epilog=EXIT_STATUS_HELP,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_installed_version()}")
    _add_common_options(parser, after_command=False)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True, parser_class=_Parser)

    def command(name: str, help_text: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help_text, description=help_text)
        _add_common_options(sub, after_command=True)
        return sub

    def isolated_option(sub: argparse.ArgumentParser) -> None:
        sub.add_argument(
            "--isolated",
            action="store_true",
            help="pass pip its --isolated: it ignores PIP_* variables and your user configuration file",
        )

    sub = command("versions", "list the versions of a package, newest first")
    sub.add_argument("name", type=_package_name)
    sub = command("extras", "list the extras of a package version")
    sub.add_argument("name", type=_package_name)
    sub.add_argument("version", type=_version)
    sub = command("deps", "list the requirements of a package version")
    sub.add_argument("name", type=_package_name)
    sub.add_argument("version", type=_version)
    sub = command("find", "name the first index that has a package (or one version of it)")
    sub.add_argument("name", type=_package_name)
    sub.add_argument("version", nargs="?", type=_version)
    sub = command("check", "tell whether this interpreter already satisfies a requirement")
    sub.add_argument(
        "requirement", type=_requirement, help="a name or a requirement, e.g. 'requests[socks]>=2,<3'"
    )
    sub.add_argument("specifier", nargs="?", type=_specifier, help="version specifier after a bare name")
    sub.add_argument("--extra", action="append", default=[], metavar="E", help="required extra, repeatable")
    sub = command("install", "install a package specification with pip, streaming its output")
    sub.add_argument("spec", help="e.g. 'requests==2.31.0' or 'requests[socks]'")
    sub.add_argument(
        "--target", type=_folder, metavar="DIR", help="install folder (default: the package cache folder)"
    )
    isolated_option(sub)
    sub = command("cache-install", "install one exact version into the package cache (reused when cached)")
    sub.add_argument("name", type=_package_name)
    sub.add_argument("version", type=_version)
    sub.add_argument("--extra", action="append", default=[], metavar="E", help="extra to include, repeatable")
    isolated_option(sub)
    sub = command("info", "show a package's name, latest version and summary from the public index")
    sub.add_argument("name", type=_package_name)
    return parser


def parse_arguments(argv: list[str] | None = None) -> argparse.Namespace:
    args = build_parser().parse_args(argv)
    for dest in _REPEATABLE:
        setattr(args, dest, getattr(args, dest) + vars(args).pop(dest + _AFTER_COMMAND, []))
    if args.command == "check":
        requirement: Requirement = args.requirement
        if args.specifier is not None and requirement.specifier:
            raise CliError(f"'{requirement}' has a version specifier already; give '{args.specifier}' in it")
    return args


def json_requested(argv: list[str]) -> bool:
    """Whether --json is among arguments that may not parse: their error is then JSON too."""
    probe = argparse.ArgumentParser(add_help=False, exit_on_error=False)
    probe.add_argument("--json", action="store_true")
    try:
        return bool(probe.parse_known_args(argv)[0].json)
    except argparse.ArgumentError:  # "--json=yes": the real parser will say what is wrong
        return False
