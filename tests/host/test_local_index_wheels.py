import base64
import csv
import hashlib
import io
import subprocess
import sys
import tarfile
import zipfile

import pytest

from quenlet_master.local_index import build_sdist, build_wheel, parse_metadata, read_wheel_metadata

REQUIRES = [
    "requests>=2",
    'pytest>=7; extra == "test"',
    'sphinx; extra == "docs" and python_version >= "3.9"',
]


@pytest.mark.parametrize(
    ("name", "version", "filename", "module"),
    [
        ("demo", "1.0", "demo-1.0-py3-none-any.whl", "demo"),
        ("Foo.Bar-baz", "2.0.0rc1", "foo_bar_baz-2.0.0rc1-py3-none-any.whl", "foo_bar_baz"),
        ("pkg", "1.0-beta1", "pkg-1.0b1-py3-none-any.whl", "pkg"),
    ],
)
def test_wheel_is_well_formed(tmp_path, name, version, filename, module):
    path = build_wheel(
        tmp_path, name, version, requires_dist=REQUIRES, extras=["test", "docs"], summary="A demo"
    )
    assert path.name == filename
    dist_info = filename.rsplit("-", 3)[0] + ".dist-info"
    with zipfile.ZipFile(path) as wheel:
        names = wheel.namelist()
        assert names[-1] == f"{dist_info}/RECORD"
        assert f"{module}/__init__.py" in names
        rows = list(csv.reader(io.StringIO(wheel.read(f"{dist_info}/RECORD").decode())))
        assert sorted(row[0] for row in rows) == sorted(names)
        for member, digest, size in rows:
            if member.endswith("RECORD"):
                assert (digest, size) == ("", "")
                continue
            data = wheel.read(member)
            expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            assert digest == f"sha256={expected}" and int(size) == len(data)
        wheel_file = wheel.read(f"{dist_info}/WHEEL").decode()
        assert "Wheel-Version: 1.0" in wheel_file and "Tag: py3-none-any" in wheel_file
    meta = parse_metadata(read_wheel_metadata(path).decode())
    assert (meta["Metadata-Version"], meta["Name"], meta["Version"], meta["Summary"]) == (
        "2.1",
        name,
        version,
        "A demo",
    )
    assert meta.get_all("Requires-Dist") == REQUIRES
    assert meta.get_all("Provides-Extra") == ["test", "docs"]


def test_builds_are_reproducible(tmp_path):
    first = build_wheel(tmp_path / "a", "demo", "1.0", requires_dist=REQUIRES).read_bytes()
    second = build_wheel(tmp_path / "b", "demo", "1.0", requires_dist=REQUIRES).read_bytes()
    assert first == second
    assert (
        build_sdist(tmp_path / "a", "demo", "1.0").read_bytes()
        == build_sdist(tmp_path / "b", "demo", "1.0").read_bytes()
    )


@pytest.mark.parametrize("include_pkg_info", [True, False])
def test_sdist_layout(tmp_path, include_pkg_info):
    path = build_sdist(tmp_path, "Demo.Pkg", "0.9", include_pkg_info=include_pkg_info, summary="src")
    assert path.name == "demo_pkg-0.9.tar.gz"
    with tarfile.open(path) as archive:
        names = set(archive.getnames())
    assert "demo_pkg-0.9/pyproject.toml" in names and "demo_pkg-0.9/demo_pkg/__init__.py" in names
    assert ("demo_pkg-0.9/PKG-INFO" in names) is include_pkg_info


def test_real_pip_installs_from_the_local_index(local_index_server, tmp_path, hermetic_pip_env):
    local_index_server.add_wheel("Quenlet-Sample", "1.0.0", summary="old")
    local_index_server.add_wheel(
        "Quenlet-Sample", "1.2.0", files={"quenlet_sample/__init__.py": "VALUE = 42\n__version__ = '1.2.0'\n"}
    )
    local_index_server.add_sdist("Quenlet-Sample", "1.3.0")
    target = tmp_path / "target"
    pip = [sys.executable, "-m", "pip", "install", "--index-url", local_index_server.simple_url, "--no-input"]
    result = subprocess.run(
        [*pip, "--target", str(target), "quenlet_sample==1.2.0"],
        env=hermetic_pip_env,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    check = subprocess.run(
        [sys.executable, "-c", "import quenlet_sample as m; print(m.VALUE, m.__file__)"],
        env={**hermetic_pip_env, "PYTHONPATH": str(target)},
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert check.returncode == 0, check.stderr
    value, module_file = check.stdout.split()
    assert value == "42" and module_file.startswith(str(target))
    log = local_index_server.request_log
    assert log.count("/files/quenlet_sample-1.2.0-py3-none-any.whl", method="GET") == 1
    assert log.count("/files/quenlet_sample-1.0.0-py3-none-any.whl") == 0
    assert log.count("/files/quenlet_sample-1.3.0.tar.gz") == 0
