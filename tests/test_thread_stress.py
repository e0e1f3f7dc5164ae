"""Thread stress: several Python threads hammering one evaluator, their own
evaluators and the module functions at once, for a bounded time.

One shared evaluator is switched between two coefficient sets A and B by a
setter thread (through a sequence whose items are produced by Python code, so
that other threads run while set_dofs converts, and sometimes through a
sequence that fails half-way). Every result of every other thread must be
bit for bit the single-threaded result under A or under B, never a mixture
(a many-point call holds its borrow for its whole duration, so all of its
values come from one set), and the only exceptions allowed are the borrow
conflicts: "Already borrowed" for set_dofs while an evaluation runs,
"Already mutably borrowed" for an evaluation while set_dofs converts, and
the failure the setter provoked itself. Meanwhile other threads evaluate
their own evaluators (sharing the worker pool) and call the module
functions, checking each result against a precomputed one.

The stress runs in a child interpreter with a watchdog, so a deadlock ends
as a failure with every thread's traceback instead of a hung suite. On a
free-threaded interpreter it runs once more with the GIL off (PYTHON_GIL=0).
PWPOLY_STRESS_SECONDS sets the duration (default 3 s).
"""

import json
import os
import sysconfig

import pytest

from support import run_python

pytestmark = [pytest.mark.threads, pytest.mark.slow]

SECONDS = float(os.environ.get("PWPOLY_STRESS_SECONDS", "3"))

