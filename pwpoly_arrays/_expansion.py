"""The Expansion class: a piecewise Legendre expansion on a time mesh, of one
or many components; the Gauss-Legendre rule of a mesh and the L2 projection."""

from __future__ import annotations

import math
import numbers
from typing import TYPE_CHECKING, Any, overload

import numpy as np
import numpy.typing as npt

from . import _checks
from ._mesh import MeshLike, TimeMesh, mesh_of, takes_mesh
from ._native_loader import load_native

if TYPE_CHECKING:
    from . import _native
else:
    _native = load_native()

FloatArray = npt.NDArray[np.float64]


class Expansion:
    """A piecewise Legendre expansion on a time mesh.

    Parameters
    ----------
    coefficients : array_like, shape ``(degree + 1, n_t, *value_shape)``
        ``coefficients[i, j]`` multiplies the Legendre polynomial P_i on
        interval j. A 2-D array is one scalar function of time; trailing axes
        hold many functions at once (for example one per spatial unknown of a
        space-time solver), all on the same mesh. The C-order flattening of a
        2-D array is pwpoly's coefficient layout (index ``j + n_t * i``).
        float64; other dtypes are converted when the cast is safe (integers,
        float32, ...), anything else is a TypeError. The array is copied:
        later changes to it do not affect the expansion.
    mesh : TimeMesh, array_like or float
        The mesh of n_t intervals: a :class:`TimeMesh`, a 1-D array of its
        n_t + 1 breakpoints, or a number T for the uniform mesh of [0, T]
        (positive, at most 2**1000, and with T / n_t at least 2**-1000).

    Raises
    ------
    ValueError
        Coefficients with fewer than 2 axes, no row or no column, a mesh with
        another number of intervals than the coefficients' n_t, or a bad mesh
        (see :class:`TimeMesh`).
    TypeError
        Coefficients of a dtype that does not convert to float64 safely, a
        masked array, or a mesh of the wrong type.

    Notes
    -----
    ``e(t, out=None)`` gives the values and ``e.derivative(t, out=None)`` the
    time derivatives at the times ``t``, of shape ``t.shape + value_shape``:
    a float for a scalar ``t`` (a Python or numpy number) of a scalar
    expansion, a new float64 array otherwise, or ``out`` filled and returned.
    ``out`` must be a writable float64 ndarray of that shape (any memory
    layout); for a scalar expansion it may be ``t`` itself (``e(t, out=t)``
    evaluates in place), but it must not share memory with ``t`` in any other
    way. Masked arrays are refused (TypeError): their masks would be ignored.

    Interval j is [b_j, b_(j+1)), the last one closed: a time on an interior
    breakpoint belongs to the interval on its right; times before the start
    evaluate in the first interval, times at or after the end in the last,
    with the local coordinate clamped to [-1, 1] (see :class:`TimeMesh` for
    how each kind of mesh locates a time). A NaN time gives NaN in every
    component. Derivatives are taken with respect to t: the derivative of
    the local expansion times 2 / h_j. The values at both ends of every
    interval, limits included, come from :meth:`endpoint_values`.

    On the uniform mesh of [0, T], every component is bit for bit what
    ``pwpoly.LegendreBasisEvaluator``'s ``evaluate_many`` /
    ``evaluate_derivative_many`` give for that component's coefficients on
    the same times (except at NaN times, which pwpoly evaluates in the first
    interval). Large inputs are spread over pwpoly's worker pool (one pool
    per process, shared with pwpoly), and the interpreter lock is released
    while they run.

    Expansions are immutable: ``degree``, ``n_t``, ``mesh``, ``T``,
    ``value_shape`` and ``coefficients`` are read-only, any number of threads
    may evaluate one expansion at the same time (also without the
    interpreter lock), and expansions are hashable and picklable (for
    multiprocessing, dask, ...). Two expansions are equal when their shapes,
    meshes and every coefficient are the same bits (so equal expansions give
    identical results; 0.0 and -0.0 differ).

    Examples
    --------
    >>> import numpy as np, pwpoly_arrays
    >>> e = pwpoly_arrays.Expansion([[10.0, 30.0], [20.0, 40.0]], 2.0)
    >>> e(0.5), e(np.array([0.5, 1.5]))
    (10.0, array([10., 30.]))
    >>> v = pwpoly_arrays.Expansion(np.ones((1, 2, 3)), 2.0)  # three constant components
    >>> v.value_shape, v([0.5, 1.5]).shape
    ((3,), (2, 3))
    >>> g = pwpoly_arrays.Expansion([[1.0, 2.0]], [-1.0, 0.0, 3.0])  # breakpoints
    >>> g(np.array([-0.5, 0.0, 2.0]))
    array([1., 2., 2.])
    """

    __slots__ = ("_core", "_coefficients", "_mesh")
    _core: _native.Expansion
    _coefficients: FloatArray
    _mesh: TimeMesh

    def __new__(cls, coefficients: npt.ArrayLike, mesh: MeshLike | float) -> Expansion:
        c = _checks.float64_array(coefficients, "coefficients")
        if c.ndim < 2:
            raise ValueError(
                f"coefficients must have shape (degree + 1, n_t, *value_shape), at least 2-D, got shape {c.shape}"
            )
        rows, n_t = c.shape[:2]
        if rows == 0:
            raise ValueError(f"coefficients must have at least one row (degree + 1 >= 1), got shape {c.shape}")
        if n_t == 0:
            raise ValueError(f"coefficients must have at least one column (n_t >= 1), got shape {c.shape}")
        m = _mesh_for(mesh, n_t, f"coefficients of shape {c.shape}")
        components = math.prod(c.shape[2:])
        return cls._from_native(_native.Expansion(c, rows - 1, m._core, components), c.shape, m)

    @classmethod
    def _from_native(cls, core: _native.Expansion, shape: tuple[int, ...], mesh: TimeMesh) -> Expansion:
        self = object.__new__(cls)
        # A read-only view of the native copy: numpy refuses to make it
        # writable again, since the exporting buffer is read-only.
        exported = memoryview(core)  # type: ignore[arg-type]
        view = np.frombuffer(exported, dtype=np.float64).reshape(shape)
        object.__setattr__(self, "_core", core)
        object.__setattr__(self, "_coefficients", view)
        object.__setattr__(self, "_mesh", mesh)
        return self

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError(f"Expansion is immutable: cannot set {name!r}")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"Expansion is immutable: cannot delete {name!r}")

    @property
    def degree(self) -> int:
        """int: The polynomial degree on each interval, coefficients.shape[0] - 1."""
        return int(self._coefficients.shape[0]) - 1

    @property
    def n_t(self) -> int:
        """int: The number of intervals of the mesh, coefficients.shape[1]."""
        return int(self._coefficients.shape[1])

    @property
    def mesh(self) -> TimeMesh:
        """TimeMesh: The mesh (for a number T given in its place, the uniform mesh of [0, T])."""
        return self._mesh

    @property
    def T(self) -> float:
        """float: The end of the mesh (T of the uniform mesh of [0, T])."""
        return self._mesh.end

    @property
    def value_shape(self) -> tuple[int, ...]:
        """tuple of int: The shape of one value, () for a scalar expansion and coefficients.shape[2:] in general."""
        return tuple(self._coefficients.shape[2:])

    @property
    def coefficients(self) -> FloatArray:
        """numpy.ndarray: The coefficients, of shape ``(degree + 1, n_t, *value_shape)``, read-only.

        A view of the expansion's own copy, not a copy of its own.
        """
        return self._coefficients

    @overload
    def __call__(self, t: float, out: None = None) -> float | FloatArray: ...
    @overload
    def __call__(self, t: npt.ArrayLike, out: FloatArray | None = None) -> FloatArray: ...

    def __call__(self, t: npt.ArrayLike, out: FloatArray | None = None) -> float | FloatArray:
        """The values of the expansion at the times t.

        Parameters
        ----------
        t : float or array_like
            The times, any shape; float64, or a dtype that converts to it
            safely.
        out : numpy.ndarray, optional
            A writable float64 array of shape ``t.shape + value_shape`` (any
            memory layout) to fill and return; for a scalar expansion it may
            be ``t`` itself.

        Returns
        -------
        float or numpy.ndarray
            A float for a scalar ``t`` (a Python or numpy number) of a scalar
            expansion; otherwise a float64 array of shape
            ``t.shape + value_shape`` (``out`` when given).

        Raises
        ------
        TypeError
            ``t`` of a dtype that does not convert to float64 safely, a masked
            array, or an ``out`` that is not a float64 ndarray.
        ValueError
            An ``out`` of the wrong shape, read-only, or sharing memory with
            ``t`` without being ``t``.
        KeyboardInterrupt
            Ctrl-C during a long evaluation (``out`` may then hold part of the
            results).
        """
        if out is None and isinstance(t, float) and self._coefficients.ndim == 2:
            return self._core.evaluate(t, False)
        return self._evaluate(t, out, False)

    @overload
    def derivative(self, t: float, out: None = None) -> float | FloatArray: ...
    @overload
    def derivative(self, t: npt.ArrayLike, out: FloatArray | None = None) -> FloatArray: ...

    def derivative(self, t: npt.ArrayLike, out: FloatArray | None = None) -> float | FloatArray:
        """The time derivatives of the expansion at the times t.

        Parameters
        ----------
        t : float or array_like
            The times, as for :meth:`__call__`.
        out : numpy.ndarray, optional
            Filled with the derivatives and returned, as for :meth:`__call__`.

        Returns
        -------
        float or numpy.ndarray
            The derivatives, of the type and shape :meth:`__call__` gives.

        Raises
        ------
        TypeError, ValueError, KeyboardInterrupt
            Where :meth:`__call__` raises them.
        """
        if out is None and isinstance(t, float) and self._coefficients.ndim == 2:
            return self._core.evaluate(t, True)
        return self._evaluate(t, out, True)

    def _evaluate(self, t: npt.ArrayLike, out: FloatArray | None, derivative: bool) -> float | FloatArray:
        times = _checks.float64_array(t, "t")
        shape = times.shape + self.value_shape
        if out is None:
            if times.ndim == 0 and not isinstance(t, np.ndarray) and self._coefficients.ndim == 2:
                return self._core.evaluate(float(times), derivative)
            result = np.empty(shape)
            self._core.evaluate_into(times, result, derivative)
            return result
        _checks.check_out(out, shape, times, self.value_shape)
        self._core.evaluate_into(times, out, derivative)
        return out

    def endpoint_values(self) -> tuple[FloatArray, FloatArray]:
        """The values at both ends of every interval, as one-sided limits.

        Returns
        -------
        at_start, at_end : numpy.ndarray, shape ``(n_t, *value_shape)`` each
            ``at_start[j]`` is the limit from the right at the start of
            interval j, the sum of ``(-1)**i * coefficients[i, j]``;
            ``at_end[j]`` the limit from the left at its end, the sum of
            ``coefficients[i, j]``; both summed in increasing i starting from
            -0.0, so they are exactly what the evaluation gives at the local
            coordinates -1 and 1. The jumps at the interior nodes are
            ``at_start[1:] - at_end[:-1]``, and ``at_end[j]`` is the left
            limit at node j + 1 whatever rounding does to a time there.

        Raises
        ------
        MemoryError
            The result cannot be allocated.
        """
        start, end = self._core.endpoint_values()
        shape = (self.n_t, *self.value_shape)
        return np.asarray(start).reshape(shape), np.asarray(end).reshape(shape)

    def integral(self) -> float | FloatArray:
        """The integral of the expansion over the whole mesh, correctly rounded.

        Returns
        -------
        float or numpy.ndarray
            A float for a scalar expansion, else an array of shape
            value_shape: for every component the nearest double (ties to
            even) to the exact integral, the sum over j of h_j times the
            coefficient of P_0 on interval j, with the widths h_j taken
            exactly as the mesh gives them (b_(j+1) - b_j, or
            (T - start) / n_t on a uniform mesh), not rounded first. An exact
            zero gives +0.0, and the result is infinite only where the exact
            integral overflows. A component with a coefficient of P_0 that
            is not finite gives NaN if one is NaN or both infinities occur,
            and that infinity otherwise. (A compensated sum with an error
            bound decides the rounding; when it cannot, the exact value is
            formed with big integers.)

        Raises
        ------
        MemoryError
            The result cannot be allocated.
        """
        values = np.asarray(self._core.integral())
        return float(values[0]) if self._coefficients.ndim == 2 else values.reshape(self.value_shape)

    def antiderivative(self) -> Expansion:
        """The antiderivative that is 0 at the start of the mesh and integral() at its end, to rounding.

        Returns
        -------
        Expansion
            Of degree + 1 on the same mesh. On interval j, with
            h = 0.5 * w_j and w_j the nearest double to the interval's width
            as the mesh gives it (T / n_t on the uniform mesh of [0, T]), the
            coefficient of P_i for i >= 1 is
            ``h * (c[i - 1, j] / (2i - 1) - c[i + 1, j] / (2i + 3))`` (the
            second quotient left out when i + 1 > degree), each quotient, the
            difference and the product rounded in that order; it is the
            integral of P_n, (P_(n+1) - P_(n-1)) / (2n + 1), and P_0 + P_1 for
            P_0. The coefficient of P_0 is the nearest double to
            ``K[j + 1] - (F[1, j] + ... + F[degree + 1, j])`` computed
            exactly, where ``K[j + 1]`` is the nearest double to the exact
            integral over [b_0, b_(j+1)] (so ``K[n_t]`` is :meth:`integral`).
            Hence, for the exact values of these polynomials (u = 2**-53,
            ulp(x) the gap from abs(x) to the next larger double):

            * at the end b_n, the sum of the last interval's coefficients is within
              ulp(F[0, -1]) / 2 of :meth:`integral` (no other double F[0, -1]
              comes closer), and likewise at every breakpoint from the left
              with the integral up to there;
            * at the start b_0, abs(F) <= u (abs(F[0, 0]) + abs(K[1])) + 2**-50
              h_0 times the sum over even i of abs(c[i, 0]), with h_0 the
              first width;
            * the derivative has the coefficients of this expansion to
              rounding.

            Evaluating the result adds the rounding of its own sums.

        Raises
        ------
        MemoryError
            The result cannot be allocated.
        """
        coefficients = np.asarray(self._core.antiderivative()).reshape((self.degree + 2, self.n_t, *self.value_shape))
        return Expansion(coefficients, self._mesh)

    @classmethod
    def from_nodal_values(
        cls, values: npt.ArrayLike, degree: int, mesh: MeshLike | float, periodic: bool = False
    ) -> Expansion:
        """The expansion that interpolates nodal values of the continuous piecewise Lagrange basis.

        Parameters
        ----------
        values : array_like, shape ``(n_nodes, *value_shape)``
            The values at the nodes of ``lagrange_points(degree, mesh,
            periodic)``: n_nodes = degree * n_t + 1, or degree * n_t when
            periodic.
        degree : int
            Polynomial degree, from 1 to MAX_LAGRANGE_DEGREE.
        mesh : TimeMesh, array_like or float
            The mesh (a TimeMesh or its breakpoints), or a number T for the
            uniform mesh of [0, T] with the n_t that n_nodes gives.
        periodic : bool
            Periodic nodes (the node at the end is node 0).

        Returns
        -------
        Expansion
            Of the given degree on the mesh; its coefficients are bit for
            bit ``lagrange_to_legendre_matrix(degree, n_t, periodic) @ values``
            as scipy computes that product (the matrix does not depend on
            the mesh).

        Raises
        ------
        ValueError
            When n_nodes matches no n_t (or not the mesh's), for a degree out
            of range, or a bad mesh.
        TypeError
            For values of a dtype that does not convert to float64 safely, a
            masked array, or a periodic flag that is not a bool.
        """
        # The degree divides the node count below; the native entry checks its upper limit.
        degree = _checks.at_least(_checks.size(degree, "degree"), "degree", 1)
        periodic = _checks.flag(periodic, "periodic")
        v = _checks.float64_array(values, "values")
        if v.ndim < 1:
            raise ValueError(f"values must have shape (n_nodes, *value_shape), got shape {v.shape}")
        nodes = v.shape[0]
        what = "degree * n_t" if periodic else "degree * n_t + 1"
        n_t, rest = divmod(nodes if periodic else nodes - 1, degree)
        if rest != 0 or n_t < 1:
            raise ValueError(
                f"values must have {what} rows (the nodes of degree {degree}) for some n_t >= 1, got shape {v.shape}"
            )
        m = _mesh_for(mesh, n_t, f"values of shape {v.shape} (the nodes of degree {degree}: {what} rows)")
        components = math.prod(v.shape[1:])
        coefficients = np.asarray(_native.interpolate(v, degree, n_t, periodic, components))
        return cls(coefficients.reshape((degree + 1, n_t, *v.shape[1:])), m)

    def __reduce__(self) -> tuple[type[Expansion], tuple[FloatArray, TimeMesh]]:
        return (type(self), (np.array(self._coefficients), self._mesh))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Expansion):
            return NotImplemented
        if self is other:
            return True
        return (
            self._coefficients.shape == other._coefficients.shape
            and self._mesh == other._mesh
            and np.array_equal(self._coefficients.view(np.uint64), other._coefficients.view(np.uint64))
        )

    def __hash__(self) -> int:
        return hash((self._coefficients.shape, self._mesh, self._coefficients.tobytes()))

    def __repr__(self) -> str:
        shape = f", value shape {self.value_shape}" if self.value_shape else ""
        mesh = self._mesh
        plain = mesh.is_uniform and mesh.start == 0.0 and not math.copysign(1.0, mesh.start) < 0
        where = f"T={mesh.end!r}" if plain else f"mesh={mesh!r}"
        return (
            f"{type(self).__name__}(<coefficients of degree {self.degree} on n_t={self.n_t} intervals{shape}>, {where})"
        )


