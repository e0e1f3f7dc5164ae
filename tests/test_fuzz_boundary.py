"""Property-based fuzzing of the Python boundary.

Every function, constructor and method is called with arbitrary argument
lists: random counts, random keywords (valid, unknown, duplicated, not
UTF-8), and values of every sort (ints of any size and sign, floats with
NaN/inf/-0.0, bools, None, str, bytes, containers, generators, numpy scalars
and arrays of every dtype and layout, memoryviews with odd formats, strides
and offsets, ctypes objects, and objects whose __index__/__float__/__iter__/
__len__ raise, return the wrong type or call back into the module).

Each call is checked against an oracle that derives the outcome from the
module's rules: argument matching is modelled in full, and each conversion is
asked of the interpreter's own C functions (through ctypes.pythonapi), which
are exactly the conversions the module promises to apply. The call must then
either raise exactly the predicted exception (type, and message where the
rules fix it) or succeed with a result of the right shape. An evaluator's
coefficients must be unchanged after every failed set_dofs, and replaced
after every successful one.

Profiles: the default is derandomised and quick, for CI; set
PWPOLY_FUZZ_PROFILE=long for a randomised run of many more examples
(PWPOLY_FUZZ_EXAMPLES overrides the count of either).
"""

import array
import ctypes
import math
import os
import pickle
import struct
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, given, note, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import pwpoly
from pwpoly import LegendreBasis, LegendreBasisEvaluator
from support import (
    CAPACITY_OVERFLOW as CAPACITY,
)
from support import (
    MATRIX_VIEW_TOO_SMALL,
    PERIODIC_DEGREE,
    PERIODIC_INTERVALS,
    PERIODIC_PROLONGATION,
    PROLONGATION_COARSE,
    PROLONGATION_DEGREE,
    PROLONGATION_FINE,
    SET_DOFS_WRONG_LENGTH,
    TRANSFORMATION_DEGREE,
    panic_exception_type,
)
from support import (
    NO_INTERVALS as EMPTY_MESH,
)

# Conversions of odd objects warn (a __float__ returning a float subclass,
# numpy casts that overflow); the oracle and the module see the same warning.
pytestmark = pytest.mark.filterwarnings(
    "ignore::DeprecationWarning", "ignore::RuntimeWarning", "ignore::numpy.exceptions.ComplexWarning"
)

SIZE_MAX = 2 * sys.maxsize + 1
PTRDIFF_MAX = sys.maxsize
IS_64 = sys.maxsize > 2**32

_PROFILE = os.environ.get("PWPOLY_FUZZ_PROFILE", "ci")
_EXAMPLES = int(os.environ.get("PWPOLY_FUZZ_EXAMPLES", "2000" if _PROFILE == "long" else "100"))
FUZZ = settings(
    max_examples=_EXAMPLES,
    derandomize=_PROFILE != "long",
    database=None,
    deadline=None,
    print_blob=True,
    suppress_health_check=list(HealthCheck),
)


PanicException = panic_exception_type()

# ---------------------------------------------------------------------------
# The interpreter's own conversions, as the oracle.

_api = ctypes.pythonapi
_api.PyFloat_AsDouble.argtypes = [ctypes.py_object]
_api.PyFloat_AsDouble.restype = ctypes.c_double
_api.PyNumber_Index.argtypes = [ctypes.py_object]
_api.PyNumber_Index.restype = ctypes.py_object
_api.PyLong_AsUnsignedLongLong.argtypes = [ctypes.py_object]
_api.PyLong_AsUnsignedLongLong.restype = ctypes.c_ulonglong
_api.PySequence_Check.argtypes = [ctypes.py_object]
_api.PySequence_Check.restype = ctypes.c_int


class _PyBuffer(ctypes.Structure):
    _fields_ = [
        ("buf", ctypes.c_void_p),
        ("obj", ctypes.c_void_p),
        ("len", ctypes.c_ssize_t),
        ("itemsize", ctypes.c_ssize_t),
        ("readonly", ctypes.c_int),
        ("ndim", ctypes.c_int),
        ("format", ctypes.c_char_p),
        ("shape", ctypes.POINTER(ctypes.c_ssize_t)),
        ("strides", ctypes.POINTER(ctypes.c_ssize_t)),
        ("suboffsets", ctypes.POINTER(ctypes.c_ssize_t)),
        ("internal", ctypes.c_void_p),
    ]


_api.PyObject_GetBuffer.argtypes = [ctypes.py_object, ctypes.POINTER(_PyBuffer), ctypes.c_int]
_api.PyObject_GetBuffer.restype = ctypes.c_int
_api.PyBuffer_Release.argtypes = [ctypes.POINTER(_PyBuffer)]
_api.PyBuffer_Release.restype = None
_api.PyBuffer_ToContiguous.argtypes = [ctypes.c_void_p, ctypes.POINTER(_PyBuffer), ctypes.c_ssize_t, ctypes.c_char]
_api.PyBuffer_ToContiguous.restype = ctypes.c_int
PyBUF_FULL_RO = 0x0100 | 0x0010 | 0x0008 | 0x0004  # INDIRECT | STRIDES | ND | FORMAT
NATIVE_F64 = {"d", "@d", "=d", "<d" if sys.byteorder == "little" else ">d"} | (
    set() if sys.byteorder == "little" else {"!d"}
)
F64_ALIGN = 8 if IS_64 else 4


class Refusal(Exception):
    """The oracle's prediction of a raised exception."""

    def __init__(self, exc_type, message=None, messages=None):
        super().__init__(exc_type, message)
        self.exc_type = exc_type
        self.messages = messages if messages is not None else (None if message is None else {message})


class Unsettled(Exception):
    """The oracle cannot say how this ends without running something huge; not called."""


def _reraise(exc):
    raise exc


def _conversion(name, action):
    """Runs one interpreter conversion; turns its exception into the expected refusal."""
    try:
        return action()
    except BaseException as exc:  # noqa: BLE001 - PanicException from re-entrant objects included
        if type(exc) is TypeError:
            raise Refusal(TypeError, f"argument '{name}': {exc}") from None
        raise Refusal(type(exc), str(exc)) from None


