"""Space-time heat equation: discontinuous and continuous Galerkin in time, orders at the time nodes.

Problem: u_t - u_xx = f on [0, T] × (0, 1), u = 0 at x = 0 and x = 1,
u(·, 0) = u_0, with the manufactured solution

    u(x, t) = sin(πx) cos(πt) + ½ sin(2πx) e^(-t),    T = 1.

Space: P1 finite elements on m interior nodes of width h = 1/(m + 1), with
the mass and stiffness matrices M_x = (h/6) tridiag(1, 4, 1) and
K_x = (1/h) tridiag(-1, 2, -1); the equations discretised in space are
M_x U' + K_x U = F(t). Their load is manufactured at this level,
F(t) = M_x u_t(x_i, t) + K_x u(x_i, t), so that the nodal values u(x_i, t)
solve them exactly and every error measured below is the time
discretisation's alone. (The load ∫ f φ_i dx of the continuous source would
add the spatial error, O(h²) at the nodes, which no grid of practical size
brings down to the 1e-12 and less that dG(3) reaches in time; the orders in time are
those of the time discretisation of M_x U' + K_x U = F whatever F is.)

Time: n_t intervals of width k = T / n_t. Every time operator is a sparse
matrix of pwpoly_arrays, and the space-time matrix is a sum of Kronecker
products of time operators with M_x and K_x (unknowns time-major: the m
spatial values of time function a are entries a·m to a·m + m - 1); it is
assembled with scipy.sparse.kron and solved with spsolve.

(a) dG(p), discontinuous Galerkin in the piecewise Legendre basis: on every
    interval I_j, for every polynomial v of degree <= p,

        ∫_{I_j} (M_x u' + K_x u - F) v dt + v(t_j^+) M_x (u(t_j^+) - u(t_j^-)) = 0,

    with u(t_0^-) = u_0: the jump term takes the value at the end of the
    previous interval (upwind in time). In matrices (mass_matrix, derivative_matrix, upwind_matrix)

        ((C_t + B_t) ⊗ M_x + M_t ⊗ K_x) U = M_t Π F + (E_0^T e_0) ⊗ M_x u_0,

    where B_t = E_0^T (E_0 - Z E_1) is the upwind coupling, with E_0 and E_1
    the values of the Legendre functions at the starts and at the ends of
    the intervals (endpoint_matrices) and Z the shift by one interval, and
    M_t Π F, the mass matrix times the coefficients of the L2 projection of
    F (pwpoly_arrays.project, value_shape (m,)), is the Gauss-Legendre
    quadrature of ∫ F φ_a dt.
(b) cG(p), continuous Galerkin: u is continuous and piecewise of degree p,
    its unknowns the values at the Lagrange nodes; the test functions are
    the discontinuous piecewise polynomials of degree p - 1, one fewer per
    interval, so that with u(0) = u_0 the equations and the remaining
    unknowns are equally many (p·n_t per spatial node). They are the
    Legendre functions P_0..P_(p-1) of every interval, the first p·n_t of
    the Legendre numbering j + n_t·i, and the trial functions are the
    Legendre expansions of the Lagrange basis (L =
    lagrange_to_legendre_matrix): with the first p·n_t rows R,

        ((C_t L)_R ⊗ M_x + (M_t L)_R ⊗ K_x) U = (M_t Π F)_R,

    a Petrov-Galerkin method. (The square Lagrange matrices
    mass_matrix(..., basis="lagrange") = L^T M_t L test with the continuous
    functions of degree p instead: too many equations for an initial value
    problem; heat_two_grid.py uses them for a time-periodic one.)

Both solutions are one vector-valued Expansion in time (value_shape (m,)):
dG(p) directly from its coefficients, cG(p) from its nodal values
(Expansion.from_nodal_values). Their values at the ends of the intervals
(endpoint_values: the limits from the left, for dG(p) the upwind values the
next interval's jump term takes) give the errors at the time nodes, and the L2 error
in time, sqrt(∫ h Σ_i (u_h - u)² dt), comes from all spatial values at the
Gauss-Legendre times of every interval at once.

Known theory (superconvergence at the time nodes; Eriksson, Johnson and
Thomée for dG, Aziz and Monk for cG): dG(p) converges at the nodes with
order 2p + 1, cG(p) with order 2p, both with order p + 1 in L2. The script
prints the error table and asserts these orders on the finest meshes whose
errors lie above rounding.

(c) A solution that is not smooth at t = 0, u(x, t) = sin(πx) t^α with
    α = 3/4 (an initial layer: u_t grows like t^(α - 1)). On uniform meshes
    dG(p) loses its order in L2 to the first interval: about α + 1/2, whatever
    p. On the mesh graded towards 0 with breakpoints T (j / n_t)^γ
    (TimeMesh.graded), a grading γ >= (p + 1) / (α + 1/2) spreads the error
    evenly and the order p + 1 comes back (Schötzau and Schwab); the script
    takes γ = 1.25 (p + 1) / (α + 1/2) = 3 for p = 2. The load of the first
    interval is integrated exactly (t^(α-1) defeats every Gauss rule there). Every operator takes
    the graded mesh as it takes the uniform one; the script asserts both
    orders for dG(2).

    python examples/space_time_heat.py          # p = 1, 2, 3 up to 128 intervals
    python examples/space_time_heat.py --fast   # up to 32 intervals (the test suite's run)
"""

