"""End-to-end many-point evaluation: pwpoly against numpy, side by side in one run.

Prints a table of ratios (higher = pwpoly faster). Everything is measured in
this process after a warm-up, best of several repeats, so the figures are
comparable with each other but not across machines.

    python benchmarks/bench_evaluate_many.py [--points N] [--repeat R]
"""

import argparse
import math
import time

import numpy as np

import pwpoly


def numpy_values(times, matrix, n_t, T):
    """The evaluation vectorised with numpy (interval rule, carried recurrence, sum), as an array.

    `matrix` has shape (degree + 1, n_t): row i holds the degree-i coefficients of all intervals.
    """
    degree = matrix.shape[0] - 1
    w = T / n_t
    q = np.floor(times / w)
    q = np.where(q >= 0.0, q, 0.0)  # negatives and NaN go to interval 0
    j = np.minimum(q, n_t - 1).astype(np.intp)
    a = j * w
    b = w + a
    u = times + (-0.5 * (a + b))
    xi = np.clip((u + u) / (b - a), -1.0, 1.0)
    total = -0.0 + matrix[0, j]
    if degree >= 1:
        p_prev, p = np.ones_like(xi), xi
        total = total + p * matrix[1, j]
        k = 1.0
        for i in range(2, degree + 1):
            p_prev, p = p, ((((k + k) + 1.0) * xi) * p - p_prev * k) / (k + 1.0)
            k += 1.0
            total = total + p * matrix[i, j]
    return total


def numpy_evaluate(times, coefficients, degree, n_t, T):
    """What a numpy user writes instead of evaluate_many: the vectorised evaluation, as a list."""
    return numpy_values(times, coefficients.reshape(degree + 1, n_t), n_t, T).tolist()


def best_of(fn, repeat):
    fn()  # warm-up
    best = math.inf
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    n, n_t, T = args.points, 1000, 1.0
    rng = np.random.default_rng(0)
    times = rng.uniform(0.0, T, n)

    print(f"N = {n:,} random times, n_t = {n_t}; ns per point, best of {args.repeat}")
    header = ("degree", "pwpoly", "numpy+tolist", "speed-up", "list build", "list share", "target")
    print("{:>6} {:>9} {:>13} {:>9} {:>11} {:>11} {:>8}".format(*header))
    for degree in (1, 3, 8, 16):
        coefficients = rng.normal(size=n_t * (degree + 1))
        ev = pwpoly.LegendreBasisEvaluator(degree, n_t, T)
        ev.set_dofs(coefficients.tolist())
        check = ev.evaluate_many(times[:1000])
        assert check == numpy_evaluate(times[:1000], coefficients, degree, n_t, T), "numpy model disagrees"
        ours = best_of(lambda ev=ev: ev.evaluate_many(times), args.repeat)
        theirs = best_of(lambda c=coefficients, d=degree: numpy_evaluate(times, c, d, n_t, T), args.repeat)
        listing = best_of(lambda: times.tolist(), args.repeat)  # the floor: a list of n new floats
        target = ">= 5x" if degree in (3, 8) else ""
        print(
            f"{degree:>6} {ours / n * 1e9:>9.2f} {theirs / n * 1e9:>13.2f} {theirs / ours:>8.1f}x "
            f"{listing / n * 1e9:>11.2f} {listing / ours:>10.0%} {target:>8}"
        )

    print()
    print("single-time calls, ns per call (best of 5 x 10^6 calls)")
    import timeit

    copysign = math.copysign
    base = min(timeit.repeat("copysign(0.37, 1.0)", globals=locals(), number=1_000_000, repeat=5)) * 1e3
    print(f"{'call':>34} {'ns':>7} {'vs copysign':>12} {'target':>7}")
    print(f"{'math.copysign(x, 1.0)':>34} {base:>7.1f} {1.0:>11.2f}x")
    for degree in (0, 1, 3, 8):
        ev = pwpoly.LegendreBasisEvaluator(degree, n_t, T)
        at = ev.evaluate_at
        ns = min(timeit.repeat("at(0.37)", globals=locals(), number=1_000_000, repeat=5)) * 1e3
        print(f"{f'evaluate_at, degree {degree}':>34} {ns:>7.1f} {ns / base:>11.2f}x {'<= 1.5x':>7}")


if __name__ == "__main__":
    main()