def expect_unsigned(obj, name):
    def convert():
        if isinstance(obj, int):
            return _api.PyLong_AsUnsignedLongLong(obj)
        return _api.PyLong_AsUnsignedLongLong(_api.PyNumber_Index(obj))

    value = _conversion(name, convert)
    if value > SIZE_MAX:
        raise Refusal(OverflowError, "out of range integral type conversion attempted")
    return value


def expect_float(obj, name):
    if type(obj) is float:
        return obj
    return _conversion(name, lambda: _api.PyFloat_AsDouble(obj))


def _qualname(obj):
    return type(obj).__qualname__


def expect_bool(obj, name):
    if type(obj) is bool:
        return obj
    t = type(obj)
    if getattr(t, "__module__", None) == "numpy" and t.__name__ in ("bool_", "bool"):
        return _conversion(name, lambda: bool(obj))
    raise Refusal(TypeError, f"argument '{name}': '{_qualname(obj)}' object cannot be cast as 'bool'")


def expect_float_list(obj, name):
    if isinstance(obj, str):
        raise Refusal(TypeError, f"argument '{name}': Can't extract `str` to `Vec`")
    if not _api.PySequence_Check(obj):
        raise Refusal(TypeError, f"argument '{name}': '{_qualname(obj)}' object cannot be cast as 'Sequence'")
    iterator = _conversion(name, lambda: iter(obj))
    values = []
    while True:
        try:
            item = next(iterator)
        except StopIteration:
            return values
        except BaseException as exc:  # noqa: BLE001
            _conversion(name, lambda exc=exc: _reraise(exc))
        values.append(expect_float(item, name))


def expect_float_buffer(obj, name):
    view = _PyBuffer()
    _conversion(name, lambda: _api.PyObject_GetBuffer(obj, ctypes.byref(view), PyBUF_FULL_RO))
    try:
        if not view.shape:
            raise Refusal(BufferError, "shape is null")
        if not view.strides:
            raise Refusal(BufferError, "strides is null")
        fmt = view.format.decode() if view.format is not None else "B"
        if view.itemsize != 8 or fmt not in NATIVE_F64:
            raise Refusal(BufferError, "buffer contents are not compatible with f64")
        if (view.buf or 0) % F64_ALIGN:
            raise Refusal(BufferError, "buffer contents are insufficiently aligned for f64")
        count = view.len // 8
        if count > 2**24:
            raise Unsettled("a copy of more than 2**24 times")
        out = (ctypes.c_double * count)()
        if count:
            assert _api.PyBuffer_ToContiguous(out, ctypes.byref(view), count * 8, b"C") == 0
        return list(out)
    finally:
        _api.PyBuffer_Release(ctypes.byref(view))


EXPECT = {
    "unsigned": expect_unsigned,
    "float": expect_float,
    "bool": expect_bool,
    "list": expect_float_list,
    "buffer": expect_float_buffer,
}

# ---------------------------------------------------------------------------
# Argument matching, modelled in full.


def _names(missing):
    quoted = [f"'{m}'" for m in missing]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return " and ".join(quoted)
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def expect_matching(full, params, required, positional, keywords):
    n = len(params)
    if len(positional) > n:
        verb = "was" if len(positional) == 1 else "were"
        if required == n:
            raise Refusal(TypeError, f"{full} takes {n} positional arguments but {len(positional)} {verb} given")
        raise Refusal(
            TypeError, f"{full} takes from {required} to {n} positional arguments but {len(positional)} {verb} given"
        )
    slots = list(positional) + [None] * (n - len(positional))
    filled = [i < len(positional) for i in range(n)]
    for key, value in keywords:
        if key not in params:
            raise Refusal(TypeError, f"{full} got an unexpected keyword argument '{key}'")
        i = params.index(key)
        if filled[i]:
            raise Refusal(TypeError, f"{full} got multiple values for argument '{key}'")
        slots[i], filled[i] = value, True
    missing = [params[i] for i in range(required) if not filled[i]]
    if missing:
        word = "argument" if len(missing) == 1 else "arguments"
        raise Refusal(TypeError, f"{full} missing {len(missing)} required positional {word}: {_names(missing)}")
    return slots, filled


# ---------------------------------------------------------------------------
# What each entry computes, as far as the boundary is concerned: which value
# checks and size failures come first, and the shape of the result.

SMALL = 2**16  # element counts up to here are computed for real


def size_outcome(count, elem=8):
    """Refusal for an array of `count` elements, or None when small enough to run."""
    if count > SIZE_MAX or count * elem > PTRDIFF_MAX:
        raise Refusal(PanicException, CAPACITY)
    if count <= SMALL:
        return
    if count * elem >= 2**42 and IS_64:
        raise Refusal(BaseException, messages={CAPACITY, "MemoryError"})
    raise Unsettled(f"an array of {count} elements")


def is_float_list(result, length):
    return type(result) is list and len(result) == length and all(type(v) is float for v in result)


def is_triplets(result):
    return (
        type(result) is tuple
        and len(result) == 3
        and all(type(part) is list for part in result)
        and len(result[0]) == len(result[1]) == len(result[2])
        and all(type(i) is int for i in result[0] + result[1])
        and all(type(v) is float for v in result[2])
    )


def check_periodic(degree, n_t):
    if degree == 0:
        raise Refusal(ValueError, PERIODIC_DEGREE)
    if n_t == 0:
        raise Refusal(ValueError, PERIODIC_INTERVALS)


def lagrange_points(degree, n_t, periodic):
    if periodic:
        return n_t * degree
    return 1 if degree == 0 or n_t == 0 else n_t * degree + 1


def model_sum(a, b):
    return lambda r: r == str((a + b) & SIZE_MAX)


def model_points(degree, n_t, T, periodic=False):
    if periodic:
        check_periodic(degree, n_t)
    count = lagrange_points(degree, n_t, periodic)
    size_outcome(count)
    return lambda r: is_float_list(r, count)