CHILD = r"""
import faulthandler, json, os, sys, threading, time
import numpy as np
import pwpoly
from pwpoly import LegendreBasis, LegendreBasisEvaluator
from support import ALREADY_BORROWED, ALREADY_MUTABLY_BORROWED, panic_exception_type

duration = float(os.environ["STRESS_SECONDS"])
faulthandler.dump_traceback_later(duration + float(os.environ["STRESS_GRACE"]), exit=True)
if hasattr(sys, "setswitchinterval"):
    sys.setswitchinterval(1e-5)  # switch threads often (under the GIL)

PanicException = panic_exception_type()
rng = np.random.default_rng(2024)
degree, n_t, T = 6, 200, 3.0
A = list(rng.normal(size=n_t * (degree + 1)))
B = list(rng.normal(size=n_t * (degree + 1)))
BIG = rng.uniform(-0.5, 3.5, 12_000)  # parallel path
SMALL = rng.uniform(-0.5, 3.5, 300)  # calling thread only
SINGLES = [float(t) for t in rng.uniform(-0.5, 3.5, 8)] + [0.0, 1.5, 3.0, float("nan")]


def key(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64).tobytes()


def reference(coefficients):
    ev = LegendreBasisEvaluator(degree, n_t, T)
    ev.set_dofs(coefficients)
    return {
        "many big": key(ev.evaluate_many(BIG)),
        "derivative big": key(ev.evaluate_derivative_many(BIG)),
        "many small": key(ev.evaluate_many(SMALL)),
        "derivative small": key(ev.evaluate_derivative_many(SMALL)),
        "at": [key([ev.evaluate_at(t)]) for t in SINGLES],
        "derivative at": [key([ev.evaluate_derivative_at(t)]) for t in SINGLES],
    }


REF = {"A": reference(A), "B": reference(B)}


class SlowSequence:
    # Items come from Python code, so the interpreter may switch threads
    # (and other threads may call in) while set_dofs converts them.
    def __init__(self, values, fail_at=None):
        self.values, self.fail_at = values, fail_at

    def __len__(self):
        return len(self.values)

    def __getitem__(self, i):
        if i == self.fail_at:
            raise LookupError("provoked")
        if i >= len(self.values):
            raise IndexError(i)
        return self.values[i]


shared = LegendreBasisEvaluator(degree, n_t, T)
shared.set_dofs(A)
deadline = time.monotonic() + duration
counts = {}
problems = []
lock = threading.Lock()
# Past the deadline, the threads go on until every one of them got work done
# (up to half the grace period more): a thread that a loaded machine kept
# from the interpreter lock for the whole duration is then not a failure.
THREADS = 9
last_call = deadline + float(os.environ["STRESS_GRACE"]) / 2


def finished():
    now = time.monotonic()
    if now < deadline:
        return False
    with lock:
        everyone_worked = len(counts) == THREADS and all(c["ok"] > 0 for c in counts.values())
    return everyone_worked or now >= last_call


def record(name, ok=0, conflicts=0):
    with lock:
        c = counts.setdefault(name, {"ok": 0, "conflicts": 0})
        c["ok"] += ok
        c["conflicts"] += conflicts


def problem(text):
    with lock:
        if len(problems) < 20:
            problems.append(text)


def run(name, body):
    def loop():
        try:
            while not finished():
                body(name)
        except BaseException as exc:
            problem(f"{name}: {type(exc).__name__}: {exc}")
    return threading.Thread(target=loop, name=name)


def evaluation(name, call, ref_key):
    def body(_):
        try:
            got = key(call())
        except RuntimeError as exc:
            if str(exc) != ALREADY_MUTABLY_BORROWED:
                raise
            record(name, conflicts=1)
            return
        if got not in (REF["A"][ref_key], REF["B"][ref_key]):
            problem(f"{name}: result is neither the A nor the B result")
        record(name, ok=1)
    return body


def singles(name):
    for i, t in enumerate(SINGLES):
        for method, ref_key in (("evaluate_at", "at"), ("evaluate_derivative_at", "derivative at")):
            try:
                got = key([getattr(shared, method)(t)])
            except RuntimeError as exc:
                if str(exc) != ALREADY_MUTABLY_BORROWED:
                    raise
                record(name, conflicts=1)
                continue
            if got not in (REF["A"][ref_key][i], REF["B"][ref_key][i]):
                problem(f"{name}: {method}({t}) is neither the A nor the B value")
            record(name, ok=1)


setter_round = [0]


def setter(name):
    setter_round[0] += 1
    r = setter_round[0]
    target = B if r % 2 else A
    argument = target if r % 3 else SlowSequence(target)
    for attempt, expected in ((argument, None), (SlowSequence(A, fail_at=len(A) // 2), LookupError),
                              (A[:-1], PanicException)):
        if attempt is not argument and r % 5:
            continue
        try:
            shared.set_dofs(attempt)
        except RuntimeError as exc:
            if str(exc) != ALREADY_BORROWED:
                raise
            record(name, conflicts=1)
            continue
        except BaseException as exc:
            if expected is None or type(exc) is not expected:
                raise
        else:
            if expected is not None:
                problem(f"{name}: set_dofs accepted what it must refuse")
        record(name, ok=1)


own_coefficients = list(rng.normal(size=40 * 4))
own_times = rng.uniform(0.0, 2.0, 5000)
own_ref = LegendreBasisEvaluator(3, 40, 2.0)
own_ref.set_dofs(own_coefficients)
OWN = key(own_ref.evaluate_many(own_times)), key(own_ref.evaluate_derivative_many(own_times))


def own_evaluator(name):
    ev = LegendreBasisEvaluator(3, 40, 2.0)
    ev.set_dofs(own_coefficients)
    for _ in range(3):
        if (key(ev.evaluate_many(own_times)), key(ev.evaluate_derivative_many(own_times))) != OWN:
            problem(f"{name}: own evaluator gave another result")
        record(name, ok=1)


basis = LegendreBasis(4, 7, 1.25)
basis_dofs = list(rng.normal(size=7 * 5))
FUNCTIONS = [
    (lambda: pwpoly.sum_as_string(2**31, 7), None),
    (lambda: pwpoly.get_lagrange_points(3, 9, 2.0), None),
    (lambda: pwpoly.get_lagrange_points(3, 9, 2.0, True), None),
    (lambda: pwpoly.lagrange_prolongation_matrix(3, 7, 3), None),
    (lambda: pwpoly.lagrange_prolongation_matrix(2, 5, 2, True), None),
    (lambda: pwpoly.lagrange_to_legendre_basis_transformation(5, 4), None),
    (lambda: pwpoly.lagrange_to_legendre_basis_transformation(2, 3, True), None),
    (lambda: basis.evaluate_at(0.7, basis_dofs), None),
    (lambda: basis.evaluate_all_basis_functions(0.7), None),
    (lambda: basis.evaluate_all_basis_function_derivatives(0.7), None),
    (lambda: pwpoly.lagrange_prolongation_matrix(2, 2, 0), PanicException),
    (lambda: pwpoly.get_lagrange_points(0, 2, 1.0, True), ValueError),
]


def outcome(call, expected):
    try:
        return repr(call())
    except BaseException as exc:
        if type(exc) is not expected:
            raise
        return f"{type(exc).__name__}: {exc}"


FUNCTION_REF = [outcome(call, expected) for call, expected in FUNCTIONS]


def functions(name):
    for (call, expected), want in zip(FUNCTIONS, FUNCTION_REF):
        if outcome(call, expected) != want:
            problem(f"{name}: a module function gave another result")
        record(name, ok=1)


threads = [
    run("shared many big", evaluation("shared many big", lambda: shared.evaluate_many(BIG), "many big")),
    run("shared derivative big",
        evaluation("shared derivative big", lambda: shared.evaluate_derivative_many(BIG), "derivative big")),
    run("shared many small", evaluation("shared many small", lambda: shared.evaluate_many(SMALL), "many small")),
    run("shared derivative small",
        evaluation("shared derivative small", lambda: shared.evaluate_derivative_many(SMALL), "derivative small")),
    run("shared singles", singles),
    run("setter", setter),
    run("own evaluator 1", own_evaluator),
    run("own evaluator 2", own_evaluator),
    run("module functions", functions),
]
for t in threads:
    t.start()
for t in threads:
    t.join()
faulthandler.cancel_dump_traceback_later()
print(json.dumps({"counts": counts, "problems": problems, "gil": getattr(sys, "_is_gil_enabled", lambda: True)()}))
"""


def free_threaded():
    return bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


@pytest.mark.parametrize(
    "gil",
    [
        "default",
        pytest.param("off", marks=pytest.mark.skipif(not free_threaded(), reason="needs a free-threaded interpreter")),
    ],
)
def test_thread_stress(gil):
    env = {"STRESS_SECONDS": str(SECONDS), "STRESS_GRACE": "120"}
    if gil == "off":
        env["PYTHON_GIL"] = "0"
    result = run_python(CHILD, env=env, timeout=SECONDS + 300)
    assert result.returncode == 0, result.stderr[-6000:]
    report = json.loads(result.stdout.strip().splitlines()[-1])
    assert report["problems"] == [], report
    if gil == "off":
        assert report["gil"] is False, "the interpreter kept the GIL on"
    # Every thread got work done (a starved or stuck thread shows as 0).
    for name, c in report["counts"].items():
        assert c["ok"] > 0, (name, report["counts"])
    assert len(report["counts"]) == 9, report["counts"]
    print(json.dumps(report["counts"], indent=1))
