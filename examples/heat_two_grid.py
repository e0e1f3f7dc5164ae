"""Time-periodic heat equation in space-time, solved by a two-grid cycle in time.

Problem: u_t - u_xx = f on (0, 1) × [0, T], u = 0 at x = 0 and x = 1, and
u(·, 0) = u(·, T) (a periodic steady state, as for a periodically driven
diffusion).

Discretisation:
* time: continuous piecewise Lagrange polynomials of degree p on n_t
  intervals, periodic, trial space = test space (a space-time Galerkin
  method); the time mass and derivative matrices M_t[a, b] = ∫ φ_a φ_b and
  K_t[a, b] = ∫ φ_a φ_b' are pwpoly_arrays.mass_matrix and derivative_matrix
  with basis="lagrange", periodic=True (what moving the diagonal Legendre
  matrices to the Lagrange basis gives: L^T M_leg L and L^T K_leg L with the
  Lagrange-to-Legendre matrix L);
* space: second-order finite differences on m interior points
  (K_x = tridiag(-1, 2, -1)/h, M_x = h·I).
The space-time matrix is A = kron(K_t, M_x) + kron(M_t, K_x).

Two-grid cycle in time (space is not coarsened):
* prolongation P = kron(P_t, I_m) with P_t =
  pwpoly_arrays.prolongation_matrix(p, n_t/2, n_t, periodic=True);
* coarse operator P^T A P, which equals the matrix assembled on the coarse
  time mesh (the Galerkin identity: the coarse space is a subspace of the
  fine one and P is its exact embedding); the script checks this;
* the residual goes down with P^T: it is a functional (entry a is the
  equation tested with basis function a), and each coarse basis function is
  the combination of fine ones in its column of P. (A solution would go down
  with the L2 projection M_c^-1 P^T M_f instead, pwpoly_arrays.restriction_matrix
  in the Legendre basis; the guide's space-time page shows both.)
* smoother: two steps of block Jacobi damped by 1/2, one block per time
  interval (the first p time nodes of the interval with all their spatial
  unknowns), before and after the coarse correction. Every block is
  independent: this is the time-parallel part.

The script prints the contraction factor (the error reduction per cycle,
from a random start) and asserts that it stays below 0.5 on every mesh it
tries. Semi-coarsening in time works in this regime, where a time step is
long against the diffusion time of the smooth spatial modes (T = 10 on 16
to 32 intervals); with much shorter time steps the space-time literature
coarsens in space as well.

The space-time solution (the values of the m spatial unknowns at every time
node) is then one vector-valued expansion in time,
Expansion.from_nodal_values(U, p, T, periodic=True) with value_shape (m,),
evaluated at many times at once. f = sin(πx)·g(t) is an eigenvector of the
finite-difference operator, K_x sin(πx) = λ_h M_x sin(πx) with
λ_h = 4 sin²(πh/2)/h², so the equations discretised in space alone have the
periodic solution a(t) sin(πx), a' + λ_h a = g, in closed form: the error in
time is measured against it in the space-time L2 norm, on the fine and on
the coarse time mesh. This Galerkin method (test space = trial space)
guarantees the order p in time (its energy estimate bounds the error by the
derivative of the interpolation error), and the script asserts at least
that; odd degrees show p + 1. Its period mean obeys an exact identity:
testing with the constant function, a sum of all the time basis functions,
makes the time-derivative term vanish (∫ φ' = 0 over a period), so
K_x ∫u_h dt = M_x ∫f_h dt with f_h the interpolant of f in time; the script
checks it to rounding with the expansions' integral().

    python examples/heat_two_grid.py          # degrees 1..3, two mesh sizes
    python examples/heat_two_grid.py --fast   # the quick check the test suite runs
"""

from __future__ import annotations

import argparse
import math

import numpy as np
import numpy.typing as npt
import scipy.sparse as sp
import scipy.sparse.linalg as spla

import pwpoly_arrays

Vector = npt.NDArray[np.float64]

T = 10.0
CYCLES = 10
DAMPING = 0.5
SMOOTHING_STEPS = 2
OMEGA = 2.0 * math.pi / T


def g(t: Vector) -> Vector:
    """The time profile of the source f(x, t) = sin(πx)·g(t)."""
    return 1.0 + np.sin(OMEGA * t)