def model_prolongation(nt_coarse, nt_fine, degree, periodic=False):
    if periodic:
        if degree == 0:
            raise Refusal(ValueError, PERIODIC_DEGREE)
        if nt_coarse == 0 or nt_fine == 0:
            raise Refusal(ValueError, PERIODIC_PROLONGATION)
    size_outcome(lagrange_points(degree, nt_coarse, periodic))  # the coarse basis
    for count, message in (
        (degree, PROLONGATION_DEGREE),
        (nt_coarse, PROLONGATION_COARSE),
        (nt_fine, PROLONGATION_FINE),
    ):
        if count == 0:
            raise Refusal(PanicException, message)
    if nt_fine * degree > SIZE_MAX:
        raise Refusal(PanicException, CAPACITY)
    rows = nt_fine * degree + (0 if periodic else 1)
    size_outcome(rows)  # at least one entry per fine row is reserved up front
    if degree > 40:
        raise Unsettled("a high degree")
    return is_triplets


def model_transformation(degree, n_t, periodic=False):
    if periodic:
        check_periodic(degree, n_t)
    size_outcome(lagrange_points(degree, n_t, periodic))
    if degree == 0:
        raise Refusal(PanicException, TRANSFORMATION_DEGREE)
    if degree + 1 > SIZE_MAX:
        raise Refusal(PanicException, CAPACITY)
    if degree <= 40 and n_t * (degree + 1) <= SMALL:
        return is_triplets
    # Which of the arrays sized by degree + 1, (degree + 1)**2 (the
    # Vandermonde matrix) or n_t * (degree + 1) (the blocks) is refused first
    # is the implementation's choice; any of them must be refused promptly.
    absurd = max((degree + 1) ** 2, n_t * (degree + 1)) * 8
    if absurd > PTRDIFF_MAX or (IS_64 and absurd >= 2**42):
        if degree + 1 <= SMALL or (degree + 1) * 8 > PTRDIFF_MAX or (IS_64 and (degree + 1) * 8 >= 2**42):
            raise Refusal(BaseException, messages={CAPACITY, "MemoryError"})
    raise Unsettled("a large transformation")


def model_basis_new(degree, n_t, T):
    return lambda r: type(r) is LegendreBasis


def model_evaluator_new(degree, n_t, T):
    if degree + 1 > SIZE_MAX:
        raise Refusal(PanicException, CAPACITY)
    size_outcome(n_t * (degree + 1))
    return lambda r: type(r) is LegendreBasisEvaluator


def bits(x):
    """The bits of a float; every NaN alike. Where two NaNs meet (a NaN time
    on a mesh of infinite or NaN T) IEEE 754 lets an operation return either
    one, and which comes out depends on the operand order the compiler picks:
    a NaN's sign and payload are not part of any result."""
    return b"NaN" if x != x else struct.pack("<d", x)


def model_basis_evaluate_at(inst, t, values):
    degree, n_t, T = inst.params
    if n_t == 0:
        raise Refusal(ValueError, EMPTY_MESH)
    if degree + 1 > SIZE_MAX or n_t * (degree + 1) > SIZE_MAX:
        raise Refusal(PanicException, CAPACITY)
    m = n_t * (degree + 1)
    if len(values) < m:
        raise Refusal(PanicException, MATRIX_VIEW_TOO_SMALL)
    reference = LegendreBasisEvaluator(degree, n_t, T)
    reference.set_dofs(values[:m])
    want = reference.evaluate_at(t)
    return lambda r: type(r) is float and bits(r) == bits(want)


def model_all_basis(inst, t):
    degree, n_t, T = inst.params
    if n_t == 0:
        raise Refusal(ValueError, EMPTY_MESH)
    if degree + 1 > SIZE_MAX:
        raise Refusal(PanicException, CAPACITY)
    size_outcome(n_t * (degree + 1))
    return lambda r: is_float_list(r, n_t * (degree + 1))


def model_set_dofs(inst, values):
    degree, n_t, T = inst.params
    expected = n_t * (degree + 1)
    if len(values) != expected:
        raise Refusal(PanicException, f"{SET_DOFS_WRONG_LENGTH}\n  left: {len(values)}\n right: {expected}")
    return lambda r: r is None


def model_evaluate_one(method):
    def model(inst, t):
        if inst.params[1] == 0:
            raise Refusal(ValueError, EMPTY_MESH)
        want = getattr(inst.obj, method)(t)
        return lambda r: type(r) is float and bits(r) == bits(want)

    return model


def model_evaluate_many(single):
    def model(inst, times):
        if inst.params[1] == 0:
            raise Refusal(ValueError, EMPTY_MESH)
        one = getattr(inst.obj, single)
        want = [bits(one(t)) for t in times[:64]]
        return lambda r: is_float_list(r, len(times)) and [bits(v) for v in r[:64]] == want

    return model


class Entry:
    def __init__(self, name, params, required, model, cls=None, method=None):
        self.name, self.params, self.required, self.model = name, params, required, model
        self.cls, self.method = cls, method

    @property
    def full(self):
        if self.cls is None:
            return f"{self.name}()"
        return f"{self.cls}.{self.method or '__new__'}()"


