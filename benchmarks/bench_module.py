"""Cost of pwpoly's calls against the floor of the Python objects they exchange.

Each row times one module call and, side by side in the same run, the bare
cost of the Python-side work that the call cannot avoid:

* ``LegendreBasis.evaluate_at`` with n_t = 1000, degree 3 converts a list of
  4000 floats on every call; its floor is ``array.array('d', the_list)``,
  which converts the same list into a C array.
* ``lagrange_prolongation_matrix(n, 2n, 3)`` and
  ``lagrange_to_legendre_basis_transformation(5, n)`` return three long
  lists; their floor is building three lists of the same lengths and
  contents from native arrays (``array.tolist()``).

Timing is best-of-k process CPU time after a warm-up, with the call and its
floor alternating so that both see the same machine state. The target is a
ratio of at most 1.5.

Usage: python benchmarks/bench_module.py [--n N] [--repeat K]
(run with the built module importable, e.g. PYTHONPATH=build-dir).
"""

import argparse
import array
import gc
import random
import sys
import time

import pwpoly

TARGET = 1.5


def best_per_call(fn, number):
    # CPU time of this process: none of the timed calls starts threads, and
    # on a shared machine wall time mostly measures the other processes.
    start = time.process_time()
    for _ in range(number):
        fn()
    return (time.process_time() - start) / number


def side_by_side(call, floor, number, repeat):
    """Best-of-``repeat`` seconds per call for ``call`` and ``floor``, interleaved."""
    call()
    floor()  # warm-up
    best_call = best_floor = float("inf")
    for _ in range(repeat):
        best_call = min(best_call, best_per_call(call, number))
        best_floor = min(best_floor, best_per_call(floor, number))
    return best_call, best_floor


def native_copies(triplets):
    """The triplets' contents as native arrays, the source of the list floor."""
    rows, cols, vals = triplets
    index = "q" if sys.maxsize > 2**32 else "l"
    return array.array(index, rows), array.array(index, cols), array.array("d", vals)


def list_floor(triplets):
    rows, cols, vals = native_copies(triplets)

    def floor():
        return (rows.tolist(), cols.tolist(), vals.tolist())

    return floor


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=10**5, help="interval count of the sparse rows")
    parser.add_argument("--repeat", type=int, default=5, help="best of this many timings")
    args = parser.parse_args()
    n = args.n

    rng = random.Random(1)
    basis = pwpoly.LegendreBasis(3, 1000, 1.0)
    coeffs = [rng.uniform(-1.0, 1.0) for _ in range(4000)]
    rows = [
        (
            "LegendreBasis.evaluate_at (n_t=1000, degree 3)",
            "array('d', list of 4000)",
            lambda: basis.evaluate_at(0.37, coeffs),
            lambda: array.array("d", coeffs),
            2000,
        )
    ]

    gc.disable()  # the big result lists would otherwise trigger collections mid-timing
    try:
        sparse = [
            (
                f"lagrange_prolongation_matrix({n}, {2 * n}, 3)",
                lambda: pwpoly.lagrange_prolongation_matrix(n, 2 * n, 3),
            ),
            (
                f"lagrange_to_legendre_basis_transformation(5, {n})",
                lambda: pwpoly.lagrange_to_legendre_basis_transformation(5, n),
            ),
        ]
        for label, call in sparse:
            floor = list_floor(call())
            rows.append((label, "three lists of the same contents", call, floor, 1))

        results = []
        for label, floor_label, call, floor, number in rows:
            t_call, t_floor = side_by_side(call, floor, number, args.repeat)
            results.append((label, floor_label, t_call, t_floor))
            gc.collect()
    finally:
        gc.enable()

    width = max(len(r[0]) for r in results)
    floor_width = max(len(r[1]) for r in results)
    print(f"{'call':<{width}}  {'floor':<{floor_width}}  {'call':>10}  {'floor':>10}  ratio")
    worst = 0.0
    for label, floor_label, t_call, t_floor in results:
        ratio = t_call / t_floor
        worst = max(worst, ratio)
        mark = "" if ratio <= TARGET else f"  (above {TARGET})"
        print(
            f"{label:<{width}}  {floor_label:<{floor_width}}  {t_call * 1e3:8.3f}ms"
            f"  {t_floor * 1e3:8.3f}ms  {ratio:5.2f}{mark}"
        )
    print(f"worst ratio {worst:.2f} (target {TARGET})")
    return 0 if worst <= TARGET else 1


if __name__ == "__main__":
    sys.exit(main())
