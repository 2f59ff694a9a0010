"""tools/bootstrap-python.sh as a new user meets it: a clone with nothing beside it, no
python3.14t on PATH, an empty cache. Each run stops once the checked source is unpacked
(QUENLET_BOOTSTRAP_STOP=unpacked), which is everything but the long compilation.

`make test-bootstrap` runs these (marker `bootstrap`); the first one downloads the source from the
Debian mirror that this machine's apt is configured with, the others point apt at sources of
their own (APT_CONFIG) and at a mirror stand-in on 127.0.0.1."""

from __future__ import annotations

import http.server
import os
import shutil
import subprocess
import sys
import sysconfig
import threading
from pathlib import Path

import pytest

pytestmark = pytest.mark.bootstrap

REPOSITORY = Path(__file__).resolve().parents[2]
SCRIPT = Path("tools") / "bootstrap-python.sh"
TARBALL = "python3.14_3.14.7.orig.tar.xz"
POOL_PATH = f"/debian/pool/main/p/python3.14/{TARBALL}"


@pytest.fixture(scope="module")
def clone(tmp_path_factory) -> Path:
    """A clone of this repository in a folder of its own: no tarball beside it. The script is the
    working copy's, so that an edit is tested before it is committed."""
    if not (REPOSITORY / ".git").exists():
        pytest.skip("the tests do not run from a clone of the repository")
    destination = tmp_path_factory.mktemp("standalone") / "clone"
    subprocess.run(["git", "clone", "-q", str(REPOSITORY), str(destination)], check=True)
    shutil.copy2(REPOSITORY / SCRIPT, destination / SCRIPT)
    assert not (destination.parent / "shared").exists()
    return destination


class Bootstrap:
    """Runs the clone's script with an empty cache, no python3.14t on PATH and no PYTHON."""

    def __init__(self, clone: Path, tmp_path: Path):
        self.clone = clone
        self.cache = tmp_path / "cache"
        temporary = tmp_path / "tmp"
        temporary.mkdir()
        path = [
            d for d in os.environ["PATH"].split(os.pathsep) if d and not (Path(d) / "python3.14t").exists()
        ]
        self.env = {key: value for key, value in os.environ.items() if key not in ("PYTHON", "APT_CONFIG")}
        self.env.update(
            PATH=os.pathsep.join(path),
            XDG_CACHE_HOME=str(self.cache),
            TMPDIR=str(temporary),
            QUENLET_BOOTSTRAP_STOP="unpacked",
        )

    def run(self, **env: str) -> subprocess.CompletedProcess[str]:
        return subprocess.run(
            ["bash", str(self.clone / SCRIPT)],
            env={**self.env, **env},
            capture_output=True,
            text=True,
            stdin=subprocess.DEVNULL,
            timeout=600,
        )


@pytest.fixture
def bootstrap(clone, tmp_path) -> Bootstrap:
    return Bootstrap(clone, tmp_path)


def assert_failed_saying(run: subprocess.CompletedProcess[str], *parts: str) -> None:
    """A failure is exit status 1, nothing on standard output, and an error line that says what
    failed, followed by what to do."""
    assert (run.returncode, run.stdout) == (1, ""), run.stderr
    errors = [line for line in run.stderr.splitlines() if line.startswith("[python] error: ")]
    assert len(errors) == 1, run.stderr
    for part in parts:
        assert part in run.stderr
    assert run.stderr.rstrip().splitlines()[-1].startswith("[python]   "), "no advice after the error"


@pytest.mark.skipif(shutil.which("apt-config") is None, reason="no apt on this machine")
def test_a_stand_alone_clone_downloads_checks_and_unpacks_the_source(bootstrap):
    run = bootstrap.run()
    assert run.returncode == 0, run.stderr
    source = Path(run.stdout.splitlines()[-1])
    assert (source / "configure").is_file()
    assert '#define PY_VERSION              "3.14.7"' in (source / "Include" / "patchlevel.h").read_text()
    assert "[python] Downloading http" in run.stderr and "error" not in run.stderr

    # The checked download is kept, so that a build that failed is retried without the network.
    again = bootstrap.run(APT_CONFIG=os.devnull)
    assert again.returncode == 0, again.stderr
    assert "Using the source downloaded earlier" in again.stderr and "Downloading" not in again.stderr


class MirrorStandIn:
    """Serves a file that is not the tarball at the pool path, and nothing elsewhere; remembers what
    was asked for."""

    def __init__(self) -> None:
        requests = self.requests = []

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self) -> None:
                requests.append(self.path)
                found = self.path == POOL_PATH
                body = b"not the python3.14 source\n" if found else b"not found\n"
                self.send_response(200 if found else 404)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args: object) -> None:
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/debian"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def close(self) -> None:
        self.server.shutdown()
        self.server.server_close()
        self.thread.join()


@pytest.fixture
def mirror():
    stand_in = MirrorStandIn()
    yield stand_in
    stand_in.close()


