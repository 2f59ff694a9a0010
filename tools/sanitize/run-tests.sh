#!/usr/bin/env bash
# Runs the test suite in an interpreter whose extension modules were built with ASan and UBSan,
# and fails on any sanitizer report and on nanobind's own leak report at exit.
#
# Usage: run-tests.sh PYTHON REPORT_DIR [pytest arguments...]
set -euo pipefail

python=$1
reports=$(mkdir -p "$2" && cd "$2" && pwd)
shift 2
here=$(cd "$(dirname "$0")" && pwd)

fail() {
	printf '\n[sanitize] %s\n' "$*" >&2
	exit 1
}

# The interpreter itself is not instrumented, so the sanitizer runtimes must be loaded before
# anything else for their allocator and interceptors to see every allocation.
preload=
for library in libasan.so libubsan.so; do
	path=$(gcc -print-file-name="$library")
	[ -e "$path" ] || fail "gcc has no $library (install its libasan/libubsan package)"
	preload=${preload:+$preload:}$(realpath "$path")
done

rm -rf "$reports"
mkdir -p "$reports"
log=$reports/pytest.log

# How our interpreter runs under the sanitizers; sanitized_python.c puts these in its environment.
#
# ASan's reports go to files, one per process, so that a report is kept even when it comes from
# a process whose standard error some test reads. UBSan (the GCC build next to ASan) ignores
# log_path and always writes to standard error, which pytest therefore must not capture at the
# file-descriptor level (--capture=sys below): the process dies at the first report, and whatever
# pytest had captured dies with it.
#
# Allocation stacks are taken by the fast unwinder, which follows frame pointers: our code, nanobind
# and the interpreter keep them. The slow one, which also walks the system's libraries that do not,
# made every run about ten times slower (see lsan.supp for what it costs the suppressions).
# intercept_tls_get_addr=0: LeakSanitizer's own record of the
# threads' dynamic TLS gets corrupted in this interpreter once enough extension modules are
# loaded ("Tracer caught signal 11"); without it the dynamic TLS blocks are still found through
# glibc's per-thread tables, which are scanned like any other memory.
#
# The free-threaded interpreter cannot allocate its objects with malloc (its garbage collector
# finds them by walking mimalloc's heaps, and it refuses PYTHONMALLOC=malloc). What ASan cannot
# see there, the interpreter's debug hooks guard instead: padding around every object, checked
# when it is freed, and freed memory overwritten.
sanitized=$reports/python
asan_options=(
	detect_leaks=1 exitcode=66 detect_stack_use_after_return=1
	intercept_tls_get_addr=0 log_exe_name=1 "log_path=$reports/asan"
)
settings=(
	"LD_PRELOAD=$preload"
	"ASAN_OPTIONS=$(IFS=: && echo "${asan_options[*]}")"
	"LSAN_OPTIONS=suppressions=$here/lsan.supp:print_suppressions=0"
	"UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:exitcode=66"
	"PYTHONMALLOC=mimalloc_debug"
	"SANITIZED_PYTHON=$sanitized"
)
names=("${settings[@]%%=*}")
settings+=("SANITIZED_VARIABLES=${names[*]} SANITIZED_VARIABLES")
{
	printf '#define PYTHON "%s"\n#define SETTINGS' "$python"
	printf ' "%s",' "${settings[@]}"
	printf '\n'
} >"$reports/settings.h"
gcc -O1 -Wall -Werror -I"$reports" -o "$sanitized" "$here/sanitized_python.c"
site_packages=$("$python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
# Renamed into place: another run of this script may be starting interpreters of the same venv.
cp "$here/sitecustomize.py" "$site_packages/sitecustomize.py.$$"
mv -f "$site_packages/sitecustomize.py.$$" "$site_packages/sitecustomize.py"

status=0
(
	cd tests
	"$sanitized" -m pytest -q -p no:cacheprovider --capture=sys "$@"
) 2>&1 | tee "$log" || status=$?

found=$(find "$reports" -name 'asan.*' | sort)
for report in $found; do
	printf '\n[sanitize] ===== %s =====\n' "${report#"$reports"/}" >&2
	cat "$report" >&2
done
[ -z "$found" ] || fail "AddressSanitizer reports above (kept in $reports)"
if grep -q ': runtime error: ' "$log"; then
	fail "UndefinedBehaviorSanitizer reported undefined behaviour (see $log)"
fi
if grep -q '^nanobind: leaked' "$log"; then
	fail "nanobind reported leaked objects at exit (see $log)"
fi
[ "$status" -eq 0 ] || fail "the tests failed (exit status $status)"
printf '[sanitize] no sanitizer report, no nanobind leak\n' >&2
