# The whole set-up is here: `make test` on a fresh machine finds or builds the free-threaded
# interpreter, makes the virtual environments, builds both extension modules and runs the tests
# on 3.14t and on the machine's stock python3 (a GIL build), then the linters. `make sanitize`
# runs the same tests against a build instrumented with ASan and UBSan, `make test-nogil` with the
# GIL forced off. They all leave the reliability checks (marker `reliability`) to
# `make reliability`, which runs them with the GIL off and under the sanitizers, and the bootstrap
# checks (marker `bootstrap`) to `make test-bootstrap`. PYTEST_ARGS come after the marker
# selection, so a `-m` there replaces it.

SHELL := bash
.SHELLFLAGS := -eu -o pipefail -c

VENV ?= .venv
GIL_PYTHON ?= python3
GIL_VENV ?= .venv-gil
SANITIZE_VENV ?= .venv-asan
PYTEST_ARGS ?=
BENCH_ARGS ?=
# Test processes that run at once (pytest-xdist); 0 runs the tests in pytest's own process. More
# than the machine's cores pays: much of the suite waits on child processes, sockets and timers.
TEST_WORKERS ?= 4
# Narrow the native build while working on one module, e.g. QUENLET_MODULES="manager;_runtime_probe".
# The test-only _runtime_probe is built here, for the tests; `pip install .` leaves it out.
QUENLET_MODULES ?= manager;repo_finder;_runtime_probe

# The machine's pip configuration names local wheel folders that may not exist; pip's warning
# about each of them is noise here.
PIP_QUIET := 2>&1 | { grep -v '^WARNING: Location' || true; }
PIP_INSTALL = pip install -q --disable-pip-version-check

NATIVE_SOURCES := $(shell find src -name '*.cpp' -o -name '*.h') CMakeLists.txt pyproject.toml
PYTHON_SOURCES := $(shell find python -name '*.py' -o -name '*.typed' -o -name '*.pyi')

PYTEST = -m pytest -q -p no:cacheprovider
ORDINARY := -m "not reliability and not bootstrap"
WORKERS = -n $(TEST_WORKERS)

.PHONY: all build test test-ft test-gil test-nogil test-bootstrap sanitize reliability lint format \
  clean demo bench
# The stamps stand for real state (a venv, an installed build): make must not delete them.
.PRECIOUS: %/.deps %/.installed

all: build

# A venv: made from the interpreter, then given what pyproject.toml lists for the build, the
# package, the tests and the developers' tools.
%/.deps: pyproject.toml tools/requirements.py
	@echo "== preparing $* =="
	@if [ "$*" = "$(GIL_VENV)" ]; then \
	   interpreter=$$(command -v $(GIL_PYTHON)) || { echo "error: no $(GIL_PYTHON) on PATH (set GIL_PYTHON)" >&2; exit 1; }; \
	   "$$interpreter" -c 'import ensurepip, os, sysconfig; assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' 2>/dev/null || \
	     { echo "error: $$interpreter cannot make a venv with C headers (on Debian: apt-get install -y python3-venv python3-dev)" >&2; exit 1; }; \
	 else interpreter=$$(bash tools/bootstrap-python.sh | tail -n 1); fi; \
	 "$$interpreter" -m venv --clear "$*"
	@"$*/bin/python" tools/requirements.py test dev >"$*/requirements.txt"
	@"$*/bin/python" -m $(PIP_INSTALL) --upgrade pip -r "$*/requirements.txt" $(PIP_QUIET)
	@touch "$@"

# The project itself, rebuilt incrementally in build/<wheel tag>.
%/.installed: BUILD_OPTIONS ?= -Cbuild-dir=build/{wheel_tag}
%/.installed: %/.deps $(NATIVE_SOURCES) $(PYTHON_SOURCES)
	@echo "== building the extension modules for $* =="
	@"$*/bin/python" -m $(PIP_INSTALL) --no-build-isolation --no-deps \
	  -Ccmake.define.QUENLET_MODULES="$(QUENLET_MODULES)" $(BUILD_OPTIONS) . $(PIP_QUIET)
	@touch "$@"

# The instrumented build has its own venv and build folder: it never replaces the normal one.
$(SANITIZE_VENV)/.installed: BUILD_OPTIONS := -Cbuild-dir=build/asan -Ccmake.build-type=Debug \
  -Ccmake.define.QUENLET_SANITIZE=ON

build: $(VENV)/.installed

test: test-ft test-gil lint

