"""LegendreBasisEvaluator: stored coefficients, borrows, many-point evaluation and threads.

The worked examples, the interval and size rules and the agreement with the
reference model of both classes are in test_legendre_basis.py.
"""

import struct
import threading

import numpy as np
import pytest

from pwpoly import LegendreBasisEvaluator
from support import ALREADY_BORROWED, ALREADY_MUTABLY_BORROWED, SET_DOFS_WRONG_LENGTH, check_panic, run_python


def bits(values):
    return [struct.pack("<d", v) for v in values]


@pytest.fixture
def ev():
    ev = LegendreBasisEvaluator(1, 2, 2.0)
    ev.set_dofs([10, 30, 20, 40])
    return ev


@pytest.mark.parametrize("values, left", [([1.0, 2.0, 3.0], 3), ([1.0] * 5, 5), ([], 0)])
def test_set_dofs_wrong_length_is_a_panic_and_changes_nothing(ev, values, left):
    with pytest.raises(BaseException) as info:
        ev.set_dofs(values)
    check_panic(
        info.value,
        f"{SET_DOFS_WRONG_LENGTH}\n  left: {left}\n right: 4",
    )
    assert ev.evaluate_at(0.5) == 10.0
    assert ev.evaluate_at(1.0) == -10.0


def test_failed_conversion_changes_nothing(ev):
    with pytest.raises(TypeError):
        ev.set_dofs([1.0, 2.0, "x", 4.0])
    assert ev.evaluate_at(1.5) == 30.0


def test_set_dofs_copies_the_list(ev):
    values = [1.0, 2.0, 3.0, 4.0]
    ev.set_dofs(values)
    before = ev.evaluate_at(1.5)
    values[1] = 1000.0
    assert ev.evaluate_at(1.5) == before


class Reentrant:
    """A coefficient that evaluates the evaluator being loaded."""

    def __init__(self):
        self.ev = None
        self.error = None

    def __float__(self):
        try:
            self.ev.evaluate_at(0.5)
        except RuntimeError as exc:
            self.error = exc
        return 1.0


def test_evaluation_during_set_dofs_conversion_is_refused(ev):
    item = Reentrant()
    item.ev = ev
    ev.set_dofs([1.0, item, 3.0, 4.0])
    assert str(item.error) == ALREADY_MUTABLY_BORROWED
    assert type(item.error) is RuntimeError
    # The borrow was released afterwards.
    assert ev.evaluate_at(0.5) == 1.0  # 1.0 * P_0 + 3.0 * P_1(0)
    ev.set_dofs([10, 30, 20, 40])
    assert ev.evaluate_at(0.5) == 10.0


@pytest.mark.threads
def test_set_dofs_during_evaluate_many_in_another_thread():
    ev = LegendreBasisEvaluator(8, 1000, 1.0)
    coefficients = [float(i % 7) for i in range(1000 * 9)]
    ev.set_dofs(coefficients)
    times = np.random.default_rng(1).uniform(0.0, 1.0, 4_000_000)
    expected_single = ev.evaluate_at(0.3)
    # Each attempt is one evaluation of 4 million times, which takes long
    # enough that the main thread tries set_dofs during it; a loaded machine
    # may not schedule the main thread before it ends, so up to 50 attempts.
    for _attempt in range(50):
        seen = []
        worker = threading.Thread(target=lambda seen=seen: seen.append(ev.evaluate_many(times)))
        worker.start()
        conflicts = 0
        while worker.is_alive():
            try:
                ev.set_dofs(coefficients)
            except RuntimeError as exc:
                assert str(exc) == ALREADY_BORROWED
                conflicts += 1
                assert ev.evaluate_at(0.3) == expected_single
        worker.join()
        assert len(seen[0]) == len(times)
        if conflicts:
            break
    assert conflicts > 0


@pytest.mark.threads
def test_two_threads_evaluate_at_once():
    ev = LegendreBasisEvaluator(5, 300, 3.0)
    ev.set_dofs(list(np.random.default_rng(2).normal(size=300 * 6)))
    inputs = [np.linspace(-0.5, 3.5, 100_000), np.linspace(3.5, -0.5, 100_000)]
    expected = [ev.evaluate_many(x) for x in inputs]
    results = [None, None]

    def run(i):
        for _ in range(3):
            results[i] = ev.evaluate_derivative_many(inputs[i]), ev.evaluate_many(inputs[i])

    threads = [threading.Thread(target=run, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for i in range(2):
        assert bits(results[i][1]) == bits(expected[i])
        assert bits(results[i][0][::997]) == bits([ev.evaluate_derivative_at(t) for t in inputs[i][::997]])


PARALLEL_IDENTITY_SCRIPT = r"""
import struct, sys
import numpy as np
from pwpoly import LegendreBasisEvaluator

rng = np.random.default_rng(12345)
special = np.array([np.nan, np.inf, -np.inf, -0.0, 0.0, -1.0, 7.0, 3.0, 1.5, 1e300, -1e-300])
bad = 0
for degree, n_t, T in [(0, 7, 3.0), (3, 100, 3.0), (8, 1000, 3.0), (13, 3, -2.0), (2, 5, 0.0)]:
    ev = LegendreBasisEvaluator(degree, n_t, T)
    ev.set_dofs(list(rng.normal(size=n_t * (degree + 1))))
    for n in (0, 1, 2047, 2048, 3000, 100_000):
        base = rng.uniform(-0.25 * abs(T) - 0.1, 1.25 * abs(T) + 0.1, n)
        base[: min(n, len(special))] = special[: min(n, len(special))]
        for times in (base, np.sort(base), np.sort(base)[::-1].copy()):
            pairs = ((ev.evaluate_many, ev.evaluate_at), (ev.evaluate_derivative_many, ev.evaluate_derivative_at))
            for many, one in pairs:
                got = many(times)
                step = 1 if n <= 3000 else 37
                want = [one(t) for t in times[::step]]
                if [struct.pack("<d", v) for v in got[::step]] != [struct.pack("<d", v) for v in want] or len(got) != n:
                    bad += 1
                    print("MISMATCH", degree, n_t, T, n, many.__name__, file=sys.stderr)
print("checked", bad)
"""


@pytest.mark.threads
@pytest.mark.parametrize("workers", ["1", "2", "3", "8"])
def test_evaluate_many_is_bit_identical_for_any_worker_count(workers):
    result = run_python(PARALLEL_IDENTITY_SCRIPT, env={"RAYON_NUM_THREADS": workers})
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "checked 0", result.stderr
