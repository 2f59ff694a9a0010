"""What reaches the host's logger when it is the standard library's own: every message its
level admits, and every call to a level method that anything has replaced."""

from __future__ import annotations

import logging

import pytest

ELSEWHERE = "http://127.0.0.1:1/simple/"  # never asked: the kept document answers
FOUND = ("DEBUG", "Found 1 dependencies for demo==1.0")
UNPARSABLE = ("WARNING", "Could not parse requirement: ;bad")


class Collected(logging.Handler):
    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.records: list[tuple[str, str]] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.records.append((record.levelname, record.getMessage()))


@pytest.fixture
def standard_logger(repo_finder, monkeypatch):
    # Registered with the logging manager, as get_logger's are: setLevel clears the level cache
    # of registered loggers only.
    logger = logging.getLogger("quenlet-tests.module-logger")
    monkeypatch.setattr(logger, "handlers", [Collected()])
    monkeypatch.setattr(logger, "propagate", False)
    monkeypatch.setattr(repo_finder, "logger", logger)
    logger.setLevel(logging.INFO)
    yield logger
    logger.setLevel(logging.NOTSET)


async def query(repo_finder, requires_dist=("requests",)):
    finder = repo_finder.RepoFinder(None)
    finder._metadata_cache[("demo", "1.0")] = {"info": {"requires_dist": list(requires_dist)}}
    return await finder._get_dependencies_from_index("demo", "1.0", ELSEWHERE)


@pytest.mark.parametrize(
    ("level", "requires_dist", "expected"),
    [
        (logging.DEBUG, ["requests"], [FOUND]),
        (logging.INFO, ["requests"], []),
        (logging.WARNING, ["requests", ";bad"], [UNPARSABLE]),
        (logging.ERROR, ["requests", ";bad"], []),
    ],
)
async def test_the_level_the_logger_is_set_to_decides(
    repo_finder, standard_logger, level, requires_dist, expected
):
    await query(repo_finder)  # seen once at its first level
    standard_logger.setLevel(level)
    await query(repo_finder, requires_dist)
    assert standard_logger.handlers[0].records == expected


@pytest.mark.parametrize("where", ["class", "instance", "subclass"])
async def test_a_replaced_level_method_is_called_even_below_the_level(
    repo_finder, standard_logger, monkeypatch, where
):
    await query(repo_finder)  # the standard method, left alone, seen once
    called = []

    def debug(*args):
        called.append(args[-1])

    if where == "class":
        monkeypatch.setattr(logging.Logger, "debug", debug)
    elif where == "instance":
        monkeypatch.setattr(standard_logger, "debug", debug, raising=False)
    else:
        replacing = type("Replacing", (logging.Logger,), {"debug": debug})
        monkeypatch.setattr(standard_logger, "__class__", replacing)
    assert await query(repo_finder) == [{"name": "requests", "version_spec": "", "extras": [], "markers": ""}]
    assert called == [FOUND[1]]
    assert standard_logger.handlers[0].records == []


@pytest.mark.parametrize("where", ["class", "instance"])
async def test_a_replaced_level_check_decides_for_the_standard_method(
    repo_finder, standard_logger, monkeypatch, where
):
    await query(repo_finder)  # answered from the level the logger holds, seen once
    target = logging.Logger if where == "class" else standard_logger
    monkeypatch.setattr(target, "isEnabledFor", lambda *args: True, raising=False)
    await query(repo_finder)
    assert standard_logger.handlers[0].records == [FOUND]
