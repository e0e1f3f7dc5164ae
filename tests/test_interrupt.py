"""Ctrl-C during long native calls: each kind of long call notices a pending
signal within about 25 ms, raises KeyboardInterrupt, and leaves every object
as it was (evaluators keep their coefficients and can be set again, the pool
keeps working).

The signal comes from a timer of the kernel (SIGALRM, handled like Ctrl-C's
SIGINT by signal.default_int_handler): a Python thread could not send it
while a call that keeps the interpreter lock runs."""

import os

import pytest

from support import run_python

pytestmark = pytest.mark.skipif(
    bool(os.environ.get("PWPOLY_TEST_EMULATED")), reason="latencies under emulation say nothing"
)

SCRIPT = r"""
import signal, time
import numpy as np
import pwpoly, pwpoly_arrays as pa
from pwpoly_arrays._native_loader import load_native

degree, n_t = 4000, 10  # a few microseconds per time: the evaluations take seconds
c = np.random.default_rng(0).random((degree + 1, n_t))
times = np.random.default_rng(1).uniform(0.0, 1.0, 600_000)
e = pa.Expansion(c, 1.0)
ev = pwpoly.LegendreBasisEvaluator(degree, n_t, 1.0)
ev.set_dofs(list(c.ravel()))
probe = np.linspace(0.0, 1.0, 3000)
before = (ev.evaluate_many(probe), e(probe).tolist())

LONG_CALLS = {
    "evaluate_many": lambda: ev.evaluate_many(times),
    "Expansion": lambda: e(times),
    "Expansion.derivative out=": lambda: e.derivative(times, out=np.empty_like(times)),
    # The native build only: scipy's part of the public function is Python code.
    "prolongation_matrix": lambda: load_native().prolongation(
        3, load_native().uniform_mesh(500_000, 0.0, 1.0), load_native().uniform_mesh(1_000_000, 0.0, 1.0), False
    ),
    "pwpoly prolongation": lambda: pwpoly.lagrange_prolongation_matrix(200_000, 400_000, 3),
    # The largest rule (seconds: O(points^2)), alone and inside project.
    "gauss_legendre": lambda: pa.gauss_legendre(10_000, 1, 1.0),
    "gauss_legendre on many intervals": lambda: pa.gauss_legendre(4, 10_000_000, 1.0),
    "project": lambda: pa.project(np.sin, 2, 1, 1.0, points=10_000),
}

signal.signal(signal.SIGALRM, signal.default_int_handler)
for name, call in LONG_CALLS.items():
    start = time.perf_counter()
    signal.setitimer(signal.ITIMER_REAL, 0.15)
    try:
        call()
        print(name, "finished")
    except KeyboardInterrupt:
        print(name, time.perf_counter() - (start + 0.15))

assert (ev.evaluate_many(probe), e(probe).tolist()) == before, "results changed"
ev.set_dofs(list(c.ravel()))  # no borrow was left behind
"""


def test_long_calls_raise_keyboard_interrupt_soon():
    run = run_python(SCRIPT, env={"RAYON_NUM_THREADS": "2"})
    assert run.returncode == 0, run.stderr
    bound = 2.0 if os.environ.get("PWPOLY_SANITIZER") else 0.5
    for line in run.stdout.splitlines():
        name, outcome = line.rsplit(" ", 1)
        assert outcome != "finished", f"{name} finished instead of being interrupted"
        assert float(outcome) < bound, f"{name}: KeyboardInterrupt {float(outcome):.3f} s after the signal"