def _mesh_for(mesh: object, n_t: int, what: str) -> TimeMesh:
    """The mesh of an expansion with n_t intervals: a TimeMesh or breakpoints
    with n_t intervals, or a number T for the uniform mesh of [0, T]."""
    if isinstance(mesh, numbers.Real) and not isinstance(mesh, (bool, np.bool_)):
        return TimeMesh.uniform(n_t, _checks.period(mesh))
    if isinstance(mesh, (bool, np.bool_)):
        raise TypeError("mesh must be a TimeMesh, a 1-D array of breakpoints or a number T, got bool")
    m = mesh_of(mesh)
    if m.n_t != n_t:
        raise ValueError(f"{what} need a mesh of {n_t} intervals, got one of {m.n_t}")
    return m


@takes_mesh
def gauss_legendre(points: int, mesh: MeshLike) -> tuple[FloatArray, FloatArray]:
    """The Gauss-Legendre rule with ``points`` nodes on every interval of the mesh.

    Parameters
    ----------
    points : int
        Nodes per interval, >= 1: exact for piecewise polynomials of degree
        2 * points - 1.
    mesh : TimeMesh or array_like
        The mesh, or its breakpoints; ``n_t, T`` in its place (two
        arguments) is the uniform mesh of [0, T].

    Returns
    -------
    times, weights : numpy.ndarray, shape (n_t * points,) each
        Interval-major (entry ``j * points + q`` is node q of interval j);
        the weights include the factor h_j / 2 of the interval, so
        ``weights @ g(times)`` integrates g over the mesh. Node q of
        interval j is ``b_j + (h_j / 2) (1 + x_q)`` and its weight
        ``(h_j / 2) omega_q``, with b_j and h_j taken exactly as the mesh
        gives them (on the uniform mesh of [0, T]: b_j = j T / n_t and
        h_j = T / n_t, not rounded first) and (x_q, omega_q) the reference
        rule on [-1, 1]: everything is computed in double-double arithmetic
        (about 106 bits) and rounded once, so every node and weight is
        within one ulp of its exact value (the nearest double unless that
        value lies within about 2**-45 ulp of a midpoint). The one
        exception: in an interval that contains 0 (never on a mesh that
        starts at 0), a node closer to 0 than about 2**-40 ``(abs(b_j) + h_j)``
        has an absolute error of about 2**-100 ``(abs(b_j) + h_j)``.

    Raises
    ------
    ValueError
        For points below 1 or above 10000 (the rule costs O(points**2)
        operations, about 7 s at the limit), or a bad mesh.
    TypeError
        For arguments of the wrong type.
    KeyboardInterrupt
        Ctrl-C during a long call.
    """
    points = _checks.size(points, "points")
    m = mesh_of(mesh)
    _checks.check_items(points * m.n_t, "the quadrature's nodes")
    times, weights = _native.gauss_legendre(points, m._core)
    return np.asarray(times), np.asarray(weights)


