"""Draws the documentation's figures with pwpoly itself (matplotlib, no display needed).

    python docs/figures.py [--out DIR] [--points N]

writes into DIR (default docs/figures):

* basis.png       the piecewise Legendre basis on a small mesh;
* expansion.png   an expansion built from nodal values, and its derivative;
* sparsity.png    the sparsity patterns of the prolongation and of the
                  Lagrange-to-Legendre matrix, with their shapes;
* space_time.png  the space-time heat example (examples/space_time_heat.py):
                  a dG(1) and a cG(1) solution in time, and the errors at
                  the time nodes of dG(p) and cG(p) against n_t;
* benchmark.png   many-point evaluation, measured now on this machine, and
  benchmark.csv   the same numbers for the docs' table.

Everything is computed when the script runs: the benchmark bars come from a
short measurement (best of a few repeats over N random times), not from
stored numbers. Needs pwpoly (with pwpoly_arrays), numpy and matplotlib, and
scipy for the space-time figure.
"""

from __future__ import annotations

import argparse
import csv
import math
import os
import sys
from collections.abc import Callable
from functools import partial

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import numpy.typing as npt  # noqa: E402

import pwpoly  # noqa: E402
import pwpoly_arrays  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "benchmarks"))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "examples"))
import space_time_heat  # noqa: E402
from bench_evaluate_many import best_of, numpy_evaluate  # noqa: E402

Vector = npt.NDArray[np.float64]
# No software version or date in the files: the same inputs give the same bytes.
PNG = {"dpi": 100, "metadata": {"Software": None}}
COLOURS = plt.get_cmap("tab10").colors


def sample_intervals(n_t: int, T: float, per_interval: int) -> list[Vector]:
    """Times inside each interval [a, b), one array per interval (the last one includes T)."""
    w = T / n_t
    return [np.linspace(j * w, (j + 1) * w, per_interval, endpoint=j == n_t - 1) for j in range(n_t)]


def mark_nodes(ax: plt.Axes, n_t: int, T: float) -> None:
    for j in range(n_t + 1):
        ax.axvline(j * T / n_t, color="0.85", lw=0.8, zorder=0)


