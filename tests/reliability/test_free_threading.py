"""A host on 3.14t may force the GIL off, and then threads of its own call into the modules at the
same time."""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

free_threaded = pytest.mark.skipif(not hasattr(sys, "_is_gil_enabled"), reason="a build with a GIL")


@free_threaded
def test_threads_checking_on_finders_of_their_own_with_the_gil_off(tmp_path):
    # Each thread checks, now and then clears its table (the next check builds a new one), and
    # checks against a table of its own entries: what a check keeps must belong to the finder
    # that read it.
    script = textwrap.dedent(
        """
        import sys, threading
        from quenlet_master.business_layer.packages.repo_finder import RepoFinder

        assert not sys._is_gil_enabled()

        class Dist:
            def __init__(self, version):
                self.metadata = {"Name": "own", "Version": version}

        def work(finder, number, answers):
            own = {"own": Dist(f"{number}.0")}
            for round in range(400):
                answers.add(finder.check_specifier_in_dist("pytest", ">=1"))
                answers.add(finder.check_specifier_in_dist("asyncio", "", ["x"]))
                if round % 40 == 0:
                    finder.clear_distributions_cache()
                if round % 3 == 0:
                    finder._distributions_cache = own
                    answers.add(finder.check_specifier_in_dist("own", f"=={number}.0"))
                    finder.clear_distributions_cache()

        answers = [set() for _ in range(4)]
        # The host builds its finders, then hands each to a thread of its own.
        finders = [RepoFinder(None) for _ in range(4)]
        threads = [threading.Thread(target=work, args=(finders[n], n, answers[n])) for n in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        import importlib.metadata
        pytest_version = importlib.metadata.version("pytest")
        assert all(found == {pytest_version, None, f"{n}.0"} for n, found in enumerate(answers)), answers
        print("done")
        """
    )
    completed = subprocess.run(
        [sys.executable, "-c", script],
        capture_output=True,
        text=True,
        timeout=300,
        cwd=Path(__file__).parent,
        env={**os.environ, "PYTHON_GIL": "0"},
    )
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.strip() == "done"
    # nanobind reports instances still alive when the interpreter has gone.
    assert "leak" not in completed.stderr