@pytest.fixture
def apt_sources(tmp_path) -> Path:
    """A folder for apt's sources: sources.list, and parts/ for sources.list.d. The fixture
    returns it; APT_CONFIG=<folder>/apt.conf points apt at it."""
    folder = tmp_path / "apt"
    (folder / "parts").mkdir(parents=True)
    (folder / "apt.conf").write_text(
        f'Dir::Etc::sourcelist "{folder}/sources.list";\nDir::Etc::sourceparts "{folder}/parts";\n'
    )
    return folder


REFUSING = "http://127.0.0.1:9/refused"

# (file under the apt folder, its text); MIRROR is the stand-in's address.
SOURCE_FORMATS = {
    "sources.list": (
        "sources.list",
        "# deb http://commented.invalid/debian bookworm main\ndeb MIRROR bookworm main\n",
    ),
    "list file with options": (
        "parts/debian.list",
        "deb [ arch=amd64 signed-by=/usr/share/keyrings/k.gpg ] MIRROR bookworm main\n"
        "deb-src [arch=amd64] MIRROR bookworm main\n",
    ),
    "deb822": (
        "parts/debian.sources",
        "Types: deb\n"
        "# URIs: http://commented.invalid/debian\n"
        "URIs: MIRROR\n"
        "Suites: bookworm bookworm-updates\n"
        "Components: main\n"
        "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n"
        "\n"
        "Types: deb\n"
        "URIs: http://disabled.invalid/debian\n"
        "Suites: bookworm\n"
        "Enabled: no\n",
    ),
    "deb822, several URIs over two lines": (
        "parts/debian.sources",
        f"Types: deb-src deb\nURIs: {REFUSING}\n  MIRROR\nSuites: bookworm\nComponents: main\n",
    ),
}


@pytest.mark.skipif(shutil.which("apt-config") is None, reason="no apt on this machine")
@pytest.mark.parametrize("source_format", SOURCE_FORMATS)
def test_the_mirror_is_read_from_each_sources_format(bootstrap, apt_sources, mirror, source_format):
    name, text = SOURCE_FORMATS[source_format]
    (apt_sources / name).write_text(text.replace("MIRROR", mirror.url))
    run = bootstrap.run(APT_CONFIG=str(apt_sources / "apt.conf"))
    # The stand-in serves the wrong file: the checksum refuses it, and nothing is kept.
    assert mirror.requests == [POOL_PATH]
    assert_failed_saying(
        run,
        f"[python] Downloading {mirror.url}{POOL_PATH.removeprefix('/debian')}\n",
        "does not match sha256",
        "no configured Debian mirror served a good copy",
        "put the file (sha256 ",
    )
    assert ".invalid" not in run.stderr
    assert not (bootstrap.cache / "quenlet-packages" / TARBALL).exists()


@pytest.mark.skipif(shutil.which("apt-config") is None, reason="no apt on this machine")
@pytest.mark.parametrize(
    "sources",
    [
        {},
        {"sources.list": "# deb http://commented.invalid/debian bookworm main\n"},
        {"parts/cdrom.list": "deb cdrom:[Debian 12]/ bookworm main\n"},
        {"parts/off.sources": "Types: deb\nURIs: http://disabled.invalid/debian\nEnabled: no\n"},
        {"parts/debian.sources.disabled": "Types: deb\nURIs: http://disabled.invalid/debian\n"},
    ],
    ids=["no sources", "commented out", "cdrom only", "disabled stanza", "file apt ignores"],
)
def test_no_configured_mirror_is_a_clear_failure(bootstrap, apt_sources, sources):
    for name, text in sources.items():
        (apt_sources / name).write_text(text)
    # A copy beside the clone that is not the tarball is no way around it.
    vendored = bootstrap.clone.parent / "shared" / "vendor" / TARBALL
    vendored.parent.mkdir(parents=True)
    vendored.write_text("not the python3.14 source\n")
    try:
        run = bootstrap.run(APT_CONFIG=str(apt_sources / "apt.conf"))
    finally:
        shutil.rmtree(bootstrap.clone.parent / "shared")
    assert_failed_saying(
        run,
        f"[python] Ignoring {vendored}: its sha256 is not",
        "no Debian mirror is configured in apt's sources",
        "add one to apt's sources",
        "PYTHON=/path/to/python3.14t make test",
    )


def free_threaded_314() -> bool:
    return sys.version_info[:2] == (3, 14) and bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


@pytest.mark.parametrize(
    ("python", "message"),
    [
        ("no-such-python", "PYTHON=no-such-python is not an executable"),
        ("/bin/true", "PYTHON=/bin/true is not a free-threaded CPython 3.14"),
    ],
)
def test_a_python_that_will_not_do_is_named(bootstrap, python, message):
    assert_failed_saying(bootstrap.run(PYTHON=python), message, "Point PYTHON at")


@pytest.mark.skipif(not free_threaded_314(), reason="the tests do not run on a free-threaded 3.14")
def test_a_given_python_is_used_as_it_is(bootstrap):
    run = bootstrap.run(PYTHON=sys.executable)
    assert (run.returncode, run.stdout, run.stderr) == (0, f"{sys.executable}\n", "")


def test_an_unknown_stop_is_refused(bootstrap):
    assert_failed_saying(bootstrap.run(QUENLET_BOOTSTRAP_STOP="built"), "The only one is 'unpacked'")
