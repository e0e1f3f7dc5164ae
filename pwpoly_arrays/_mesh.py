"""TimeMesh: the intervals a piecewise polynomial lives on, and how every
function of the package takes one."""

from __future__ import annotations

import functools
import inspect
import numbers
import operator
import struct
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, TypeVar

import numpy as np
import numpy.typing as npt

from . import _checks
from ._native_loader import load_native

if TYPE_CHECKING:
    from . import _native
else:
    _native = load_native()

FloatArray = npt.NDArray[np.float64]


class TimeMesh:
    """A mesh of time: the intervals [b_0, b_1), [b_1, b_2), ..., [b_(n-1), b_n].

    Parameters
    ----------
    breakpoints : array_like, shape ``(n_t + 1,)``
        Strictly increasing finite times, at least 2 (the first may be any
        time, negative too), at most 2**1000 in magnitude and at least
        2**-1000 apart; float64 or a dtype that converts to it safely.

    Raises
    ------
    ValueError
        Fewer than 2 breakpoints, a breakpoint that is not finite or too
        large, or two that do not increase (strictly, by at least 2**-1000):
        the message names the first position that breaks the rule.
    TypeError
        Breakpoints of a dtype that does not convert to float64 safely, or a
        masked array.

    Notes
    -----
    Interval j is [b_j, b_(j+1)), the last one closed; times before b_0
    evaluate in the first interval, times after b_n in the last, with the
    local coordinate clamped to [-1, 1].

    A mesh of breakpoints locates a time by comparing it with the
    breakpoints (a bucket index keeps that to a few comparisons), and its
    local coordinate on interval j is ``xi = 2 (t - b_j) / h_j - 1`` with
    ``h_j = b_(j+1) - b_j``: exactly -1 at b_j and 1 at b_(j+1), so an
    expansion at a breakpoint is bit for bit the one-sided limit that
    ``Expansion.endpoint_values`` gives.

    :meth:`uniform` meshes follow the rule of pwpoly's meshes of [0, T]
    instead (with the start subtracted first), bit for bit. A uniform mesh
    and a mesh of the same breakpoints are therefore different meshes (they
    may locate a time on a breakpoint, and round local coordinates,
    differently) and do not compare equal.

    Meshes are immutable, hashable and picklable; two meshes are equal when
    they are of the same kind with the same numbers, bit for bit.

    Examples
    --------
    >>> from pwpoly_arrays import TimeMesh
    >>> TimeMesh([0.0, 0.5, 2.0]).widths
    array([0.5, 1.5])
    >>> TimeMesh.uniform(4, 2.0).breakpoints
    array([0. , 0.5, 1. , 1.5, 2. ])
    >>> TimeMesh.uniform(2, 3.0, start=1.0).breakpoints
    array([1., 2., 3.])
    """

    __slots__ = ("_core", "_uniform", "_n_t", "_start", "_end", "_cache")
    _core: _native.TimeMesh
    _uniform: bool
    _n_t: int
    _start: float
    _end: float
    _cache: dict[str, Any]

    def __new__(cls, breakpoints: npt.ArrayLike) -> TimeMesh:
        b = _checks.float64_array(breakpoints, "breakpoints")
        if b.ndim != 1:
            raise ValueError(f"breakpoints must be a 1-D array, got shape {b.shape}")
        return cls._from_native(_native.TimeMesh(b))

    @classmethod
    def uniform(cls, n_t: int, T: float, start: float = 0.0) -> TimeMesh:
        """The mesh of [start, T] in n_t intervals of equal width.

        Parameters
        ----------
        n_t : int
            Number of intervals, >= 1.
        T : float
            The end of the mesh: positive for start = 0, else after start;
            at most 2**1000 in magnitude.
        start : float
            The start of the mesh, 0 by default.

        Returns
        -------
        TimeMesh
            With the width ``w = (T - start) / n_t`` (rounded once): a time t
            lies in interval ``j = floor((t - start) / w)`` (capped to
            [0, n_t - 1]), whose ends are ``start + j * w`` and
            ``start + (w + j * w)`` and whose local coordinate is computed
            from ``u = t - start`` exactly as pwpoly computes it for a time u
            on its mesh of [0, T - start]. With start = 0 every function
            gives bit for bit what it gives for ``n_t, T``. The breakpoints
            are ``start + j * w`` for j < n_t and T.

        Raises
        ------
        ValueError
            For n_t < 1, a T that is not positive and finite (start = 0),
            ends that are not finite or not increasing, ``T - start`` above
            2**1000 or ``w`` below 2**-1000, or intervals too narrow to be
            told apart from the ends in double precision.
        TypeError
            For arguments of the wrong type.
        """
        n_t = _checks.size(n_t, "n_t")
        T = _checks.period(T)
        t0 = _checks.real(start, "start")
        return cls._from_native(_native.uniform_mesh(n_t, t0, T))

    @classmethod
    def graded(cls, n_t: int, T: float, grading: float) -> TimeMesh:
        """The mesh of [0, T] graded towards 0: breakpoints ``T * (j / n_t)**grading``.

        Parameters
        ----------
        n_t : int
            Number of intervals, >= 1.
        T : float
            The end of the mesh, positive and finite.
        grading : float
            At least 1 (1 gives equal widths, as breakpoints); the intervals
            shrink like ``(j / n_t)**(grading - 1)`` towards 0, the usual
            mesh for solutions that behave like ``t**alpha`` near 0.

        Returns
        -------
        TimeMesh
            A mesh of breakpoints, each computed in double-double arithmetic
            and rounded once (within one unit in the last place of the exact
            value, the same bits on every platform); b_0 = 0 and b_n = T
            exactly. Graded meshes of n_t and k * n_t intervals are nested.

        Raises
        ------
        ValueError
            For n_t < 1, a bad T, a grading below 1 or not finite, or
            breakpoints closer than 2**-1000.
        TypeError
            For arguments of the wrong type.
        """
        n_t = _checks.size(n_t, "n_t")
        T = _checks.period(T)
        grading = _checks.real(grading, "grading")
        return cls._from_native(_native.graded_mesh(n_t, T, grading))

    @classmethod
    def _from_native(cls, core: _native.TimeMesh) -> TimeMesh:
        self = object.__new__(cls)
        uniform, n_t, start, end = core.parameters()
        object.__setattr__(self, "_core", core)
        object.__setattr__(self, "_uniform", uniform)
        object.__setattr__(self, "_n_t", n_t)
        object.__setattr__(self, "_start", start)
        object.__setattr__(self, "_end", end)
        object.__setattr__(self, "_cache", {})
        return self

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError(f"TimeMesh is immutable: cannot set {name!r}")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"TimeMesh is immutable: cannot delete {name!r}")

    @property
    def n_t(self) -> int:
        """int: The number of intervals."""
        return self._n_t

    @property
    def start(self) -> float:
        """float: The first breakpoint b_0."""
        return self._start

    @property
    def end(self) -> float:
        """float: The last breakpoint b_n."""
        return self._end

    @property
    def is_uniform(self) -> bool:
        """bool: Whether this is a :meth:`uniform` mesh (with the uniform rule)."""
        return self._uniform

    @property
    def breakpoints(self) -> FloatArray:
        """numpy.ndarray: The n_t + 1 breakpoints, read-only (computed on first use for a uniform mesh)."""
        return self._cached("breakpoints", self._core.breakpoints)

    @property
    def widths(self) -> FloatArray:
        """numpy.ndarray: The n_t interval widths that derivatives divide by, read-only.

        The uniform width w for a uniform mesh, ``b[j + 1] - b[j]`` rounded
        otherwise. (Operators and integrals use the exact differences.)
        """
        return self._cached("widths", self._core.widths)

    def _cached(self, name: str, make: Callable[[], Any]) -> FloatArray:
        found: FloatArray | None = self._cache.get(name)
        if found is None:
            found = np.asarray(make(), dtype=np.float64)
            found.flags.writeable = False
            found = self._cache.setdefault(name, found)
        return found

    def _key(self) -> tuple[bool, int, bytes]:
        ends = struct.pack("<dd", self._start, self._end)
        if self._uniform:
            return (True, self._n_t, ends)
        return (False, self._n_t, self.breakpoints.tobytes())

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, TimeMesh):
            return NotImplemented
        return self is other or self._key() == other._key()

    def __hash__(self) -> int:
        return hash(self._key())

    def __reduce__(self) -> tuple[Any, tuple[Any, ...]]:
        if self._uniform:
            return (_uniform_mesh, (self._n_t, self._end, self._start))
        return (type(self), (np.array(self.breakpoints),))

    def __repr__(self) -> str:
        if self._uniform:
            start = f", start={self._start!r}" if self._start != 0.0 or np.signbit(self._start) else ""
            return f"TimeMesh.uniform({self._n_t}, {self._end!r}{start})"
        b = self.breakpoints
        if b.size <= 6:
            return f"TimeMesh([{', '.join(repr(float(x)) for x in b)}])"
        shown = [repr(float(x)) for x in b[:3]] + ["..."] + [repr(float(x)) for x in b[-2:]]
        return f"TimeMesh([{', '.join(shown)}], n_t={self._n_t})"


