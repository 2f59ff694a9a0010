"""Persistent record of the packages installed into the hidden package cache.

Each install lives in its own folder ``<base>/.quenlet_packages/<uuid>``; an SQLite database
in the same hidden folder maps (name, version, extras, platform, interpreter) to the folders.

Several package managers, in several processes, may install at once. So every operation
opens its own short-lived connection, the database runs in WAL mode (readers never wait for
a writer) and each connection waits out a busy database instead of failing. Nothing is
created until the first write: constructing a cache, or looking something up in an empty
one, leaves the disk untouched.
"""

from __future__ import annotations

import contextlib
import os
import sqlite3
import sys
import sysconfig
import time
import uuid
from collections.abc import Iterator
from typing import Any

from packaging.utils import canonicalize_name

from quenlet_master.config.logging_config import get_logger

logger = get_logger(__name__)

CACHE_DIR_NAME = ".quenlet_packages"
DATABASE_NAME = "package_cache.sqlite3"
BUSY_TIMEOUT_SECONDS = 30.0
SCHEMA_VERSION = 1

_SCHEMA = """
CREATE TABLE IF NOT EXISTS installs (
    id              INTEGER PRIMARY KEY AUTOINCREMENT,
    install_uuid    TEXT NOT NULL UNIQUE,
    package_name    TEXT NOT NULL,
    normalized_name TEXT NOT NULL,
    version         TEXT NOT NULL,
    extras_key      TEXT NOT NULL,
    platform        TEXT NOT NULL,
    python_version  TEXT NOT NULL,
    install_path    TEXT NOT NULL,
    created_at      REAL NOT NULL
);
CREATE INDEX IF NOT EXISTS installs_lookup
    ON installs (normalized_name, version, extras_key, platform, python_version);
"""


def _require_str(name: str, value: Any) -> None:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a string, not {type(value).__name__}")