def time_matrices(p: int, n_t: int) -> tuple[sp.csr_array, sp.csr_array]:
    """Periodic cG time mass and derivative matrices M_t[a, b] = ∫ φ_a φ_b, K_t[a, b] = ∫ φ_a φ_b'."""
    M_t = pwpoly_arrays.mass_matrix(p, pwpoly_arrays.TimeMesh.uniform(n_t, T), basis="lagrange", periodic=True)
    K_t = pwpoly_arrays.derivative_matrix(p, pwpoly_arrays.TimeMesh.uniform(n_t, T), basis="lagrange", periodic=True)
    return M_t, K_t


def space_matrices(m: int) -> tuple[sp.csr_array, sp.csr_array]:
    """Finite differences on m interior points: K_x = tridiag(-1, 2, -1)/h, M_x = h·I."""
    h = 1.0 / (m + 1)
    K_x = sp.diags_array([-1.0 / h, 2.0 / h, -1.0 / h], offsets=[-1, 0, 1], shape=(m, m)).tocsr()
    M_x = sp.diags_array(np.full(m, h)).tocsr()
    return K_x, M_x


def space_time_operator(p: int, n_t: int, m: int) -> sp.csr_array:
    K_x, M_x = space_matrices(m)
    M_t, K_t = time_matrices(p, n_t)
    return sp.csr_array(sp.kron(K_t, M_x) + sp.kron(M_t, K_x))


def source(p: int, n_t: int, m: int) -> Vector:
    """f(x, t) = sin(πx)·g(t) at the space-time nodes, time-major: row k holds the time node k."""
    times = pwpoly_arrays.lagrange_points(p, pwpoly_arrays.TimeMesh.uniform(n_t, T), periodic=True)
    x = np.arange(1, m + 1) / (m + 1)
    return np.outer(g(times), np.sin(math.pi * x))


def right_hand_side(p: int, n_t: int, m: int) -> Vector:
    """The load ∫ f_h φ_a dt tested in space, with f_h the interpolant of f in time."""
    M_t, _ = time_matrices(p, n_t)
    return np.asarray(sp.kron(M_t, sp.eye_array(m) / (m + 1)) @ source(p, n_t, m).ravel(), dtype=np.float64)


def solution(p: int, m: int, U: Vector) -> pwpoly_arrays.Expansion:
    """The space-time solution as one expansion in time whose values are the m spatial unknowns."""
    return pwpoly_arrays.Expansion.from_nodal_values(U.reshape(-1, m), p, T, periodic=True)


def semi_discrete(t: Vector, m: int) -> Vector:
    """The periodic solution a(t) sin(πx_i) of the equations discretised in space only, shape (t.size, m)."""
    h = 1.0 / (m + 1)
    lam = 4.0 * math.sin(math.pi * h / 2.0) ** 2 / h**2
    a = 1.0 / lam + (lam * np.sin(OMEGA * t) - OMEGA * np.cos(OMEGA * t)) / (lam**2 + OMEGA**2)
    return np.outer(a, np.sin(math.pi * np.arange(1, m + 1) * h))


def time_error(u: pwpoly_arrays.Expansion, nt_fine: int, m: int) -> float:
    """sqrt(∫ h Σ_i (u_h - u)(t, x_i)² dt), by Gauss-Legendre on the fine mesh (exact for u_h on both meshes)."""
    times, weights = pwpoly_arrays.gauss_legendre(u.degree + 8, pwpoly_arrays.TimeMesh.uniform(nt_fine, T))
    difference = u(times) - semi_discrete(times, m)  # shape (times.size, m): all unknowns at once
    return math.sqrt(float(weights @ np.sum(difference**2, axis=1)) / (m + 1))


def mean_defect(p: int, n_t: int, m: int, u: pwpoly_arrays.Expansion) -> float:
    """|K_x ∫u_h - M_x ∫f_h| relative to |M_x ∫f_h|: the period mean solves the steady problem."""
    K_x, M_x = space_matrices(m)
    f_h = pwpoly_arrays.Expansion.from_nodal_values(source(p, n_t, m), p, T, periodic=True)
    load = M_x @ np.asarray(f_h.integral())
    return float(np.max(np.abs(K_x @ np.asarray(u.integral()) - load)) / np.max(np.abs(load)))