from __future__ import annotations

import argparse
import math
from collections.abc import Callable

import numpy as np
import numpy.typing as npt
import scipy.sparse as sp
import scipy.sparse.linalg as spla

import pwpoly_arrays

Vector = npt.NDArray[np.float64]

T = 1.0
M_SPACE = 31
# Errors below this are close enough to the rounding of the solves (about
# 1e-15 relative) that their ratios no longer measure an order.
ROUNDING_FLOOR = 1e-12


class SpaceDiscretisation:
    """P1 elements on m interior nodes of (0, 1), and the manufactured solution at those nodes."""

    def __init__(self, m: int, alpha: float | None = None) -> None:
        self.m = m
        self.alpha = alpha  # None: the smooth solution above; else sin(πx) t^alpha
        h = 1.0 / (m + 1)
        self.h = h
        self.x: Vector = np.asarray(np.arange(1, m + 1) * h, dtype=np.float64)
        self.M = sp.diags_array([h / 6.0, 4.0 * h / 6.0, h / 6.0], offsets=[-1, 0, 1], shape=(m, m)).tocsr()
        self.K = sp.diags_array([-1.0 / h, 2.0 / h, -1.0 / h], offsets=[-1, 0, 1], shape=(m, m)).tocsr()

    def exact(self, t: npt.ArrayLike) -> Vector:
        """u(x_i, t), shape t.shape + (m,)."""
        s = np.asarray(t, dtype=np.float64)[..., None]
        if self.alpha is not None:
            return np.asarray(np.sin(math.pi * self.x) * s**self.alpha, dtype=np.float64)
        return np.sin(math.pi * self.x) * np.cos(math.pi * s) + 0.5 * np.sin(2.0 * math.pi * self.x) * np.exp(-s)

    def exact_dt(self, t: npt.ArrayLike) -> Vector:
        """u_t(x_i, t), shape t.shape + (m,)."""
        s = np.asarray(t, dtype=np.float64)[..., None]
        if self.alpha is not None:
            return np.asarray(np.sin(math.pi * self.x) * self.alpha * s ** (self.alpha - 1.0), dtype=np.float64)
        return -math.pi * np.sin(math.pi * self.x) * np.sin(math.pi * s) - 0.5 * np.sin(
            2.0 * math.pi * self.x
        ) * np.exp(-s)

    def load(self, t: Vector) -> Vector:
        """F(t) = M_x u_t + K_x u at the 1-D array of times t, shape (t.size, m)."""
        return np.asarray((self.M @ self.exact_dt(t).T + self.K @ self.exact(t).T).T, dtype=np.float64)


Mesh = pwpoly_arrays.TimeMesh


def uniform(n_t: int) -> Mesh:
    return pwpoly_arrays.TimeMesh.uniform(n_t, T)


