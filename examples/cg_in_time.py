"""Continuous Galerkin in time for u' = λu, u(0) = 1: errors and convergence orders.

The cG(p) method looks for a continuous piecewise polynomial u_h of degree p
on a uniform mesh of [0, T] (its Lagrange nodal values U are the unknowns)
such that on every interval I_k

    ∫_{I_k} (u_h' - λ u_h) v dt = 0    for every polynomial v of degree < p,

plus u_h(0) = 1. On one interval, with u_h = Σ_i c_i P_i(ξ) and v = P_m,
this is a p × (p + 1) matrix A acting on the Legendre coefficients c. So the
global system is

    [ e_0^T              ]       [ 1 ]
    [ kron(A, I_n_t) · L ] U  =  [ 0 ]

where L is pwpoly's Lagrange-to-Legendre matrix: row j + n_t·i of L·U is the
coefficient of P_i on interval j, which is exactly the row order that
kron(A, I_n_t) expects. A is computed by Gauss quadrature from the values
and time derivatives of the Legendre basis (pwpoly.LegendreBasis on one
interval), and the solution is evaluated with a LegendreBasisEvaluator.

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

import pwpoly

Vector = npt.NDArray[np.float64]

LAMBDA = -2.0
T = 1.0
ROUNDING_FLOOR = 1e-13


def triplets_to_csr(triplets: tuple[list[int], list[int], list[float]], shape: tuple[int, int]) -> sp.csr_array:
    """A scipy CSR array from pwpoly's (rows, cols, values); the shape is passed on."""
    rows, cols, vals = triplets
    return sp.csr_array((vals, (rows, cols)), shape=shape)


def element_matrix(p: int, w: float) -> Vector:
    """A[m, i] = ∫_I (dP_i/dt - λ P_i) P_m dt on an interval of width w, m < p, i <= p."""
    nodes, weights = np.polynomial.legendre.leggauss(p + 1)  # exact to degree 2p + 1
    one_interval = pwpoly.LegendreBasis(p, 1, w)  # n_t = 1: entry i is P_i
    times = (nodes + 1.0) * (w / 2.0)
    values = np.array([one_interval.evaluate_all_basis_functions(t) for t in times])
    slopes = np.array([one_interval.evaluate_all_basis_function_derivatives(t) for t in times])
    jacobian = w / 2.0
    trial = slopes - LAMBDA * values  # (quadrature point, i)
    return (values[:, :p] * (weights * jacobian)[:, None]).T @ trial


def solve(p: int, n_t: int) -> tuple[Vector, Vector]:
    """Nodal values U of the cG(p) solution and its Legendre coefficients L·U."""
    n_dofs = n_t * p + 1
    L = triplets_to_csr(pwpoly.lagrange_to_legendre_basis_transformation(p, n_t), ((p + 1) * n_t, n_dofs))
    A = sp.csr_array(element_matrix(p, T / n_t))
    equations = sp.kron(A, sp.eye_array(n_t), format="csr") @ L
    initial = sp.csr_array(([1.0], ([0], [0])), shape=(1, n_dofs))
    system = sp.vstack([initial, equations], format="csc")
    rhs = np.zeros(n_dofs)
    rhs[0] = 1.0
    U = np.asarray(spla.spsolve(system, rhs), dtype=np.float64)
    return U, L @ U


def errors(p: int, n_t: int) -> tuple[float, float]:
    """(max error at the mesh nodes, L2 error on [0, T]) of cG(p) with n_t intervals."""
    U, coefficients = solve(p, n_t)
    points = np.array(pwpoly.get_lagrange_points(p, n_t, T))
    mesh_nodes = slice(0, None, p)  # degree of freedom k·p is the node k·w
    nodal = float(np.max(np.abs(U[mesh_nodes] - np.exp(LAMBDA * points[mesh_nodes]))))

    evaluator = pwpoly.LegendreBasisEvaluator(p, n_t, T)
    evaluator.set_dofs(coefficients)
    nodes, weights = np.polynomial.legendre.leggauss(p + 3)
    w = T / n_t
    starts = np.arange(n_t) * w
    times = (starts[:, None] + (nodes[None, :] + 1.0) * (w / 2.0)).ravel()
    u_h = np.array(evaluator.evaluate_many(times), dtype=np.float64)
    squared = (u_h - np.exp(LAMBDA * times)) ** 2
    l2 = math.sqrt(float(np.sum(squared * np.tile(weights, n_t))) * w / 2.0)
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