def _uniform_mesh(n_t: int, T: float, start: float) -> TimeMesh:
    """Unpickles a uniform mesh."""
    return TimeMesh.uniform(n_t, T, start=start)


MeshLike = TimeMesh | npt.ArrayLike


def mesh_of(value: object, name: str = "mesh") -> TimeMesh:
    """A TimeMesh from a TimeMesh or a 1-D array of breakpoints."""
    if isinstance(value, TimeMesh):
        return value
    if value is None or isinstance(value, (bool, np.bool_, numbers.Number, str, bytes)):
        raise TypeError(
            f"{name} must be a TimeMesh or a 1-D array of breakpoints (or an interval count n_t followed by T), "
            f"got {type(value).__name__}"
        )
    try:
        return TimeMesh(value)  # type: ignore[arg-type]
    except (TypeError, ValueError) as error:
        raise type(error)(f"{name}: {error}") from None


def is_count(value: object) -> bool:
    """An interval count (an integer, not a bool), as the older calls pass n_t."""
    if isinstance(value, (bool, np.bool_)):
        return False
    try:
        operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        return False
    return True


F = TypeVar("F", bound=Callable[..., Any])


def takes_mesh(function: F) -> F:
    """Lets ``function(..., mesh, rest...)`` also be called as ``function(..., n_t, T, rest...)``.

    The mesh parameter is the one named ``mesh``; where an interval count
    stands in its place (by position, or as ``n_t=`` with ``T=``), the
    uniform mesh of [0, T] is made from the two, and what follows moves up
    by one. Everything else is the function's own signature.
    """
    parameters = list(inspect.signature(function).parameters)
    at = parameters.index("mesh")

    @functools.wraps(function)
    def wrapper(*args: Any, **kwargs: Any) -> Any:
        if len(args) > at and is_count(args[at]):
            if len(args) > at + 1:
                mesh = TimeMesh.uniform(args[at], args[at + 1])
                args = (*args[:at], mesh, *args[at + 2 :])
            elif "T" in kwargs:
                args = (*args[:at], TimeMesh.uniform(args[at], kwargs.pop("T")))
            else:
                raise TypeError(f"{function.__name__}(): an interval count n_t in place of the mesh needs T after it")
        elif "n_t" in kwargs and len(args) <= at:
            if "T" not in kwargs:
                raise TypeError(f"{function.__name__}(): n_t= needs T= as well (the uniform mesh of [0, T])")
            kwargs["mesh"] = TimeMesh.uniform(kwargs.pop("n_t"), kwargs.pop("T"))
        return function(*args, **kwargs)

    return wrapper  # type: ignore[return-value]
