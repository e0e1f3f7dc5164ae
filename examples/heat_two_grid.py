"""Time-periodic heat equation in space-time, solved by a two-grid cycle in time.

Problem: u_t - u_xx = f on (0, 1) × [0, T], u = 0 at x = 0 and x = 1, and
u(·, 0) = u(·, T) (a periodic steady state, as for a periodically driven
diffusion).

Discretisation:
* time: continuous piecewise Lagrange polynomials of degree p on n_t
  intervals, periodic, trial space = test space (a space-time Galerkin
  method); the time mass and derivative matrices M_t and K_t are built in
  the Legendre basis, where they are diagonal and explicit, and moved to the
  Lagrange basis with pwpoly's Lagrange-to-Legendre matrix L:
  M_t = L^T M_leg L, K_t = L^T K_leg L;
* space: second-order finite differences on m interior points
  (K_x = tridiag(-1, 2, -1)/h, M_x = h·I).
The space-time matrix is A = kron(K_t, M_x) + kron(M_t, K_x).

Two-grid cycle in time (space is not coarsened):
* prolongation P = kron(P_t, I_m) with P_t from
  pwpoly.lagrange_prolongation_matrix(n_t/2, n_t, p, periodic=True);
* coarse operator P^T A P, which equals the matrix assembled on the coarse
  time mesh (the Galerkin identity: the coarse space is a subspace of the
  fine one and P is its exact embedding); the script checks this;
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

import pwpoly

Vector = npt.NDArray[np.float64]

T = 10.0
CYCLES = 10
DAMPING = 0.5
SMOOTHING_STEPS = 2


def triplets_to_csr(triplets: tuple[list[int], list[int], list[float]], shape: tuple[int, int]) -> sp.csr_array:
    """A scipy CSR array from pwpoly's (rows, cols, values); the shape is passed on."""
    rows, cols, vals = triplets
    return sp.csr_array((vals, (rows, cols)), shape=shape)


def time_matrices(p: int, n_t: int) -> tuple[sp.csr_array, sp.csr_array]:
    """Periodic cG time mass and derivative matrices M_t[a, b] = ∫ φ_a φ_b, K_t[a, b] = ∫ φ_a φ_b'."""
    n_dofs = n_t * p  # periodic: the node at T is node 0
    L = triplets_to_csr(pwpoly.lagrange_to_legendre_basis_transformation(p, n_t, True), ((p + 1) * n_t, n_dofs))
    w = T / n_t
    # ∫ P_i P_m dt = w / (2i + 1) δ_im on an interval; entries in the layout j + n_t·i.
    mass = sp.diags_array(np.repeat([w / (2 * i + 1) for i in range(p + 1)], n_t))
    # ∫ P_m dP_i/dt dt = ∫ P_m P_i' dξ = 2 when i > m and i + m is odd.
    local = np.array([[2.0 if i > m and (i + m) % 2 else 0.0 for i in range(p + 1)] for m in range(p + 1)])
    derivative = sp.kron(sp.csr_array(local), sp.eye_array(n_t), format="csr")
    return (L.T @ mass @ L).tocsr(), (L.T @ derivative @ L).tocsr()


def space_time_operator(p: int, n_t: int, m: int) -> sp.csr_array:
    h = 1.0 / (m + 1)
    K_x = sp.diags_array([-1.0 / h, 2.0 / h, -1.0 / h], offsets=[-1, 0, 1], shape=(m, m))
    M_x = sp.diags_array(np.full(m, h))
    M_t, K_t = time_matrices(p, n_t)
    return sp.csr_array(sp.kron(K_t, M_x) + sp.kron(M_t, K_x))


def two_grid(p: int, nt_coarse: int, m: int) -> tuple[float, float]:
    """(Galerkin identity defect, contraction factor) for one problem size."""
    nt_fine = 2 * nt_coarse
    A = space_time_operator(p, nt_fine, m)
    A_coarse = space_time_operator(p, nt_coarse, m)
    P_t = triplets_to_csr(
        pwpoly.lagrange_prolongation_matrix(nt_coarse, nt_fine, p, True), (nt_fine * p, nt_coarse * p)
    )
    P = sp.kron(P_t, sp.eye_array(m), format="csr")
    galerkin = (P.T @ A @ P).tocsr()
    defect = float(abs(galerkin - A_coarse).max() / abs(A_coarse).max())

    # Right-hand side: f(x, t) = sin(πx)·(1 + sin(2πt/T)) at the space-time nodes.
    times = np.array(pwpoly.get_lagrange_points(p, nt_fine, T, True))
    x = np.arange(1, m + 1) / (m + 1)
    f = np.outer(1.0 + np.sin(2.0 * math.pi * times / T), np.sin(math.pi * x)).ravel()
    M_t, _ = time_matrices(p, nt_fine)
    b = sp.kron(M_t, sp.eye_array(m) / (m + 1)) @ f
    exact = np.asarray(spla.spsolve(A.tocsc(), b), dtype=np.float64)

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
    return defect, rate


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--fast", action="store_true", help="one small problem (the test suite's run)")
    args = parser.parse_args()
    cases = [(2, 8, 15)] if args.fast else [(p, nt, m) for p in (1, 2, 3) for nt in (8, 16) for m in (15, 31)]

    print(f"periodic heat equation on (0, 1) x [0, {T}], two-grid cycle in time ({CYCLES} cycles)")
    print(f"{'p':>2} {'n_t coarse->fine':>17} {'m':>4} {'unknowns':>9} {'Galerkin defect':>16} {'contraction':>12}")
    for p, nt_coarse, m in cases:
        defect, rate = two_grid(p, nt_coarse, m)
        print(
            f"{p:>2} {f'{nt_coarse} -> {2 * nt_coarse}':>17} {m:>4} {2 * nt_coarse * p * m:>9} "
            f"{defect:16.2e} {rate:12.3f}"
        )
        assert defect < 1e-13, f"P^T A P differs from the coarse operator by {defect:.2e}"
        assert rate < 0.5, f"contraction factor {rate:.3f}"
    print("P^T A P equals the coarse-mesh operator; the error contracts by a factor below 0.5 per cycle")


if __name__ == "__main__":
    main()