def tested_load(space: SpaceDiscretisation, p: int, mesh: Mesh) -> Vector:
    """∫ F φ_a dt for every Legendre function φ_a, shape ((p + 1)·n_t, m).

    The L2 projection's coefficients times the diagonal mass matrix are the
    (p + 1)-point Gauss-Legendre quadrature of these integrals: its error,
    O(k^(2p + 2)) over [0, T], is below both methods' orders.
    """
    # Near the initial layer t^(α-1) varies within an interval as much as the
    # interval's distance from 0: 20 points (instead of p + 1) keep the rule
    # exact to rounding there; the first interval follows below.
    points = None if space.alpha is None else 20
    projection = pwpoly_arrays.project(space.load, p, mesh, points=points)  # value_shape (m,)
    coefficients = projection.coefficients.reshape((p + 1) * mesh.n_t, space.m)
    tested = np.asarray(pwpoly_arrays.mass_matrix(p, mesh) @ coefficients, dtype=np.float64)
    if space.alpha is not None:
        # F = M_x sin(πx) α t^(α-1) + K_x sin(πx) t^α: no Gauss rule integrates
        # t^(α-1) on [0, b_1]. There, with t = b_1 s and the shifted Legendre
        # polynomial P_i(2s - 1) = Σ_k a_ik s^k, ∫ t^β φ_i dt = b_1^(β+1) Σ_k a_ik / (β + k + 1).
        b_1 = float(mesh.breakpoints[1])
        shape = np.sin(math.pi * space.x)

        def moment(beta: float, i: int) -> float:
            shifted = np.polynomial.Polynomial(np.polynomial.legendre.leg2poly(np.eye(p + 1)[i]))(
                np.polynomial.Polynomial([-1.0, 2.0])
            )
            return float(b_1 ** (beta + 1) * sum(float(a) / (beta + k + 1) for k, a in enumerate(shifted.coef)))

        for i in range(p + 1):
            tested[i * mesh.n_t] = space.alpha * moment(space.alpha - 1.0, i) * (space.M @ shape) + moment(
                space.alpha, i
            ) * (space.K @ shape)
    return tested


def solve_dg(space: SpaceDiscretisation, p: int, mesh: Mesh) -> pwpoly_arrays.Expansion:
    """dG(p) in the Legendre basis; the solution's coefficients, shape (p + 1, n_t, m)."""
    n_t = mesh.n_t
    M_t = pwpoly_arrays.mass_matrix(p, mesh)
    C_t = pwpoly_arrays.derivative_matrix(p, mesh)
    B_t = pwpoly_arrays.upwind_matrix(p, mesh)
    at_start, _ = pwpoly_arrays.endpoint_matrices(p, mesh)
    A = sp.kron(C_t + B_t, space.M) + sp.kron(M_t, space.K)
    rhs = tested_load(space, p, mesh)
    first = np.zeros(n_t)
    first[0] = 1.0  # u(t_0^-) = u_0 enters the jump term of interval 0
    rhs += np.outer(at_start.T @ first, np.asarray(space.M @ space.exact(0.0), dtype=np.float64))
    U = np.asarray(spla.spsolve(A.tocsc(), rhs.ravel()), dtype=np.float64)
    return pwpoly_arrays.Expansion(U.reshape(p + 1, n_t, space.m), mesh)


def solve_cg(space: SpaceDiscretisation, p: int, mesh: Mesh) -> pwpoly_arrays.Expansion:
    """cG(p) in the Lagrange basis, tested with the Legendre functions of degree < p of every interval."""
    n_t = mesh.n_t
    L = pwpoly_arrays.lagrange_to_legendre_matrix(p, mesh)
    test = slice(0, p * n_t)  # P_0 .. P_(p-1) on every interval
    M_t = (pwpoly_arrays.mass_matrix(p, mesh) @ L)[test]
    C_t = (pwpoly_arrays.derivative_matrix(p, mesh) @ L)[test]
    A = sp.kron(C_t, space.M, format="csc") + sp.kron(M_t, space.K, format="csc")
    u_0 = space.exact(0.0)
    m = space.m
    # The first Lagrange node is t = 0, whose values are known: they move to the right-hand side.
    rhs = tested_load(space, p, mesh)[test].ravel() - A[:, :m] @ u_0
    U = np.asarray(spla.spsolve(A[:, m:].tocsc(), rhs), dtype=np.float64)
    return pwpoly_arrays.Expansion.from_nodal_values(np.vstack([u_0, U.reshape(-1, m)]), p, mesh)


def errors(space: SpaceDiscretisation, u_h: pwpoly_arrays.Expansion) -> tuple[float, float]:
    """(max error at the time nodes t_1..t_n_t over all x_i, L2 error in time)."""
    _, at_end = u_h.endpoint_values()  # shape (n_t, m): the limits from the left at t_1 .. t_n_t
    nodal = float(np.max(np.abs(at_end - space.exact(u_h.mesh.breakpoints[1:]))))
    times, weights = pwpoly_arrays.gauss_legendre(u_h.degree + 3, u_h.mesh)
    difference = u_h(times) - space.exact(times)  # shape (times.size, m)
    l2 = math.sqrt(float(weights @ np.sum(difference**2, axis=1)) * space.h)
    return nodal, l2


def observed_order(coarse: float, fine: float) -> float | None:
    """log2 of the error ratio after halving the step; None once rounding dominates."""
    return math.log2(coarse / fine) if fine > ROUNDING_FLOOR else None


