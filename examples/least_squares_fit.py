"""Least-squares fit of a piecewise polynomial to samples, with pwpoly_arrays.

Given samples y_r of a function at times t_r in [0, T], the piecewise
Legendre expansion of degree p on n_t intervals that fits them best in the
least-squares sense has the coefficients c that minimise ||A c - y||, where
A = pwpoly_arrays.collocation_matrix(p, pwpoly_arrays.TimeMesh.uniform(n_t, T), t) is the collocation matrix
(one row per sample, column j + n_t·i is P_i on interval j). A row touches
only the p + 1 functions of its sample's interval, so the normal equations
A^T A c = A^T y decouple into one (p + 1) × (p + 1) system per interval:
a sparse direct solve costs next to nothing. The fit is an
Expansion(c.reshape(p + 1, n_t), T), evaluated with its derivative.

The script fits f(t) = sin(3t) exp(-t/2) on [0, 2] and checks:

1. noise-free samples: the L2 error of the fit falls like h^(p + 1) and that
   of its derivative like h^p (an error table; the orders fitted over it);
2. noisy samples (σ = 0.05): the residual is at the noise level
   σ sqrt(1 - k/m) (k coefficients, m samples); the fit averages the noise
   out, and the L2 errors of the fit and of its derivative against f and f'
   are what the noise is expected to leave, computed from the covariance
   σ² (A^T A)^-1 of the coefficients with the collocation matrices of values
   and derivatives at the check times (for the fit about σ sqrt(k/m));
   scipy.sparse.linalg.lsqr gives the same coefficients.

    python examples/least_squares_fit.py          # degrees 1..3, up to 64 intervals
    python examples/least_squares_fit.py --fast   # the quick check the test suite runs
"""

from __future__ import annotations

import argparse
import math

import numpy as np
import numpy.typing as npt
import scipy.sparse.linalg as spla

import pwpoly_arrays

Vector = npt.NDArray[np.float64]

T = 2.0
SIGMA = 0.05
# Fresh times where the fit is compared with f: the midpoints of a fine grid.
CHECK: Vector = (np.arange(20_000, dtype=np.float64) + 0.5) * (T / 20_000)


def f(t: Vector) -> Vector:
    return np.sin(3.0 * t) * np.exp(-0.5 * t)


def df(t: Vector) -> Vector:
    return (3.0 * np.cos(3.0 * t) - 0.5 * np.sin(3.0 * t)) * np.exp(-0.5 * t)


def sample_times(n_t: int, per_interval: int, rng: np.random.Generator) -> Vector:
    """Uniformly random times, per_interval of them in every interval."""
    j = np.repeat(np.arange(n_t), per_interval)
    return (j + rng.uniform(0.0, 1.0, j.size)) * (T / n_t)


def fit(degree: int, n_t: int, t: Vector, y: Vector) -> tuple[pwpoly_arrays.Expansion, Vector]:
    """The least-squares fit by the normal equations, and its coefficient vector."""
    A = pwpoly_arrays.collocation_matrix(degree, pwpoly_arrays.TimeMesh.uniform(n_t, T), t)
    normal = (A.T @ A).tocsc()
    c = np.asarray(spla.spsolve(normal, A.T @ y), dtype=np.float64)
    return pwpoly_arrays.Expansion(c.reshape(degree + 1, n_t), T), c


def rms(v: Vector) -> float:
    return math.sqrt(float(np.mean(v * v)))


def convergence(degree: int, meshes: list[int], rng: np.random.Generator) -> None:
    """Noise-free samples: the error table and the observed orders p + 1 and p."""
    print(f"degree {degree}, noise-free samples, {4 * (degree + 1)} per interval")
    print(f"{'n_t':>6} {'L2 error':>12} {'order':>6} {'L2 error of d/dt':>17} {'order':>6}")
    errors: list[tuple[float, float]] = []
    for n_t in meshes:
        t = sample_times(n_t, 4 * (degree + 1), rng)
        e, _ = fit(degree, n_t, t, f(t))
        error = (rms(e(CHECK) - f(CHECK)), rms(e.derivative(CHECK) - df(CHECK)))
        if errors:
            steps = [math.log2(before / now) for before, now in zip(errors[-1], error)]
            print(f"{n_t:>6} {error[0]:>12.3e} {steps[0]:>6.2f} {error[1]:>17.3e} {steps[1]:>6.2f}")
        else:
            print(f"{n_t:>6} {error[0]:>12.3e} {'':>6} {error[1]:>17.3e}")
        errors.append(error)
    # The sample times are random: the order is the slope of a line fitted
    # through the whole table (log error against log n_t).
    logs = np.log(np.array(errors))
    orders = -np.polyfit(np.log(np.array(meshes, dtype=np.float64)), logs, 1)[0]
    print(f"fitted orders: {orders[0]:.2f} (fit), {orders[1]:.2f} (derivative)")
    assert orders[0] > degree + 1 - 0.3, f"order of the fit {orders[0]:.2f}, expected {degree + 1}"
    assert orders[1] > degree - 0.3, f"order of its derivative {orders[1]:.2f}, expected {degree}"


