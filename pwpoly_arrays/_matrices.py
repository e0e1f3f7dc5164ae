"""The sparse matrices and the Lagrange points, built natively."""

from __future__ import annotations

import numbers
from types import ModuleType
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    from scipy.sparse import csr_array

from . import _checks
from ._mesh import MeshLike, TimeMesh, is_count, mesh_of, takes_mesh
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


@takes_mesh
def collocation_matrix(degree: int, mesh: MeshLike, t: npt.ArrayLike, derivative: bool = False) -> csr_array:
    """The collocation matrix of the piecewise Legendre basis at the times t.

    Parameters
    ----------
    degree : int
        Polynomial degree on each interval, >= 0.
    mesh : TimeMesh or array_like
        The mesh, or its breakpoints; ``n_t, T`` in its place (two
        arguments) is the uniform mesh of [0, T].
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
        entries are those of the expansion's evaluation (on the uniform mesh
        of [0, T], bit for bit those of
        ``pwpoly.LegendreBasis(degree, n_t, T).evaluate_all_basis_functions``
        and ``evaluate_all_basis_function_derivatives``). Indices are int32
        when they fit, else int64. Needs scipy (``pwpoly[sparse]``).

    Raises
    ------
    ValueError
        For sizes out of range, a bad mesh, or a NaN time (it lies in no
        interval; the message gives its position in ``t.ravel()``).
    TypeError
        For sizes that are not integers, times of a dtype that does not
        convert to float64 safely or masked, or a derivative flag that is not
        a bool.
    ImportError
        Without scipy.
    """
    sparse = _scipy_sparse("collocation_matrix")
    degree = _checks.size(degree, "degree")
    m = mesh_of(mesh)
    derivative = _checks.flag(derivative, "derivative")
    times = _checks.float64_array(t, "t")
    _checks.check_items(m.n_t * (degree + 1), "the collocation matrix's columns")
    _checks.check_items(times.size * (degree + 1), "the collocation matrix's entries")
    return _from_native(sparse, _native.collocation(degree, m._core, times, derivative))


def _count_of(mesh: object, name: str = "n_t") -> int:
    """The interval count of a mesh, or an interval count itself."""
    if is_count(mesh):
        return _checks.size(mesh, name)
    return mesh_of(mesh).n_t


def _transfer_meshes(coarse: object, fine: object) -> tuple[TimeMesh, TimeMesh]:
    """Two meshes, or two interval counts (uniform meshes of [0, 1]: the
    transfers between uniform meshes of one span do not depend on it)."""
    counts = [is_count(m) or isinstance(m, numbers.Number) for m in (coarse, fine)]
    if all(counts):
        # Checked here: the mesh would refuse a count of 0 as n_t, not under these names.
        nt_coarse = _checks.at_least(_checks.size(coarse, "nt_coarse"), "nt_coarse", 1)
        nt_fine = _checks.at_least(_checks.size(fine, "nt_fine"), "nt_fine", 1)
        return TimeMesh.uniform(nt_coarse, 1.0), TimeMesh.uniform(nt_fine, 1.0)
    if any(counts):
        raise TypeError(
            "coarse and fine must both be interval counts (nt_coarse, nt_fine) or both meshes, got "
            f"{type(coarse).__name__} and {type(fine).__name__}"
        )
    return mesh_of(coarse, "coarse"), mesh_of(fine, "fine")


def _matrix_degree(degree: int, n_t: int) -> int:
    """The degree of a matrix on n_t intervals (the native entry checks its
    range), refused here only when the up to (degree + 1)^2 entries per
    interval could not be held in an array."""
    degree = _checks.size(degree, "degree")
    _checks.check_items(n_t * (degree + 1) * (degree + 1), "the matrix")
    return degree


def _transfer(degree: int, coarse: object, fine: object) -> tuple[int, _native.TimeMesh, _native.TimeMesh]:
    """The degree and the two native meshes of a transfer between meshes."""
    coarse_mesh, fine_mesh = _transfer_meshes(coarse, fine)
    degree = _matrix_degree(degree, max(coarse_mesh.n_t, fine_mesh.n_t))
    return degree, coarse_mesh._core, fine_mesh._core


