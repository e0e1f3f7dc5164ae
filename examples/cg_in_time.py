"""Continuous Galerkin in time for u' = λu, u(0) = 1: errors and convergence orders.

The cG(p) method looks for a continuous piecewise polynomial u_h of degree p
on a uniform mesh of [0, T] (its Lagrange nodal values U are the unknowns)
such that on every interval I_k

    ∫_{I_k} (u_h' - λ u_h) v dt = 0    for every polynomial v of degree < p,

plus u_h(0) = 1. Write u_h in the piecewise Legendre basis: its coefficients
are L·U with L = pwpoly_arrays.lagrange_to_legendre_matrix(p, n_t), row
j + n_t·i the coefficient of P_i on interval j. Test functions of degree < p
on every interval are the Legendre functions P_m, m < p: the first p·n_t
functions of that numbering. With the Legendre derivative and mass matrices
C[a, b] = ∫ φ_a φ_b' and M[a, b] = ∫ φ_a φ_b (pwpoly_arrays.derivative_matrix
and mass_matrix), the global system is

    [ e_0^T                       ]       [ 1 ]
    [ (C - λM)[rows of degree < p] L ] U  =  [ 0 ]

and the solution is Expansion.from_nodal_values(U, p, T), whose L2 error is
integrated with pwpoly_arrays.gauss_legendre.

Known theory: the error at the mesh nodes converges with order 2p
(superconvergence), the L2 error with order p + 1. The script prints an
error table and the observed orders and asserts them.

    python examples/cg_in_time.py          # degrees 1..4, up to 128 intervals
    python examples/cg_in_time.py --fast   # the quick check the test suite runs
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

LAMBDA = -2.0
T = 1.0
ROUNDING_FLOOR = 1e-13


def solve(p: int, n_t: int) -> tuple[Vector, pwpoly_arrays.Expansion]:
    """Nodal values U of the cG(p) solution and the solution as an expansion."""
    n_dofs = n_t * p + 1
    L = pwpoly_arrays.lagrange_to_legendre_matrix(p, n_t)
    operator = pwpoly_arrays.derivative_matrix(
        p, pwpoly_arrays.TimeMesh.uniform(n_t, T)
    ) - LAMBDA * pwpoly_arrays.mass_matrix(p, pwpoly_arrays.TimeMesh.uniform(n_t, T))
    equations = operator[: p * n_t] @ L  # tested with P_m, m < p, on every interval
    initial = sp.csr_array(([1.0], ([0], [0])), shape=(1, n_dofs))
    system = sp.vstack([initial, equations], format="csc")
    rhs = np.zeros(n_dofs)
    rhs[0] = 1.0
    U = np.asarray(spla.spsolve(system, rhs), dtype=np.float64)
    return U, pwpoly_arrays.Expansion.from_nodal_values(U, p, T)


def errors(p: int, n_t: int) -> tuple[float, float]:
    """(max error at the mesh nodes, L2 error on [0, T]) of cG(p) with n_t intervals."""
    U, u_h = solve(p, n_t)
    points = pwpoly_arrays.lagrange_points(p, pwpoly_arrays.TimeMesh.uniform(n_t, T))
    mesh_nodes = slice(0, None, p)  # degree of freedom k·p is the node k·w
    nodal = float(np.max(np.abs(U[mesh_nodes] - np.exp(LAMBDA * points[mesh_nodes]))))

    times, weights = pwpoly_arrays.gauss_legendre(p + 3, pwpoly_arrays.TimeMesh.uniform(n_t, T))
    l2 = math.sqrt(float(weights @ (u_h(times) - np.exp(LAMBDA * times)) ** 2))
    return nodal, l2


def observed_order(coarse: float, fine: float) -> float | None:
    """log2 of the error ratio after halving the step; None once rounding dominates."""
    return math.log2(coarse / fine) if fine > ROUNDING_FLOOR else None


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--fast", action="store_true", help="small meshes only (the test suite's run)")
    args = parser.parse_args()
    degrees = [1, 2, 3] if args.fast else [1, 2, 3, 4]
    counts = [4, 8, 16] if args.fast else [4, 8, 16, 32, 64, 128]

    print(f"cG(p) for u' = {LAMBDA} u on [0, {T}]: errors and observed orders")
    print(f"{'p':>2} {'n_t':>5} {'nodal error':>12} {'order':>6} {'L2 error':>12} {'order':>6}")
    for p in degrees:
        table = [errors(p, n_t) for n_t in counts]
        last = {"nodal": 0.0, "L2": 0.0}  # the finest order above rounding
        for row, n_t in enumerate(counts):
            cells = []
            for kind, k in (("nodal", 0), ("L2", 1)):
                order = observed_order(table[row - 1][k], table[row][k]) if row else None
                if order is not None:
                    last[kind] = order
                cells.append(f"{table[row][k]:12.3e} {'' if order is None else f'{order:6.2f}':>6}")
            print(f"{p:>2} {n_t:>5} " + " ".join(cells))
        assert abs(last["nodal"] - 2 * p) < 0.3, f"p = {p}: nodal order {last['nodal']:.2f}, expected {2 * p}"
        assert abs(last["L2"] - (p + 1)) < 0.3, f"p = {p}: L2 order {last['L2']:.2f}, expected {p + 1}"
    print("observed orders: 2p at the mesh nodes, p + 1 in L2 (errors below 1e-13 are rounding)")


if __name__ == "__main__":
    main()
