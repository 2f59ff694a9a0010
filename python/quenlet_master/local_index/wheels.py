"""Tiny but genuine distributions for the local index: pip-installable wheels and bare sdists.

Archives are built reproducibly (fixed timestamps, sorted members), so the same arguments
always give byte-identical files and therefore stable hashes in the index pages.
"""

from __future__ import annotations

import base64
import gzip
import hashlib
import io
import os
import re
import tarfile
import threading
import zipfile
from collections.abc import Iterable, Mapping
from email.message import Message
from email.parser import Parser
from pathlib import Path

from packaging.utils import canonicalize_name
from packaging.version import Version

WHEEL_TAG = "py3-none-any"
GENERATOR = "quenlet_master.local_index"
_ZIP_EPOCH = (1980, 1, 1, 0, 0, 0)
_TAR_EPOCH = 315532800  # 1980-01-01, matching the zip members

FileContents = Mapping[str, "bytes | str"]


def filename_name(name: str) -> str:
    """The distribution-name part of wheel and sdist file names: the normalised name, with '_'
    where it has '-'."""
    return canonicalize_name(name).replace("-", "_")


def filename_version(version: str) -> str:
    return str(Version(version)).replace("-", "_")


def import_name(name: str) -> str:
    """The top-level module a built distribution ships, e.g. ``demo_pkg`` for ``Demo.Pkg``."""
    return filename_name(name)


def record_hash(data: bytes) -> str:
    """``sha256=<urlsafe base64, unpadded>`` as RECORD files write it."""
    digest = hashlib.sha256(data).digest()
    return "sha256=" + base64.urlsafe_b64encode(digest).rstrip(b"=").decode("ascii")


def build_metadata(
    name: str,
    version: str,
    requires_dist: Iterable[str] = (),
    extras: Iterable[str] = (),
    summary: str = "",
    requires_python: str | None = None,
) -> str:
    """Core metadata (version 2.1) text; Requires-Dist lines are written exactly as given."""
    lines = ["Metadata-Version: 2.1", f"Name: {name}", f"Version: {version}"]
    if summary:
        if "\n" in summary:
            raise ValueError("summary must be one line")
        lines.append(f"Summary: {summary}")
    if requires_python:
        lines.append(f"Requires-Python: {requires_python}")
    lines += [f"Provides-Extra: {extra}" for extra in extras]
    lines += [f"Requires-Dist: {req}" for req in requires_dist]
    return "\n".join(lines) + "\n\n"


def parse_metadata(text: str) -> Message:
    """Core metadata as an email message: ``msg["Name"]``, ``msg.get_all("Requires-Dist")``."""
    return Parser().parsestr(text, headersonly=True)


def _default_module(name: str, version: str) -> dict[str, str]:
    return {
        f"{import_name(name)}/__init__.py": (
            f'"""Sample package {name}, built for the local index."""\n\n'
            f"DIST_NAME = {name!r}\n__version__ = {version!r}\n"
        )
    }


def _as_bytes(data: bytes | str) -> bytes:
    return data.encode("utf-8") if isinstance(data, str) else bytes(data)


