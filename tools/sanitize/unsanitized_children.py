"""Keeps the sanitizer runtime out of the processes that the tests start.

The children are pip, the interpreter running a short script, and the tools they call: none of
them loads our extension modules, so under the sanitizers they could only report on code that is
not ours (the uninstrumented interpreter's exit-time allocations, a compiler's deliberate leaks).
A child that does load an instrumented module without the runtime is refused by ASan at load
time, loudly, so nothing is missed silently. The sanitizer options stay set: inert without the
runtime, they still send the reports of any child that brings its own runtime to the report
folder.
"""

import os


def pytest_configure(config):
    # The loader read LD_PRELOAD when this process started; removing it now only affects children.
    os.environ.pop("LD_PRELOAD", None)
    # The debug allocator hooks only slow the children down: they run none of our code.
    os.environ.pop("PYTHONMALLOC", None)
