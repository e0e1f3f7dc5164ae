"""The sparse matrices and the Lagrange points, built natively."""

from __future__ import annotations

from types import ModuleType
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    from scipy.sparse import csr_array

from . import _checks
from ._native_loader import load_native

if TYPE_CHECKING:
    from . import _native
else:
    _native = load_native()


def _scipy_sparse(function: str) -> ModuleType:
    try:
        import scipy.sparse
    except ImportError as exc:
        raise ImportError(
            f"pwpoly_arrays.{function} returns a scipy.sparse array and needs scipy; install it with "
            "pip install 'pwpoly[sparse]'",
            name="scipy",
        ) from exc
    return scipy.sparse


def _csr_array(
    sparse: ModuleType, shape: tuple[int, int], row_offsets: Any, col_indices: Any, values: Any
) -> csr_array:
    matrix: csr_array = sparse.csr_array((values, col_indices, row_offsets), shape=shape)
    # Every producer here writes each row's columns strictly increasing.
    matrix.has_canonical_format = True
    return matrix


def _from_native(sparse: ModuleType, result: tuple[int, int, Any, Any, Any]) -> csr_array:
    """The CSR array of a native (nrows, ncols, row_offsets, col_indices, values)
    result, wrapping the native arrays without a copy."""
    nrows, ncols, row_offsets, col_indices, values = result
    return _csr_array(sparse, (nrows, ncols), np.asarray(row_offsets), np.asarray(col_indices), np.asarray(values))


def collocation_matrix(degree: int, n_t: int, T: float, t: npt.ArrayLike, derivative: bool = False) -> csr_array:
    """The collocation matrix of the piecewise Legendre basis at the times t.

    Parameters
    ----------
    degree : int
        Polynomial degree on each interval, >= 0.
    n_t : int
        Number of intervals of the uniform mesh of [0, T], >= 1.
    T : float
        End of the time span, positive and finite.
    t : array_like of float64
        The times, any shape; row r belongs to ``t.ravel()[r]`` (C order).
    derivative : bool
        False: values of the basis functions; True: their time derivatives.

    Returns
    -------
    scipy.sparse.csr_array, shape (t.size, n_t * (degree + 1))
        Row r holds the basis functions at time r in pwpoly's global
        numbering: column ``j + n_t * i`` is P_i on interval j. Only the
        degree + 1 functions of the interval that contains the time are
        stored, always all of them (a value that happens to be zero stays an
        explicit entry, so the pattern depends only on the intervals). The
        entries are bit for bit those of
        ``pwpoly.LegendreBasis(degree, n_t, T).evaluate_all_basis_functions``
        (``evaluate_all_basis_function_derivatives``) at that time. Indices
        are int32 when they fit, else int64. Needs scipy (``pwpoly[sparse]``).
    """
    sparse = _scipy_sparse("collocation_matrix")
    degree = _checks.size(degree, "degree", 0)
    n_t = _checks.size(n_t, "n_t", 1)
    T = _checks.period(T)
    derivative = _checks.flag(derivative, "derivative")
    times = _checks.float64_array(t, "t")
    _checks.check_items(n_t * (degree + 1), "the collocation matrix's columns")
    _checks.check_items(times.size * (degree + 1), "the collocation matrix's entries")
    return _from_native(sparse, _native.collocation(degree, n_t, T, times, derivative))


def _lagrange_sizes(degree: int, n_t: int, name: str = "n_t") -> tuple[int, int]:
    degree = _checks.size(degree, "degree", 1)
    _checks.lagrange_degree(degree)
    n_t = _checks.size(n_t, name, 1)
    # Up to (degree + 1)^2 entries per interval, n_t * degree + 1 points.
    _checks.check_items(n_t * (degree + 1) * (degree + 1), "the matrix")
    return degree, n_t


def prolongation_matrix(degree: int, nt_coarse: int, nt_fine: int, periodic: bool = False) -> csr_array:
    """The prolongation from the continuous piecewise Lagrange basis on nt_coarse
    intervals to the one on nt_fine intervals of the same span.

    Parameters
    ----------
    degree : int
        Polynomial degree, >= 1 (first, unlike ``pwpoly.lagrange_prolongation_matrix``).
    nt_coarse, nt_fine : int
        Interval counts, >= 1 each; nt_fine may also be smaller than nt_coarse.
    periodic : bool
        Periodic bases (the node at T is node 0).

    Returns
    -------
    scipy.sparse.csr_array, shape (fine points, coarse points)
        With ``nt * degree + 1`` points per basis (``nt * degree`` when
        periodic), the true shape even where the last rows or columns hold no
        entry. The stored entries are exactly those of
        ``pwpoly.lagrange_prolongation_matrix(nt_coarse, nt_fine, degree,
        periodic)``, the same values in the same places, explicit zeros
        included; call ``eliminate_zeros()`` to drop them. Needs scipy.
    """
    sparse = _scipy_sparse("prolongation_matrix")
    degree, nt_coarse = _lagrange_sizes(degree, nt_coarse, "nt_coarse")
    _, nt_fine = _lagrange_sizes(degree, nt_fine, "nt_fine")
    return _from_native(sparse, _native.prolongation(degree, nt_coarse, nt_fine, _checks.flag(periodic, "periodic")))


def lagrange_to_legendre_matrix(degree: int, n_t: int, periodic: bool = False) -> csr_array:
    """The matrix from nodal values of the continuous piecewise Lagrange basis to
    the coefficients of the piecewise Legendre expansion of the same function.

    Parameters
    ----------
    degree : int
        Polynomial degree, >= 1.
    n_t : int
        Number of intervals, >= 1.
    periodic : bool
        Periodic Lagrange basis (the node at T is node 0).

    Returns
    -------
    scipy.sparse.csr_array, shape (n_t * (degree + 1), points)
        Row ``j + n_t * i`` gives the coefficient of P_i on interval j (the
        layout of ``Expansion``'s coefficients flattened in C order);
        ``points`` is ``n_t * degree + 1`` (``n_t * degree`` when periodic).
        The stored entries are exactly those of
        ``pwpoly.lagrange_to_legendre_basis_transformation(degree, n_t,
        periodic)``, explicit zeros included. Needs scipy.
    """
    sparse = _scipy_sparse("lagrange_to_legendre_matrix")
    degree, n_t = _lagrange_sizes(degree, n_t)
    return _from_native(sparse, _native.lagrange_to_legendre(degree, n_t, _checks.flag(periodic, "periodic")))


def lagrange_points(degree: int, n_t: int, T: float, periodic: bool = False) -> npt.NDArray[np.float64]:
    """The nodal points of the continuous piecewise Lagrange basis with
    equidistant nodes on n_t intervals of [0, T].

    Parameters
    ----------
    degree : int
        Polynomial degree, >= 1.
    n_t : int
        Number of intervals, >= 1.
    T : float
        End of the time span, positive and finite.
    periodic : bool
        Leave out the last point (T, the same node as 0).

    Returns
    -------
    numpy.ndarray of float64, shape (n_t * degree + 1,) or (n_t * degree,) when periodic
        Equal, bit for bit, to ``pwpoly.get_lagrange_points(degree, n_t, T, periodic)``.
    """
    degree, n_t = _lagrange_sizes(degree, n_t)
    T = _checks.period(T)
    points: Any = _native.lagrange_points(degree, n_t, T, _checks.flag(periodic, "periodic"))  # a buffer
    return np.asarray(points, dtype=np.float64)