def build_wheel(
    dest_dir: str | os.PathLike,
    name: str,
    version: str,
    requires_dist: Iterable[str] = (),
    extras: Iterable[str] = (),
    summary: str = "",
    files: FileContents | None = None,
    requires_python: str | None = None,
) -> Path:
    """Write ``{dist}-{version}-py3-none-any.whl`` into ``dest_dir`` and return its path.

    ``files`` maps archive paths to contents; by default the wheel ships one module named after
    the distribution (``import_name(name)``) with ``__version__`` set.
    """
    dist = filename_name(name)
    ver = filename_version(version)
    dist_info = f"{dist}-{ver}.dist-info"
    members: dict[str, bytes] = {
        path: _as_bytes(data) for path, data in (files or _default_module(name, version)).items()
    }
    for path in members:
        if path.startswith(("/", "../")) or "/../" in path or path.startswith(dist_info + "/"):
            raise ValueError(f"invalid wheel member path {path!r}")
    members[f"{dist_info}/METADATA"] = build_metadata(
        name, version, requires_dist, extras, summary, requires_python
    ).encode("utf-8")
    members[f"{dist_info}/WHEEL"] = (
        f"Wheel-Version: 1.0\nGenerator: {GENERATOR}\nRoot-Is-Purelib: true\nTag: {WHEEL_TAG}\n\n"
    ).encode("ascii")
    record_path = f"{dist_info}/RECORD"
    record_lines = [f"{path},{record_hash(data)},{len(data)}" for path, data in sorted(members.items())]
    record_lines.append(f"{record_path},,")
    members[record_path] = ("\n".join(record_lines) + "\n").encode("utf-8")

    dest = Path(dest_dir)
    dest.mkdir(parents=True, exist_ok=True)
    target = dest / f"{dist}-{ver}-{WHEEL_TAG}.whl"
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
        # RECORD goes last, as installers expect to find it after the files it lists.
        for path in [*sorted(p for p in members if p != record_path), record_path]:
            info = zipfile.ZipInfo(path, date_time=_ZIP_EPOCH)
            info.external_attr = 0o644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, members[path])
    _write_atomically(target, buffer.getvalue())
    return target


def build_sdist(
    dest_dir: str | os.PathLike,
    name: str,
    version: str,
    files: FileContents | None = None,
    include_pkg_info: bool = True,
    requires_dist: Iterable[str] = (),
    extras: Iterable[str] = (),
    summary: str = "",
) -> Path:
    """Write a source-only release ``{dist}-{version}.tar.gz`` and return its path.

    The index serves no separate metadata file for it, so a client has to open or build the
    archive to learn anything. With ``include_pkg_info=False`` even the archive holds no
    metadata, which is the hardest case for a client.
    """
    dist = filename_name(name)
    ver = filename_version(version)
    top = f"{dist}-{ver}"
    members: dict[str, bytes] = {
        f"{top}/{path}": _as_bytes(data) for path, data in (files or _default_module(name, version)).items()
    }
    members[f"{top}/pyproject.toml"] = (
        f'[build-system]\nrequires = ["setuptools"]\nbuild-backend = "setuptools.build_meta"\n\n'
        f'[project]\nname = "{name}"\nversion = "{version}"\n'
    ).encode()
    if include_pkg_info:
        members[f"{top}/PKG-INFO"] = build_metadata(name, version, requires_dist, extras, summary).encode()

    dest = Path(dest_dir)
    dest.mkdir(parents=True, exist_ok=True)
    target = dest / f"{top}.tar.gz"
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.PAX_FORMAT) as archive:
        for path in sorted(members):
            info = tarfile.TarInfo(path)
            info.size = len(members[path])
            info.mtime = _TAR_EPOCH
            info.mode = 0o644
            archive.addfile(info, io.BytesIO(members[path]))
    compressed = io.BytesIO()

    with gzip.GzipFile(fileobj=compressed, mode="wb", mtime=0) as gz:
        gz.write(raw.getvalue())
    _write_atomically(target, compressed.getvalue())
    return target


def _write_atomically(target: Path, data: bytes) -> None:
    # The index may be scanning the folder while a test adds a release; it must never see a
    # half-written archive.
    partial = target.with_name(f".{target.name}.{os.getpid()}.{threading.get_ident()}.partial")
    partial.write_bytes(data)
    os.replace(partial, target)


def read_wheel_metadata(path: str | os.PathLike) -> bytes:
    """The raw METADATA file of a wheel."""
    with zipfile.ZipFile(path) as archive:
        candidates = [n for n in archive.namelist() if re.fullmatch(r"[^/]+\.dist-info/METADATA", n)]
        if len(candidates) != 1:
            raise ValueError(f"{os.fspath(path)} has {len(candidates)} METADATA files, expected one")
        return archive.read(candidates[0])


def read_sdist_metadata(path: str | os.PathLike) -> bytes | None:
    """The top-level PKG-INFO of an sdist, or None when it has none."""
    with tarfile.open(path, "r:gz") as archive:
        for member in archive.getmembers():
            if member.isfile() and re.fullmatch(r"[^/]+/PKG-INFO", member.name):
                extracted = archive.extractfile(member)
                return extracted.read() if extracted is not None else None
    return None
