"""Helpers shared by the manager tests (fixtures live in conftest.py; what other folders use too
lives in ../support.py)."""

import os

from quenlet_master.business_layer.packages import manager


def folder_exists(path) -> bool:
    return os.path.isdir(path)


def manager_records(caplog) -> list[tuple[str, str]]:
    return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == manager.logger.name]
