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

    Raises
    ------
    ValueError
        For sizes out of range or a bad T.
    TypeError
        For sizes that are not integers, times of a dtype that does not
        convert to float64 safely or masked, or a derivative flag that is not
        a bool.
    ImportError
        Without scipy.
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


def prolongation_matrix(
    degree: int, nt_coarse: int, nt_fine: int, periodic: bool = False, basis: str = "lagrange"
) -> csr_array:
    """The prolongation from nt_coarse to nt_fine intervals of the same span.

    Parameters
    ----------
    degree : int
        Polynomial degree (first, unlike ``pwpoly.lagrange_prolongation_matrix``):
        from 1 to MAX_LAGRANGE_DEGREE for the Lagrange basis, >= 0 for the
        Legendre basis.
    nt_coarse, nt_fine : int
        Interval counts, >= 1 each; nt_fine may also be smaller than nt_coarse.
    periodic : bool
        Lagrange only: periodic bases (the node at T is node 0).
    basis : {"lagrange", "legendre"}
        What the matrix maps: nodal values of the continuous piecewise
        Lagrange basis, or Legendre coefficients (index ``j + n_t * i``).

    Returns
    -------
    scipy.sparse.csr_array
        Lagrange: shape (fine points, coarse points) with ``nt * degree + 1``
        points per basis (``nt * degree`` when periodic), the true shape even
        where the last rows or columns hold no entry; the stored entries are
        exactly those of ``pwpoly.lagrange_prolongation_matrix(nt_coarse,
        nt_fine, degree, periodic)``, explicit zeros included (call
        ``eliminate_zeros()`` to drop them).
        Legendre: shape ((degree + 1) * nt_fine, (degree + 1) * nt_coarse);
        when nt_fine is a multiple of nt_coarse the exact re-expansion of
        every coarse P_i on the fine intervals (each entry the double nearest
        to the exact coefficient, the entries with k <= i all stored),
        otherwise the L2 projection onto the fine mesh (coarse polynomials cut
        at the coarse nodes, each piece integrated by Gauss-Legendre).
        Needs scipy.

    Raises
    ------
    ValueError
        For sizes out of range, an unknown basis, or periodic=True with the Legendre basis.
    TypeError
        For sizes that are not integers or a periodic flag that is not a bool.
    """
    sparse = _scipy_sparse("prolongation_matrix")
    basis = _basis(basis)
    periodic = _checks.flag(periodic, "periodic")
    if basis == "legendre":
        if periodic:
            raise ValueError("periodic=True needs basis='lagrange': the Legendre basis has no shared nodes")
        degree, nt_coarse, nt_fine = _transfer_sizes(degree, nt_coarse, nt_fine)
        return _from_native(sparse, _native.legendre_transfer(degree, nt_coarse, nt_fine, False))
    degree, nt_coarse = _lagrange_sizes(degree, nt_coarse, "nt_coarse")
    _, nt_fine = _lagrange_sizes(degree, nt_fine, "nt_fine")
    return _from_native(sparse, _native.prolongation(degree, nt_coarse, nt_fine, periodic))


def _transfer_sizes(degree: int, nt_coarse: int, nt_fine: int) -> tuple[int, int, int]:
    """The sizes of a Legendre transfer, each error naming the argument as the caller gave it."""
    degree = _checks.size(degree, "degree", 0)
    nt_coarse = _checks.size(nt_coarse, "nt_coarse", 1)
    nt_fine = _checks.size(nt_fine, "nt_fine", 1)
    _checks.check_items(max(nt_coarse, nt_fine) * (degree + 1) * (degree + 1), "the matrix")
    return degree, nt_coarse, nt_fine


def lagrange_to_legendre_matrix(degree: int, n_t: int, periodic: bool = False) -> csr_array:
    """The matrix from Lagrange nodal values to Legendre coefficients.

    It maps the nodal values of the continuous piecewise Lagrange basis to the
    coefficients of the piecewise Legendre expansion of the same function.

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

    Raises
    ------
    ValueError
        For a degree below 1 or above MAX_LAGRANGE_DEGREE, or n_t below 1.
    TypeError
        For sizes that are not integers or a periodic flag that is not a bool.
    ImportError
        Without scipy.
    """
    sparse = _scipy_sparse("lagrange_to_legendre_matrix")
    degree, n_t = _lagrange_sizes(degree, n_t)
    return _from_native(sparse, _native.lagrange_to_legendre(degree, n_t, _checks.flag(periodic, "periodic")))


def lagrange_points(degree: int, n_t: int, T: float, periodic: bool = False) -> npt.NDArray[np.float64]:
    """The nodal points of the continuous piecewise Lagrange basis.

    The basis has equidistant nodes on each of the n_t intervals of [0, T].

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

    Raises
    ------
    ValueError
        For a degree below 1 or above MAX_LAGRANGE_DEGREE, n_t below 1, or a bad T.
    TypeError
        For sizes that are not integers, a T that is not a real number, or a
        periodic flag that is not a bool.
    """
    degree, n_t = _lagrange_sizes(degree, n_t)
    T = _checks.period(T)
    points: Any = _native.lagrange_points(degree, n_t, T, _checks.flag(periodic, "periodic"))  # a buffer
    return np.asarray(points, dtype=np.float64)


