"""Sizes that overflow the size type or cannot be allocated.

Every such request must be refused promptly: PanicException "capacity
overflow" when an element or byte count is not representable (in
pwpoly_arrays: MemoryError "capacity overflow", or the package's own
ValueError before anything native runs), MemoryError when the allocator
cannot satisfy it, OverflowError when an argument does not fit the size type
at all (32-bit). It must never crash, hang, or attempt the
allocation piece by piece until the machine runs out of memory.

The cases run in one child interpreter with a watchdog per case (a stuck case
ends the child with its name and traceback instead of hanging the suite) and
a cap on its address space where no sanitizer needs a huge one, so that a
request that is attempted for real ends in MemoryError, not in the OOM
killer. The child reports per case the outcome, the time taken and the growth
of its peak resident memory; a refusal that first had to fill memory shows up
there.
"""

import json
import os
import sys

import pytest

from support import CAPACITY_OVERFLOW, MATRIX_VIEW_TOO_SMALL, SET_DOFS_WRONG_LENGTH, run_python

pytestmark = pytest.mark.slow

IS_64 = sys.maxsize > 2**32
SIZE_MAX = 2 * sys.maxsize + 1
HALF = SIZE_MAX // 2 + 1
ROOT = 1 << (SIZE_MAX.bit_length() // 2)  # ROOT * ROOT overflows

# Slow environments: sanitizers, and foreign interpreters run under emulation.
SLOW = 10 if any(os.environ.get(v) for v in ("PWPOLY_SANITIZER", "PWPOLY_TEST_PYTHON", "PWPOLY_TEST_EMULATED")) else 1
PROMPT_SECONDS = 5.0 * SLOW
WATCHDOG_SECONDS = 30 * SLOW
# Peak resident memory a refused request may add (the interpreter's own
# noise is a few MB; a request attempted for real adds gigabytes).
RSS_GROWTH_LIMIT_MB = 256

CAPACITY = f"PanicException: {CAPACITY_OVERFLOW}"
ARRAYS_CAPACITY = f"MemoryError: {CAPACITY_OVERFLOW}"
MEMORY = "MemoryError"
NARROWING = "OverflowError: out of range integral type conversion attempted"

CHILD = r"""
import faulthandler, json, os, resource, sys, time
import numpy as np
import pwpoly
import pwpoly_arrays
from pwpoly import LegendreBasis, LegendreBasisEvaluator
from pwpoly_arrays._native_loader import load_native

native = load_native()  # the private module, called directly: its own checks must hold

if not os.environ.get("PWPOLY_SANITIZER"):
    cap = int(os.environ["HUGE_AS_LIMIT"])
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    if hard == resource.RLIM_INFINITY or hard > cap:
        resource.setrlimit(resource.RLIMIT_AS, (cap, cap if hard == resource.RLIM_INFINITY else min(cap, hard)))

class ClaimsHugeLength:
    def __init__(self, n):
        self.n = n
    def __len__(self):
        return self.n
    def __getitem__(self, i):
        if i >= 3:
            raise IndexError(i)
        return 1.0

def maxrss_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0

CASES = {
    "evaluator": lambda a: LegendreBasisEvaluator(*a),
    "points": lambda a: pwpoly.get_lagrange_points(*a),
    "all_basis": lambda a: LegendreBasis(*a[:3]).evaluate_all_basis_functions(a[3]),
    "all_basis_derivatives": lambda a: LegendreBasis(*a[:3]).evaluate_all_basis_function_derivatives(a[3]),
    "basis_evaluate_at": lambda a: LegendreBasis(*a[:3]).evaluate_at(0.5, [1.0, 2.0]),
    "prolongation": lambda a: pwpoly.lagrange_prolongation_matrix(*a),
    "transformation": lambda a: pwpoly.lagrange_to_legendre_basis_transformation(*a),
    "set_dofs_claimed_length": lambda a: LegendreBasisEvaluator(1, 2, 1.0).set_dofs(ClaimsHugeLength(a[0])),
    "evaluate_many_broadcast": lambda a: LegendreBasisEvaluator(1, 2, 1.0).evaluate_many(
        np.broadcast_to(np.float64(0.5), tuple(a))),
    "arrays_expansion": lambda a: native.Expansion(np.zeros(2), a[0], native.uniform_mesh(a[1], 0.0, a[3]), a[2]),
    "arrays_collocation": lambda a: native.collocation(a[0], native.uniform_mesh(a[1], 0.0, a[2]), np.zeros(3), False),
    "arrays_prolongation": lambda a: native.prolongation(
        a[0], native.uniform_mesh(a[1], 0.0, 1.0), native.uniform_mesh(a[2], 0.0, 1.0), False),
    "arrays_points": lambda a: native.lagrange_points(a[0], native.uniform_mesh(a[1], 0.0, a[2]), False),
    "arrays_public_collocation": lambda a: pwpoly_arrays.collocation_matrix(*a, np.zeros(3)),
}

for name, args in json.loads(os.environ["HUGE_CASES"]):
    faulthandler.dump_traceback_later(float(os.environ["HUGE_WATCHDOG"]), exit=True)
    print(f"running {name}{tuple(args)}", file=sys.stderr, flush=True)
    rss_before = maxrss_mb()
    start = time.monotonic()
    try:
        result = CASES[name](args)
        outcome = "returned " + type(result).__name__
    except BaseException as exc:
        outcome = f"{type(exc).__name__}: {exc}" if str(exc) else type(exc).__name__
    seconds = time.monotonic() - start
    faulthandler.cancel_dump_traceback_later()
    print(json.dumps({"case": [name, args], "outcome": outcome, "seconds": seconds,
                      "rss_growth_mb": maxrss_mb() - rss_before}), flush=True)
"""

# (case, arguments, accepted outcomes on 64-bit, accepted outcomes on 32-bit)
CASES = [
    # n_t * (degree + 1) = 2**80 elements.
    ("evaluator", [2**40, 2**40, 1.0], {CAPACITY}, {NARROWING}),
    # degree + 1 itself overflows.
    ("evaluator", [SIZE_MAX, 1, 1.0], {CAPACITY}, {CAPACITY}),
    # 2**41 elements (16 TiB) on 64-bit; 2**32 + 2**16 elements overflow 32 bits.
    ("evaluator", [2**20, 2**21, 1.0] if IS_64 else [2**16, 2**16, 1.0], {MEMORY}, {CAPACITY}),
    # 2**62 points: overflows the byte count on 64-bit and the count on 32-bit.
    ("points", [2**31, 2**31, 1.0], {CAPACITY}, {CAPACITY}),
    ("points", [2**31, 2**31, 1.0, True], {CAPACITY}, {CAPACITY}),
    ("points", [SIZE_MAX, 2, 1.0], {CAPACITY}, {CAPACITY}),
    # The count overflows the size type: n_t * degree, or n_t * degree + 1.
    ("points", [ROOT, ROOT, 1.0], {CAPACITY}, {CAPACITY}),
    ("points", [ROOT, ROOT, 1.0, True], {CAPACITY}, {CAPACITY}),
    ("points", [1, SIZE_MAX, 1.0], {CAPACITY}, {CAPACITY}),
    # 2**40 points: 8 TiB.
    ("points", [2**20, 2**20, 1.0], {MEMORY}, {CAPACITY}),
    ("all_basis", [2**40, 2**40, 1.0, 0.5], {CAPACITY}, {NARROWING}),
    ("all_basis_derivatives", [2**40, 2**40, 1.0, 0.5], {CAPACITY}, {NARROWING}),
    ("all_basis", [2**20, 2**21, 1.0, 0.5] if IS_64 else [2**16, 2**16, 1.0, 0.5], {MEMORY}, {CAPACITY}),
    ("all_basis_derivatives", [2**20, 2**21, 1.0, 0.5] if IS_64 else [2**16, 2**16, 1.0, 0.5], {MEMORY}, {CAPACITY}),
    # The coefficient count cannot even be formed; the two given values are
    # certainly too few either way.
    (
        "basis_evaluate_at",
        [2**63, 2**63, 1.0] if IS_64 else [2**31, 2**31, 1.0],
        {CAPACITY, f"PanicException: {MATRIX_VIEW_TOO_SMALL}"},
        {CAPACITY, f"PanicException: {MATRIX_VIEW_TOO_SMALL}"},
    ),
    # A fine mesh of 2**40 intervals: 2**40 + 1 rows.
    ("prolongation", [1, 2**40, 1], {MEMORY, CAPACITY}, {NARROWING}),
    ("prolongation", [1, 2**40, 1, True], {MEMORY, CAPACITY}, {NARROWING}),
    ("prolongation", [2**40, 1, 1], {MEMORY, CAPACITY}, {NARROWING}),
    # nt_fine * degree overflows.
    ("prolongation", [1, HALF, 2], {CAPACITY}, {CAPACITY}),
    # nt_fine * degree + 1 fine points overflow; so do the coarse points.
    ("prolongation", [1, SIZE_MAX, 1], {CAPACITY}, {CAPACITY}),
    ("prolongation", [HALF, 1, 2], {CAPACITY}, {CAPACITY}),
    ("transformation", [1, 2**40], {MEMORY, CAPACITY}, {NARROWING}),
    ("transformation", [1, 2**62] if IS_64 else [1, 2**30], {MEMORY, CAPACITY}, {MEMORY, CAPACITY}),
    ("transformation", [SIZE_MAX, 1], {CAPACITY}, {CAPACITY}),
    # The point count n_t * degree + 1 overflows; the bytes of the blocks do.
    ("transformation", [1, SIZE_MAX], {CAPACITY}, {CAPACITY}),
    ("transformation", [3, SIZE_MAX // 4], {CAPACITY}, {CAPACITY}),
    # A Vandermonde matrix of (degree + 1)**2 entries: 8 TiB on 64-bit,
    # overflowing on 32-bit.
    ("transformation", [2**20, 1] if IS_64 else [2**16, 1], {MEMORY, CAPACITY}, {CAPACITY}),
    # A length hint is only a hint: three items, wrong length.
    (
        "set_dofs_claimed_length",
        [sys.maxsize],
        {f"PanicException: {SET_DOFS_WRONG_LENGTH}\n  left: 3\n right: 4"},
        {f"PanicException: {SET_DOFS_WRONG_LENGTH}\n  left: 3\n right: 4"},
    ),
    # A zero-stride view whose copy would need 8 TiB (2**40 values); on
    # 32-bit numpy itself refuses a view that large.
    ("evaluate_many_broadcast", [2**20, 2**20], {MEMORY}, None),
    # The companion's private entries, called directly (the package refuses
    # these sizes before they get there): degree + 1 overflows; n_t * (degree
    # + 1) columns overflow; 3 * 2**30 entries (48 GiB) cannot be allocated;
    # 2**62 + 1 fine rows or points cannot even be counted in bytes.
    ("arrays_expansion", [SIZE_MAX, 1, 1, 1.0], {ARRAYS_CAPACITY}, {ARRAYS_CAPACITY}),
    ("arrays_collocation", [2**40, 2**40, 1.0], {ARRAYS_CAPACITY}, {NARROWING}),
    ("arrays_collocation", [2**30, 1, 1.0], {MEMORY}, {ARRAYS_CAPACITY}),
    ("arrays_prolongation", [2, 1, 2**61], {MEMORY, ARRAYS_CAPACITY}, {NARROWING}),
    ("arrays_points", [1, 2**62, 1.0], {ARRAYS_CAPACITY}, {NARROWING}),
    (
        "arrays_public_collocation",
        [2**40, 2**40, 1.0],
        {
            f"ValueError: the collocation matrix's columns would need {2**40 * (2**40 + 1)} items, more than an array "
            "can hold on this platform"
        },
        # 32-bit: the mesh argument cannot hold n_t = 2**40 either, and it is
        # converted before the degree reaches the native code.
        {f"ValueError: degree = {2**40} is too large", f"ValueError: n_t = {2**40} is too large"},
    ),
    # A row count that is representable but nowhere near allocatable (2**61 + 1
    # rows; 2**31 + 1 on 32-bit): must be refused up front, not attempted row
    # by row until memory runs out. Last, so that a regression that hangs
    # (the watchdog ends the child) costs no other case its report.
    ("prolongation", [1, 2**61, 1] if IS_64 else [1, 2**31, 1], {MEMORY, CAPACITY}, {MEMORY, CAPACITY}),
]


def case_id(case):
    name, args = case[0], case[1]
    return f"{name}{tuple(args)}".replace(" ", "")


def run_cases(cases, watchdog):
    """Runs `cases` in one child; maps case ids to the child's reports."""
    env = {
        "HUGE_CASES": json.dumps([[c[0], c[1]] for c in cases]),
        "HUGE_WATCHDOG": str(watchdog),
        "HUGE_AS_LIMIT": str(6 * 2**30),
    }
    result = run_python(CHILD, env=env, timeout=watchdog * len(cases) + 120)
    reports = {}
    for line in result.stdout.splitlines():
        report = json.loads(line)
        reports[case_id(report["case"])] = report
    return reports, result


def check(case, reports, result):
    name, args, accepted_64, accepted_32 = case
    accepted = accepted_64 if IS_64 else accepted_32
    report = reports.get(case_id(case))
    assert report is not None, (
        f"the child did not finish {case_id(case)} (exit status {result.returncode}):\n{result.stderr[-4000:]}"
    )
    assert report["outcome"] in accepted, report
    assert report["seconds"] < PROMPT_SECONDS, report
    assert report["rss_growth_mb"] < RSS_GROWTH_LIMIT_MB, report


@pytest.fixture(scope="module")
def outcomes():
    cases = [c for c in CASES if (c[2] if IS_64 else c[3]) is not None]
    return run_cases(cases, WATCHDOG_SECONDS)


@pytest.mark.parametrize("case", CASES, ids=case_id)
def test_huge_request_is_refused_promptly(outcomes, case):
    if (case[2] if IS_64 else case[3]) is None:
        pytest.skip("not a meaningful size on this platform")
    check(case, *outcomes)