U, F, B, L, BUF = "unsigned", "float", "bool", "list", "buffer"
ENTRIES = [
    Entry("sum_as_string", [("a", U), ("b", U)], 2, model_sum),
    Entry("get_lagrange_points", [("degree", U), ("n_t", U), ("T", F), ("periodic", B)], 3, model_points),
    Entry(
        "lagrange_prolongation_matrix",
        [("nt_coarse", U), ("nt_fine", U), ("degree", U), ("periodic", B)],
        3,
        model_prolongation,
    ),
    Entry(
        "lagrange_to_legendre_basis_transformation",
        [("degree", U), ("n_t", U), ("periodic", B)],
        2,
        model_transformation,
    ),
    Entry("LegendreBasis", [("degree", U), ("n_t", U), ("T", F)], 3, model_basis_new, cls="LegendreBasis"),
    Entry(
        "LegendreBasisEvaluator",
        [("degree", U), ("n_t", U), ("T", F)],
        3,
        model_evaluator_new,
        cls="LegendreBasisEvaluator",
    ),
    Entry("evaluate_at", [("t", F), ("legendre_vals", L)], 2, model_basis_evaluate_at, "LegendreBasis", "evaluate_at"),
    Entry(
        "evaluate_all_basis_functions", [("t", F)], 1, model_all_basis, "LegendreBasis", "evaluate_all_basis_functions"
    ),
    Entry(
        "evaluate_all_basis_function_derivatives",
        [("t", F)],
        1,
        model_all_basis,
        "LegendreBasis",
        "evaluate_all_basis_function_derivatives",
    ),
    Entry("set_dofs", [("legendre_vals", L)], 1, model_set_dofs, "LegendreBasisEvaluator", "set_dofs"),
    Entry("evaluate_at", [("t", F)], 1, model_evaluate_one("evaluate_at"), "LegendreBasisEvaluator", "evaluate_at"),
    Entry(
        "evaluate_derivative_at",
        [("t", F)],
        1,
        model_evaluate_one("evaluate_derivative_at"),
        "LegendreBasisEvaluator",
        "evaluate_derivative_at",
    ),
    Entry(
        "evaluate_many",
        [("t_values", BUF)],
        1,
        model_evaluate_many("evaluate_at"),
        "LegendreBasisEvaluator",
        "evaluate_many",
    ),
    Entry(
        "evaluate_derivative_many",
        [("t_values", BUF)],
        1,
        model_evaluate_many("evaluate_derivative_at"),
        "LegendreBasisEvaluator",
        "evaluate_derivative_many",
    ),
]

# ---------------------------------------------------------------------------
# Values.


class Unusual:
    """An object whose numeric and sequence protocols misbehave on request."""

    def __init__(self, **behaviour):
        self.behaviour = behaviour

    def _act(self, key, default):
        action = self.behaviour.get(key, default)
        if isinstance(action, BaseException):
            raise action
        if callable(action):
            return action()
        return action

    def __repr__(self):
        return f"Unusual({self.behaviour!r})"


def unusual_class(*protocols):
    """A subclass of Unusual that defines exactly `protocols`."""
    ns = {}
    if "index" in protocols:
        ns["__index__"] = lambda self: self._act("index", 1)
    if "float" in protocols:
        ns["__float__"] = lambda self: self._act("float", 0.25)
    if "len" in protocols:
        ns["__len__"] = lambda self: self._act("len", 2)
    if "getitem" in protocols:

        def getitem(self, i):
            items = self._act("items", [0.5, 1.5])
            if i >= len(items):
                raise IndexError(i)
            return items[i]

        ns["__getitem__"] = getitem
    if "iter" in protocols:
        ns["__iter__"] = lambda self: self._act("iter", lambda: iter([0.25, 0.75]))
    return type("Unusual_" + "_".join(protocols), (Unusual,), ns)


class IntSubclass(int):
    pass


class FloatSubclass(float):
    pass


class StrSubclass(str):
    pass


def _reenter_sum():
    pwpoly.sum_as_string(1, 2)
    return 3


def _reenter_panic():
    pwpoly.lagrange_prolongation_matrix(2, 2, 0)


class TypeErrorSubclass(TypeError):
    pass


FAILURES = st.sampled_from(
    [
        ValueError("bad value"),
        TypeError("bad type"),
        TypeErrorSubclass("bad subtype"),
        OverflowError("too big"),
        RuntimeError("Already borrowed"),
        ZeroDivisionError("division"),
    ]
)
ODD_RESULTS = st.sampled_from(["1", 1.5, None, 2**70, -3, IntSubclass(4), FloatSubclass(0.5), [1.0], True])

unusual = st.builds(
    lambda protocols, index, flt, length, items, it: unusual_class(*protocols)(
        index=index, float=flt, len=length, items=items, iter=it
    ),
    st.sets(st.sampled_from(["index", "float", "len", "getitem", "iter"]), min_size=1).map(sorted),
    st.one_of(st.integers(-3, 12), FAILURES, ODD_RESULTS, st.just(_reenter_sum)),
    st.one_of(st.floats(), FAILURES, ODD_RESULTS, st.just(_reenter_sum), st.just(_reenter_panic)),
    st.one_of(st.integers(0, 12), st.just(sys.maxsize), st.just(-1), FAILURES, ODD_RESULTS),
    st.one_of(st.lists(st.floats(), max_size=10), st.just(lambda: [0.5, "x"]), FAILURES),
    st.one_of(
        st.just(lambda: iter([0.5, 0.25])),
        st.just(lambda: iter([0.5, None])),
        st.just(lambda: 5),
        st.just(lambda: (x for x in (1.0, 2.0, 3.0, 4.0))),
        FAILURES,
    ),
)

EDGE_INTS = [
    0,
    1,
    2,
    3,
    -1,
    2**31 - 1,
    2**31,
    2**32 - 1,
    2**32,
    2**40,
    2**62,
    2**63 - 1,
    2**63,
    2**64 - 1,
    2**64,
    -(2**63),
    -(2**64),
    10**30,
    SIZE_MAX,
]
EDGE_FLOATS = [0.0, -0.0, math.nan, math.inf, -math.inf, 5e-324, 1.7976931348623157e308, -1.0, 0.5, 1.0, 2.0]
ints = st.one_of(st.integers(-2, 12), st.sampled_from(EDGE_INTS), st.integers())
floats = st.one_of(st.sampled_from(EDGE_FLOATS), st.floats(), st.floats(-3, 3))
numbers = st.one_of(floats, st.integers(-5, 5), st.booleans())

NUMPY_TYPES = [
    np.bool_,
    np.int8,
    np.uint8,
    np.int16,
    np.uint16,
    np.int32,
    np.uint32,
    np.int64,
    np.uint64,
    np.float16,
    np.float32,
    np.float64,
    np.longdouble,
    np.complex64,
    np.complex128,
]
numpy_scalars = st.builds(lambda t, v: t(v), st.sampled_from(NUMPY_TYPES), st.integers(0, 7)) | st.sampled_from(
    [
        np.float64("nan"),
        np.float64(-0.0),
        np.str_("1"),
        np.bytes_(b"1"),
        np.datetime64(1, "s"),
        np.timedelta64(3, "s"),
        np.void(b"12345678"),
        np.zeros(3, dtype="V8"),
        np.zeros(2, dtype=[("a", "<f8"), ("b", "<i4")]),
    ]
)

