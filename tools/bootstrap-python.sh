#!/usr/bin/env bash
# Finds or builds the free-threaded CPython 3.14 that the project runs on, and prints its path
# on the last line of standard output. Progress goes to standard error, and so does every
# failure: what failed and what to do about it, then exit status 1.
#
# Order: $PYTHON, then python3.14t on PATH, then a build cached per user, built once per machine
# from Debian's python3.14 source package. The tarball comes from the Debian mirror that apt is
# configured with; a copy already at hand (beside the clone, or from an earlier attempt) saves the
# download, and every copy must match the checksum below.
#
# QUENLET_BOOTSTRAP_STOP=unpacked stops once the checked source is unpacked, keeps it and prints
# its folder instead of an interpreter: the tests of this script run everything but the long
# compilation that way.
set -Eeuo pipefail

VERSION=3.14.7
SHA256=3b48dac8fb59f62eaa67ac83c1eb12bda1b7a08406dd286e252c11a66be27f81
TARBALL=python3.14_${VERSION}.orig.tar.xz
POOL_PATH=pool/main/p/python3.14/$TARBALL
HERE=$(cd "$(dirname "$0")" && pwd)
VENDORED=$(cd "$HERE/../.." && pwd)/shared/vendor/$TARBALL
CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/quenlet-packages
PREFIX=$CACHE/cpython-$VERSION-t
STOP=${QUENLET_BOOTSTRAP_STOP:-}
# What CPython's build needs for the modules the project uses (ssl, sqlite3, ctypes, the
# compression modules), and what this script itself runs.
BUILD_PACKAGES=(build-essential libssl-dev zlib1g-dev libffi-dev libsqlite3-dev libbz2-dev liblzma-dev
	uuid-dev xz-utils curl ca-certificates)

say() { printf '[python] %s\n' "$*" >&2; }

# fail WHAT [ADVICE...]: what failed and what to do about it, then exit status 1.
fail() {
	say "error: $1"
	shift
	local advice
	for advice in "$@"; do say "  $advice"; done
	[ -n "${PYTHON:-}" ] || say "  Or use a free-threaded CPython 3.14 you already have: PYTHON=/path/to/python3.14t make test"
	exit 1
}

# A command that fails where the script expects no failure still says what it was, instead of
# ending the run with a bare exit status as set -e alone would. A failure inside a command
# substitution is reported once, by the command of the script that ran it.
on_error() {
	local status=$? command=$BASH_COMMAND line=$1
	[ "$BASHPID" = "$$" ] || exit "$status"
	fail "\`$command\` failed (status $status, line $line of $0)" "Please report this with the output above."
}
trap 'on_error $LINENO' ERR

is_free_threaded_314() {
	[ "$("$1" -c 'import sys, sysconfig
print(sys.version_info[:2] == (3, 14) and bool(sysconfig.get_config_var("Py_GIL_DISABLED")))' 2>/dev/null)" = True ]
}

# -- an interpreter that is already there -----------------------------------------------------------

case $STOP in
"" | unpacked) ;;
*) fail "QUENLET_BOOTSTRAP_STOP=$STOP is not a stop this script knows" "The only one is 'unpacked'." ;;
esac

if [ -n "${PYTHON:-}" ]; then
	found=$(command -v "$PYTHON") || fail "PYTHON=$PYTHON is not an executable" "Point PYTHON at an interpreter, or unset it to have one built."
	is_free_threaded_314 "$found" ||
		fail "PYTHON=$PYTHON is not a free-threaded CPython 3.14" "Point PYTHON at a python3.14t, or unset it to have one built."
	echo "$found"
	exit 0
fi
if found=$(command -v python3.14t) && is_free_threaded_314 "$found"; then
	echo "$found"
	exit 0
fi
if [ -f "$PREFIX/.complete" ]; then
	echo "$PREFIX/bin/python3.14t"
	exit 0
fi

say "No python3.14t found: building CPython $VERSION (free-threaded) into $PREFIX."
say "This happens once per machine and takes a few minutes (about 4-5 on 2 cores)."

# -- the build's prerequisites ----------------------------------------------------------------------