class PackageCache:
    """The install records of one base folder; any number of objects may share a folder."""

    def __init__(self, cache_dir: str | os.PathLike | None = None):
        # Kept as given: like the manager's own folder, a relative base is resolved against the
        # working directory at each operation, so both always agree on where installs live.
        self.cache_dir = os.fspath(cache_dir) if cache_dir else os.getcwd()

    @property
    def cache_root(self) -> str:
        """Absolute path of the hidden folder holding the installs and the database."""
        return os.path.join(os.path.abspath(self.cache_dir), CACHE_DIR_NAME)

    @property
    def database_path(self) -> str:
        return os.path.join(self.cache_root, DATABASE_NAME)

    # -- connections -------------------------------------------------------------------------

    @contextlib.contextmanager
    def _connect(self, create: bool) -> Iterator[sqlite3.Connection | None]:
        path = self.database_path
        if not create and not os.path.exists(path):
            yield None
            return
        os.makedirs(os.path.dirname(path), exist_ok=True)
        conn = sqlite3.connect(path, timeout=BUSY_TIMEOUT_SECONDS, isolation_level=None)
        try:
            conn.execute(f"PRAGMA busy_timeout = {int(BUSY_TIMEOUT_SECONDS * 1000)}")
            self._ensure_schema(conn)
            yield conn
        finally:
            conn.close()

    @staticmethod
    def _ensure_schema(conn: sqlite3.Connection) -> None:
        # The header's user_version says whether set-up already happened; it is checked on
        # every connection because someone may have wiped the cache folder in the meantime.
        if conn.execute("PRAGMA user_version").fetchone()[0] >= SCHEMA_VERSION:
            return
        # Switching to WAL needs a moment with no other connection in the way, and SQLite may
        # report "locked" for it without consulting the busy handler: wait it out by hand.
        deadline = time.monotonic() + BUSY_TIMEOUT_SECONDS
        while True:
            try:
                conn.execute("PRAGMA journal_mode = WAL")
                break
            except sqlite3.OperationalError as error:
                if "locked" not in str(error) or time.monotonic() > deadline:
                    raise
                time.sleep(0.01)
        conn.execute("BEGIN IMMEDIATE")
        try:
            for statement in filter(str.strip, _SCHEMA.split(";")):
                conn.execute(statement)
            conn.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")
            conn.execute("COMMIT")
        except BaseException:
            conn.execute("ROLLBACK")
            raise

    # -- the contract used by the package manager --------------------------------------------

    def get_cached_package(self, package_name: str, version: str, extras_cache_key: str) -> str | None:
        """Folder of the newest matching install for this platform and interpreter, or None.

        A record whose folder has disappeared (someone cleaned the cache by hand) is a miss and
        is removed, so the next install of that package gets recorded cleanly.
        """
        _require_str("package_name", package_name)
        _require_str("version", version)
        _require_str("extras_cache_key", extras_cache_key)
        with self._connect(create=False) as conn:
            if conn is None:
                return None
            rows = conn.execute(
                "SELECT id, install_path FROM installs"
                " WHERE normalized_name = ? AND version = ? AND extras_key = ?"
                " AND platform = ? AND python_version = ? ORDER BY id DESC",
                (
                    canonicalize_name(package_name),
                    version,
                    extras_cache_key,
                    self.get_current_platform(),
                    self.get_python_version(),
                ),
            ).fetchall()
            vanished = []
            found = None
            for row_id, install_path in rows:
                if os.path.isdir(install_path):
                    found = install_path
                    break
                vanished.append(row_id)
            if vanished:
                logger.info(
                    f"Dropping {len(vanished)} cache record(s) of {package_name}=={version} with no folder"
                )
                conn.execute(
                    f"DELETE FROM installs WHERE id IN ({', '.join('?' * len(vanished))})",
                    vanished,
                )
            return found

    def generate_install_path(self) -> tuple[str, str]:
        """A fresh (install_uuid, install_path); the folder itself is the caller's to create."""
        install_uuid = uuid.uuid4().hex
        return install_uuid, os.path.join(self.cache_root, install_uuid)

    @staticmethod
    def get_current_platform() -> str:
        return sysconfig.get_platform()

    @staticmethod
    def get_python_version() -> str:
        # Free-threaded builds get their own suffix: their extension modules are not
        # interchangeable with those of the default build of the same version.
        suffix = "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""
        return f"{sys.version_info.major}.{sys.version_info.minor}{suffix}"

    def add_cached_package(
        self,
        install_uuid: str,
        package_name: str,
        version: str,
        extras_cache_key: str,
        platform: str,
        python_version: str,
        install_path: str,
    ) -> None:
        """Record an install; re-recording the same uuid replaces it and makes it the newest."""
        for arg_name, value in (
            ("install_uuid", install_uuid),
            ("package_name", package_name),
            ("version", version),
            ("extras_cache_key", extras_cache_key),
            ("platform", platform),
            ("python_version", python_version),
        ):
            _require_str(arg_name, value)
        install_path = os.fspath(install_path)
        _require_str("install_path", install_path)
        with self._connect(create=True) as conn:
            assert conn is not None
            conn.execute(
                "INSERT OR REPLACE INTO installs (install_uuid, package_name, normalized_name, version,"
                " extras_key, platform, python_version, install_path, created_at)"
                " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
                (
                    install_uuid,
                    package_name,
                    canonicalize_name(package_name),
                    version,
                    extras_cache_key,
                    platform,
                    python_version,
                    install_path,
                    time.time(),
                ),
            )

    # -- maintenance ---------------------------------------------------------------------------

    def list_cached_packages(self) -> list[dict[str, Any]]:
        """Every record, oldest first, whatever its platform or interpreter."""
        with self._connect(create=False) as conn:
            if conn is None:
                return []
            cursor = conn.execute(
                "SELECT install_uuid, package_name, version, extras_key, platform, python_version,"
                " install_path, created_at FROM installs ORDER BY id"
            )
            columns = [c[0] for c in cursor.description]
            return [dict(zip(columns, row, strict=True)) for row in cursor.fetchall()]

    def remove_cached_package(self, install_uuid: str) -> bool:
        """Forget one install (its folder is left alone). Returns whether a record existed."""
        _require_str("install_uuid", install_uuid)
        with self._connect(create=False) as conn:
            if conn is None:
                return False
            return conn.execute("DELETE FROM installs WHERE install_uuid = ?", (install_uuid,)).rowcount > 0

    def __repr__(self) -> str:
        return f"PackageCache(cache_dir={self.cache_dir!r})"