_BASES = ("legendre", "lagrange")


def _basis(basis: object) -> str:
    if basis not in _BASES:
        raise ValueError(f"basis must be 'legendre' or 'lagrange', got {basis!r}")
    return str(basis)


def _operator_sizes(degree: int, n_t: int, basis: str, periodic: object) -> tuple[int, int, bool]:
    periodic = _checks.flag(periodic, "periodic")
    if basis == "lagrange":
        degree, n_t = _lagrange_sizes(degree, n_t)
    else:
        if periodic:
            raise ValueError("periodic=True needs basis='lagrange': the Legendre basis has no shared nodes")
        degree = _checks.size(degree, "degree", 0)
        n_t = _checks.size(n_t, "n_t", 1)
        _checks.check_items(n_t * (degree + 1) * (degree + 1), "the matrix")
    return degree, n_t, periodic


def mass_matrix(degree: int, n_t: int, T: float, basis: str = "legendre", periodic: bool = False) -> csr_array:
    """The mass matrix of the time basis: M[a, b] is the integral over [0, T] of phi_a phi_b.

    Parameters
    ----------
    degree : int
        Polynomial degree, >= 0 (>= 1 and at most MAX_LAGRANGE_DEGREE for the Lagrange basis).
    n_t : int
        Number of intervals of the uniform mesh of [0, T], >= 1.
    T : float
        End of the time span.
    basis : {"legendre", "lagrange"}
        The piecewise Legendre basis (index ``j + n_t * i`` for P_i on
        interval j), or the continuous piecewise Lagrange basis with
        equidistant nodes (numbered as :func:`lagrange_points` lists them).
    periodic : bool
        Lagrange only: the periodic basis (the node at T is node 0).

    Returns
    -------
    scipy.sparse.csr_array
        Legendre: diagonal, w / (2i + 1) with w = T / n_t. Lagrange: square of
        the number of nodes, assembled from the per-interval matrix (w / 2)
        times the exact integrals of the reference Lagrange polynomials
        (rounded once), contributions to shared nodes summed in interval
        order. Exact to rounding. Needs scipy.

    Raises
    ------
    ValueError
        For sizes out of range, a bad T, an unknown basis, or periodic=True with the Legendre basis.
    TypeError
        For a degree or count that is not an integer, a T that is not a real number, or a periodic flag that is not
        a bool.
    """
    sparse = _scipy_sparse("mass_matrix")
    basis = _basis(basis)
    degree, n_t, periodic = _operator_sizes(degree, n_t, basis, periodic)
    T = _checks.period(T)
    return _from_native(sparse, _native.mass(degree, n_t, T, basis == "lagrange", periodic))


def derivative_matrix(degree: int, n_t: int, T: float, basis: str = "legendre", periodic: bool = False) -> csr_array:
    """The derivative matrix of the time basis: C[a, b] is the integral over [0, T] of phi_a phi_b'.

    So ``C @ u`` tests the time derivative of u against every basis function.
    The entries do not depend on T (the factor 2 / w of the derivative cancels
    the w / 2 of the integral); T is taken for the symmetry of the calls and
    checked like everywhere else.

    Parameters
    ----------
    degree, n_t, T, basis, periodic
        As for :func:`mass_matrix`.

    Returns
    -------
    scipy.sparse.csr_array
        Legendre: block diagonal with the integers 2 where the column's degree
        exceeds the row's by an odd number (the integral of P_a P_b' over
        [-1, 1]); only these are stored. As everywhere in the Legendre
        numbering, rows are ordered by degree, so the first ``p * n_t`` rows
        test with the functions of degree < p (the test space of continuous
        Galerkin of degree p in time). Lagrange: the global continuous
        matrix, assembled like the mass matrix from the exact per-interval
        integrals (rounded once), with the mass matrix's pattern (entries that
        happen to be 0 are stored). Needs scipy.

    Raises
    ------
    ValueError
        As for :func:`mass_matrix`.
    TypeError
        As for :func:`mass_matrix`.
    """
    sparse = _scipy_sparse("derivative_matrix")
    basis = _basis(basis)
    degree, n_t, periodic = _operator_sizes(degree, n_t, basis, periodic)
    T = _checks.period(T)
    return _from_native(sparse, _native.derivative(degree, n_t, T, basis == "lagrange", periodic))


