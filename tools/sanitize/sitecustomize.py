"""Decides which programs started during `make sanitize` run under the sanitizers.

Every interpreter of the run imports this at start-up (tools/sanitize is on its PYTHONPATH). The
interpreters started through sys.executable run like the test process, with the sanitizer runtime
loaded first: some tests import our modules in a fresh interpreter, and ASan refuses to load an
instrumented module otherwise. So sys.executable becomes the script that starts our interpreter
that way. Every other program (the C++ compiler that some tests run, the system tools pip calls)
runs without the runtime: nothing of ours runs there, and LeakSanitizer would fail a compiler for
the memory it deliberately never frees at exit.
"""

import os
import sys

_sanitized_python = os.environ.get("SANITIZED_PYTHON")
if _sanitized_python:
    sys.executable = _sanitized_python
    # The loader and the interpreter read these when this process started: removing them now
    # only changes what the programs it starts inherit.
    os.environ.pop("LD_PRELOAD", None)
    os.environ.pop("PYTHONMALLOC", None)
