"""Checks of the reference model's own building blocks that the extension does
not expose: the recurrence against exact rationals, the dense inversion, the
COO-to-CSR compression, and the helpers that replace Python's exceptions by
IEEE results. The model's public facade is exercised, together with the
module, by test_legendre_basis.py and test_lagrange.py.
"""

import math
import random
from fractions import Fraction

import pytest

import reference_model as model

pytestmark = pytest.mark.reference_model


def exact_legendre(k, x):
    p_prev, p = Fraction(1), Fraction(x)
    if k == 0:
        return p_prev
    for n in range(1, k):
        p_prev, p = p, ((2 * n + 1) * x * p - n * p_prev) / (n + 1)
    return p


def exact_inverse(m):
    n = len(m)
    a = [[Fraction(v) for v in row] + [Fraction(int(r == c)) for c in range(n)] for r, row in enumerate(m)]
    for c in range(n):
        p = next(r for r in range(c, n) if a[r][c] != 0)
        a[c], a[p] = a[p], a[c]
        a[c] = [v / a[c][c] for v in a[c]]
        for r in range(n):
            if r != c and a[r][c] != 0:
                f = a[r][c]
                a[r] = [x - f * y for x, y in zip(a[r], a[c])]
    return [row[n:] for row in a]


def test_ieee_helpers():
    assert model.same_float(-0.0, -0.0) and not model.same_float(-0.0, 0.0)
    assert model.same_float(math.nan, -math.nan) and not model.same_float(math.nan, 0.0)
    assert not model.same_float(1, 1.0)
    assert model.fdiv(1.0, -0.0) == -math.inf and model.fdiv(-2.0, 0.0) == -math.inf
    assert math.isnan(model.fdiv(0.0, 0.0)) and math.isnan(model.fdiv(math.nan, 0.0))
    assert model.same_float(model.fdiv(0.0, -3.0), -0.0)


@pytest.mark.parametrize("k", range(0, 21))
def test_legendre_recurrence_is_p_k_to_rounding(k):
    rng = random.Random(k)
    for x in [-1.0, 1.0, 0.0, 0.5] + [rng.uniform(-1.0, 1.0) for _ in range(6)]:
        assert math.isclose(model.legendre(k, x), float(exact_legendre(k, x)), rel_tol=1e-13, abs_tol=1e-14)
    assert model.legendre(k, 1.0) == 1.0 and model.legendre(k, -1.0) == (-1.0) ** k


def test_locate_examples():
    assert model.locate(2 / 3, 3, 1.0) == (2, -0.9999999999999997)
    assert model.locate(1.0, 2, 2.0) == (1, -1.0)
    assert model.locate(math.inf, 5, 1.0) == (4, 1.0)
    assert model.locate(1e300, 5, 1e-300) == (4, 1.0)  # quotient beyond the size type saturates
    j, xi = model.locate(math.nan, 5, 1.0)
    assert j == 0 and math.isnan(xi)


def test_equidistant_points_multiply_before_dividing():
    assert model.equidistant_points_on_interval(0.0, 1.0, 5)[3] == 0.6
    (point,) = model.equidistant_points_on_interval(0.0, 1.0, 0)
    assert math.isnan(point)


@pytest.mark.parametrize("degree", [*range(1, 11), 14])
def test_coefficient_matrix_matches_the_exact_inverse(degree):
    nodes = [Fraction(-1) + Fraction(2 * j, degree) for j in range(degree + 1)]
    vandermonde = [[exact_legendre(k, x) for x in nodes] for k in range(degree + 1)]
    w = exact_inverse(vandermonde)
    c = model.legendre_coefficient_matrix(degree)
    scale = max(abs(v) for row in c for v in row)
    for p in range(degree + 1):
        for j in range(degree + 1):
            assert abs(Fraction(c[p][j]) - w[j][p]) <= Fraction(1e-15) * scale * (degree + 1) ** 2


def vandermonde(degree):
    x = model.equidistant_points_on_interval(-1.0, 1.0, degree)
    return [[model.legendre(k, x[j]) for j in range(degree + 1)] for k in range(degree + 1)]


@pytest.mark.parametrize("invert", [model.adjugate_inverse_4, model.lu_inverse])
def test_inverse_times_matrix_is_identity(invert):
    for degree in (3,) if invert is model.adjugate_inverse_4 else (3, 4, 8):
        m = vandermonde(degree)
        inv = invert(m)
        n = degree + 1
        for r in range(n):
            for c in range(n):
                value = math.fsum(m[r][k] * inv[k][c] for k in range(n))
                assert math.isclose(value, float(r == c), abs_tol=1e-13)


