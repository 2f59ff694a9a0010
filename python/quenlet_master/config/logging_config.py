"""Logger factory and worker-process logging set-up.

Every module of the application asks for its logger here, so that names stay under the
``quenlet_master`` hierarchy and one place decides where records go.
"""

from __future__ import annotations

import logging
import sys
import threading

ROOT_LOGGER_NAME = "quenlet_master"
SUBPROCESS_LOG_FORMAT = "%(asctime)s %(levelname)s [%(process)d] %(name)s: %(message)s"

# Marks the handler we install so a second set-up call recognises it instead of stacking another.
_HANDLER_MARK = "_quenlet_subprocess_handler"
_setup_lock = threading.Lock()


class _StderrHandler(logging.StreamHandler):
    """Writes to whatever ``sys.stderr`` is at emit time.

    A worker may swap its standard error after set-up (test runners do); binding the stream
    once would keep writing to the stale one.
    """

    def __init__(self) -> None:
        logging.Handler.__init__(self)

    @property
    def stream(self):  # type: ignore[override]
        return sys.stderr


def get_logger(name: str) -> logging.Logger:
    """Return the standard logger called ``name`` (callers pass dotted module names)."""
    if not isinstance(name, str):
        raise TypeError(f"logger name must be a string, not {type(name).__name__}")
    return logging.getLogger(name)


def setup_logging_subprocess(level: int | str = logging.INFO) -> logging.Logger:
    """Configure logging in a child or worker process and return the root logger.

    Installs one plain-format handler on standard error. Calling it again only updates the
    level, so a worker that runs its set-up more than once does not print every line twice.
    """
    root = logging.getLogger()
    with _setup_lock:
        handler = next((h for h in root.handlers if getattr(h, _HANDLER_MARK, False)), None)
        if handler is None:
            handler = _StderrHandler()
            handler.setFormatter(logging.Formatter(SUBPROCESS_LOG_FORMAT))
            setattr(handler, _HANDLER_MARK, True)
            root.addHandler(handler)
        root.setLevel(level)
    return root
