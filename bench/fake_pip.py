"""Stand-ins for pip: a PipCommandBuilder that runs a small Python script instead.

The scripts are written once into a scratch folder; each gets the package spec and target
folder after its own arguments, as pip's command line would carry them.
"""

from __future__ import annotations

import sys
from pathlib import Path

# Writes LINES lines, half to each pipe, in blocks alternating between the pipes, as fast as
# the pipes take them: the consumer, not the producer, must be what limits the rate.
WRITES_LINES = """\
import os, sys
line = b"Collecting quenlet-demo==1.1.0 from local index: downloading 42 of 128 kB\\n"
half = int(sys.argv[1]) // 2
per_block = 256
def write_all(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]
full, rest = divmod(half, per_block)
block = line * per_block
for _ in range(full):
    write_all(1, block)
    write_all(2, block)
write_all(1, line * rest)
write_all(2, line * rest)
"""

# Prints the monotonic clock (shared by all processes on Linux) and exits at once, so that
# what follows is the consumer's own time to notice the end and yield the final items.
EXITS_AT_ONCE = """\
import os, time
print(time.monotonic(), flush=True)
os._exit(0)
"""


class ScriptCommandBuilder:
    def __init__(self, script: Path, *arguments: str):
        self.command = [sys.executable, "-S", str(script), *arguments]

    def build_install_command(self, package_spec: str, target_dir: str) -> list[str]:
        return [*self.command, package_spec, target_dir]


def write_script(folder: Path, name: str, text: str) -> Path:
    script = folder / name
    script.write_text(text)
    return script


def lines_builder(folder: Path, lines: int) -> ScriptCommandBuilder:
    return ScriptCommandBuilder(write_script(folder, "writes_lines.py", WRITES_LINES), str(lines))


def exit_at_once_builder(folder: Path) -> ScriptCommandBuilder:
    return ScriptCommandBuilder(write_script(folder, "exits_at_once.py", EXITS_AT_ONCE))
