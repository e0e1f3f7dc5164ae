"""pwpoly_arrays' calculus: integrals, antiderivatives, the Gauss-Legendre
rule, the L2 projection and Lagrange interpolation, each against exact
fractions or mpmath."""

import functools
import math
from fractions import Fraction

import numpy as np
import pytest
from arrays_support import bits

import reference_model as model

pa = pytest.importorskip("pwpoly_arrays")
pytest.importorskip("scipy.sparse")


def exact_integrals(c, T):
    """Fractions: the integral over [0, T] of every component, from the exact width T / n_t."""
    w = Fraction(T) / c.shape[1]
    return [w * sum(Fraction(x) for x in c[0, :, k]) for k in range(c.shape[2])]


@pytest.mark.parametrize("n_t, T", [(2, math.pi), (3, 3.0), (7, 0.1), (40, 2.5), (1000, 1e-3)])
def test_integral_is_the_correctly_rounded_exact_integral(rng, n_t, T):
    gen = np.random.default_rng(rng.randrange(2**32))
    for _ in range(20):
        c = gen.normal(size=(2, n_t, 4)) * 10.0 ** gen.integers(-8, 8, size=(1, n_t, 4))
        c[0, :, 1] *= np.where(np.arange(n_t) % 2, 1e12, -1e12)  # cancellation
        c[0, :, 2] = np.round(c[0, :, 2] * 2**20)  # integers: sums that are often exact
        c[0, 1::2, 3] = -c[0, : n_t // 2 * 2 : 2, 3]  # pairs that cancel to 0
        got = pa.Expansion(c, T).integral()
        # float() of a Fraction is the nearest double, ties to even.
        assert [float(x) for x in exact_integrals(c, T)] == got.tolist()


@pytest.mark.parametrize(
    "c0, T, expected",
    [
        ([2.0**100, 1, -(2.0**100), 2.0**100, 2.0**-60, -(2.0**100), -1], 7.0, 2.0**-60),
        # A compensated sum's error term rounds 1 + 2^-53 to 1 and keeps it
        # there; the integral 1 + 2^-53 + 2^-60 is nearest to 1 + 2^-52.
        ([2.0**100, 1, 2.0**-53, 2.0**-60, -(2.0**100)], 5.0, 1 + 2.0**-52),
        ([1e308, 1e308, -1e308], 3.0, 1e308),  # the running sum overflows, the integral does not
        ([1e308, 1e308], 2.0, math.inf),  # the integral overflows
        ([1.0, math.inf, 2.0], 3.0, math.inf),
        ([-math.inf, 1e308, 1e308], 3.0, -math.inf),
        ([math.inf, -math.inf], 2.0, math.nan),
        ([math.nan, 1.0], 2.0, math.nan),
        ([-0.0, 0.0], 2.0, 0.0),
    ],
)
def test_integral_resolves_cancellation_overflow_and_non_finite_coefficients(c0, T, expected):
    got = pa.Expansion(np.array([c0]), T).integral()
    assert math.isnan(got) if math.isnan(expected) else bits(got) == bits(expected)


def antiderivative_reference(c, T):
    """The antiderivative by its documented construction: numpy for the rounded
    operations, in their order, and exact fractions for the constants."""
    degree, n_t, m = c.shape[0] - 1, c.shape[1], c.shape[2]
    h = np.float64(0.5) * (np.float64(T) / np.float64(n_t))
    F = np.zeros((degree + 2, n_t, m))
    for i in range(1, degree + 2):
        lower = c[i - 1] / np.float64(2 * i - 1)
        F[i] = h * (lower - c[i + 1] / np.float64(2 * i + 3)) if i + 1 <= degree else h * lower
    w = Fraction(T) / n_t
    for k in range(m):
        integral = Fraction(0)
        for j in range(n_t):
            integral += w * Fraction(c[0, j, k])
            K = Fraction(float(integral))  # the nearest double to the integral over [0, b_(j+1)]
            F[0, j, k] = float(K - sum(Fraction(F[i, j, k]) for i in range(1, degree + 2)))
    return F


def half_ulp(x):
    return Fraction(np.spacing(abs(x))) / 2


@pytest.mark.parametrize("degree", [0, 1, 3, 6])
def test_antiderivative_is_its_documented_construction_and_meets_its_bounds(rng, degree):
    gen = np.random.default_rng(rng.randrange(2**32))
    cases = [(np.array([[1e20, -1e20], [0.0, 1.0]])[: degree + 1], 2.0)] if degree <= 1 else []
    for _ in range(12):
        n_t = int(gen.integers(1, 9))
        T = float(gen.uniform(0.1, 5.0))
        c = gen.normal(size=(degree + 1, n_t)) * 10.0 ** gen.integers(-3, 3, size=(degree + 1, n_t))
        c[0] *= np.where(np.arange(n_t) % 2, 1e8, -1e8)  # cancellation
        cases.append((c, T))
    for c, T in cases:
        e = pa.Expansion(c, T)
        F = e.antiderivative()
        assert (F.degree, F.n_t, F.T) == (degree + 1, c.shape[1], T)
        assert np.array_equal(bits(F.coefficients), bits(antiderivative_reference(c[..., None], T)[..., 0]))
        f = [[Fraction(x) for x in F.coefficients[:, j]] for j in range(c.shape[1])]
        # F at b_n: within half an ulp of F[0, n - 1] of integral().
        assert abs(sum(f[-1]) - Fraction(e.integral())) <= half_ulp(F.coefficients[0, -1])
        # F at b_0: within u (|F[0, 0]| + |K_1|) + 2^-50 h_0 sum over even i of |c[i, 0]|.
        h0 = Fraction(T) / c.shape[1]
        K1 = abs(h0 * Fraction(c[0, 0]))
        even = sum(abs(Fraction(x)) for x in c[::2, 0])
        bound = Fraction(2**-53) * (abs(f[0][0]) + K1) + Fraction(2**-50) * h0 * even
        assert abs(sum(x * (-1) ** i for i, x in enumerate(f[0]))) <= bound


@functools.cache
def mpmath_gauss_legendre(n):
    """Nodes and weights of the n-point rule with mpmath at 50 digits (Newton on the recurrence)."""
    mp = pytest.importorskip("mpmath").mp
    mp.dps = 50
    nodes, weights = [], []
    for k in range(1, n + 1):
        x = mp.cos(mp.pi * (k - mp.mpf(1) / 4) / (n + mp.mpf(1) / 2))
        for _ in range(100):
            p0, p1 = mp.mpf(1), x
            for j in range(1, n):
                p0, p1 = p1, ((2 * j + 1) * x * p1 - j * p0) / (j + 1)
            dp = n * (x * p1 - p0) / (x * x - 1)
            step = p1 / dp
            x -= step
            if abs(step) < mp.mpf(10) ** -45:
                break
        nodes.append(x)
        weights.append(2 / ((1 - x * x) * dp * dp))
    return nodes[::-1], weights[::-1]


@pytest.mark.parametrize(
    "points, n_t, T", [(64, 1, 1.0), (1, 10, 3.0), (5, 10, 3.0), (20, 3, math.pi), (7, 7, 0.1), (2, 6, 1e6 + 0.3)]
)
def test_gauss_legendre_nodes_and_weights_are_the_nearest_doubles(points, n_t, T):
    """Node j * points + q is b_j + (h / 2) (1 + x_q) with b_j = j T / n_t and
    h = T / n_t exactly, its weight (h / 2) omega_q; within an ulp, and here
    (no exact value near a midpoint) the nearest double."""
    mp = pytest.importorskip("mpmath").mp
    x, omega = mpmath_gauss_legendre(points)
    times, weights = pa.gauss_legendre(points, n_t, T)
    assert times.shape == weights.shape == (n_t * points,)
    mp.dps = 50
    h = mp.mpf(T) / n_t
    for j in range(n_t):
        for q in range(points):
            node = mp.mpf(T) * j / n_t + h / 2 * (1 + x[q])
            weight = h / 2 * omega[q]
            for got, value in ((times[j * points + q], node), (weights[j * points + q], weight)):
                assert abs(mp.mpf(float(got)) - value) <= mp.mpf(np.spacing(abs(float(got)))) * (0.5 + 2**-30)
    if (points, n_t, T) == (1, 10, 3.0):
        assert times[6] == 1.95  # not 6 * 0.3 + 0.15 rounded on the way


def test_projection_reproduces_polynomials_and_matches_a_numpy_model():
    degree, n_t, T = 3, 7, 2.0
    poly = pa.project(lambda t: np.stack([t**3 - t, np.ones_like(t)], axis=-1), degree, n_t, T)
    t = np.linspace(0.0, T, 57)
    assert np.allclose(poly(t), np.stack([t**3 - t, np.ones_like(t)], axis=-1), rtol=0, atol=1e-14)
    # Otherwise: the same sums as numpy's Gauss-Legendre rule and an einsum.
    e = pa.project(np.sin, degree, n_t, T, points=6)
    x, omega = np.polynomial.legendre.leggauss(6)
    w = T / n_t
    times = (np.arange(n_t)[:, None] * w + w / 2) + (w / 2) * x
    table = np.array(
        [(2 * i + 1) / 2 * omega * np.polynomial.legendre.legval(x, np.eye(degree + 1)[i]) for i in range(4)]
    )
    assert np.allclose(e.coefficients, np.einsum("iq,jq->ij", table, np.sin(times)), rtol=0, atol=1e-15)


@pytest.mark.parametrize("periodic", [False, True])
def test_from_nodal_values_is_the_sparse_product_and_interpolates(periodic):
    degree, n_t, T = 4, 5, 3.0
    points = pa.lagrange_points(degree, n_t, T, periodic)
    values = np.stack([np.cos(points), points**4 if not periodic else np.sin(2 * np.pi * points / T)], axis=-1)
    e = pa.Expansion.from_nodal_values(values, degree, T, periodic=periodic)
    matrix = pa.lagrange_to_legendre_matrix(degree, n_t, periodic)
    # scipy's CSR product in its order (row by row, stored order, from +0.0),
    # rounded once per operation: on an x87 build scipy itself rounds twice.
    expected = np.empty((matrix.shape[0], 2))
    for row in range(matrix.shape[0]):
        for k in range(2):
            acc = model.F(0.0)
            for at in range(matrix.indptr[row], matrix.indptr[row + 1]):
                acc = acc + model.F(matrix.data[at]) * model.F(values[matrix.indices[at], k])
            expected[row, k] = model.plain(acc)
    assert np.array_equal(bits(e.coefficients.reshape(-1, 2)), bits(expected))
    if not model.SOFT_FLOAT:
        assert np.array_equal(bits(matrix @ values), bits(expected))
    if not periodic:
        t = np.linspace(0.0, T, 41)
        assert np.allclose(e(t)[:, 1], t**4, rtol=1e-13, atol=1e-12)


def test_an_empty_value_shape_gives_empty_results():
    e = pa.Expansion(np.ones((3, 4, 2, 0)), 1.0)
    assert e(np.ones(5)).shape == (5, 2, 0) and e.integral().shape == (2, 0)
    assert e.endpoint_values()[0].shape == (4, 2, 0) and e.antiderivative().value_shape == (2, 0)