@takes_mesh
def project(f: Any, degree: int, mesh: MeshLike, points: int | None = None) -> Expansion:
    """The L2 projection of a function onto the piecewise polynomials of a degree.

    Parameters
    ----------
    f : callable
        Called once with a 1-D float64 array of all quadrature times
        (interval-major, see :func:`gauss_legendre`); returns an array of
        shape ``(times.size, *value_shape)`` (a float64 dtype or one that
        converts to it safely).
    degree : int
        Polynomial degree on each interval, >= 0.
    mesh : TimeMesh or array_like
        The mesh, or its breakpoints; ``n_t, T`` in its place (two
        arguments) is the uniform mesh of [0, T].
    points : int, optional
        Gauss-Legendre points per interval, from degree + 1 (the default)
        to 10000. The rule integrates f times every basis function exactly
        (to rounding) where f is a polynomial of degree
        <= 2 * points - 1 - degree on each interval, so polynomials of degree
        <= degree are reproduced to rounding; with fewer points than
        degree + 1 the rule could not tell the basis functions apart. The
        times passed to f are those of :func:`gauss_legendre`, each within
        one ulp of its exact value.

    Returns
    -------
    Expansion
        Coefficient of P_i on interval j: ((2i + 1) / 2) times the sum over
        the nodes of omega_q P_i(x_q) f(t_jq), summed in node order (x_q and
        omega_q the reference rule on [-1, 1], each rounded once).

    Raises
    ------
    ValueError
        For sizes out of range (points below degree + 1 or above 10000),
        a bad mesh, or f returning an array of the wrong shape.
    TypeError
        For f returning something that is not numeric.
    KeyboardInterrupt
        Ctrl-C while the quadrature rule is computed.
    """
    degree = _checks.size(degree, "degree")
    points = degree + 1 if points is None else _checks.size(points, "points")
    # The native projection checks this too, but only after f has been called.
    if points < degree + 1:
        raise ValueError(f"points must be at least degree + 1 = {degree + 1}, got {points}")
    m = mesh_of(mesh)
    times, _ = gauss_legendre(points, m)
    values = _checks.float64_array(f(times), "f(times)")
    if values.ndim < 1 or values.shape[0] != times.size:
        raise ValueError(
            f"f(times) must have shape (times.size, *value_shape) = ({times.size}, ...), got shape {values.shape}"
        )
    value_shape = values.shape[1:]
    coefficients = np.asarray(_native.project(values, degree, m.n_t, points, math.prod(value_shape)))
    return Expansion(coefficients.reshape((degree + 1, m.n_t, *value_shape)), m)