def draw_basis(path: str) -> None:
    degree, n_t, T = 2, 3, 3.0
    basis = pwpoly.LegendreBasis(degree, n_t, T)
    fig, ax = plt.subplots(figsize=(7.0, 2.6))
    mark_nodes(ax, n_t, T)
    for times in sample_intervals(n_t, T, 120):
        values = np.array([basis.evaluate_all_basis_functions(t) for t in times])
        for i in range(degree + 1):
            j = int(min(times[0] // (T / n_t), n_t - 1))
            ax.plot(
                times,
                values[:, j + n_t * i],
                color=COLOURS[i],
                lw=1.6,
                label=f"$P_{i}$ (entries $j + {n_t}\\cdot{i}$)" if j == 0 else None,
            )
    ax.set_xlabel("t")
    ax.set_title(f"piecewise Legendre basis: degree {degree}, n_t = {n_t}, T = {T:g}", fontsize=10)
    ax.legend(loc="lower right", fontsize=8, ncol=3, frameon=False)
    ax.set_ylim(-1.15, 1.15)
    fig.tight_layout()
    fig.savefig(path, **PNG)
    plt.close(fig)


def draw_expansion(path: str) -> None:
    degree, n_t, T = 2, 4, 1.0

    def f(t: Vector) -> Vector:
        return np.sin(2.0 * math.pi * t) + t

    def df(t: Vector) -> Vector:
        return 2.0 * math.pi * np.cos(2.0 * math.pi * t) + 1.0

    points = np.array(pwpoly.get_lagrange_points(degree, n_t, T))
    rows, cols, vals = pwpoly.lagrange_to_legendre_basis_transformation(degree, n_t)
    coefficients = np.zeros((degree + 1) * n_t)
    np.add.at(coefficients, rows, np.array(vals) * f(points)[cols])
    evaluator = pwpoly.LegendreBasisEvaluator(degree, n_t, T)
    evaluator.set_dofs(coefficients)

    fig, (left, right) = plt.subplots(1, 2, figsize=(8.0, 2.8))
    fine = np.linspace(0.0, T, 400)
    for ax, exact, method, title in (
        (left, f, evaluator.evaluate_many, "interpolant of sin(2πt) + t"),
        (right, df, evaluator.evaluate_derivative_many, "its time derivative"),
    ):
        mark_nodes(ax, n_t, T)
        ax.plot(fine, exact(fine), color="0.6", lw=3, label="exact")
        for j, times in enumerate(sample_intervals(n_t, T, 100)):
            ax.plot(times, method(times), color=COLOURS[0], lw=1.5, label="pwpoly" if j == 0 else None)
        ax.set_title(title, fontsize=10)
        ax.set_xlabel("t")
    left.plot(points, f(points), "o", color=COLOURS[1], ms=4, label="Lagrange nodes")
    left.legend(fontsize=8, frameon=False)
    fig.suptitle(f"degree {degree}, n_t = {n_t}: derivatives jump at the nodes", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, **PNG)
    plt.close(fig)


def draw_sparsity(path: str) -> None:
    degree, nt_coarse, nt_fine = 2, 3, 6
    panels = []
    rows, cols, _ = pwpoly.lagrange_prolongation_matrix(nt_coarse, nt_fine, degree)
    panels.append(
        (
            f"lagrange_prolongation_matrix({nt_coarse}, {nt_fine}, {degree})",
            rows,
            cols,
            (nt_fine * degree + 1, nt_coarse * degree + 1),
        )
    )
    rows, cols, _ = pwpoly.lagrange_prolongation_matrix(nt_coarse, nt_fine, degree, True)
    panels.append(("… periodic=True", rows, cols, (nt_fine * degree, nt_coarse * degree)))
    rows, cols, _ = pwpoly.lagrange_to_legendre_basis_transformation(degree, nt_fine)
    panels.append(
        (
            f"lagrange_to_legendre_basis_transformation({degree}, {nt_fine})",
            rows,
            cols,
            ((degree + 1) * nt_fine, nt_fine * degree + 1),
        )
    )
    rows, cols, _ = pwpoly.lagrange_to_legendre_basis_transformation(degree, nt_fine, True)
    panels.append(("… periodic=True", rows, cols, ((degree + 1) * nt_fine, nt_fine * degree)))

    fig, axes = plt.subplots(1, 4, figsize=(10.0, 3.4), gridspec_kw={"width_ratios": [7, 6, 13, 12]})
    for ax, (title, r, c, shape) in zip(axes, panels):
        dense = np.zeros(shape)
        dense[r, c] = 1.0
        ax.spy(dense, markersize=4, color=COLOURS[0])
        ax.set_title(f"{title}\nshape {shape}", fontsize=8)
        ax.tick_params(labelsize=7)
        if "legendre" in title or (title.startswith("…") and shape[0] == (degree + 1) * nt_fine):
            for p in range(1, degree + 1):  # block rows: one per Legendre degree
                ax.axhline(p * nt_fine - 0.5, color=COLOURS[3], lw=0.8)
    fig.tight_layout()
    fig.savefig(path, **PNG)
    plt.close(fig)


def draw_space_time(path: str) -> None:
    """The space-time heat example's solutions on a coarse mesh and its errors at the time nodes."""
    space = space_time_heat.SpaceDiscretisation(space_time_heat.M_SPACE)
    T = space_time_heat.T
    quarter = (space.m + 1) // 4 - 1  # the node x = 1/4, where both modes of u show
    fig, (left, right) = plt.subplots(1, 2, figsize=(9.0, 3.3))

    n_t = 3
    w = T / n_t
    mark_nodes(left, n_t, T)
    fine = np.linspace(0.0, T, 400)
    left.plot(fine, space.exact(fine)[:, quarter], color="0.6", lw=3, label="exact")
    dg = space_time_heat.solve_dg(space, 1, space_time_heat.uniform(n_t))
    _, at_end = dg.endpoint_values()
    for j in range(n_t):
        # The interval's own polynomial up to its end: the left limit comes from endpoint_values.
        inner = np.linspace(j * w, (j + 1) * w, 60)[:-1]
        left.plot(
            np.append(inner, (j + 1) * w),
            np.append(dg(inner)[:, quarter], at_end[j, quarter]),
            color=COLOURS[0],
            lw=1.5,
            label="dG(1)" if j == 0 else None,
        )
    left.plot(np.arange(1, n_t + 1) * w, at_end[:, quarter], "o", color=COLOURS[0], ms=4, label="dG(1) at the nodes")
    cg = space_time_heat.solve_cg(space, 1, space_time_heat.uniform(n_t))
    left.plot(fine, cg(fine)[:, quarter], color=COLOURS[1], lw=1.5, ls="--", label="cG(1)")
    left.set_xlabel("t")
    left.set_title(f"u(1/4, t) on n_t = {n_t} intervals (degree 1)", fontsize=10)
    left.legend(fontsize=8, frameon=False)

    counts = [4, 8, 16, 32, 64]
    for p in (1, 2, 3):
        for (name, solve, order), style in zip(space_time_heat.METHODS, ("-o", "--s")):
            nodal = [space_time_heat.errors(space, solve(space, p, space_time_heat.uniform(n)))[0] for n in counts]
            right.loglog(counts, nodal, style, color=COLOURS[p + 1], ms=4, label=f"{name}({p}), order {order(p)}")
    right.set_xscale("log", base=2)
    right.set_xticks(counts, [str(n) for n in counts])
    right.minorticks_off()
    right.set_xlabel("n_t")
    right.set_title("largest error at the time nodes", fontsize=10)
    right.legend(fontsize=7, frameon=False, ncol=2, loc="lower left")
    fig.tight_layout()
    fig.savefig(path, **PNG)
    plt.close(fig)


def measure(points: int, repeat: int) -> list[tuple[int, str, float]]:
    """(degree, method, ns per point) for every way of evaluating many times."""
    n_t, T = 1000, 1.0
    rng = np.random.default_rng(0)
    times = rng.uniform(0.0, T, points)
    few_list = times[: max(1, points // 20)].tolist()  # the per-call loop is slow: a twentieth of the points
    results = []
    for degree in (1, 3, 8):
        coefficients = rng.normal(size=n_t * (degree + 1))
        evaluator = pwpoly.LegendreBasisEvaluator(degree, n_t, T)
        evaluator.set_dofs(coefficients)
        assert evaluator.evaluate_many(times[:1000]) == numpy_evaluate(times[:1000], coefficients, degree, n_t, T)
        expansion = pwpoly_arrays.Expansion(coefficients.reshape(degree + 1, n_t), T)
        assert expansion(times[:1000]).tolist() == evaluator.evaluate_many(times[:1000])

        def one_call_per_time(at: Callable[[float], float] = evaluator.evaluate_at) -> list[float]:
            return [at(t) for t in few_list]

        ways: list[tuple[str, Callable[[], object], int]] = [
            ("evaluate_many (list)", partial(evaluator.evaluate_many, times), points),
            ("pwpoly_arrays.Expansion (array)", partial(expansion, times), points),
            ("numpy, vectorised (+ tolist)", partial(numpy_evaluate, times, coefficients, degree, n_t, T), points),
            ("evaluate_at in a loop", one_call_per_time, len(few_list)),
        ]
        for label, fn, count in ways:
            results.append((degree, label, best_of(fn, repeat) / count * 1e9))
    return results


def draw_benchmark(path: str, table_path: str, points: int, repeat: int) -> None:
    results = measure(points, repeat)
    with open(table_path, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(["degree", "method", "ns per point"])
        for degree, label, ns in results:
            writer.writerow([degree, label, f"{ns:.1f}"])

    degrees = sorted({d for d, _, _ in results})
    labels = list(dict.fromkeys(label for _, label, _ in results))
    width = 0.8 / len(labels)
    fig, ax = plt.subplots(figsize=(7.0, 3.0))
    for k, label in enumerate(labels):
        values = [ns for d in degrees for (dd, ll, ns) in results if dd == d and ll == label]
        x = np.arange(len(degrees)) + (k - (len(labels) - 1) / 2) * width
        bars = ax.bar(x, values, width, label=label, color=COLOURS[k])
        ax.bar_label(bars, fmt=lambda ns: f"{ns:.1f}" if ns < 10 else f"{ns:.0f}", fontsize=7)
    ax.set_xticks(np.arange(len(degrees)), [f"degree {d}" for d in degrees])
    ax.set_ylim(0, 1.45 * max(ns for _, _, ns in results))
    ax.set_ylabel("ns per point")
    ax.set_title(
        f"{points:,} random times, n_t = 1000, best of {repeat}; measured when the docs were built", fontsize=9
    )
    ax.legend(fontsize=8, frameon=False, ncol=2, loc="upper center")
    fig.tight_layout()
    fig.savefig(path, **PNG)
    plt.close(fig)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--out", default=os.path.join(HERE, "figures"))
    parser.add_argument("--points", type=int, default=200_000, help="times per benchmark measurement")
    parser.add_argument("--repeat", type=int, default=3, help="best of this many runs")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    draw_basis(os.path.join(args.out, "basis.png"))
    draw_expansion(os.path.join(args.out, "expansion.png"))
    draw_sparsity(os.path.join(args.out, "sparsity.png"))
    draw_space_time(os.path.join(args.out, "space_time.png"))
    draw_benchmark(
        os.path.join(args.out, "benchmark.png"), os.path.join(args.out, "benchmark.csv"), args.points, args.repeat
    )
    print(f"figures written to {args.out}")


if __name__ == "__main__":
    main()