test-ft: $(VENV)/.installed
	@echo "== tests on $$($(VENV)/bin/python -c 'import sys; print(sys.version.split()[0], "free-threaded" if hasattr(sys, "_is_gil_enabled") else "")') =="
	@cd tests && $(abspath $(VENV))/bin/python $(PYTEST) $(WORKERS) $(ORDINARY) $(PYTEST_ARGS)

test-gil: $(GIL_VENV)/.installed
	@echo "== tests on the stock interpreter ($$($(GIL_VENV)/bin/python -V)) =="
	@cd tests && $(abspath $(GIL_VENV))/bin/python $(PYTEST) $(WORKERS) $(ORDINARY) $(PYTEST_ARGS)

# A host that forces the GIL off although our modules ask for it still drives them from one
# event-loop thread, with executor threads beside it.
test-nogil: $(VENV)/.installed
	@echo "== tests on 3.14t with the GIL forced off =="
	@cd tests && PYTHON_GIL=0 $(abspath $(VENV))/bin/python $(PYTEST) $(WORKERS) $(ORDINARY) $(PYTEST_ARGS)

# In one test process: pytest-xdist's workers keep memory until exit that LeakSanitizer would
# report (see the README's Sanitizers).
sanitize: $(SANITIZE_VENV)/.installed
	@echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer =="
	@bash tools/sanitize/run-tests.sh $(abspath $(SANITIZE_VENV))/bin/python build/sanitizer-reports \
	  $(ORDINARY) $(PYTEST_ARGS)

# tools/bootstrap-python.sh from a stand-alone clone with an empty cache, up to the unpacked source.
# It needs no build: --noconftest keeps the suite's fixtures, which import the modules, out of it.
test-bootstrap: $(VENV)/.deps
	@echo "== the interpreter bootstrap from a stand-alone clone =="
	@cd tests && $(abspath $(VENV))/bin/python $(PYTEST) --noconftest -m bootstrap bootstrap $(PYTEST_ARGS)

# The soak, fault, concurrency and fuzzing checks with the GIL forced off, then under the
# sanitizers, then the table of their counts; it fails when a count that must be zero is not.
# QUENLET_RELIABILITY_SCALE=10 makes every workload ten times larger.
RELIABILITY_DIR := build/reliability
reliability: $(VENV)/.installed $(SANITIZE_VENV)/.installed
	@rm -rf $(RELIABILITY_DIR) && mkdir -p $(RELIABILITY_DIR)
	@echo "== reliability checks with the GIL forced off =="
	@nogil=0; (cd tests && PYTHON_GIL=0 QUENLET_RELIABILITY_REPORT=$(abspath $(RELIABILITY_DIR))/nogil \
	   $(abspath $(VENV))/bin/python $(PYTEST) $(WORKERS) -m reliability $(PYTEST_ARGS)) || nogil=$$?; \
	 echo "== reliability checks under AddressSanitizer and UndefinedBehaviorSanitizer =="; \
	 sanitized=0; QUENLET_RELIABILITY_REPORT=$(abspath $(RELIABILITY_DIR))/sanitized \
	   bash tools/sanitize/run-tests.sh $(abspath $(SANITIZE_VENV))/bin/python $(RELIABILITY_DIR)/sanitizer \
	   -m reliability $(PYTEST_ARGS) || sanitized=$$?; \
	 $(VENV)/bin/python tools/reliability_report.py $(RELIABILITY_DIR)/nogil $$nogil \
	   $(RELIABILITY_DIR)/sanitized $$sanitized $(RELIABILITY_DIR)/sanitizer

# Benchmarks against plain-Python baselines, measured as ratios in one run; BENCH_ARGS="--quick"
# shrinks every workload. Writes bench/results.json.
bench: $(VENV)/.installed
	@$(VENV)/bin/python -m bench $(BENCH_ARGS)

lint: $(VENV)/.deps
	@echo "== lint =="
	@$(VENV)/bin/ruff check python tests bench tools
	@$(VENV)/bin/ruff format --check python tests bench tools
	@$(VENV)/bin/clang-format --dry-run --Werror $$(find src -name '*.cpp' -o -name '*.h')
	@# The stubs are read from the source tree (pyproject.toml lists the files), so no build is needed.
	@$(VENV)/bin/mypy

# The main job: a tour of both modules through the command line, against local package indexes.
demo: $(VENV)/.installed
	@$(VENV)/bin/python -m quenlet_master.demo

format: $(VENV)/.deps
	@$(VENV)/bin/ruff format python tests bench tools
	@$(VENV)/bin/ruff check --fix python tests bench tools
	@$(VENV)/bin/clang-format -i $$(find src -name '*.cpp' -o -name '*.h')

clean:
	rm -rf build $(VENV) $(GIL_VENV) $(SANITIZE_VENV)
