"""Every example in examples/ runs in its fast mode and passes its own checks.

The examples assert their own results (convergence orders, contraction
factors, agreement with serial solves); this file only runs them, in a fresh
interpreter like the one running the tests, and skips those whose optional
dependencies are missing.
"""

import importlib.util
import os
import subprocess

import pytest

from support import python_command

pytestmark = pytest.mark.slow

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")

# example file -> (extra arguments, modules it needs besides pwpoly)
CASES = {
    "cg_in_time.py": (["--fast"], ["numpy", "scipy"]),
    "heat_two_grid.py": (["--fast"], ["numpy", "scipy"]),
    "least_squares_fit.py": (["--fast"], ["numpy", "scipy"]),
    "space_time_heat.py": (["--fast"], ["numpy", "scipy"]),
    "process_pool_evaluation.py": (["--fast"], ["numpy"]),
    # One rank here; ci/docs.sh runs it under `mpiexec -n 2`.
    "mpi_time_slabs.py": (["--fast"], ["numpy", "scipy", "mpi4py"]),
}


def test_every_example_is_run():
    # quickstart.py is the README's demo (a million points, no fast mode); the
    # README's commands are run as they stand by the fresh-machine check.
    names = {name for name in os.listdir(EXAMPLES) if name.endswith(".py")} - {"quickstart.py"}
    assert sorted(names) == sorted(CASES)


@pytest.mark.parametrize("name", sorted(CASES))
def test_example(name):
    arguments, needs = CASES[name]
    for module in needs:
        if importlib.util.find_spec(module) is None:
            pytest.skip(f"{name} needs {module}")
    env = dict(os.environ)
    if "ASAN_OPTIONS" in env:
        # Under the sanitizer lane: importing scipy leaves interned strings that
        # LeakSanitizer reports at exit (the interpreter's allocations, not
        # pwpoly's). Memory errors stay fatal; pwpoly's own leaks are checked by
        # the rest of the suite.
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    result = subprocess.run(
        python_command() + [os.path.join(EXAMPLES, name), *arguments],
        env=env,
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert result.returncode == 0, f"{name} failed:\n{result.stdout}\n{result.stderr}"