DTYPES = ["<f8", ">f8", "<f4", "<i8", "<u8", "<i4", "|b1", "|u1", "<c16", "<f2", "<m8[s]", "<i2"]


def _layout(a, how):
    if how == "strided" and a.ndim and a.shape[-1] > 1:
        return a[..., ::2]
    if how == "reversed" and a.ndim:
        return a[::-1]
    if how == "transposed":
        return a.T
    if how == "readonly":
        a = a.copy()
        a.flags.writeable = False
        return a
    if how == "misaligned":
        raw = np.zeros(a.nbytes + 1, dtype=np.uint8)[1:]
        return raw.view(a.dtype).reshape(a.shape) if a.nbytes else raw[:0].view(np.uint8)
    if how == "memoryview" and a.dtype.kind not in "mM":  # numpy exports no buffer of datetimes
        return memoryview(np.ascontiguousarray(a))
    return a


numpy_arrays = st.builds(
    _layout,
    hnp.arrays(
        dtype=st.sampled_from(DTYPES).map(np.dtype),
        shape=hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=5),
    ),
    st.sampled_from(["plain", "strided", "reversed", "transposed", "readonly", "misaligned", "memoryview"]),
)
f64_arrays = st.builds(
    _layout,
    hnp.arrays(
        np.float64,
        hnp.array_shapes(min_dims=1, max_dims=3, min_side=0, max_side=6),
        elements=st.floats(-1.0, 4.0) | st.sampled_from(EDGE_FLOATS),
    ),
    st.sampled_from(["plain", "strided", "reversed", "transposed", "readonly", "misaligned", "memoryview"]),
)


