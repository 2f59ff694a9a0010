import contextlib
import os
import sqlite3
import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import pytest

from quenlet_master.business_layer.packages.package_cache import CACHE_DIR_NAME, PackageCache


def record(cache, name, version, key="", path=None, python_version=None):
    """Install-like record: a real folder from generate_install_path, registered as the manager does."""
    install_uuid, install_path = cache.generate_install_path()
    install_path = path or install_path
    os.makedirs(install_path, exist_ok=True)
    cache.add_cached_package(
        install_uuid,
        name,
        version,
        key,
        cache.get_current_platform(),
        python_version or cache.get_python_version(),
        install_path,
    )
    return install_path


def test_nothing_is_created_until_something_is_recorded(tmp_path):
    cache = PackageCache(cache_dir=str(tmp_path))
    assert cache.get_cached_package("requests", "2.31.0", "") is None
    install_uuid, install_path = cache.generate_install_path()
    assert cache.list_cached_packages() == []
    assert not cache.remove_cached_package(install_uuid)
    assert list(tmp_path.iterdir()) == []
    assert install_path == os.path.join(str(tmp_path), CACHE_DIR_NAME, install_uuid)


def test_generated_paths_are_fresh_and_absolute(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    cache = PackageCache(cache_dir="relative-base")
    pairs = [cache.generate_install_path() for _ in range(50)]
    assert len({uuid for uuid, _ in pairs}) == 50
    for install_uuid, install_path in pairs:
        assert install_path == str(tmp_path / "relative-base" / CACHE_DIR_NAME / install_uuid)
        assert len(install_uuid) == 32 and int(install_uuid, 16) >= 0


@pytest.mark.parametrize(
    ("lookup", "hit"),
    [
        (("Foo_Bar", "1.0", "security,socks"), True),
        (("foo.bar", "1.0", "security,socks"), True),
        (("FOO-BAR", "1.0", "security,socks"), True),
        (("foo-bar", "1.0", ""), False),
        (("foo-bar", "1.0", "socks"), False),
        (("foo-bar", "1.0.0", "security,socks"), False),
        (("foo-bar", "1.1", "security,socks"), False),
        (("foo-baz", "1.0", "security,socks"), False),
    ],
)
def test_lookup_matches_normalised_name_exact_version_and_extras(tmp_path, lookup, hit):
    cache = PackageCache(cache_dir=str(tmp_path))
    path = record(cache, "foo-bar", "1.0", "security,socks")
    assert cache.get_cached_package(*lookup) == (path if hit else None)


def test_records_of_another_interpreter_are_not_used(tmp_path):
    cache = PackageCache(cache_dir=str(tmp_path))
    record(cache, "pkg", "1.0", python_version="2.7")
    assert cache.get_cached_package("pkg", "1.0", "") is None
    mine = record(cache, "pkg", "1.0")
    assert cache.get_cached_package("pkg", "1.0", "") == mine


def test_newest_record_wins_and_vanished_folders_are_dropped(tmp_path):
    cache = PackageCache(cache_dir=str(tmp_path))
    older = record(cache, "pkg", "1.0")
    newer = record(cache, "pkg", "1.0")
    assert cache.get_cached_package("pkg", "1.0", "") == newer
    os.rmdir(newer)
    assert cache.get_cached_package("pkg", "1.0", "") == older
    assert [r["install_path"] for r in cache.list_cached_packages()] == [older]
    os.rmdir(older)
    assert cache.get_cached_package("pkg", "1.0", "") is None
    assert cache.list_cached_packages() == []


def test_objects_sharing_a_base_directory_share_records(tmp_path):
    first, second = PackageCache(cache_dir=str(tmp_path)), PackageCache(cache_dir=str(tmp_path))
    path = record(first, "pkg", "2.0", "x")
    assert second.get_cached_package("pkg", "2.0", "x") == path
    assert PackageCache(cache_dir=str(tmp_path / "elsewhere")).get_cached_package("pkg", "2.0", "x") is None


def test_database_lives_in_the_hidden_folder_in_wal_mode(tmp_path):
    cache = PackageCache(cache_dir=str(tmp_path))
    record(cache, "pkg", "1.0")
    db = Path(cache.database_path)
    assert db.parent == tmp_path / CACHE_DIR_NAME
    with contextlib.closing(sqlite3.connect(db)) as conn:
        assert conn.execute("PRAGMA journal_mode").fetchone()[0] == "wal"


def test_a_wiped_cache_folder_is_set_up_again(tmp_path):
    cache = PackageCache(cache_dir=str(tmp_path))
    record(cache, "pkg", "1.0")
    os.remove(cache.database_path)
    path = record(cache, "pkg", "1.0")
    assert cache.get_cached_package("pkg", "1.0", "") == path


def test_concurrent_adds_from_threads_stay_consistent(tmp_path):
    results: dict[int, str] = {}
    errors: list[BaseException] = []
    start = threading.Barrier(20)

    def install(n):
        try:
            cache = PackageCache(cache_dir=str(tmp_path))  # one manager per thread, as separate hosts would
            start.wait()
            results[n] = record(cache, f"pkg-{n % 5}", f"1.{n}")
            assert cache.get_cached_package(f"pkg-{n % 5}", f"1.{n}", "") == results[n]
        except BaseException as exc:
            errors.append(exc)

    threads = [threading.Thread(target=install, args=(n,)) for n in range(20)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    cache = PackageCache(cache_dir=str(tmp_path))
    assert sorted(r["install_path"] for r in cache.list_cached_packages()) == sorted(results.values())
    for n, path in results.items():
        assert cache.get_cached_package(f"pkg-{n % 5}", f"1.{n}", "") == path


def test_concurrent_adds_from_processes_stay_consistent(tmp_path):
    script = textwrap.dedent(
        """
        import os, sys
        from quenlet_master.business_layer.packages.package_cache import PackageCache
        cache = PackageCache(cache_dir=sys.argv[1])
        for i in range(10):
            install_uuid, path = cache.generate_install_path()
            os.makedirs(path)
            cache.add_cached_package(install_uuid, "shared", sys.argv[2] + "." + str(i), "",
                                     cache.get_current_platform(), cache.get_python_version(), path)
        """
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    procs = [
        subprocess.Popen(
            [sys.executable, "-c", script, str(tmp_path), str(n)], env=env, stderr=subprocess.PIPE
        )
        for n in range(4)
    ]
    outcomes = [(p.communicate(timeout=60)[1], p.returncode) for p in procs]
    failures = [err.decode() for err, returncode in outcomes if returncode != 0]
    assert failures == []
    cache = PackageCache(cache_dir=str(tmp_path))
    assert len(cache.list_cached_packages()) == 40
    assert all(cache.get_cached_package("shared", f"{n}.{i}", "") for n in range(4) for i in range(10))
