"""A real package index on loopback for tests, benchmarks and demonstrations.

Build releases with ``build_wheel``/``build_sdist`` (or ``index.add_wheel``) into a folder and
serve it with ``LocalIndex`` (on the running event loop) or ``LocalIndexServer`` (on a thread).
"""

from quenlet_master.local_index.catalogue import Catalogue, DistFile, latest_version
from quenlet_master.local_index.faults import Fault, FaultInjector
from quenlet_master.local_index.server import (
    LocalIndex,
    LocalIndexServer,
    RequestLog,
    RequestRecord,
    json_path,
)
from quenlet_master.local_index.wheels import (
    build_metadata,
    build_sdist,
    build_wheel,
    import_name,
    parse_metadata,
    read_sdist_metadata,
    read_wheel_metadata,
)

__all__ = [
    "Catalogue",
    "DistFile",
    "Fault",
    "FaultInjector",
    "LocalIndex",
    "LocalIndexServer",
    "RequestLog",
    "RequestRecord",
    "build_metadata",
    "build_sdist",
    "build_wheel",
    "import_name",
    "json_path",
    "latest_version",
    "parse_metadata",
    "read_sdist_metadata",
    "read_wheel_metadata",
]
