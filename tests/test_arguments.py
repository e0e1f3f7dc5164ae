"""Argument matching, argument conversion and the result of sum_as_string."""

import array
import sys

import numpy as np
import pytest

import pwpoly
from pwpoly import LegendreBasis, LegendreBasisEvaluator, get_lagrange_points, sum_as_string

SIZE_MAX = sys.maxsize * 2 + 1
IS_64BIT = sys.maxsize > 2**32


@pytest.fixture
def ev():
    return LegendreBasisEvaluator(1, 2, 2.0)


# -- argument matching -------------------------------------------------------

MATCHING_CASES = [
    (
        lambda ev: LegendreBasisEvaluator(1),
        "LegendreBasisEvaluator.__new__() missing 2 required positional arguments: 'n_t' and 'T'",
    ),
    (
        lambda ev: LegendreBasisEvaluator(),
        "LegendreBasisEvaluator.__new__() missing 3 required positional arguments: 'degree', 'n_t', and 'T'",
    ),
    (
        lambda ev: LegendreBasisEvaluator(1, 2),
        "LegendreBasisEvaluator.__new__() missing 1 required positional argument: 'T'",
    ),
    (
        lambda ev: LegendreBasis(T=1.0),
        "LegendreBasis.__new__() missing 2 required positional arguments: 'degree' and 'n_t'",
    ),
    (
        lambda ev: ev.set_dofs(),
        "LegendreBasisEvaluator.set_dofs() missing 1 required positional argument: 'legendre_vals'",
    ),
    (
        lambda ev: get_lagrange_points(1, 2, 3.0, True, 5),
        "get_lagrange_points() takes from 3 to 4 positional arguments but 5 were given",
    ),
    (
        lambda ev: ev.set_dofs([1.0], [2.0]),
        "LegendreBasisEvaluator.set_dofs() takes 1 positional arguments but 2 were given",
    ),
    (lambda ev: sum_as_string(1, 2, 3), "sum_as_string() takes 2 positional arguments but 3 were given"),
    (lambda ev: LegendreBasis(1, 2, 3.0, 4), "LegendreBasis.__new__() takes 3 positional arguments but 4 were given"),
    (
        lambda ev: pwpoly.lagrange_to_legendre_basis_transformation(1, 2, True, 4),
        "lagrange_to_legendre_basis_transformation() takes from 2 to 3 positional arguments but 4 were given",
    ),
    (
        lambda ev: get_lagrange_points(1, 2, 3.0, degree=1),
        "get_lagrange_points() got multiple values for argument 'degree'",
    ),
    (lambda ev: ev.evaluate_at(x=1.0), "LegendreBasisEvaluator.evaluate_at() got an unexpected keyword argument 'x'"),
    (
        lambda ev: LegendreBasisEvaluator(1, 2, 2.0, bogus=1),
        "LegendreBasisEvaluator.__new__() got an unexpected keyword argument 'bogus'",
    ),
    (lambda ev: sum_as_string(a=1, **{"a\u00e9": 2}), "sum_as_string() got an unexpected keyword argument 'a\u00e9'"),
    # The first offending keyword, in call order, decides.
    (lambda ev: sum_as_string(1, c=3, a=1), "sum_as_string() got an unexpected keyword argument 'c'"),
    (lambda ev: sum_as_string(1, a=1, c=3), "sum_as_string() got multiple values for argument 'a'"),
    (lambda ev: LegendreBasis(1, degree=2, zz=3), "LegendreBasis.__new__() got multiple values for argument 'degree'"),
    # Too many positional arguments is reported before keywords are looked at.
    (lambda ev: sum_as_string(1, 2, 3, zz=1), "sum_as_string() takes 2 positional arguments but 3 were given"),
    # Matching fails before any conversion.
    (lambda ev: sum_as_string("x"), "sum_as_string() missing 1 required positional argument: 'b'"),
]