def noise_level(degree: int, n_t: int, t: Vector, derivative: bool) -> float:
    """The RMS over CHECK that noise of standard deviation SIGMA leaves in the fit
    (derivative=False) or in its derivative (True), in expectation.

    The fitted coefficients are c = N^-1 A^T y with N = A^T A, so the noise
    in them has the covariance SIGMA^2 N^-1 and the noise in the values
    B c at the check times (B their collocation matrix) has the mean square
    SIGMA^2 trace(B N^-1 B^T) / len(CHECK).
    """
    A = pwpoly_arrays.collocation_matrix(degree, pwpoly_arrays.TimeMesh.uniform(n_t, T), t)
    B = pwpoly_arrays.collocation_matrix(degree, pwpoly_arrays.TimeMesh.uniform(n_t, T), CHECK, derivative=derivative)
    X = spla.spsolve((A.T @ A).tocsc(), B.T.toarray())  # N^-1 B^T
    return SIGMA * math.sqrt(float((B.multiply(X.T)).sum()) / CHECK.size)


def noisy(degree: int, n_t: int, per_interval: int, rng: np.random.Generator) -> None:
    """Noisy samples: the fit's errors are the noise's expected share plus the noise-free error."""
    t = sample_times(n_t, per_interval, rng)
    y = f(t) + rng.normal(0.0, SIGMA, t.size)
    e, c = fit(degree, n_t, t, y)
    exact, _ = fit(degree, n_t, t, f(t))
    k, m = c.size, t.size
    print(f"degree {degree}, n_t = {n_t}, {m} samples with noise σ = {SIGMA}, {k} coefficients")
    residual = rms(e(t) - y)
    print(f"  residual {residual:.4f}, expected σ sqrt(1 - k/m) = {SIGMA * math.sqrt(1 - k / m):.4f}")
    assert abs(residual / (SIGMA * math.sqrt(1 - k / m)) - 1.0) < 0.1, "the residual is not at the noise level"
    for name, derivative in [("fit", False), ("derivative", True)]:
        true = df(CHECK) if derivative else f(CHECK)
        error = rms((e.derivative(CHECK) if derivative else e(CHECK)) - true)
        bias = rms((exact.derivative(CHECK) if derivative else exact(CHECK)) - true)
        expected = math.hypot(bias, noise_level(degree, n_t, t, derivative))
        print(f"  L2 error of the {name:<10} {error:.2e}, expected {expected:.2e} (noise-free: {bias:.1e})")
        assert 0.6 * expected < error < 1.5 * expected, f"the {name}'s error is not the expected one"

    A = pwpoly_arrays.collocation_matrix(degree, pwpoly_arrays.TimeMesh.uniform(n_t, T), t)
    iterative = np.asarray(spla.lsqr(A, y, atol=1e-14, btol=1e-14)[0], dtype=np.float64)
    difference = float(np.max(np.abs(iterative - c)))
    print(f"  lsqr and the normal equations agree to {difference:.1e}")
    assert difference < 1e-9, "lsqr and the normal equations disagree"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--fast", action="store_true", help="one degree, three meshes (the test suite's run)")
    args = parser.parse_args()
    rng = np.random.default_rng(2026)
    degrees = [2] if args.fast else [1, 2, 3]
    meshes = [4, 8, 16] if args.fast else [4, 8, 16, 32, 64]
    for degree in degrees:
        convergence(degree, meshes, rng)
        print()
    noisy(3, 8, 200 if args.fast else 1000, rng)


if __name__ == "__main__":
    main()
