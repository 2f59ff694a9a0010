"""The modules' log records during one command: shown with ``-v``, and the last error kept."""

from __future__ import annotations

import logging
import sys

from quenlet_master.config.logging_config import ROOT_LOGGER_NAME

# The package finder the index client uses warns about every index page it cannot read (a
# missing project included); the index client already logs what matters of that as its own.
FINDER_LOGGER_NAME = "unearth"


class ReasonCollector(logging.Handler):
    """Remembers the last error the modules logged.

    A failed index query comes back as an empty answer with its cause only in the log; the
    cause lets "nothing found" say whether an index was down rather than silent.
    """

    def __init__(self) -> None:
        super().__init__(logging.ERROR)
        self.last: str | None = None

    def emit(self, record: logging.LogRecord) -> None:
        self.last = record.getMessage()


class LoggingSetup:
    """Attaches our handlers for the duration of one command and removes them afterwards."""

    def __init__(self, verbose: bool):
        self.reasons = ReasonCollector()
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
