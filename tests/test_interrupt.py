"""Ctrl-C during long native calls: each kind of long call notices a pending
signal within about 25 ms, raises KeyboardInterrupt, and leaves every object
as it was (evaluators keep their coefficients and can be set again, the pool
keeps working).

The signal comes from a timer of the kernel (SIGALRM, handled like Ctrl-C's
SIGINT by signal.default_int_handler): a Python thread could not send it
while a call that keeps the interpreter lock runs.

A watchdog in the child (faulthandler) ends it with every thread's traceback
when a call neither returns nor raises within WATCHDOG seconds, so a call
that deadlocks fails the test within seconds instead of at a timeout."""

import os

import pytest

from support import run_python

pytestmark = pytest.mark.skipif(
    bool(os.environ.get("PWPOLY_TEST_EMULATED")), reason="latencies under emulation say nothing"
)

SANITIZED = bool(os.environ.get("PWPOLY_SANITIZER"))
WATCHDOG = 30.0 if SANITIZED else 10.0

SCRIPT = r"""
import faulthandler, os, signal, time
watchdog = float(os.environ["INTERRUPT_WATCHDOG"])
faulthandler.dump_traceback_later(6 * watchdog, exit=True)  # the setup
import numpy as np
import scipy.sparse  # imported now: the public matrix functions import it on first use
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
samples = np.ones((4000 * 301, 4))
high = pa.Expansion(np.random.default_rng(2).random((1_000_001, 1)), 1.0)  # a millisecond per time

# name: (seconds until the signal, the call). Each takes seconds uninterrupted.
LONG_CALLS = {
    "evaluate_many": (0.15, lambda: ev.evaluate_many(times)),
    "Expansion": (0.15, lambda: e(times)),
    "Expansion.derivative out=": (0.15, lambda: e.derivative(times, out=np.empty_like(times))),
    "Expansion, degree 10^6, calling thread": (0.15, lambda: high(times[:2000])),
    "Expansion, degree 10^6, pool": (0.15, lambda: high(times[:8000])),
    # The native build only: scipy's part of the public function is Python code.
    "prolongation_matrix": (
        0.15,
        lambda: load_native().prolongation(
            3, load_native().uniform_mesh(500_000, 0.0, 1.0), load_native().uniform_mesh(1_000_000, 0.0, 1.0), False
        ),
    ),
    "pwpoly prolongation": (0.15, lambda: pwpoly.lagrange_prolongation_matrix(200_000, 400_000, 3)),
    # Every entry computed in exact integers (zeros that double-double cannot round).
    "Legendre prolongation, degree 150": (0.15, lambda: pa.prolongation_matrix(150, 1, 1, basis="legendre")),
    "Legendre restriction, degree 120": (0.15, lambda: pa.restriction_matrix(120, 1, 2)),
    # The 1501-point Gauss rule, then two pieces of some 7e9 operations each.
    "non-nested prolongation, degree 1500": (0.15, lambda: pa.prolongation_matrix(1500, 2, 3, basis="legendre")),
    "non-nested restriction, degree 1500": (1.5, lambda: pa.restriction_matrix(1500, 2, 3)),
    # The largest rule (seconds: O(points^2)), and a small one on very many intervals.
    "gauss_legendre, 10000 points": (0.15, lambda: pa.gauss_legendre(10_000, 1, 1.0)),
    "gauss_legendre on many intervals": (0.15, lambda: pa.gauss_legendre(4, 10_000_000, 1.0)),
    # Its projection loop: 4000 intervals of 301 points, degree 300, 4 components.
    "project": (0.5, lambda: pa.project(lambda t: samples, 300, 4000, 1.0)),
}

signal.signal(signal.SIGALRM, signal.default_int_handler)
print(len(LONG_CALLS), "calls")
for name, (delay, call) in LONG_CALLS.items():
    faulthandler.dump_traceback_later(watchdog, exit=True)
    start = time.perf_counter()
    signal.setitimer(signal.ITIMER_REAL, delay)
    try:
        call()
        print(name, "finished", flush=True)
    except KeyboardInterrupt:
        print(name, time.perf_counter() - (start + delay), flush=True)
    faulthandler.cancel_dump_traceback_later()

assert (ev.evaluate_many(probe), e(probe).tolist()) == before, "results changed"
ev.set_dofs(list(c.ravel()))  # no borrow was left behind
"""


def test_long_calls_raise_keyboard_interrupt_soon():
    run = run_python(
        SCRIPT,
        env={"RAYON_NUM_THREADS": "2", "INTERRUPT_WATCHDOG": str(WATCHDOG)},
        timeout=20 * WATCHDOG,
    )
    assert run.returncode == 0, (
        f"the child failed (the watchdog ends it after {WATCHDOG} s per call):\n{run.stdout}\n{run.stderr}"
    )
    bound = 2.0 if SANITIZED else 0.5
    count, *lines = run.stdout.splitlines()
    assert len(lines) == int(count.split()[0]), run.stdout
    for line in lines:
        name, outcome = line.rsplit(" ", 1)
        assert outcome != "finished", f"{name} finished instead of being interrupted"
        assert float(outcome) < bound, f"{name}: KeyboardInterrupt {float(outcome):.3f} s after the signal"
