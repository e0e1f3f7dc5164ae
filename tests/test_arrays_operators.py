"""pwpoly_arrays' time operators (mass, derivative, end-point, upwind,
Legendre transfers) against exact rational references
(tests/exact_time_operators.py)."""

import functools
import math
from fractions import Fraction

import exact_time_operators as exact
import numpy as np
import pytest
from arrays_support import bits, random_mesh

pa = pytest.importorskip("pwpoly_arrays")
pytest.importorskip("scipy.sparse")


def close_to_exact(matrix, reference, ulps, exact_bits=False):
    """Every entry within `ulps` units of the row's largest entry (or correctly rounded), zeros where exact."""

    assert matrix.indptr.dtype == matrix.indices.dtype == np.int32  # small: the indices fit int32
    dense = matrix.toarray()
    assert dense.shape == (len(reference), len(reference[0]))
    for got_row, ref_row in zip(dense, reference):
        scale = max((abs(float(x)) for x in ref_row), default=0.0)
        for got, ref in zip(got_row, ref_row):
            if exact_bits:
                assert got == float(ref), (got, ref)
            else:
                assert abs(Fraction(got) - ref) <= ulps * 2**-52 * Fraction(scale), (got, ref)


OPERATOR_CASES = [(degree, n_t) for degree in range(7) for n_t in (1, 2, 3)]


@pytest.mark.parametrize("degree, n_t", OPERATOR_CASES)
def test_legendre_operators_are_exact(degree, n_t):

    T = 1.5
    close_to_exact(pa.mass_matrix(degree, n_t, T), exact.legendre_mass_matrix(degree, n_t, Fraction(T)), 2)
    close_to_exact(pa.derivative_matrix(degree, n_t, T), exact.legendre_derivative_matrix(degree, n_t), 0, True)
    for got, ref in zip(pa.endpoint_matrices(degree, n_t), exact.endpoint_matrices(degree, n_t)):
        close_to_exact(got, ref, 0, True)
    for periodic in (False, True):
        close_to_exact(pa.upwind_matrix(degree, n_t, periodic), exact.upwind_matrix(degree, n_t, periodic), 0, True)
    if degree <= 4:
        for fine in (2 * n_t, n_t + 1):  # nested: the re-expansion, correctly rounded; otherwise the projection
            close_to_exact(
                pa.prolongation_matrix(degree, n_t, fine, basis="legendre"),
                exact.legendre_prolongation_matrix(degree, n_t, fine),
                32,
                exact_bits=fine % n_t == 0,
            )
            close_to_exact(
                pa.restriction_matrix(degree, n_t, fine), exact.legendre_restriction_matrix(degree, n_t, fine), 16
            )


@pytest.mark.parametrize("periodic", [False, True])
@pytest.mark.parametrize("degree, n_t", [(d, n) for d in range(1, 7) for n in (1, 2, 3)])
def test_lagrange_operators_are_exact(degree, n_t, periodic):

    T = 1.5
    close_to_exact(
        pa.mass_matrix(degree, n_t, T, basis="lagrange", periodic=periodic),
        exact.lagrange_mass_matrix(degree, n_t, Fraction(T), periodic),
        8,
    )
    close_to_exact(
        pa.derivative_matrix(degree, n_t, T, basis="lagrange", periodic=periodic),
        exact.lagrange_derivative_matrix(degree, n_t, periodic),
        8,
    )


@functools.cache
def exact_lagrange_reference(degree, derivative):
    """The integrals over [-1, 1] of L_jj L_kk (L_jj L_kk'), exact, each rounded once."""
    basis = exact.lagrange_polynomials(degree)
    return [
        [
            float(exact.poly_integral(exact.poly_mul(a, exact.poly_derivative(b) if derivative else b), -1, 1))
            for b in basis
        ]
        for a in basis
    ]


def lagrange_matrix_in_documented_order(degree, n_t, T, periodic, derivative):
    """The Lagrange mass (derivative) matrix as time_operators.hpp defines its
    rounding: the local entries r = (0.5 * w) * R[jj][kk] (mass, w = T / n_t)
    or D[jj][kk] (derivative), R and D exact in fractions and rounded once;
    a global entry sums its intervals' entries in increasing interval order;
    periodic with one interval, row and column 0 add the entry of local node
    0 first, then that of node degree, and (0, 0) is
    (r(0, 0) + r(p, p)) + (r(0, p) + r(p, 0)). Every operation is rounded on
    its own: a float of the exact Fraction result."""

    p = degree
    half = 0.5 * float(Fraction(T) / n_t)
    reference = exact_lagrange_reference(p, derivative)
    local = [[x if derivative else float(Fraction(half) * Fraction(x)) for x in row] for row in reference]

    def add(x, y):
        return float(Fraction(x) + Fraction(y))

    def r(jj, kk):
        return local[jj][kk]

    if periodic and n_t == 1:
        dense = [[r(a, b) for b in range(p)] for a in range(p)]
        for b in range(1, p):
            dense[0][b] = add(r(0, b), r(p, b))
            dense[b][0] = add(r(b, 0), r(b, p))
        dense[0][0] = add(add(r(0, 0), r(p, p)), add(r(0, p), r(p, 0)))
        return dense
    ndofs = n_t * p if periodic else n_t * p + 1
    terms = {}
    for k in range(n_t):
        for jj in range(p + 1):
            for kk in range(p + 1):
                pair = ((k * p + jj) % ndofs, (k * p + kk) % ndofs)
                terms.setdefault(pair, []).append(r(jj, kk))
    dense = [[0.0] * ndofs for _ in range(ndofs)]
    for (a, b), values in terms.items():
        total = values[0]
        for v in values[1:]:
            total = add(total, v)
        dense[a][b] = total
    return dense