@pytest.mark.parametrize("call, message", MATCHING_CASES)
def test_argument_matching_messages(ev, call, message):
    with pytest.raises(TypeError) as info:
        call(ev)
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_one_positional_argument_uses_was():
    message = r"^get_lagrange_points\(\) takes from 3 to 4 positional arguments but 5 were given$"
    with pytest.raises(TypeError, match=message):
        get_lagrange_points(1, 2, 3, False, 0)
    ev = LegendreBasisEvaluator(0, 1, 1.0)
    with pytest.raises(TypeError) as info:
        ev.evaluate_at(1.0, 2.0)
    assert str(info.value) == "LegendreBasisEvaluator.evaluate_at() takes 1 positional arguments but 2 were given"


def test_every_parameter_accepts_keywords():
    ev = LegendreBasisEvaluator(T=2.0, n_t=2, degree=1)
    ev.set_dofs(legendre_vals=[10, 30, 20, 40])
    assert ev.evaluate_at(t=0.5) == 10.0
    assert ev.evaluate_derivative_at(t=0.5) == 40.0
    assert ev.evaluate_many(t_values=np.array([0.5])) == [10.0]
    assert ev.evaluate_derivative_many(t_values=np.array([1.5])) == [80.0]
    assert sum_as_string(b=1, a=2) == "3"
    assert get_lagrange_points(T=1.0, periodic=True, n_t=2, degree=2) == [0.0, 0.25, 0.5, 0.75]


# -- conversions -------------------------------------------------------------


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floaty:
    def __float__(self):
        return 0.5


class RaisingFloat:
    def __float__(self):
        raise ZeroDivisionError("no float here")


class TypeErrorSubclass(TypeError):
    pass


class CausedTypeError:
    def __float__(self):
        try:
            raise KeyError("root")
        except KeyError as cause:
            raise TypeError("inner") from cause


class SubclassTypeError:
    def __float__(self):
        raise TypeErrorSubclass("subclass")


@pytest.mark.parametrize(
    "degree, expected",
    [(True, 1), (False, 0), (Index(3), 3), (np.int64(2), 2), (np.uint8(4), 4), (200, 200)],
)
def test_unsigned_accepts_ints_and_index(degree, expected):
    # The degree shows in the length of the all-basis list.
    basis = LegendreBasis(degree, 1, 1.0)
    assert len(basis.evaluate_all_basis_functions(0.5)) == expected + 1


@pytest.mark.parametrize("value", [1.5, "1", None, [1], np.float64(1.0)])
def test_unsigned_rejects_non_integers_with_prefix(value):
    with pytest.raises(TypeError) as info:
        LegendreBasisEvaluator(value, 4, 1.0)
    assert type(info.value) is TypeError
    assert str(info.value).startswith("argument 'degree': ")


@pytest.mark.parametrize("value", [-1, -(2**70), 2**64, Index(-1)])
def test_unsigned_overflow_is_unprefixed(value):
    with pytest.raises(OverflowError) as info:
        LegendreBasisEvaluator(value, 4, 1.0)
    assert "argument" not in str(info.value)


def test_unsigned_narrowing_to_size_type():
    if IS_64BIT:
        assert sum_as_string(2**64 - 1, 0) == str(2**64 - 1)
    else:
        for value in (2**32, 2**64 - 1):
            with pytest.raises(OverflowError) as info:
                sum_as_string(value, 0)
            assert str(info.value) == "out of range integral type conversion attempted"


@pytest.mark.parametrize(
    "a, b, expected",
    [
        (2, 3, "5"),
        (0, 0, "0"),
        (True, 2, "3"),
        (4294967295, 1, "4294967296" if IS_64BIT else "0"),
        (SIZE_MAX, 1, "0"),
        (SIZE_MAX, SIZE_MAX, str(SIZE_MAX - 1)),
        (Index(7), np.int32(8), "15"),
    ],
)
def test_sum_as_string_wraps_in_size_type(a, b, expected):
    assert sum_as_string(a, b) == expected


@pytest.mark.parametrize("t", [0.5, 1, True, np.float64(0.5), np.float32(0.5), Index(0), Floaty()])
def test_float_accepts_numbers(ev, t):
    ev.set_dofs([1.0, 2.0, 3.0, 4.0])
    assert ev.evaluate_at(t) == ev.evaluate_at(float(t.__index__() if isinstance(t, Index) else t))