Solver = Callable[[SpaceDiscretisation, int, Mesh], pwpoly_arrays.Expansion]
METHODS: list[tuple[str, Solver, Callable[[int], int]]] = [
    ("dG", solve_dg, lambda p: 2 * p + 1),
    ("cG", solve_cg, lambda p: 2 * p),
]


def convergence(space: SpaceDiscretisation, p: int, counts: list[int]) -> dict[str, list[tuple[float, float]]]:
    """The error pairs of both methods on every mesh, printed as a table; asserts the orders."""
    table = {name: [errors(space, solve(space, p, uniform(n_t))) for n_t in counts] for name, solve, _ in METHODS}
    finest: dict[tuple[str, int], float] = {}  # the finest order above rounding of every column
    for row, n_t in enumerate(counts):
        cells = []
        for name, _, _ in METHODS:
            for k in (0, 1):
                order = observed_order(table[name][row - 1][k], table[name][row][k]) if row else None
                if order is not None:
                    finest[name, k] = order
                cells.append(f"{table[name][row][k]:11.3e} {'' if order is None else f'{order:5.2f}':>5}")
        print((f"{p:>2} {n_t:>5}   " + " ".join(cells[:2]) + "   " + " ".join(cells[2:])).rstrip())
    for name, _, nodal_order in METHODS:
        expected = {0: nodal_order(p), 1: p + 1}
        for k, what in ((0, "at the nodes"), (1, "in L2")):
            order = finest[name, k]
            assert abs(order - expected[k]) < 0.3, f"{name}({p}) {what}: order {order:.2f}, expected {expected[k]}"
    return table


def initial_layer(counts: list[int], p: int = 2, alpha: float = 0.75) -> dict[str, list[float]]:
    """dG(p) for u = sin(πx) t^alpha on uniform and graded meshes: the L2 errors, printed; asserts the orders."""
    space = SpaceDiscretisation(M_SPACE, alpha)
    # Gradings from (p + 1) / (alpha + 1/2) = 2.4 on give the order p + 1;
    # at 2.4 itself a logarithmic factor still shows on these meshes.
    grading = 1.25 * (p + 1) / (alpha + 0.5)

    def graded(n: int) -> Mesh:
        return Mesh.graded(n, T, grading)

    meshes = {"uniform": uniform, f"graded {grading:.1f}": graded}
    table = {name: [errors(space, solve_dg(space, p, make(n_t)))[1] for n_t in counts] for name, make in meshes.items()}
    print(f"dG({p}) for u = sin(pi x) t^{alpha}: L2 errors in time")
    print(f"{'n_t':>5}   " + "   ".join(f"{name:>17}" for name in table))
    for row, n_t in enumerate(counts):
        cells = []
        for column in table.values():
            order = f"{math.log2(column[row - 1] / column[row]):5.2f}" if row else ""
            cells.append(f"{column[row]:11.3e} {order:>5}")
        print(f"{n_t:>5}   " + "   ".join(cells))
    uniform_order, graded_order = (math.log2(column[-2] / column[-1]) for column in table.values())
    assert abs(uniform_order - (alpha + 0.5)) < 0.25, f"uniform mesh: order {uniform_order:.2f}, expected {alpha + 0.5}"
    assert abs(graded_order - (p + 1)) < 0.3, f"graded mesh: order {graded_order:.2f}, expected {p + 1}"
    return table


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--fast", action="store_true", help="up to 32 intervals (the test suite's run)")
    args = parser.parse_args()
    counts = [8, 16, 32] if args.fast else [4, 8, 16, 32, 64, 128]
    space = SpaceDiscretisation(M_SPACE)

    print(f"u_t - u_xx = f on [0, {T}] x (0, 1), P1 elements on m = {space.m} nodes; errors in time")
    print(f"{'':>9}{'dG(p), Legendre basis':^37}   {'cG(p), Lagrange basis':^37}".rstrip())
    header = f"{'nodal error':>11} {'order':>5} {'L2 error':>11} {'order':>5}"
    print(f"{'p':>2} {'n_t':>5}   {header}   {header}")
    for p in (1, 2, 3):
        convergence(space, p, counts)
    print("observed orders at the time nodes: 2p + 1 for dG(p), 2p for cG(p); p + 1 in L2 for both")
    print(f"(orders only from errors above {ROUNDING_FLOOR:.0e}, where rounding does not decide them)")
    print()
    initial_layer([8, 16, 32] if args.fast else [8, 16, 32, 64, 128])
    print("the graded mesh restores the order p + 1 in L2 that the initial layer takes on uniform meshes")


if __name__ == "__main__":
    main()