def prolongation_matrix(
    degree: int, coarse: MeshLike | int, fine: MeshLike | int, periodic: bool = False, basis: str = "lagrange"
) -> csr_array:
    """The prolongation from a coarse to a fine mesh of the same span.

    Parameters
    ----------
    degree : int
        Polynomial degree (first, unlike ``pwpoly.lagrange_prolongation_matrix``):
        from 1 to MAX_LAGRANGE_DEGREE for the Lagrange basis, >= 0 for the
        Legendre basis.
    coarse, fine : TimeMesh, array_like or int
        Two meshes (or their breakpoints) with the same first and last
        breakpoint, or two interval counts nt_coarse and nt_fine (>= 1 each)
        for uniform meshes of one span. The fine mesh may also be the
        coarser one. The Lagrange prolongation between meshes that are not
        both uniform needs nested meshes: every coarse breakpoint a fine
        breakpoint, bit for bit.
    periodic : bool
        Lagrange only: periodic bases (the node at T is node 0).
    basis : {"lagrange", "legendre"}
        What the matrix maps: nodal values of the continuous piecewise
        Lagrange basis, or Legendre coefficients (index ``j + n_t * i``).

    Returns
    -------
    scipy.sparse.csr_array
        Lagrange: shape (fine points, coarse points) with ``n_t * degree + 1``
        points per basis (``n_t * degree`` when periodic), the true shape
        even where the last rows or columns hold no entry. Row r holds the
        coarse basis functions at fine node r (exact zeros are not stored;
        other entries are, however small). Between uniform meshes the stored
        entries are exactly those of
        ``pwpoly.lagrange_prolongation_matrix(nt_coarse, nt_fine, degree,
        periodic)``; between other (nested) meshes each fine node's coarse
        coordinate is computed from the breakpoints in double-double and
        rounded once.
        Legendre: shape ((degree + 1) * fine.n_t, (degree + 1) * coarse.n_t);
        on nested meshes (between uniform meshes: when nt_fine is a multiple
        of nt_coarse) the exact re-expansion of every coarse P_i on the fine
        intervals (each entry the double nearest to the exact coefficient,
        the entries with k <= i all stored), otherwise the L2 projection onto
        the fine mesh (coarse polynomials cut at the coarse breakpoints, each
        piece integrated by Gauss-Legendre). Needs scipy.

    Raises
    ------
    ValueError
        For sizes out of range, an unknown basis, periodic=True with the
        Legendre basis, meshes of different spans, or Lagrange meshes that
        are not nested.
    TypeError
        For a count and a mesh mixed, sizes that are not integers or a
        periodic flag that is not a bool.
    """
    sparse = _scipy_sparse("prolongation_matrix")
    lagrange, periodic = _basis(basis, periodic)
    degree, coarse_core, fine_core = _transfer(degree, coarse, fine)
    if lagrange:
        return _from_native(sparse, _native.prolongation(degree, coarse_core, fine_core, periodic))
    return _from_native(sparse, _native.legendre_transfer(degree, coarse_core, fine_core, False))