def test_float_errors(ev):
    with pytest.raises(TypeError, match=r"^argument 't': "):
        ev.evaluate_at("0.5")
    with pytest.raises(OverflowError) as info:
        ev.evaluate_at(10**400)
    assert "argument" not in str(info.value)
    with pytest.raises(ZeroDivisionError, match="^no float here$"):
        ev.evaluate_at(RaisingFloat())
    with pytest.raises(TypeErrorSubclass, match="^subclass$"):
        ev.evaluate_at(SubclassTypeError())
    # -1.0 is a value, not an error indicator.
    assert ev.evaluate_at(-1.0) == 0.0


def test_prefixed_type_error_keeps_the_cause(ev):
    with pytest.raises(TypeError) as info:
        ev.evaluate_at(CausedTypeError())
    assert str(info.value) == "argument 't': inner"
    assert isinstance(info.value.__cause__, KeyError)


def test_bool_accepts_numpy_booleans():
    assert get_lagrange_points(1, 2, 2.0, np.True_) == [0.0, 1.0]
    assert get_lagrange_points(1, 2, 2.0, periodic=np.bool_(False)) == [0.0, 1.0, 2.0]


FLOAT_LIST_ERRORS = [
    ("abc", "argument 'legendre_vals': Can't extract `str` to `Vec`"),
    (5, "argument 'legendre_vals': 'int' object cannot be cast as 'Sequence'"),
    ({1: 1.0}, "argument 'legendre_vals': 'dict' object cannot be cast as 'Sequence'"),
    ({1.0, 2.0}, "argument 'legendre_vals': 'set' object cannot be cast as 'Sequence'"),
    ((x for x in [1.0]), "argument 'legendre_vals': 'generator' object cannot be cast as 'Sequence'"),
]


@pytest.mark.parametrize("value, message", FLOAT_LIST_ERRORS)
def test_float_list_rejects_non_sequences(ev, value, message):
    with pytest.raises(TypeError) as info:
        ev.set_dofs(value)
    assert str(info.value) == message


def test_float_list_item_errors(ev):
    with pytest.raises(TypeError, match=r"^argument 'legendre_vals': "):
        ev.set_dofs([1.0, "x"])
    with pytest.raises(TypeError, match=r"^argument 'legendre_vals': "):
        ev.set_dofs((1.0, None, 2.0, 3.0))
    with pytest.raises(OverflowError):
        ev.set_dofs([1.0, 2.0, 3.0, 10**400])


@pytest.mark.parametrize(
    "values",
    [
        [10, 30, 20, 40],
        (10, 30.0, True, 40),
        range(4),
        np.array([1.0, 2.0, 3.0, 4.0]),
        array.array("d", [1.0, 2.0, 3.0, 4.0]),
        bytes([1, 2, 3, 4]),
        [np.float32(1.5), np.int64(2), Floaty(), 4],
    ],
)
def test_float_list_accepts_sequences(ev, values):
    ev.set_dofs(values)
    expected = [float(v) for v in values]
    reference = LegendreBasis(1, 2, 2.0)
    for t in (0.25, 0.5, 1.0, 1.75):
        assert ev.evaluate_at(t) == reference.evaluate_at(t, expected)


class ShrinkingFloat:
    """Converting this item empties the list being converted."""

    def __init__(self, target):
        self.target = target

    def __float__(self):
        self.target.clear()
        return 1.0


def test_float_list_survives_mutation_during_conversion():
    values = [1.0, 2.0, 3.0]
    values.insert(1, ShrinkingFloat(values))
    ev = LegendreBasisEvaluator(0, 2, 1.0)
    ev.set_dofs(values)  # items 0 and 1 were seen, then the list was empty
    assert ev.evaluate_at(0.25) == 1.0
    assert ev.evaluate_at(0.75) == 1.0


class LyingLength(list):
    def __len__(self):
        return 10**15


def test_float_list_length_is_only_a_hint():
    ev = LegendreBasisEvaluator(0, 2, 1.0)
    ev.set_dofs(LyingLength([3.0, 4.0]))
    assert ev.evaluate_at(0.75) == 4.0


# -- float buffers -------------------------------------------------------------


def test_buffer_rejects_non_buffers_with_prefix(ev):
    with pytest.raises(TypeError) as info:
        ev.evaluate_many([0.1, 0.2])
    assert str(info.value).startswith("argument 't_values': ")


