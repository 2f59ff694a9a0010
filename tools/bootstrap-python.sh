#!/usr/bin/env bash
# Finds or builds the free-threaded CPython 3.14 that the project runs on, and prints its path
# on the last line of standard output. Progress goes to standard error.
#
# Order: $PYTHON, then python3.14t on PATH, then a build cached per user (built once per machine
# from the python3.14 source package: the vendored tarball when present, else the machine's
# configured Debian mirror).
set -euo pipefail

VERSION=3.14.7
SHA256=3b48dac8fb59f62eaa67ac83c1eb12bda1b7a08406dd286e252c11a66be27f81
TARBALL=python3.14_${VERSION}.orig.tar.xz
HERE=$(cd "$(dirname "$0")" && pwd)
VENDORED=$HERE/../../shared/vendor/$TARBALL
CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/quenlet-packages
PREFIX=$CACHE/cpython-$VERSION-t

say() { printf '[python] %s\n' "$*" >&2; }
fail() {
	say "error: $*"
	say "To use an interpreter you already have, point PYTHON at a free-threaded CPython 3.14:"
	say "    PYTHON=/path/to/python3.14t make test"
	exit 1
}

if [ -n "${PYTHON:-}" ]; then
	command -v "$PYTHON" >/dev/null || fail "PYTHON=$PYTHON is not an executable"
	command -v "$PYTHON"
	exit 0
fi
if command -v python3.14t >/dev/null; then
	command -v python3.14t
	exit 0
fi
if [ -f "$PREFIX/.complete" ]; then
	echo "$PREFIX/bin/python3.14t"
	exit 0
fi

say "No python3.14t found: building CPython $VERSION (free-threaded) into $PREFIX."
say "This happens once per machine and takes a few minutes (about 4-5 on 2 cores)."

missing=()
for pkg in build-essential libssl-dev zlib1g-dev libffi-dev libsqlite3-dev libbz2-dev liblzma-dev uuid-dev xz-utils curl; do
	dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
	say "Installing build dependencies: ${missing[*]}"
	[ "$(id -u)" = 0 ] || SUDO=sudo
	${SUDO:-} apt-get update -qq >&2
	DEBIAN_FRONTEND=noninteractive ${SUDO:-} apt-get install -y -qq "${missing[@]}" >&2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ -f "$VENDORED" ]; then
	say "Using the vendored source $VENDORED"
	cp "$VENDORED" "$work/$TARBALL"
else
	# The Debian mirror this machine already uses: the first URIs/deb line of apt's sources.
	mirror=$(grep -hsE '^(URIs:|deb )' /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null |
		grep -v security | sed -E 's/^URIs:[[:space:]]*//; s/^deb (\[[^]]*\] )?//' | awk '{print $1}' | head -n 1)
	[ -n "$mirror" ] || fail "no Debian mirror is configured in apt's sources"
	url=${mirror%/}/pool/main/p/python3.14/$TARBALL
	say "Downloading the python3.14 source package from the configured Debian mirror"
	curl -fsSL --retry 3 -o "$work/$TARBALL" "$url" || fail "the Debian mirror could not serve $TARBALL"
fi
echo "$SHA256  $work/$TARBALL" | sha256sum -c --quiet - >&2 || fail "checksum mismatch for $TARBALL"

say "Unpacking"
tar -xJf "$work/$TARBALL" -C "$work"
src=$(find "$work" -maxdepth 1 -type d -name 'Python-*' | head -n 1)
[ -n "$src" ] || fail "the tarball holds no Python-* source folder"

log=$work/build.log
say "Configuring (--disable-gil); full log in the build folder while it runs"
(cd "$src" && ./configure --prefix="$PREFIX" --disable-gil --with-ensurepip=install >"$log" 2>&1) ||
	{ tail -n 40 "$log" >&2; fail "configure failed"; }
say "Compiling with $(nproc) jobs (the long part)"
(cd "$src" && make -j"$(nproc)" >>"$log" 2>&1) || { tail -n 40 "$log" >&2; fail "make failed"; }
say "Installing"
rm -rf "$PREFIX"
(cd "$src" && make install >>"$log" 2>&1) || { tail -n 40 "$log" >&2; fail "make install failed"; }
# Keep the source tree next to the interpreter: the style notes refer to its Modules/ files.
mkdir -p "$CACHE"
rm -rf "$CACHE/cpython-$VERSION-src"
mv "$src" "$CACHE/cpython-$VERSION-src"

"$PREFIX/bin/python3.14t" -c 'import ssl, sqlite3, ctypes, sys; assert not sys._is_gil_enabled()' ||
	fail "the new interpreter lacks ssl, sqlite3 or ctypes"
# The marker is written last: an interrupted build is redone rather than half-used.
touch "$PREFIX/.complete"
say "Built $PREFIX/bin/python3.14t"
echo "$PREFIX/bin/python3.14t"