@pytest.mark.parametrize(
    "invert, matrix",
    [
        (model.adjugate_inverse_4, [[1, 2, 1, 4], [0, 1, 0, 2], [3, 5, 3, 1], [2, 2, 2, 7]]),
        (model.lu_inverse, [[0, 2, 3, 4, 5], [0, 1, 2, 3, 4], [0, 2, 1, 5, 6], [0, 7, 1, 1, 1], [0, 3, 2, 2, 9]]),
    ],
    ids=["two-equal-columns", "zero-first-column-below-diagonal"],
)
def test_singular_matrices_are_not_invertible(invert, matrix):
    with pytest.raises(model.NotInvertible):
        invert([[float(v) for v in row] for row in matrix])


@pytest.mark.parametrize(
    "first_column, pivot",
    [
        ([2.0, -2.0, 1.0, 0.0, 0.0], 0),  # a tie of magnitudes keeps the upper row
        ([1.0, -3.0, 2.0, 0.0, 0.0], 1),  # otherwise the largest magnitude wins
    ],
)
def test_lu_pivot_of_the_first_column(first_column, pivot):
    # Lower triangular with a non-zero diagonal: only the first column decides the first pivot.
    matrix = [[first_column[r] if c == 0 else float(r == c) * (r + 2) for c in range(5)] for r in range(5)]
    pivots = []
    model.lu_inverse(matrix, pivots)
    assert pivots[0] == pivot


@pytest.mark.parametrize(
    "pushes, shape, expected",
    [
        ([], (3, 3), ([], [], [])),
        ([(2, 0, 1.5), (0, 1, 2.0), (0, 0, 3.0)], (3, 3), ([0, 0, 2], [0, 1, 0], [3.0, 2.0, 1.5])),
        ([(1, 1, 0.25), (1, 1, 0.5)], (2, 2), ([1], [1], [0.75])),
        ([(0, 0, 0.0), (1, 0, -0.5), (1, 0, 0.5)], (2, 1), ([0, 1], [0, 0], [0.0, 0.0])),
        (
            [(2, 2, 1.0), (2, 1, 2.0), (1, 2, 3.0), (0, 0, 4.0)],
            (3, 3),
            ([0, 1, 2, 2], [0, 2, 1, 2], [4.0, 3.0, 2.0, 1.0]),
        ),
    ],
    ids=["empty", "unsorted", "duplicate-summed", "zeros-kept", "descending"],
)
def test_coo_to_triplets(pushes, shape, expected):
    assert model.coo_to_triplets(pushes, *shape) == expected


@pytest.mark.parametrize(
    "push, message",
    [
        ((3, 5, 1.0), "assertion failed: i < self.nrows"),
        ((0, 3, 1.0), "assertion failed: j < self.ncols"),
    ],
)
def test_coo_push_out_of_range(push, message):
    with pytest.raises(model.PanicException, match=message):
        model.coo_to_triplets([push], 3, 3)


def test_carrying_the_recurrence_gives_the_same_bits_as_restarting_it():
    rng = random.Random(3)
    for x in [rng.uniform(-1.0, 1.0) for _ in range(6)] + [-1.0, 1.0, 0.0]:
        values = model.legendre_values(20, x)
        assert all(model.same_float(model.plain(v), model.plain(model.legendre(i, x))) for i, v in enumerate(values))


@pytest.mark.parametrize("op", ["+", "-", "*", "/"])
def test_soft_float_rounds_once_to_nearest_even(op):
    rng = random.Random(op)
    specials = [
        0.0,
        -0.0,
        1.0,
        5e-324,
        -5e-324,
        2.2250738585072014e-308,
        1.7976931348623157e308,
        1.0 + 2.0**-52,
        3.0,
        0.1,
    ]
    ops = {"+": lambda a, b: a + b, "-": lambda a, b: a - b, "*": lambda a, b: a * b, "/": lambda a, b: a / b}
    for _ in range(600):
        a, b = (
            rng.choice(specials)
            if rng.random() < 0.2
            else math.ldexp(rng.uniform(-1.0, 1.0), rng.choice([rng.randint(-1080, 1023), rng.randint(-4, 4)]))
            for _ in range(2)
        )
        if op == "/" and b == 0.0:
            continue
        got = ops[op](model.SoftFloat(a), b)
        exact = ops[op](Fraction(a), Fraction(b))
        if math.isinf(got):
            # Overflow: the exact value is at least DBL_MAX plus half an ulp.
            assert abs(exact) >= Fraction(2) ** 1024 - Fraction(2) ** 970 and (exact > 0) == (got > 0)
            continue
        error = abs(Fraction(got) - exact)
        for neighbour in (math.nextafter(got, math.inf), math.nextafter(got, -math.inf)):
            if math.isinf(neighbour):
                continue
            other = abs(Fraction(neighbour) - exact)
            assert error < other or (error == other and model.float_bits(got) % 2 == 0), (a, b)
        if exact == 0:
            assert math.copysign(1.0, got) == math.copysign(1.0, ops[op](a, b))