@pytest.mark.parametrize(
    "make",
    [
        lambda: array.array("f", [0.5]),
        lambda: b"12345678",
        lambda: np.array([1, 2], dtype=np.int64),
        lambda: np.array([0.5], dtype=">f8"),
        lambda: np.array([0.5], dtype=np.complex64),
        lambda: memoryview(b"\0" * 16).cast("Q"),
    ],
)
def test_buffer_rejects_other_formats(ev, make):
    with pytest.raises(BufferError) as info:
        ev.evaluate_many(make())
    assert str(info.value) == "buffer contents are not compatible with f64"


def test_buffer_accepts_explicit_native_byte_order(ev):
    import ctypes

    ev.set_dofs([10, 30, 20, 40])
    # ctypes states its byte order ("<d" here); a memoryview re-exports it with strides.
    native = memoryview((ctypes.c_double * 2)(0.5, 1.5))
    assert native.format == ("<d" if sys.byteorder == "little" else ">d")
    assert ev.evaluate_many(native) == [10.0, 30.0]
    raw = array.array("d", [0.5, 1.5])
    assert ev.evaluate_many(memoryview(raw).cast("B").cast("@d")) == [10.0, 30.0]
    foreign = ">f8" if sys.byteorder == "little" else "<f8"
    with pytest.raises(BufferError, match="^buffer contents are not compatible with f64$"):
        ev.evaluate_many(np.frombuffer(raw.tobytes(), dtype=foreign))


def test_buffer_layouts(ev):
    ev.set_dofs([10, 30, 20, 40])
    data = np.array([[0.5, 1.5, 1.0], [2.0, 0.25, 1.75]])
    expected = [ev.evaluate_at(t) for t in data.ravel()]
    assert ev.evaluate_many(data) == expected  # row-major flattening
    assert ev.evaluate_many(np.asfortranarray(data)) == expected  # C order, whatever the strides
    assert ev.evaluate_many(data.T) == [ev.evaluate_at(t) for t in data.T.ravel()]
    flat = array.array("d", [0.5, 9.0, 1.5, 9.0, 1.0])
    assert ev.evaluate_many(memoryview(flat)[::2]) == [10.0, 30.0, -10.0]
    assert ev.evaluate_many(np.arange(10.0)[::-3]) == [ev.evaluate_at(t) for t in np.arange(10.0)[::-3]]


def test_buffer_alignment_and_emptiness(ev):
    raw = memoryview(bytearray(40))
    base = np.frombuffer(raw, dtype=np.uint8).ctypes.data
    platform_alignment = 8 if IS_64BIT else 4
    for offset in range(0, 9):
        view = raw[offset : offset + 16].cast("d")
        empty = raw[offset:offset].cast("d")
        if (base + offset) % platform_alignment == 0:
            assert ev.evaluate_many(view) == [0.0, 0.0]
            assert ev.evaluate_many(empty) == []
        else:
            with pytest.raises(BufferError, match="^buffer contents are insufficiently aligned for f64$"):
                ev.evaluate_many(view)
            # The alignment test applies to empty buffers as well.
            with pytest.raises(BufferError, match="^buffer contents are insufficiently aligned for f64$"):
                ev.evaluate_many(empty)
    assert ev.evaluate_many(np.array([], dtype=np.float64)) == []


def test_buffer_four_byte_alignment_on_32bit(ev):
    if IS_64BIT:
        pytest.skip("4-byte aligned doubles are a 32-bit platform rule")
    raw = memoryview(bytearray(40))
    base = np.frombuffer(raw, dtype=np.uint8).ctypes.data
    offset = next(o for o in range(8) if (base + o) % 8 == 4)
    assert ev.evaluate_many(raw[offset : offset + 16].cast("d")) == [0.0, 0.0]


def test_zero_dimensional_buffer_is_rejected(ev):
    with pytest.raises(BufferError) as info:
        ev.evaluate_many(np.float64(0.5))
    assert str(info.value) in ("shape is null", "strides is null")
    with pytest.raises(BufferError):
        ev.evaluate_many(np.array(0.5))
