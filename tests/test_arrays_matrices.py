"""pwpoly_arrays' sparse matrices and Lagrange points against pwpoly's own
entry points: the same entries, bit for bit, in the true shapes and index
types."""

import sys

import numpy as np
import pytest
from arrays_support import bits, random_mesh, random_times

import pwpoly

pa = pytest.importorskip("pwpoly_arrays")
pytest.importorskip("scipy.sparse")


@pytest.mark.parametrize("degree", [0, 2, 5])
@pytest.mark.parametrize("derivative", [False, True])
def test_collocation_rows_are_bit_identical_to_all_basis_functions(rng, degree, derivative):
    n_t, T, _ = random_mesh(rng, degree)
    t = random_times(rng, T, 41)[:-4]  # NaN has no row (refused)
    t = np.concatenate([t, [np.inf, -np.inf, -0.0, 2 * T]])
    m = pa.collocation_matrix(degree, n_t, T, t.reshape(2, -1), derivative=derivative)
    assert m.format == "csr" and m.shape == (t.size, n_t * (degree + 1))
    basis = pwpoly.LegendreBasis(degree, n_t, T)
    for r, time in enumerate(t):
        full = np.array(
            basis.evaluate_all_basis_function_derivatives(time)
            if derivative
            else basis.evaluate_all_basis_functions(time)
        )
        row = slice(m.indptr[r], m.indptr[r + 1])
        cols = m.indices[row]
        assert cols.size == degree + 1 and np.all(np.diff(cols) > 0)
        assert np.array_equal(bits(m.data[row]), bits(full[cols]))
        assert not np.any(np.delete(full, cols))


@pytest.mark.skipif(sys.maxsize < 2**32, reason="column counts beyond int32 need a 64-bit platform")
@pytest.mark.parametrize("degree, n_t", [(3, 2**29 - 1), (3, 2**29), (3, 2**30), (0, 2**31 - 1), (0, 2**31)])
def test_collocation_indices_are_int64_exactly_when_the_columns_do_not_fit_int32(degree, n_t):
    """The index type follows the column count n_t * (degree + 1), not n_t
    (which fits int32 in all but the last case): rows at t = 0 and t = T,
    whose last column is n_t * (degree + 1) - 1."""
    m = pa.collocation_matrix(degree, n_t, 1.0, [0.0, 1.0])
    columns = n_t * (degree + 1)
    assert m.shape == (2, columns)
    assert m.indices.dtype == m.indptr.dtype == (np.int32 if columns <= 2**31 - 1 else np.int64)
    expected = [i * n_t for i in range(degree + 1)] + [n_t - 1 + i * n_t for i in range(degree + 1)]
    assert m.indices.tolist() == expected and m.indptr.tolist() == [0, degree + 1, 2 * degree + 2]
    assert m.data.tolist() == [(-1.0) ** i for i in range(degree + 1)] + [1.0] * (degree + 1)


def triplets_of(m):
    rows = np.repeat(np.arange(m.shape[0]), np.diff(m.indptr))
    return rows, m.indices, bits(m.data)


def check_same_entries(m, triplets, shape):
    assert m.shape == shape and m.format == "csr"
    assert m.indptr.dtype == m.indices.dtype == np.int32  # small: the indices fit int32
    rows, cols, values = triplets_of(m)
    assert rows.tolist() == triplets[0] and cols.tolist() == triplets[1]
    assert np.array_equal(values, bits(triplets[2]))


@pytest.mark.parametrize("periodic", [False, True])
@pytest.mark.parametrize(
    "degree, nt_coarse, nt_fine", [(1, 2, 1), (2, 1, 2), (3, 5, 3), (2, 3, 7), (4, 6, 6), (1, 1, 1)]
)
def test_prolongation_has_pwpoly_entries_and_true_shape(degree, nt_coarse, nt_fine, periodic):
    m = pa.prolongation_matrix(degree, nt_coarse, nt_fine, periodic)
    points = (lambda nt: nt * degree) if periodic else (lambda nt: nt * degree + 1)
    triplets = pwpoly.lagrange_prolongation_matrix(nt_coarse, nt_fine, degree, periodic)
    check_same_entries(m, triplets, (points(nt_fine), points(nt_coarse)))


@pytest.mark.parametrize("periodic", [False, True])
@pytest.mark.parametrize("degree, n_t", [(1, 1), (2, 1), (3, 4), (5, 2)])
def test_lagrange_to_legendre_and_points_match_pwpoly(degree, n_t, periodic):
    m = pa.lagrange_to_legendre_matrix(degree, n_t, periodic)
    triplets = pwpoly.lagrange_to_legendre_basis_transformation(degree, n_t, periodic)
    points = n_t * degree + (0 if periodic else 1)
    check_same_entries(m, triplets, (n_t * (degree + 1), points))
    p = pa.lagrange_points(degree, n_t, 2.5, periodic)
    assert p.dtype == np.float64 and np.array_equal(
        bits(p), bits(pwpoly.get_lagrange_points(degree, n_t, 2.5, periodic))
    )
