"""Lets the interpreters of `make sanitize` start only interpreters under the sanitizers.

run-tests.sh installs this into the sanitizer venv, where every interpreter imports it at
start-up. In an interpreter started by sanitized_python it makes sys.executable that program, so
the interpreters the tests start run under the sanitizers like the test process: some tests
import our modules in a fresh interpreter, and ASan refuses to load an instrumented module unless
its runtime came first. It also removes what sanitized_python added to the environment: the
process sees exactly the environment its parent gave it, and every other program it starts (the
C++ compiler some tests run, the system tools pip calls) runs without the sanitizers, since
nothing of ours runs there and LeakSanitizer would fail a compiler for the memory it deliberately
never frees at exit.
"""

import os
import sys

if "SANITIZED_PYTHON" in os.environ:
    sys.executable = os.environ["SANITIZED_PYTHON"]
    # The loader, the sanitizer runtime and the interpreter read these when this process started:
    # removing them now only changes what the programs it starts inherit.
    for name in os.environ["SANITIZED_VARIABLES"].split():
        os.environ.pop(name, None)