@pytest.mark.parametrize("derivative", [False, True])
@pytest.mark.parametrize("n_t, periodic", [(1, True), (2, True), (3, True), (1, False), (2, False)])
def test_lagrange_operators_sum_in_the_documented_order(n_t, periodic, derivative):
    """Bit for bit, in particular the corner (0, 0) of the periodic matrices
    on one interval, the only entry with more than two terms."""
    make = pa.derivative_matrix if derivative else pa.mass_matrix
    for degree in range(1, 9):
        for T in (1.0, 1.5, 0.7, math.pi, 1e-3, 3.0e5):
            got = make(degree, n_t, T, basis="lagrange", periodic=periodic).toarray()
            expected = np.array(lagrange_matrix_in_documented_order(degree, n_t, T, periodic, derivative))
            assert np.array_equal(bits(got), bits(expected)), (degree, T)


@pytest.mark.parametrize("basis", ["legendre", "lagrange"])
def test_nested_prolongation_keeps_the_mass_and_restriction_inverts_it(basis):
    degree, nt_coarse, nt_fine, T = 3, 4, 12, 2.0
    P = pa.prolongation_matrix(degree, nt_coarse, nt_fine, basis=basis)
    M_coarse = pa.mass_matrix(degree, nt_coarse, T, basis=basis).toarray()
    M_fine = pa.mass_matrix(degree, nt_fine, T, basis=basis)
    assert np.allclose((P.T @ M_fine @ P).toarray(), M_coarse, rtol=0, atol=1e-15)
    if basis == "legendre":
        R = pa.restriction_matrix(degree, nt_coarse, nt_fine)
        assert np.allclose((R @ P).toarray(), np.eye(P.shape[1]), rtol=0, atol=1e-14)


@pytest.mark.parametrize("degree, nt_coarse, nt_fine", [(3, 2, 3), (1, 2, 3), (2, 3, 5), (3, 3, 2), (2, 4, 2)])
def test_restriction_after_prolongation_is_what_the_docstring_says(degree, nt_coarse, nt_fine):
    """Off nested meshes, R P is self-adjoint in L2, has eigenvalues in [0, 1]
    (so L2 norm 1), 1 exactly on what both spaces contain, keeps the global
    polynomials, and is idempotent only when nt_coarse is a multiple of
    nt_fine."""
    P = pa.prolongation_matrix(degree, nt_coarse, nt_fine, basis="legendre").toarray()
    R = pa.restriction_matrix(degree, nt_coarse, nt_fine).toarray()
    M_c = pa.mass_matrix(degree, nt_coarse, 1.0).toarray()
    M_f = pa.mass_matrix(degree, nt_fine, 1.0).toarray()
    RP = R @ P
    assert np.allclose(R, np.linalg.solve(M_c, P.T @ M_f), rtol=0, atol=1e-15)
    assert np.allclose(M_c @ RP, (M_c @ RP).T, rtol=0, atol=1e-15)
    # M_c is diagonal: R P is similar to the symmetric M_c^(1/2) R P M_c^(-1/2).
    root = np.sqrt(np.diag(M_c))
    eigenvalues = np.linalg.eigvalsh(root[:, None] * RP / root[None, :])
    assert eigenvalues.min() > -1e-14 and abs(eigenvalues.max() - 1) < 1e-14
    # 1 on what both spaces contain: the expansions on gcd(nt_coarse, nt_fine) intervals.
    assert np.sum(eigenvalues > 1 - 1e-12) == (degree + 1) * math.gcd(nt_coarse, nt_fine)
    x = np.linspace(-1.0, 1.0, 7)
    global_polynomial = pa.project(
        lambda t: np.polynomial.legendre.legval(2 * t - 1, x[: degree + 1]), degree, nt_coarse, 1.0
    )
    u = global_polynomial.coefficients.ravel()
    assert np.allclose(RP @ u, u, rtol=0, atol=1e-14)
    defect = np.abs(RP @ RP - RP).max()
    if nt_coarse % nt_fine == 0:
        assert defect < 1e-14  # the fine space lies in the coarse one
    else:
        assert defect > 0.05
    if (degree, nt_coarse, nt_fine) == (3, 2, 3):
        assert round(defect, 2) == 0.11


def test_the_end_matrices_give_the_expansions_end_values(rng):
    n_t, T, c = random_mesh(rng, 4)
    at_start, at_end = pa.endpoint_matrices(4, n_t)
    e = pa.Expansion(c, T)
    start, end = e.endpoint_values()
    # A CSR row product sums its stored entries from +0.0 in order: the same
    # bits as the expansion's sums from -0.0 unless every term is -0.0.
    assert np.array_equal(bits(at_end @ c.ravel()), bits(end)) and np.array_equal(
        bits(at_start @ c.ravel()), bits(start)
    )
