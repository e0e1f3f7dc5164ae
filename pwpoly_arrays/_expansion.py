"""The Expansion class: a piecewise Legendre expansion on a uniform mesh."""

from __future__ import annotations

import struct
from typing import TYPE_CHECKING, overload

import numpy as np
import numpy.typing as npt

from . import _checks
from ._native_loader import load_native

if TYPE_CHECKING:
    from . import _native
else:
    _native = load_native()

FloatArray = npt.NDArray[np.float64]


class Expansion:
    """A piecewise Legendre expansion on the uniform mesh of n_t intervals of [0, T].

    Parameters
    ----------
    coefficients : array_like, shape (degree + 1, n_t)
        ``coefficients[i, j]`` multiplies the Legendre polynomial P_i on
        interval j. Its C-order flattening is pwpoly's coefficient layout
        (index ``j + n_t * i``). float64; other dtypes are converted when the
        cast is safe (integers, float32, ...), anything else is a TypeError.
        The array is copied: later changes to it do not affect the expansion.
    T : float
        End of the time span, positive and finite.

    Notes
    -----
    ``e(t, out=None)`` gives the values and ``e.derivative(t, out=None)`` the
    time derivatives at the times ``t``: a float for a scalar ``t`` (a Python
    or numpy number), a new float64 array of ``t``'s shape for an array-like
    (a 0-d ndarray included), or ``out`` filled and returned. ``out`` must be
    a writable float64 ndarray of ``t``'s shape (any memory layout); it may
    be ``t`` itself (``e(t, out=t)`` evaluates in place), but must not share
    memory with ``t`` in any other way. Masked arrays are refused (TypeError):
    their masks would be ignored.

    Interval j is [j T / n_t, (j + 1) T / n_t), the last one closed: a time on
    an interior node belongs to the interval on its right; times before 0
    (and NaN) evaluate in the first interval, times at or after T in the
    last, with the local coordinate clamped to [-1, 1].

    Results are bit for bit those of ``pwpoly.LegendreBasisEvaluator``'s
    ``evaluate_many`` / ``evaluate_derivative_many`` on the same times. Large
    inputs are spread over pwpoly's worker pool (one pool per process, shared
    with pwpoly), and the interpreter lock is released while they run.

    Expansions are immutable: ``degree``, ``n_t``, ``T`` and ``coefficients``
    are read-only, any number of threads may evaluate one expansion at the
    same time (also without the interpreter lock), and expansions are
    hashable and picklable (for multiprocessing, dask, ...). Two expansions
    are equal when their degree, n_t, T and every coefficient are the same
    bits (so equal expansions give identical results; 0.0 and -0.0 differ).

    Examples
    --------
    >>> import numpy as np, pwpoly_arrays
    >>> e = pwpoly_arrays.Expansion([[10.0, 30.0], [20.0, 40.0]], 2.0)
    >>> e(0.5), e(np.array([0.5, 1.5]))
    (10.0, array([10., 30.]))
    """

    __slots__ = ("_core", "_coefficients", "_T")
    _core: _native.Expansion
    _coefficients: FloatArray
    _T: float

    def __new__(cls, coefficients: npt.ArrayLike, T: float) -> Expansion:
        c = _checks.float64_array(coefficients, "coefficients")
        if c.ndim != 2:
            raise ValueError(f"coefficients must be a 2-D array of shape (degree + 1, n_t), got shape {c.shape}")
        rows, n_t = c.shape
        if rows == 0:
            raise ValueError(f"coefficients must have at least one row (degree + 1 >= 1), got shape {c.shape}")
        if n_t == 0:
            raise ValueError(f"coefficients must have at least one column (n_t >= 1), got shape {c.shape}")
        period = _checks.period(T)
        self = object.__new__(cls)
        core = _native.Expansion(c, rows - 1, n_t, period)
        # A read-only view of the native copy: numpy refuses to make it
        # writable again, since the exporting buffer is read-only.
        exported = memoryview(core)  # type: ignore[arg-type]
        view = np.frombuffer(exported, dtype=np.float64).reshape(rows, n_t)
        object.__setattr__(self, "_core", core)
        object.__setattr__(self, "_coefficients", view)
        object.__setattr__(self, "_T", period)
        return self

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError(f"Expansion is immutable: cannot set {name!r}")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"Expansion is immutable: cannot delete {name!r}")

    @property
    def degree(self) -> int:
        """The polynomial degree on each interval (coefficients.shape[0] - 1)."""
        return int(self._coefficients.shape[0]) - 1

    @property
    def n_t(self) -> int:
        """The number of intervals of the mesh (coefficients.shape[1])."""
        return int(self._coefficients.shape[1])

    @property
    def T(self) -> float:
        """The end of the time span [0, T]."""
        return self._T

    @property
    def coefficients(self) -> FloatArray:
        """The coefficients, shape (degree + 1, n_t): a read-only view of the expansion's own copy."""
        return self._coefficients

    @overload
    def __call__(self, t: float, out: None = None) -> float: ...
    @overload
    def __call__(self, t: npt.ArrayLike, out: FloatArray | None = None) -> FloatArray: ...

    def __call__(self, t: npt.ArrayLike, out: FloatArray | None = None) -> float | FloatArray:
        """Values at the times t: a float for a scalar t, else a float64 array of t's shape (or out)."""
        if out is None and isinstance(t, float):
            return self._core.evaluate(t, False)
        return self._evaluate(t, out, False)

    @overload
    def derivative(self, t: float, out: None = None) -> float: ...
    @overload
    def derivative(self, t: npt.ArrayLike, out: FloatArray | None = None) -> FloatArray: ...

    def derivative(self, t: npt.ArrayLike, out: FloatArray | None = None) -> float | FloatArray:
        """Time derivatives at the times t: a float for a scalar t, else a float64 array of t's shape (or out)."""
        if out is None and isinstance(t, float):
            return self._core.evaluate(t, True)
        return self._evaluate(t, out, True)

    def _evaluate(self, t: npt.ArrayLike, out: FloatArray | None, derivative: bool) -> float | FloatArray:
        times = _checks.float64_array(t, "t")
        if out is None:
            if times.ndim == 0 and not isinstance(t, np.ndarray):
                return self._core.evaluate(float(times), derivative)
            result = np.empty(times.shape)
            self._core.evaluate_into(times, result, derivative)
            return result
        _checks.check_out(out, times.shape, times)
        self._core.evaluate_into(times, out, derivative)
        return out

    def __reduce__(self) -> tuple[type[Expansion], tuple[FloatArray, float]]:
        return (type(self), (np.array(self._coefficients), self._T))

    def _key(self) -> tuple[tuple[int, ...], bytes]:
        return (self._coefficients.shape, struct.pack("<d", self._T))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Expansion):
            return NotImplemented
        if self is other:
            return True
        return self._key() == other._key() and np.array_equal(
            self._coefficients.view(np.uint64), other._coefficients.view(np.uint64)
        )

    def __hash__(self) -> int:
        return hash((self._key(), self._coefficients.tobytes()))

    def __repr__(self) -> str:
        return (
            f"{type(self).__name__}(<coefficients of degree {self.degree} on n_t={self.n_t} intervals>, T={self._T!r})"
        )