def endpoint_matrices(degree: int, n_t: int) -> tuple[csr_array, csr_array]:
    """The values of the Legendre basis at both ends of every interval.

    Parameters
    ----------
    degree : int
        Polynomial degree, >= 0.
    n_t : int
        Number of intervals, >= 1.

    Returns
    -------
    at_start, at_end : scipy.sparse.csr_array, shape (n_t, (degree + 1) * n_t) each
        ``at_start @ c`` gives the limits from the right at the start of every
        interval ((-1)**i in column ``j + n_t * i`` of row j), ``at_end @ c``
        the limits from the left at their ends (1 there): what
        :meth:`Expansion.endpoint_values` computes. The upwind coupling of
        discontinuous Galerkin in time is ``at_start.T @ (at_start - S @
        at_end)`` with S the shift by one interval (:func:`upwind_matrix`).
        Needs scipy.

    Raises
    ------
    ValueError
        For sizes out of range.
    TypeError
        For sizes that are not integers.
    """
    sparse = _scipy_sparse("endpoint_matrices")
    degree, n_t, _ = _operator_sizes(degree, n_t, "legendre", False)
    at_start, at_end = _native.endpoints(degree, n_t)
    return _from_native(sparse, at_start), _from_native(sparse, at_end)


def upwind_matrix(degree: int, n_t: int, periodic: bool = False) -> csr_array:
    """The upwind coupling of discontinuous Galerkin in time, ``at_start.T @ (at_start - S @ at_end)``.

    Parameters
    ----------
    degree : int
        Polynomial degree, >= 0.
    n_t : int
        Number of intervals, >= 1.
    periodic : bool
        S shifts by one interval: (S x)[j] = x[j - 1], and (S x)[0] = 0, or
        x[n_t - 1] when periodic (interval 0 couples to the end of the last).

    Returns
    -------
    scipy.sparse.csr_array, shape ((degree + 1) * n_t, (degree + 1) * n_t)
        Exactly that product: entry (-1)**(a + b) between degrees a and b of
        the same interval, -(-1)**a between degree a of interval j and degree
        b of interval j - 1 (the two summed when periodic with one interval).
        Needs scipy.

    Raises
    ------
    ValueError
        For sizes out of range.
    TypeError
        For sizes that are not integers or a periodic flag that is not a bool.
    """
    sparse = _scipy_sparse("upwind_matrix")
    periodic = _checks.flag(periodic, "periodic")
    degree, n_t, _ = _operator_sizes(degree, n_t, "legendre", False)
    return _from_native(sparse, _native.upwind(degree, n_t, periodic))


def restriction_matrix(degree: int, nt_coarse: int, nt_fine: int) -> csr_array:
    """The L2 projection of Legendre coefficients from nt_fine intervals onto nt_coarse intervals.

    R = M_c^-1 P^T M_f, with P the Legendre prolongation
    (``prolongation_matrix(degree, nt_coarse, nt_fine, basis="legendre")``)
    and M_c, M_f the diagonal mass matrices of the two meshes. R u is the
    coarse expansion nearest in L2 to the fine expansion u: R restricts
    solutions (coefficient vectors, initial guesses, iterates). A residual
    b - A u is a functional (entry a is an integral against fine basis
    function a) and is restricted by P^T, as is the operator (P^T A P);
    restricting residuals with R instead slows a two-grid method down (the
    space-time page of the guide shows both).

    R after P: when nt_fine is a multiple of nt_coarse (nested meshes), P is
    the exact re-expansion and R P is the identity (to rounding). Otherwise
    P is itself the L2 projection onto the fine mesh and R P =
    M_c^-1 P^T M_f P is the composition of two L2 projections, coarse to fine
    and back. It is self-adjoint in the L2 inner product, a contraction (the
    L2 norm of R P u is at most that of u), its eigenvalues lie in [0, 1] and
    are 1 exactly on what both spaces contain (the expansions on the mesh of
    gcd(nt_coarse, nt_fine) intervals, such as the polynomials of the degree
    on all of [0, T]), but it is in general not a projection:
    (R P)^2 differs from R P (by up to 0.11 in an entry for degree 3 from 2
    to 3 intervals). Only when nt_coarse is a multiple of nt_fine, so that
    the fine space lies within the coarse one, is R P a projection, the L2
    projection onto the fine space. (For the Lagrange basis the Galerkin
    restriction of residuals is P^T itself: ``prolongation_matrix(...).T``.)

    Parameters
    ----------
    degree : int
        Polynomial degree, >= 0.
    nt_coarse, nt_fine : int
        Interval counts, >= 1 each (the same argument order as the prolongation).

    Returns
    -------
    scipy.sparse.csr_array, shape ((degree + 1) * nt_coarse, (degree + 1) * nt_fine)
        Entry ``P[f, c] * (w_f / (2k + 1)) / (w_c / (2i + 1))`` for the
        prolongation's entry P[f, c] between degree i on coarse interval c and
        degree k on fine interval f. Needs scipy.

    Raises
    ------
    ValueError
        For sizes out of range.
    TypeError
        For sizes that are not integers.
    """
    sparse = _scipy_sparse("restriction_matrix")
    degree, nt_coarse, nt_fine = _transfer_sizes(degree, nt_coarse, nt_fine)
    return _from_native(sparse, _native.legendre_transfer(degree, nt_coarse, nt_fine, True))