def lagrange_to_legendre_matrix(degree: int, mesh: MeshLike | int, periodic: bool = False) -> csr_array:
    """The matrix from Lagrange nodal values to Legendre coefficients.

    It maps the nodal values of the continuous piecewise Lagrange basis to the
    coefficients of the piecewise Legendre expansion of the same function.

    Parameters
    ----------
    degree : int
        Polynomial degree, >= 1.
    mesh : TimeMesh, array_like or int
        The mesh (or its breakpoints), or its number of intervals n_t >= 1:
        the matrix depends on n_t only.
    periodic : bool
        Periodic Lagrange basis (the node at the end is node 0).

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
    n_t = _count_of(mesh)
    degree = _matrix_degree(degree, n_t)
    return _from_native(sparse, _native.lagrange_to_legendre(degree, n_t, _checks.flag(periodic, "periodic")))


@takes_mesh
def lagrange_points(degree: int, mesh: MeshLike, periodic: bool = False) -> npt.NDArray[np.float64]:
    """The nodal points of the continuous piecewise Lagrange basis.

    The basis has equidistant nodes inside each interval of the mesh.

    Parameters
    ----------
    degree : int
        Polynomial degree, >= 1.
    mesh : TimeMesh or array_like
        The mesh, or its breakpoints; ``n_t, T`` in its place (two
        arguments) is the uniform mesh of [0, T].
    periodic : bool
        Leave out the last point (the end, the same node as the start).

    Returns
    -------
    numpy.ndarray of float64, shape (n_t * degree + 1,) or (n_t * degree,) when periodic
        On interval j with ends a and b (see :meth:`TimeMesh.uniform` for
        those of a uniform mesh), node i < degree is
        ``((i * (b - a)) / degree) + a``; the last point is the end of the
        mesh. On the uniform mesh of [0, T] equal, bit for bit, to
        ``pwpoly.get_lagrange_points(degree, n_t, T, periodic)``.

    Raises
    ------
    ValueError
        For a degree below 1 or above MAX_LAGRANGE_DEGREE, or a bad mesh.
    TypeError
        For sizes that are not integers, a mesh of the wrong type, or a
        periodic flag that is not a bool.
    """
    m = mesh_of(mesh)
    degree = _matrix_degree(degree, m.n_t)
    _checks.lagrange_degree(degree)  # the native entry has no such limit
    points: Any = _native.lagrange_points(degree, m._core, _checks.flag(periodic, "periodic"))  # a buffer
    return np.asarray(points, dtype=np.float64)


_BASES = ("legendre", "lagrange")


def _basis(basis: object, periodic: object) -> tuple[bool, bool]:
    """Whether `basis` names the Lagrange basis, and the periodic flag, which
    the Legendre basis has no use for. (The native entries know the basis as
    a flag and would not name `basis`.)"""
    if basis not in _BASES:
        raise ValueError(f"basis must be 'legendre' or 'lagrange', got {basis!r}")
    periodic = _checks.flag(periodic, "periodic")
    if basis == "legendre" and periodic:
        raise ValueError("periodic=True needs basis='lagrange': the Legendre basis has no shared nodes")
    return basis == "lagrange", periodic


@takes_mesh
def mass_matrix(degree: int, mesh: MeshLike, basis: str = "legendre", periodic: bool = False) -> csr_array:
    """The mass matrix of the time basis: M[a, b] is the integral over the mesh of phi_a phi_b.

    Parameters
    ----------
    degree : int
        Polynomial degree, >= 0 (>= 1 and at most MAX_LAGRANGE_DEGREE for the Lagrange basis).
    mesh : TimeMesh or array_like
        The mesh, or its breakpoints; ``n_t, T`` in its place (two
        arguments) is the uniform mesh of [0, T].
    basis : {"legendre", "lagrange"}
        The piecewise Legendre basis (index ``j + n_t * i`` for P_i on
        interval j), or the continuous piecewise Lagrange basis with
        equidistant nodes (numbered as :func:`lagrange_points` lists them).
    periodic : bool
        Lagrange only: the periodic basis (the node at T is node 0).

    Returns
    -------
    scipy.sparse.csr_array
        Legendre: diagonal, h_j / (2i + 1) for P_i on interval j.
        Lagrange: square of the number of nodes, assembled from the
        per-interval matrices (h_j / 2) times the exact integrals of the
        reference Lagrange polynomials (rounded once), contributions to
        shared nodes summed in interval order. On a uniform mesh h_j is the
        rounded width w = (T - start) / n_t and each product or quotient is
        rounded as written; on any other mesh h_j is the exact
        b_(j+1) - b_j and each entry is the nearest double to the exact
        product or quotient. Needs scipy.

    Raises
    ------
    ValueError
        For sizes out of range, a bad mesh, an unknown basis, or periodic=True with the Legendre basis.
    TypeError
        For a degree that is not an integer, a mesh of the wrong type, or a periodic flag that is not a bool.
    """
    sparse = _scipy_sparse("mass_matrix")
    lagrange, periodic = _basis(basis, periodic)
    m = mesh_of(mesh)
    degree = _matrix_degree(degree, m.n_t)
    return _from_native(sparse, _native.mass(degree, m._core, lagrange, periodic))


@takes_mesh
def derivative_matrix(degree: int, mesh: MeshLike, basis: str = "legendre", periodic: bool = False) -> csr_array:
    """The derivative matrix of the time basis: C[a, b] is the integral over the mesh of phi_a phi_b'.

    So ``C @ u`` tests the time derivative of u against every basis function.
    The entries do not depend on the widths (the factor 2 / h_j of the
    derivative cancels the h_j / 2 of the integral); the mesh is taken for
    the symmetry of the calls and checked like everywhere else.

    Parameters
    ----------
    degree, mesh, basis, periodic
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
    lagrange, periodic = _basis(basis, periodic)
    n_t = mesh_of(mesh).n_t
    degree = _matrix_degree(degree, n_t)
    return _from_native(sparse, _native.derivative(degree, n_t, lagrange, periodic))


def endpoint_matrices(degree: int, mesh: MeshLike | int) -> tuple[csr_array, csr_array]:
    """The values of the Legendre basis at both ends of every interval.

    Parameters
    ----------
    degree : int
        Polynomial degree, >= 0.
    mesh : TimeMesh, array_like or int
        As for :func:`lagrange_to_legendre_matrix`.

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
    n_t = _count_of(mesh)
    degree = _matrix_degree(degree, n_t)
    at_start, at_end = _native.endpoints(degree, n_t)
    return _from_native(sparse, at_start), _from_native(sparse, at_end)


def upwind_matrix(degree: int, mesh: MeshLike | int, periodic: bool = False) -> csr_array:
    """The upwind coupling of discontinuous Galerkin in time, ``at_start.T @ (at_start - S @ at_end)``.

    Parameters
    ----------
    degree : int
        Polynomial degree, >= 0.
    mesh : TimeMesh, array_like or int
        As for :func:`lagrange_to_legendre_matrix`.
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
    n_t = _count_of(mesh)
    degree = _matrix_degree(degree, n_t)
    return _from_native(sparse, _native.upwind(degree, n_t, periodic))


def restriction_matrix(degree: int, coarse: MeshLike | int, fine: MeshLike | int) -> csr_array:
    """The L2 projection of Legendre coefficients from the fine onto the coarse mesh.

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
    coarse, fine : TimeMesh, array_like or int
        As for :func:`prolongation_matrix` (the same argument order).

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
    degree, coarse_core, fine_core = _transfer(degree, coarse, fine)
    return _from_native(sparse, _native.legendre_transfer(degree, coarse_core, fine_core, True))