def two_grid(p: int, nt_coarse: int, m: int) -> tuple[float, float, float, float, float]:
    """(Galerkin identity defect, contraction factor, time errors on the coarse and fine meshes,
    the largest defect of the period-mean identity) for one problem size."""
    nt_fine = 2 * nt_coarse
    A = space_time_operator(p, nt_fine, m)
    A_coarse = space_time_operator(p, nt_coarse, m)
    P_t = pwpoly_arrays.prolongation_matrix(p, nt_coarse, nt_fine, periodic=True)
    P = sp.kron(P_t, sp.eye_array(m), format="csr")
    galerkin = (P.T @ A @ P).tocsr()
    defect = float(abs(galerkin - A_coarse).max() / abs(A_coarse).max())

    b = right_hand_side(p, nt_fine, m)
    exact = np.asarray(spla.spsolve(A.tocsc(), b), dtype=np.float64)
    exact_coarse = np.asarray(spla.spsolve(A_coarse.tocsc(), right_hand_side(p, nt_coarse, m)), dtype=np.float64)
    u_fine, u_coarse = solution(p, m, exact), solution(p, m, exact_coarse)
    errors = (time_error(u_coarse, nt_fine, m), time_error(u_fine, nt_fine, m))
    mean = max(mean_defect(p, nt_fine, m, u_fine), mean_defect(p, nt_coarse, m, u_coarse))

    block = p * m  # the first p time nodes of one interval, all spatial unknowns
    blocks = [spla.splu(A[k * block : (k + 1) * block, k * block : (k + 1) * block].tocsc()) for k in range(nt_fine)]
    coarse = spla.splu(galerkin.tocsc())

    def smooth(u: Vector) -> Vector:
        r = b - A @ u
        correction = np.concatenate([lu.solve(r[k * block : (k + 1) * block]) for k, lu in enumerate(blocks)])
        return u + DAMPING * correction

    # A random start excites every error mode, so the measured rate is the worst one.
    u = np.random.default_rng(0).standard_normal(b.size)
    history = [float(np.linalg.norm(u - exact))]
    for _ in range(CYCLES):
        for _ in range(SMOOTHING_STEPS):
            u = smooth(u)
        u = u + P @ coarse.solve(P.T @ (b - A @ u))
        for _ in range(SMOOTHING_STEPS):
            u = smooth(u)
        history.append(float(np.linalg.norm(u - exact)))
    # Asymptotic rate: geometric mean over the second half of the cycles.
    half = CYCLES // 2
    rate = (history[-1] / history[half]) ** (1.0 / (CYCLES - half))
    return defect, rate, errors[0], errors[1], mean


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--fast", action="store_true", help="one small problem (the test suite's run)")
    args = parser.parse_args()
    cases = [(2, 8, 15)] if args.fast else [(p, nt, m) for p in (1, 2, 3) for nt in (8, 16) for m in (15, 31)]

    print(f"periodic heat equation on (0, 1) x [0, {T}], two-grid cycle in time ({CYCLES} cycles)")
    print(
        f"{'p':>2} {'n_t coarse->fine':>17} {'m':>4} {'unknowns':>9} {'Galerkin defect':>16} {'contraction':>12}"
        f" {'time error coarse':>18} {'fine':>9} {'order':>6}"
    )
    worst_mean = 0.0
    for p, nt_coarse, m in cases:
        defect, rate, error_coarse, error_fine, mean = two_grid(p, nt_coarse, m)
        order = math.log2(error_coarse / error_fine)
        print(
            f"{p:>2} {f'{nt_coarse} -> {2 * nt_coarse}':>17} {m:>4} {2 * nt_coarse * p * m:>9} "
            f"{defect:16.2e} {rate:12.3f} {error_coarse:18.2e} {error_fine:9.2e} {order:6.2f}"
        )
        assert defect < 1e-13, f"P^T A P differs from the coarse operator by {defect:.2e}"
        assert rate < 0.5, f"contraction factor {rate:.3f}"
        assert order > p - 0.3, f"order in time {order:.2f}, expected at least {p}"
        assert mean < 1e-12, f"the period mean misses the steady problem by {mean:.2e}"
        worst_mean = max(worst_mean, mean)
    print("P^T A P equals the coarse-mesh operator; the error contracts by a factor below 0.5 per cycle")
    print("time errors against the periodic solution of the semi-discrete problem: order >= p (p + 1 for odd p)")
    print(f"period means: K_x ∫u_h dt = M_x ∫f_h dt to {worst_mean:.1e} (relative)")


if __name__ == "__main__":
    main()
