"""Argument normalisation shared by the public functions: numpy's side of
the checks (dtypes, masks, `out=`, Python numbers the native conversion
cannot name), with numpy-style messages. The rules on sizes, T, degrees and
meshes are the native module's, and so are their messages."""

from __future__ import annotations

import numbers
import operator
import sys
from typing import Any

import numpy as np
import numpy.typing as npt

# Arrays are allocated as float64 (8 bytes per item): no size may exceed
# what one such array can hold on this platform.
MAX_ITEMS = sys.maxsize // 8


def size(value: Any, name: str) -> int:
    """An integer argument (degree, n_t, points, ...) as an int for the native entry.

    Refused here is only what the native conversion cannot report under the
    argument's name: a bool (it would pass for 0 or 1), a negative value (an
    unnamed OverflowError there) and more than an array can hold. The bounds
    of the arguments (n_t >= 1, a Lagrange degree from 1 to
    MAX_LAGRANGE_DEGREE, ...) are the native entries' checks, with their
    messages; `at_least` is for the few that must hold before the entry is
    reached.
    """
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, got bool")
    try:
        result = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}") from None
    if result < 0:
        raise ValueError(f"{name} must be a non-negative integer, got {result}")
    if result > MAX_ITEMS:
        raise ValueError(f"{name} = {result} is too large")
    return result


def at_least(value: int, name: str, minimum: int) -> int:
    """A lower bound that no native entry checks under this name."""
    if value < minimum:
        raise ValueError(f"{name} must be at least {minimum}, got {value}")
    return value


def lagrange_degree(degree: int) -> None:
    """The Lagrange degree limit, for lagrange_points, whose native entry does not check it."""
    from ._native_loader import load_native

    limit = load_native().MAX_LAGRANGE_DEGREE
    if degree > limit:
        raise ValueError(
            f"degree must be at most {limit} for the equidistant Lagrange basis (beyond it the matrices have no "
            f"correct digit), got {degree}"
        )


def check_items(count: int, what: str) -> None:
    """Refuse element counts no array of this platform can hold."""
    if count > MAX_ITEMS:
        raise ValueError(f"{what} would need {count} items, more than an array can hold on this platform")


def real(value: Any, name: str) -> float:
    """A real number (not a bool) as a float; the native code checks its range."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
    try:
        return float(value)
    except OverflowError:
        text = repr(value)
        shown = text if len(text) <= 24 else f"{text[:12]}...{text[-8:]} ({len(text)} digits)"
        raise ValueError(f"{name} must be finite, got {shown} (too large for a float)") from None


def period(value: Any) -> float:
    """The end time T of a mesh as a float; the native code checks its range."""
    try:
        return real(value, "T")
    except ValueError as error:
        raise ValueError(str(error).replace("T must be finite", "T must be positive and finite")) from None


def flag(value: Any, name: str) -> bool:
    """A yes/no argument: a Python or numpy bool, nothing else (a string such as "False" is a mistake)."""
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    raise TypeError(f"{name} must be a bool (True or False), got {type(value).__name__} {value!r}")


def not_masked(value: object, name: str) -> None:
    """Masked arrays are refused: their mask would be silently dropped."""
    if isinstance(value, np.ma.MaskedArray):
        raise TypeError(
            f"{name} is a masked array, whose mask pwpoly_arrays would ignore; pass {name}.filled(value) or "
            f"{name}.compressed() instead"
        )


def float64_array(value: npt.ArrayLike, name: str) -> npt.NDArray[np.float64]:
    """`value` as a float64 ndarray (a view when it already is one).

    Other dtypes are converted when numpy considers the cast safe (integers,
    booleans, float16/32, float64 in the other byte order); anything else
    (complex, object, strings, datetimes, extended precision) is a TypeError.
    """
    not_masked(value, name)
    array = np.asarray(value)
    if array.dtype != np.float64:
        if not np.can_cast(array.dtype, np.float64, casting="safe"):
            raise TypeError(
                f"{name} must be an array of float64 (or of a type that converts to it safely, such as "
                f"float32 or an integer type), got dtype {array.dtype}"
            )
        array = array.astype(np.float64)
    return array


def check_out(
    out: object, shape: tuple[int, ...], source: npt.NDArray[np.float64], value_shape: tuple[int, ...] = ()
) -> None:
    """`out=` follows numpy's rules: a writable float64 ndarray of the result's
    shape (any memory layout). It may be the input itself (the same memory,
    shape and strides, as in ``np.sin(x, out=x)``), but must not overlap it
    in any other way."""
    not_masked(out, "out")
    if not isinstance(out, np.ndarray):
        raise TypeError(f"out must be a numpy.ndarray, got {type(out).__name__}")
    if out.dtype != np.float64:
        raise TypeError(f"out must have dtype float64, got {out.dtype}")
    if out.shape != shape:
        what = "the shape t.shape + value_shape" if value_shape else "the shape of t"
        raise ValueError(f"out must have {what}, {shape}, got {out.shape}")
    if not out.flags.writeable:
        raise ValueError("out is read-only")
    # The bounds test first; the exact one only for arrays that may overlap.
    if np.may_share_memory(source, out) and not _same_array(source, out) and np.shares_memory(source, out):
        raise ValueError("out must not share memory with t, unless it is t itself (the same array)")


def _same_array(a: npt.NDArray[np.float64], b: npt.NDArray[np.float64]) -> bool:
    return (
        a.__array_interface__["data"][0] == b.__array_interface__["data"][0]
        and a.shape == b.shape
        and all(n <= 1 or x == y for n, x, y in zip(a.shape, a.strides, b.strides))
    )