if command -v dpkg-query >/dev/null; then
	missing=()
	for package in "${BUILD_PACKAGES[@]}"; do
		status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null) || status=
		[[ $status == *" ok installed" ]] || missing+=("$package")
	done
	if [ ${#missing[@]} -gt 0 ]; then
		install_command="apt-get install -y ${missing[*]}"
		if [ "$(id -u)" = 0 ]; then
			sudo=()
		elif command -v sudo >/dev/null; then
			sudo=(sudo)
		else
			fail "these Debian packages are missing: ${missing[*]}" "Have root run: $install_command"
		fi
		say "Installing the build's prerequisites: ${missing[*]}"
		"${sudo[@]}" apt-get update -qq >&2 ||
			fail "apt-get update failed" "Check apt's sources and the network, then run: ${sudo[*]} apt-get update"
		DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >&2 ||
			fail "installing ${missing[*]} failed" "Run by hand: ${sudo[*]} $install_command"
	fi
else
	say "This is no Debian system: the build needs a C compiler and make, curl and xz, and the"
	say "development files of OpenSSL, zlib, libffi, SQLite, bzip2, liblzma and libuuid."
fi
for tool in curl sha256sum tar xz make cc; do
	command -v "$tool" >/dev/null || fail "$tool is not installed" "Install it (on Debian: apt-get install -y ${BUILD_PACKAGES[*]})."
done

# -- the source: a checked copy at hand, or a download from the configured Debian mirror ----------

# The archive URIs of apt's sources, in the order apt reads its files: one-line entries
# (sources.list, sources.list.d/*.list) and deb822 stanzas (sources.list.d/*.sources), the paths
# as apt-config gives them (APT_CONFIG may point apt elsewhere). Only http and https: what curl
# fetches from a pool.
source_files=()
mirrors=()
read_apt_sources() {
	local list=/etc/apt/sources.list parts=/etc/apt/sources.list.d/ file uris uri
	if command -v apt-config >/dev/null; then
		eval "$(apt-config shell list Dir::Etc::sourcelist/f parts Dir::Etc::sourceparts/d)"
	fi
	for file in "$list" "${parts%/}"/*; do
		[ -f "$file" ] || continue
		case $file in
		"$list" | *.list) uris=$(one_line_uris <"$file") ;;
		*.sources) uris=$(deb822_uris <"$file") ;;
		*) continue ;;
		esac
		source_files+=("$file")
		for uri in $uris; do
			case $uri in
			http://* | https://*) [[ " ${mirrors[*]} " == *" ${uri%/} "* ]] || mirrors+=("${uri%/}") ;;
			esac
		done
	done
}

# "deb [options] URI suite components": the URI of each deb or deb-src line.
one_line_uris() {
	awk '$1 == "deb" || $1 == "deb-src" {
		for (i = 2; i <= NF; i++) {
			if ($i ~ /^\[/) { while ($i !~ /\]$/ && i < NF) i++; continue }
			print $i; break
		}
	}'
}

# Stanzas of "Field: value" lines separated by blank lines; a value may go on over lines that
# start with a space. The URIs of each enabled stanza of type deb or deb-src.
deb822_uris() {
	awk '
	function flush() {
		if (types ~ /(^| )deb(-src)?( |$)/ && enabled != "no") {
			n = split(uris, list, " ")
			for (i = 1; i <= n; i++) print list[i]
		}
		types = uris = enabled = field = ""
	}
	/^#/ { next }
	/^[ \t]*$/ { flush(); next }
	/^[ \t]/ {
		if (field == "types") types = types " " $0
		else if (field == "uris") uris = uris " " $0
		next
	}
	{
		colon = index($0, ":")
		field = tolower(substr($0, 1, colon - 1))
		value = substr($0, colon + 1)
		gsub(/[ \t]+/, " ", value)
		if (field == "types") types = value
		else if (field == "uris") uris = value
		else if (field == "enabled") { enabled = tolower(value); gsub(/ /, "", enabled) }
	}
	END { flush() }
	'
}

checksum_ok() {
	[ "$(sha256sum "$1" | cut -d' ' -f1)" = "$SHA256" ]
}

mkdir -p "$CACHE" || fail "cannot create the cache folder $CACHE" "Make it writable, or set XDG_CACHE_HOME to a folder that is."
work=$(mktemp -d) || fail "cannot create a temporary folder" "Set TMPDIR to a writable folder with about 1 GB free."
# An interrupted or failed build leaves nothing behind; a stopped one keeps its source for the caller.
[ -n "$STOP" ] || trap 'rm -rf "$work"' EXIT

tarball=$work/$TARBALL
downloaded=$CACHE/$TARBALL
if [ -f "$VENDORED" ] && checksum_ok "$VENDORED"; then
	say "Using the source beside the clone: $VENDORED"
	cp "$VENDORED" "$tarball"
elif [ -f "$downloaded" ] && checksum_ok "$downloaded"; then
	say "Using the source downloaded earlier: $downloaded"
	cp "$downloaded" "$tarball"
else
	[ ! -f "$VENDORED" ] || say "Ignoring $VENDORED: its sha256 is not $SHA256"
	read_apt_sources
	if [ ${#mirrors[@]} -eq 0 ]; then
		read=${source_files[*]:-none of them exists}
		fail "no Debian mirror is configured in apt's sources (files read: $read)" \
			"The CPython source comes from the Debian mirror that apt uses: add one to apt's sources" \
			"(a deb line in /etc/apt/sources.list, or a URIs: field in /etc/apt/sources.list.d/*.sources)," \
			"or put $TARBALL (sha256 $SHA256) at $downloaded."
	fi
	# A proxy that apt is told to use is one curl needs too.
	proxy=
	if command -v apt-config >/dev/null; then
		eval "$(apt-config shell proxy Acquire::http::Proxy)"
	fi
	if [ -n "$proxy" ] && [ -z "${http_proxy:-}" ]; then
		export http_proxy=$proxy
	fi
	for mirror in "${mirrors[@]}"; do
		url=$mirror/$POOL_PATH
		say "Downloading $url"
		if curl -fsSL --retry 3 --connect-timeout 30 -o "$tarball" "$url"; then
			if checksum_ok "$tarball"; then
				cp "$tarball" "$downloaded.part" && mv "$downloaded.part" "$downloaded"
				break
			fi
			say "The file from $mirror does not match sha256 $SHA256"
		fi
		rm -f "$tarball"
	done
	[ -f "$tarball" ] ||
		fail "no configured Debian mirror served a good copy of $TARBALL (tried: ${mirrors[*]})" \
			"Check the network (and apt's proxy setting), or put the file (sha256 $SHA256) at $downloaded."
fi

say "Unpacking"
tar -xJf "$tarball" -C "$work" || fail "could not unpack $TARBALL into $work" "Check the free space there (about 1 GB is needed) or set TMPDIR elsewhere."
src=$work/Python-$VERSION
[ -f "$src/configure" ] || fail "$TARBALL holds no Python-$VERSION/configure" "Remove $downloaded and run again."
if [ "$STOP" = unpacked ]; then
	say "Stopping with the checked source unpacked (QUENLET_BOOTSTRAP_STOP=unpacked)"
	echo "$src"
	exit 0
fi

# -- the build -------------------------------------------------------------------------------------

log=$work/build.log
# The log outlives a failed build, for whoever has to find out why.
build_failed() {
	cp "$log" "$CACHE/cpython-$VERSION-build.log"
	tail -n 40 "$log" >&2
	fail "$1 failed (the end of its log is above; the whole log is $CACHE/cpython-$VERSION-build.log)" \
		"A missing library or compiler is the usual cause: on Debian, apt-get install -y ${BUILD_PACKAGES[*]}"
}
say "Configuring (--disable-gil)"
(cd "$src" && ./configure --prefix="$PREFIX" --disable-gil --with-ensurepip=install >"$log" 2>&1) ||
	build_failed configure
say "Compiling with $(nproc) jobs (the long part)"
(cd "$src" && make -j"$(nproc)" >>"$log" 2>&1) || build_failed make
say "Installing"
rm -rf "$PREFIX"
(cd "$src" && make install >>"$log" 2>&1) || build_failed "make install"
# Keep the source tree next to the interpreter: the style notes refer to its Modules/ files.
rm -rf "$CACHE/cpython-$VERSION-src"
mv "$src" "$CACHE/cpython-$VERSION-src"

"$PREFIX/bin/python3.14t" -c 'import bz2, ctypes, lzma, sqlite3, ssl, sys, zlib; assert not sys._is_gil_enabled()' ||
	fail "the new interpreter lacks one of ssl, sqlite3, ctypes, bz2, lzma, zlib (or has a GIL)" \
		"Install the development files it was built without (on Debian: apt-get install -y ${BUILD_PACKAGES[*]}), then remove $PREFIX and run again."
# The marker is written last: an interrupted build is redone rather than half-used.
touch "$PREFIX/.complete"
say "Built $PREFIX/bin/python3.14t"
echo "$PREFIX/bin/python3.14t"