def _memoryview(data, fmt, offset, step):
    raw = memoryview(bytearray(data))[offset:]
    size = struct.calcsize(fmt)
    raw = raw[: len(raw) // size * size]
    return raw.cast(fmt)[::step]


memoryviews = st.builds(
    _memoryview,
    st.binary(min_size=0, max_size=64),
    st.sampled_from(list("bBhHiIlLqQfd?cnN")),
    st.integers(0, 9),
    st.sampled_from([1, 2, -1, 3]),
)
ctypes_objects = st.sampled_from(
    [
        ctypes.c_double(1.5),
        (ctypes.c_double * 3)(0.5, 1.0, 1.5),
        (ctypes.c_float * 2)(),
        (ctypes.c_int64 * 2)(),
        ((ctypes.c_double * 2) * 2)(),
    ]
)
arrays = st.builds(array.array, st.sampled_from(list("bBhHiIlLqQfd")), st.lists(st.integers(0, 100), max_size=6))
containers = st.one_of(
    st.lists(numbers, max_size=12),
    st.lists(numbers, max_size=12).map(tuple),
    st.builds(range, st.integers(-3, 12)),
    st.lists(numbers, max_size=5).map(lambda v: (x for x in v)),
    st.dictionaries(st.integers(0, 4), numbers, max_size=4),
    st.sets(st.integers(0, 9), max_size=4),
    st.lists(st.integers(0, 9), max_size=4).map(frozenset),
    st.lists(st.one_of(numbers, st.text(max_size=2), st.none(), unusual), max_size=8),
)
anything = st.one_of(
    ints,
    floats,
    st.booleans(),
    st.none(),
    st.text(max_size=4),
    st.binary(max_size=16),
    st.binary(max_size=16).map(bytearray),
    st.builds(StrSubclass, st.text(max_size=3)),
    st.builds(IntSubclass, st.integers()),
    st.builds(FloatSubclass, floats),
    st.builds(complex, floats, floats),
    containers,
    numpy_scalars,
    numpy_arrays,
    memoryviews,
    ctypes_objects,
    arrays,
    unusual,
)

# Values of the right kind are drawn more often, so that calls get past the
# conversions and into the computations.
GOOD = {
    U: st.one_of(
        st.integers(0, 6),
        st.sampled_from(EDGE_INTS),
        st.builds(lambda t, v: t(v), st.sampled_from([np.int64, np.uint8, np.int32]), st.integers(0, 6)),
        st.booleans(),
    ),
    F: st.one_of(floats, st.integers(-3, 5), st.builds(np.float64, floats), st.builds(np.float32, floats)),
    B: st.one_of(st.booleans(), st.sampled_from([np.bool_(True), np.bool_(False)])),
    L: st.one_of(
        st.lists(floats, max_size=30),
        st.integers(0, 30).flatmap(lambda n: st.lists(st.floats(-2, 2), min_size=n, max_size=n)),
        st.lists(numbers, max_size=30).map(tuple),
        st.builds(range, st.integers(0, 30)),
        hnp.arrays(np.float64, st.integers(0, 30)),
    ),
    BUF: st.one_of(f64_arrays, st.lists(floats, max_size=8).map(lambda v: array.array("d", v))),
}


def exact_lists(n):
    """Coefficient sequences of exactly the length an instance needs."""
    return st.one_of(
        st.lists(numbers, min_size=n, max_size=n),
        st.lists(st.floats(-3, 3), min_size=n, max_size=n).map(tuple),
        hnp.arrays(np.float64, n, elements=st.floats(-3, 3)),
        st.just(range(n)),
        st.lists(st.one_of(numbers, numpy_scalars, unusual), min_size=n, max_size=n),
    )


def value_for(kind, list_len=None):
    good = GOOD[kind]
    if kind == L and list_len is not None:
        good = st.one_of(good, exact_lists(list_len), exact_lists(list_len))
    return st.integers(0, 4).flatmap(lambda roll: anything if roll == 0 else good)


KEY_NOISE = st.sampled_from(["x", "T ", "t_value", "Degree", "\udc80", "periodic", "degree", "legendre_vals", ""])


@st.composite
def calls(draw, entry, list_len=None):
    """(positional values, [(keyword, value)]) for `entry`."""
    names = [p for p, _ in entry.params]
    if draw(st.integers(0, 7)) == 0:  # anything goes
        positional = draw(st.lists(anything, max_size=len(names) + 2))
        keys = draw(st.lists(st.sampled_from(names) | KEY_NOISE, max_size=3, unique=True))
        return positional, [(k, draw(anything)) for k in keys]
    count = draw(st.integers(entry.required, len(names)))
    values = [draw(value_for(kind, list_len)) for _, kind in entry.params[:count]]
    by_position = draw(st.integers(0, count))
    keywords = [(names[i], values[i]) for i in range(by_position, count)]
    keywords = draw(st.permutations(keywords)) if keywords else []
    if draw(st.integers(0, 9)) == 0:
        key = draw(st.sampled_from(names) | KEY_NOISE)
        if key not in dict(keywords):
            keywords.append((key, draw(anything)))
    return values[:by_position], keywords


class Instance:
    def __init__(self, cls, degree, n_t, T, dofs=None):
        self.params = (degree, n_t, T)
        self.obj = cls(degree, n_t, T)
        if dofs is not None:
            self.obj.set_dofs(dofs)


@st.composite
def instances(draw, cls):
    if cls is LegendreBasis and draw(st.integers(0, 9)) == 0:
        huge = [(2**40, 2**40), (2**20, 2**21)] if IS_64 else [(2**20, 2**20), (2**14, 2**15)]
        degree, n_t = draw(st.sampled_from(huge + [(SIZE_MAX, 1), (1, SIZE_MAX)]))
        return Instance(cls, degree, n_t, 1.0)
    degree, n_t = draw(st.integers(0, 4)), draw(st.integers(0, 4))
    T = draw(st.one_of(st.floats(0.5, 4.0), st.sampled_from([0.0, -2.0, math.inf, math.nan, 1.0])))
    dofs = None
    if cls is LegendreBasisEvaluator and draw(st.booleans()):
        dofs = draw(st.lists(st.floats(-3, 3), min_size=n_t * (degree + 1), max_size=n_t * (degree + 1)))
    return Instance(cls, degree, n_t, T, dofs)


PROBE = np.array([-1.0, 0.0, 0.3, 0.999, 1.0, 1.7, 2.5, 4.0, math.nan, math.inf])


def state_of(inst):
    """The coefficients as the evaluator sees them, through evaluations."""
    if inst.params[1] == 0:
        return None
    return [bits(v) for v in inst.obj.evaluate_many(PROBE) + inst.obj.evaluate_derivative_many(PROBE)]


def call_entry(entry, receiver, positional, keywords):
    kwargs = dict(keywords)
    if entry.cls is None:
        return getattr(pwpoly, entry.name)(*positional, **kwargs)
    if entry.method is None:
        return getattr(pwpoly, entry.cls)(*positional, **kwargs)
    return getattr(receiver.obj, entry.method)(*positional, **kwargs)


def predict(entry, receiver, positional, keywords):
    """The validator of a successful result, or raises Refusal / Unsettled."""
    names = [p for p, _ in entry.params]
    slots, filled = expect_matching(entry.full, names, entry.required, positional, keywords)
    converted = []
    for (name, kind), value, present in zip(entry.params, slots, filled):
        if not present:
            break  # only the optional `periodic` can be absent; its default is false
        converted.append(EXPECT[kind](value, name))
    if receiver is None:
        return entry.model(*converted), converted
    return entry.model(receiver, *converted), converted


def run_one(entry, receiver, positional, keywords):
    note(f"{entry.full}: positional={positional!r} keywords={keywords!r}")
    try:
        validator, converted = predict(entry, receiver, positional, keywords)
        refusal = None
    except Refusal as r:
        validator, refusal = None, r
    except Unsettled as why:
        note(f"not run: {why}")
        return
    before = state_of(receiver) if entry.method == "set_dofs" else None
    try:
        result = call_entry(entry, receiver, positional, keywords)
    except BaseException as exc:  # noqa: BLE001 - PanicException and MemoryError included
        if isinstance(exc, (KeyboardInterrupt, SystemExit)):
            raise
        assert refusal is not None, f"unexpected {type(exc).__name__}: {exc}"
        if refusal.exc_type is BaseException:  # one of several outcomes
            outcome = "MemoryError" if type(exc) is MemoryError else str(exc)
            assert type(exc) in (MemoryError, PanicException) and outcome in refusal.messages, repr(exc)
        else:
            assert type(exc) is refusal.exc_type, f"{type(exc).__name__}: {exc} (expected {refusal.exc_type})"
            if refusal.messages is not None:
                assert str(exc) in refusal.messages, f"{exc!s} not in {refusal.messages}"
        if before is not None:
            assert state_of(receiver) == before, "a failed set_dofs changed the coefficients"
        return
    assert refusal is None, f"returned {result!r} instead of raising {refusal.exc_type.__name__}"
    assert validator(result), f"unexpected result {result!r}"
    if entry.method == "set_dofs" and receiver.params[1] > 0:
        # The evaluator now holds exactly the converted values.
        values = converted[0]
        reference = LegendreBasis(*receiver.params)
        want = [bits(reference.evaluate_at(t, values)) for t in PROBE]
        assert [bits(v) for v in receiver.obj.evaluate_many(PROBE)] == want, values


def entry_id(entry):
    return entry.full.replace("()", "")


@pytest.mark.parametrize("entry", ENTRIES, ids=entry_id)
def test_every_call_returns_or_raises_as_expected(entry):
    receiver_strategy = st.none()
    if entry.method is not None:
        receiver_strategy = instances(getattr(pwpoly, entry.cls))

    @FUZZ
    @given(receiver=receiver_strategy, data=st.data())
    def fuzz(receiver, data):
        list_len = None
        if receiver is not None and receiver.params[0] < 100 and receiver.params[1] < 100:
            list_len = receiver.params[1] * (receiver.params[0] + 1) + data.draw(st.sampled_from([0, 0, 0, 1, -1]))
            list_len = max(list_len, 0)
        positional, keywords = data.draw(calls(entry, list_len))
        run_one(entry, receiver, positional, keywords)

    fuzz()


# ---------------------------------------------------------------------------
# pwpoly_arrays: its public functions and its private module's entries.
#
# The oracle is coarser than pwpoly's: every call either returns a result
# that is bit for bit what pwpoly computes for the same converted input, or
# raises one of the documented refusals (TypeError, ValueError; MemoryError
# and OverflowError only for sizes beyond the platform). It never crashes,
# never raises pwpoly's PanicException or a SystemError, never writes outside
# `out`.

pa = pytest.importorskip("pwpoly_arrays")
from pwpoly_arrays._native_loader import load_native  # noqa: E402

native = load_native()
COMPANION_REFUSALS = (TypeError, ValueError)


class Reduces:
    """Pickles as a call of `function` with `args` (a hostile pickle)."""

    def __init__(self, function, args):
        self.function, self.args = function, args

    def __reduce__(self):
        return self.function, self.args


def _masked(a):
    return np.ma.masked_array(a, mask=np.zeros(a.shape, dtype=bool)) if isinstance(a, np.ndarray) else a


coefficient_arrays = st.builds(
    _layout,
    hnp.arrays(np.float64, hnp.array_shapes(min_dims=2, max_dims=2, min_side=1, max_side=5), elements=st.floats(-3, 3)),
    st.sampled_from(["plain", "strided", "reversed", "transposed", "misaligned", "readonly"]),
)


def _breakpoints(widths, start):
    return start + np.concatenate([[0.0], np.cumsum(widths)])


breakpoint_lists = st.builds(_breakpoints, st.lists(st.floats(1e-3, 2.0), min_size=1, max_size=6), st.floats(-5.0, 5.0))
meshes = st.one_of(
    st.builds(pa.TimeMesh, breakpoint_lists),
    st.builds(pa.TimeMesh.uniform, st.integers(1, 6), st.floats(0.5, 4.0), start=st.sampled_from([0.0, -1.5, 0.25])),
    st.builds(pa.TimeMesh.graded, st.integers(1, 6), st.floats(0.5, 4.0), st.floats(1.0, 4.0)),
)
companion_values = {
    "coefficients": st.one_of(coefficient_arrays, coefficient_arrays.map(_masked), numpy_arrays, anything),
    "T": st.one_of(st.floats(0.25, 8.0), st.sampled_from([1e300, 1e302, 1e-300, 10**400, True]), floats, anything),
    # Where an expansion takes its mesh: T, a TimeMesh, breakpoints (valid or not).
    "mesh": st.one_of(
        st.floats(0.25, 8.0),
        meshes,
        breakpoint_lists,
        st.lists(floats, max_size=6),
        st.sampled_from([1e302, 10**400, True]),
        anything,
    ),
    "t": st.one_of(f64_arrays, f64_arrays.map(_masked), numpy_arrays, floats, st.lists(floats, max_size=5), anything),
    "flag": st.one_of(st.booleans(), st.sampled_from([np.bool_(True), "False", 0, 1, None]), anything),
    "degree": st.one_of(st.integers(0, 6), st.sampled_from([61, -1, 2**70, 1.0, True]), anything),
    "n_t": st.one_of(st.integers(1, 6), st.sampled_from([0, -2, 2**64, 2.0]), anything),
}


def reference_values(e, times, derivative):
    """The values at the C-order flattening of the float64 times: pwpoly's
    evaluate_many at t - start for a uniform mesh (the mesh's rule), the
    expansion's own single-time evaluation on any other; NaN at NaN times."""
    flat = np.ascontiguousarray(times, dtype=np.float64).ravel()
    mesh = e.mesh
    if mesh.is_uniform:
        ev = LegendreBasisEvaluator(e.degree, e.n_t, mesh.end - mesh.start)
        ev.set_dofs(list(np.asarray(e.coefficients).ravel()))
        values = np.asarray((ev.evaluate_derivative_many if derivative else ev.evaluate_many)(flat - mesh.start))
    else:
        f = e.derivative if derivative else e
        values = np.array([f(float(x)) for x in flat])
    values[np.isnan(flat)] = np.nan
    return values


def raised_by_an_argument(exc):
    """Whether `exc` came out of a drawn argument's own protocol method (an
    Unusual object raising on request), which every entry must pass on."""
    tb = exc.__traceback__
    while tb is not None:
        if tb.tb_frame.f_code is Unusual._act.__code__:
            return True
        tb = tb.tb_next
    return False


def check_companion_call(call, validate):
    try:
        result = call()
    except COMPANION_REFUSALS:
        return
    except (MemoryError, OverflowError) as exc:
        note(f"refused by size: {exc!r}")
        return
    except Exception as exc:
        if not raised_by_an_argument(exc):
            raise
        return
    validate(result)


@FUZZ
@given(data=st.data())
def test_companion_expansion_returns_or_refuses(data):
    coefficients = data.draw(companion_values["coefficients"], "coefficients")
    mesh = data.draw(companion_values["mesh"], "mesh")

    def validate(e):
        assert np.array_equal(e.coefficients.view(np.uint64), np.asarray(coefficients, np.float64).view(np.uint64))
        assert pickle.loads(pickle.dumps(e)) == e
        t = data.draw(companion_values["t"], "t")
        derivative = data.draw(st.booleans(), "derivative")
        f = e.derivative if derivative else e
        layout = data.draw(st.sampled_from(["new", "alias", "fresh", "strided", "misaligned", "overlap"]), "out")
        array = np.asarray(t) if isinstance(t, np.ndarray) and not isinstance(t, np.ma.MaskedArray) else None
        out = None
        if array is not None and array.dtype == np.float64 and array.flags.writeable:
            out = {
                "alias": array,
                "fresh": np.empty(array.shape),
                "strided": np.empty(array.shape + (2,))[..., 0],
                "misaligned": _layout(np.empty(array.shape), "misaligned"),
                "overlap": array[..., ::-1] if array.ndim and array.shape[-1] > 1 else None,
            }.get(layout)
        converted = expected = None
        if array is not None:
            try:
                converted = pa._checks.float64_array(array, "t")
            except (TypeError, ValueError):
                pass
        if converted is not None and e.coefficients.ndim == 2:  # the reference is a scalar expansion's
            expected = reference_values(e, converted, derivative)

        def check(values):
            assert converted is not None, "accepted times that cannot be converted safely"
            if expected is not None:
                got = np.asarray(values, dtype=np.float64).ravel()
                nan = np.isnan(expected)
                assert np.array_equal(np.isnan(got), nan)
                assert np.array_equal(got[~nan].view(np.uint64), expected[~nan].view(np.uint64))
            if out is not None:
                assert values is out

        check_companion_call(
            lambda: f(t) if out is None else f(t, out=out), check if array is not None else lambda v: None
        )

    check_companion_call(lambda: pa.Expansion(coefficients, mesh), validate)


@FUZZ
@given(data=st.data())
def test_companion_functions_return_or_refuse(data):
    draw = data.draw
    name = draw(
        st.sampled_from(
            [
                "collocation",
                "prolongation",
                "lagrange_to_legendre",
                "points",
                "unpickle",
                "operator",
                "calculus",
                "on a mesh",
            ]
        ),
        "fn",
    )
    degree, n_t, T = draw(companion_values["degree"]), draw(companion_values["n_t"]), draw(companion_values["T"])
    flag = draw(companion_values["flag"])
    if name == "collocation":
        t = draw(companion_values["t"])
        check_companion_call(lambda: pa.collocation_matrix(degree, n_t, T, t, derivative=flag), lambda m: m.tocsr())
    elif name == "prolongation":
        fine = draw(companion_values["n_t"])

        def same_as_pwpoly(m):
            rows, cols, values = pwpoly.lagrange_prolongation_matrix(n_t, fine, degree, flag)
            assert m.nnz == len(values) and np.array_equal(m.data, values)

        check_companion_call(lambda: pa.prolongation_matrix(degree, n_t, fine, periodic=flag), same_as_pwpoly)
    elif name == "lagrange_to_legendre":
        check_companion_call(lambda: pa.lagrange_to_legendre_matrix(degree, n_t, periodic=flag), lambda m: m.tocsr())
    elif name == "points":
        check_companion_call(
            lambda: pa.lagrange_points(degree, n_t, T, periodic=flag),
            lambda p: np.array_equal(p, pwpoly.get_lagrange_points(degree, n_t, T, flag)) or pytest.fail("points"),
        )
    elif name == "operator":
        basis = draw(st.sampled_from(["legendre", "lagrange", "Legendre", None]))
        fine = draw(companion_values["n_t"])
        call = draw(
            st.sampled_from(
                [
                    lambda: pa.mass_matrix(degree, n_t, T, basis=basis, periodic=flag),
                    lambda: pa.derivative_matrix(degree, n_t, T, basis=basis, periodic=flag),
                    lambda: pa.upwind_matrix(degree, n_t, periodic=flag),
                    lambda: pa.endpoint_matrices(degree, n_t)[0],
                    lambda: pa.prolongation_matrix(degree, n_t, fine, periodic=flag, basis=basis),
                    lambda: pa.restriction_matrix(degree, n_t, fine),
                ]
            )
        )
        check_companion_call(call, lambda m: m.tocsr())
    elif name == "calculus":
        values = draw(companion_values["t"])
        call = draw(
            st.sampled_from(
                [
                    lambda: pa.project(lambda x: values, degree, n_t, T),
                    lambda: pa.gauss_legendre(degree, n_t, T),
                    lambda: pa.Expansion.from_nodal_values(values, degree, T, periodic=flag),
                ]
            )
        )
        check_companion_call(call, lambda result: result)
    elif name == "on a mesh":
        mesh, other = draw(companion_values["mesh"]), draw(companion_values["mesh"])
        t = draw(companion_values["t"])
        basis = draw(st.sampled_from(["legendre", "lagrange", None]))
        call = draw(
            st.sampled_from(
                [
                    lambda: pa.collocation_matrix(degree, mesh, t, derivative=flag),
                    lambda: pa.mass_matrix(degree, mesh, basis=basis, periodic=flag),
                    lambda: pa.derivative_matrix(degree, mesh, basis=basis, periodic=flag),
                    lambda: pa.lagrange_points(degree, mesh, periodic=flag),
                    lambda: pa.gauss_legendre(degree, mesh),
                    lambda: pa.project(lambda x: t, degree, mesh),
                    lambda: pa.prolongation_matrix(degree, mesh, other, periodic=flag, basis=basis),
                    lambda: pa.restriction_matrix(degree, mesh, other),
                    lambda: pa.Expansion.from_nodal_values(t, degree, mesh, periodic=flag),
                ]
            )
        )
        check_companion_call(call, lambda result: result)
    else:
        picklable = st.one_of(
            ints, floats, st.none(), st.text(max_size=3), numpy_arrays.filter(lambda a: isinstance(a, np.ndarray))
        )
        payload = pickle.dumps(Reduces(pa.Expansion, tuple(draw(st.lists(picklable, max_size=3)))))
        check_companion_call(lambda: pickle.loads(payload), lambda e: e(0.5))


@FUZZ
@given(data=st.data())
def test_companion_private_entries_never_crash(data):
    """The private module, called directly with anything: an exception or a result, never a crash."""
    e = pa.Expansion(np.arange(6.0).reshape(2, 3), [0.0, 0.5, 1.0, 2.5])
    entries = [
        native.Expansion,
        native.TimeMesh,
        native.uniform_mesh,
        native.graded_mesh,
        native.collocation,
        native.prolongation,
        native.lagrange_to_legendre,
        native.lagrange_points,
        native.gauss_legendre,
        native.project,
        native.mass,
        native.legendre_transfer,
        e._core.evaluate,
        e._core.evaluate_into,
        e._core.integral,
        e._core.antiderivative,
    ]
    native_meshes = st.sampled_from([e.mesh._core, native.uniform_mesh(2, -1.0, 1.0), native.graded_mesh(3, 1.0, 2.0)])
    entry = data.draw(st.sampled_from(entries), "entry")
    args = data.draw(
        st.lists(st.one_of(anything, f64_arrays, st.integers(0, 5), st.booleans(), native_meshes), max_size=6), "args"
    )
    try:
        entry(*args)
    except (TypeError, ValueError, MemoryError, OverflowError, BufferError):
        pass
