"""LegendreBasis and LegendreBasisEvaluator: worked examples, the interval and
size rules, and bit-for-bit agreement with the pure-Python reference model.

The example and rule tests run against both implementations (the extension
module and ``reference_model``), so a disagreement between the two shows up
as a failure of exactly one of them. The random tests compare the two
directly; their seed is part of the test id (``-k seed17`` replays one), and
``PWPOLY_TEST_SEED`` shifts the whole set to explore new cases.
"""

import array
import math
import os
import random
from fractions import Fraction

import pytest

import pwpoly
import reference_model as model
from reference_model import PTRDIFF_MAX, SIZE_MAX, describe_float, same_float
from support import CAPACITY_OVERFLOW, MATRIX_VIEW_TOO_SMALL, NO_INTERVALS, SET_DOFS_WRONG_LENGTH, check_panic

NAN = math.nan
INF = math.inf


def same_value(got, expected):
    """Equality for worked examples: NaN matches NaN, otherwise ==."""
    if isinstance(expected, float) and math.isnan(expected):
        return isinstance(got, float) and math.isnan(got)
    return type(got) is float and got == expected


def evaluator(impl, degree, n_t, T, coeffs):
    ev = impl.LegendreBasisEvaluator(degree, n_t, T)
    ev.set_dofs(coeffs[: n_t * (degree + 1)])
    return ev


# ---------------------------------------------------------------------------
# Worked examples

# (degree, n_t, T, legendre_vals, t, value)
VALUE_EXAMPLES = [
    (1, 2, 2.0, [10, 30, 20, 40], 0.5, 10.0),
    (1, 2, 2.0, [10, 30, 20, 40], 1.5, 30.0),
    (1, 2, 2.0, [10, 30, 20, 40], 1.0, -10.0),  # an interior node belongs to the right interval
    (1, 2, 2.0, [10, 30, 20, 40], 2.0, 70.0),  # t = T belongs to the last interval
    (1, 2, 2.0, [10, 30, 20, 40], 5.0, 70.0),  # after T: clamped to the right end
    (1, 2, 2.0, [10, 30, 20, 40], -3.0, -10.0),  # before 0: clamped to the left end
    (1, 2, 2.0, [10, 30, 20, 40, 99], 1.0, -10.0),  # surplus coefficients are ignored
    (0, 1, 1.0, [7.5], 0.3, 7.5),
    (2, 1, 2.0, [0, 0, 1], 1.5, -0.125),
    (2, 1, 2.0, [0, 0, 1], 2.0, 1.0),
    (2, 1, 2.0, [0, 0, 1], 0.0, 1.0),
    (0, 3, 1.0, [4.0, 5.0, 6.0], NAN, 4.0),  # NaN t: interval 0, degree 0 ignores xi
    (2, 3, 1.0, [4.0, 5.0, 6.0, 1.0, 1.0, 1.0, 0.0, 0.0, 0.0], NAN, NAN),
]

# (degree, n_t, T, legendre_vals, t, derivative)
DERIVATIVE_EXAMPLES = [
    (1, 2, 2.0, [10, 30, 20, 40], 0.5, 40.0),
    (1, 2, 2.0, [10, 30, 20, 40], 1.5, 80.0),
    (2, 1, 2.0, [0, 0, 1], 1.5, 1.5),  # f = P_2, f'(t) = 3 (t - 1)
    (2, 1, 2.0, [0, 0, 1], 2.0, 3.0),  # the interval ends are exact
    (2, 1, 2.0, [0, 0, 1], 0.0, -3.0),
    (2, 3, 1.0, [0] * 8 + [1], 2 / 3, pytest.approx(-18.0, rel=1e-13)),  # xi = -0.9999999999999997
    (2, 3, 1.0, [0] * 8 + [1], 1.0, 18.0),
]

# (degree, n_t, T, method, t, result)
ALL_BASIS_EXAMPLES = [
    (2, 3, 3.0, "values", 1.5, [0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 0.0, -0.5, 0.0]),
    (0, 1, 1.0, "values", 0.3, [1.0]),
    (1, 4, 2.0, "derivatives", 1.2, [0.0] * 6 + [4.0, 0.0]),
    (1, 4, 2.0, "derivatives", 1.0, [0.0] * 6 + [4.0, 0.0]),
    (1, 4, 2.0, "derivatives", 1.4999, [0.0] * 6 + [4.0, 0.0]),
    (2, 1, 2.0, "derivatives", 2.0, [0.0, 1.0, 3.0]),
    # T = 0: t > 0 is in the last interval at xi = 1, t < 0 in interval 0 at
    # xi = -1, and t = 0 gives xi = NaN.
    (2, 3, 0.0, "values", 0.5, [0.0, 0.0, 1.0] * 3),
    (2, 3, 0.0, "values", -0.5, [1.0, 0.0, 0.0, -1.0, 0.0, 0.0, 1.0, 0.0, 0.0]),
    (2, 3, 0.0, "values", 0.0, [1.0, 0.0, 0.0, NAN, 0.0, 0.0, NAN, 0.0, 0.0]),
]


def example_id(example):
    degree, n_t, T, vals, t = example[:5]
    return f"d{degree}-nt{n_t}-T{T}-{vals if isinstance(vals, str) else len(vals)}-t{t}"


EXAMPLES = [("value", *e) for e in VALUE_EXAMPLES] + [("derivative", *e) for e in DERIVATIVE_EXAMPLES]


@pytest.mark.parametrize("example", EXAMPLES, ids=lambda e: f"{e[0]}-{example_id(e[1:])}")
def test_worked_examples(impl, example):
    kind, degree, n_t, T, vals, t, expected = example
    ev = evaluator(impl, degree, n_t, T, vals)
    if kind == "value":
        assert same_value(impl.LegendreBasis(degree, n_t, T).evaluate_at(t, vals), expected)
        one, many = ev.evaluate_at, ev.evaluate_many
    else:
        one, many = ev.evaluate_derivative_at, ev.evaluate_derivative_many
    assert same_value(one(t), expected)
    (got,) = many(array.array("d", [t]))
    assert same_value(got, expected)


@pytest.mark.parametrize("example", ALL_BASIS_EXAMPLES, ids=example_id)
def test_all_basis_examples(impl, example):
    degree, n_t, T, method, t, expected = example
    basis = impl.LegendreBasis(degree, n_t, T)
    if method == "values":
        got = basis.evaluate_all_basis_functions(t)
    else:
        got = basis.evaluate_all_basis_function_derivatives(t)
    assert type(got) is list and len(got) == len(expected)
    assert all(same_value(g, e) for g, e in zip(got, expected)), got


def test_keywords_give_the_same_results(impl):
    basis = impl.LegendreBasis(T=2.0, n_t=2, degree=1)
    assert basis.evaluate_at(legendre_vals=[10, 30, 20, 40], t=1.0) == -10.0
    assert basis.evaluate_all_basis_functions(t=0.25) == [1.0, 0.0, -0.5, 0.0]
    assert basis.evaluate_all_basis_function_derivatives(t=0.5) == [0.0, 0.0, 2.0, 0.0]


def test_short_coefficient_list_panics(impl):
    basis = impl.LegendreBasis(1, 2, 2.0)
    with pytest.raises(BaseException) as info:
        basis.evaluate_at(1.0, [10, 30, 20])
    check_panic(info.value, MATRIX_VIEW_TOO_SMALL)
    assert basis.evaluate_at(1.0, [10, 30, 20, 40]) == -10.0


def test_new_evaluator_is_the_zero_expansion(impl):
    ev = impl.LegendreBasisEvaluator(3, 4, 2.0)
    times = (0.0, 0.3, 1.0, 2.0)
    assert [ev.evaluate_at(t) for t in times] == [0.0] * 4
    assert [ev.evaluate_derivative_at(t) for t in times] == [0.0] * 4
    assert ev.evaluate_many(array.array("d", times)) == [0.0] * 4
    assert math.isnan(ev.evaluate_at(NAN))


def test_all_basis_dot_coefficients_is_the_expansion(impl):
    rng = random.Random(20240601)
    for degree in (0, 1, 4, 9):
        n_t, T = 5, 3.0
        basis = impl.LegendreBasis(degree, n_t, T)
        vals = [rng.uniform(-1, 1) for _ in range(n_t * (degree + 1))]
        ev = evaluator(impl, degree, n_t, T, vals)
        for t in (0.0, 0.61, 1.2, 2.99, 3.0):
            dot = math.fsum(b * c for b, c in zip(basis.evaluate_all_basis_functions(t), vals))
            assert math.isclose(dot, basis.evaluate_at(t, vals), rel_tol=1e-13, abs_tol=1e-13)
            dot = math.fsum(b * c for b, c in zip(basis.evaluate_all_basis_function_derivatives(t), vals))
            assert math.isclose(dot, ev.evaluate_derivative_at(t), rel_tol=1e-12, abs_tol=1e-12)


# ---------------------------------------------------------------------------
# Derivatives against exact rational arithmetic


def exact_slopes(n, x):
    """P_0'(x), ..., P_n'(x) for a rational x, from the derivative of the
    three-term recurrence: (k + 1) P_(k+1)' = (2k + 1) (P_k + x P_k') - k P_(k-1)'."""
    p, d = [Fraction(1), x], [Fraction(0), Fraction(1)]
    for k in range(1, n):
        p.append(((2 * k + 1) * x * p[k] - k * p[k - 1]) / (k + 1))
        d.append(((2 * k + 1) * (p[k] + x * d[k]) - k * d[k - 1]) / (k + 1))
    return d[: n + 1]


@pytest.mark.parametrize(
    "n_t, T, t, xi", [(1, 2.0, 0.0, -1), (1, 2.0, 2.0, 1), (3, 6.0, 2.0, -1)], ids=["start", "end", "interior-node"]
)
def test_derivative_factors_are_exact_at_the_interval_ends(impl, n_t, T, t, xi):
    # w = 2, so entry j + n_t * i is (D_i + D_i) / 2 = D_i itself.
    degree = 20
    got = impl.LegendreBasis(degree, n_t, T).evaluate_all_basis_function_derivatives(t)
    j = int(t / 2.0) if t < T else n_t - 1
    assert got[j::n_t] == [xi ** (i + 1) * i * (i + 1) / 2 for i in range(degree + 1)]


@pytest.mark.parametrize("degree", [1, 2, 3, 5, 8, 13, 20])
def test_derivative_is_exact_to_rounding_near_and_on_nodes(impl, degree):
    """|got - exact| <= 4 degree 2^-52 * scale, where exact is the true derivative of
    the expansion at the local coordinate the module computes, and scale the same sum
    with absolute values of its terms."""
    n_t, T = 3, 1.0
    w = model.plain(model.fdiv(model.F(T), float(n_t)))
    rng = random.Random(degree)
    coeffs = [rng.uniform(-1.0, 1.0) for _ in range(n_t * (degree + 1))]
    times = [rng.uniform(0.0, T) for _ in range(8)]
    for j in range(n_t + 1):
        node = float(j) * w
        times += [node, math.nextafter(node, -INF), math.nextafter(node, INF)]
        times += [node + sign * 10.0**-e * w for e in range(3, 15) for sign in (1, -1)]
    ev = evaluator(impl, degree, n_t, T, coeffs)
    for t in times:
        j, xi = model.locate(t, n_t, T)
        terms = [Fraction(coeffs[j + n_t * i]) * d for i, d in enumerate(exact_slopes(degree, Fraction(xi)))]
        exact = 2 * sum(terms) / Fraction(w)
        scale = 2 * sum(map(abs, terms)) / Fraction(w)
        got = ev.evaluate_derivative_at(t)
        assert abs(Fraction(got) - exact) <= 4 * degree * Fraction(2) ** -52 * scale, (t, xi, got, float(exact))


# ---------------------------------------------------------------------------
# Meshes without intervals, and sizes that do not fit

NO_INTERVAL_CALLS = {
    "LegendreBasis.evaluate_at": lambda impl: impl.LegendreBasis(2, 0, 1.0).evaluate_at(0.5, []),
    "LegendreBasis.evaluate_all_basis_functions": lambda impl: impl.LegendreBasis(
        2, 0, 1.0
    ).evaluate_all_basis_functions(0.5),
    "LegendreBasis.evaluate_all_basis_function_derivatives": lambda impl: impl.LegendreBasis(
        2, 0, 1.0
    ).evaluate_all_basis_function_derivatives(0.5),
    "LegendreBasisEvaluator.evaluate_at": lambda impl: impl.LegendreBasisEvaluator(2, 0, 1.0).evaluate_at(0.5),
    "LegendreBasisEvaluator.evaluate_derivative_at": lambda impl: impl.LegendreBasisEvaluator(
        2, 0, 1.0
    ).evaluate_derivative_at(0.5),
    "LegendreBasisEvaluator.evaluate_many": lambda impl: impl.LegendreBasisEvaluator(2, 0, 1.0).evaluate_many(
        array.array("d", [0.5])
    ),
    "LegendreBasisEvaluator.evaluate_derivative_many": lambda impl: impl.LegendreBasisEvaluator(
        2, 0, 1.0
    ).evaluate_derivative_many(array.array("d", [0.5])),
}


@pytest.mark.parametrize("call", NO_INTERVAL_CALLS.values(), ids=NO_INTERVAL_CALLS.keys())
def test_no_intervals_refused_at_evaluation(impl, call):
    with pytest.raises(ValueError) as info:
        call(impl)
    assert info.value.args == (NO_INTERVALS,)


def test_no_intervals_constructors_and_set_dofs(impl):
    impl.LegendreBasis(3, 0, 1.0)
    ev = impl.LegendreBasisEvaluator(2, 0, 1.0)
    ev.set_dofs([])
    with pytest.raises(BaseException) as info:
        ev.set_dofs([1.0])
    check_panic(
        info.value,
        f"{SET_DOFS_WRONG_LENGTH}\n  left: 1\n right: 0",
    )


# Products of sizes beyond the platform's size type (or beyond the largest
# allocation) must be refused, never wrapped into a small array.
HALF = SIZE_MAX // 2 + 1  # 2 * HALF overflows
TOO_MANY_FLOATS = PTRDIFF_MAX // 8 + 1  # fits the size type, but not as bytes
CAPACITY_CALLS = {
    "all-basis-degree-plus-one": lambda impl: impl.LegendreBasis(SIZE_MAX, 2, 1.0).evaluate_all_basis_functions(0.0),
    "all-basis-product": lambda impl: impl.LegendreBasis(1, HALF, 1.0).evaluate_all_basis_functions(0.0),
    "all-basis-bytes": lambda impl: impl.LegendreBasis(0, TOO_MANY_FLOATS, 1.0).evaluate_all_basis_functions(0.0),
    "all-derivatives-degree-plus-one": lambda impl: impl.LegendreBasis(
        SIZE_MAX, 2, 1.0
    ).evaluate_all_basis_function_derivatives(0.0),
    "all-derivatives-product": lambda impl: impl.LegendreBasis(3, HALF, 1.0).evaluate_all_basis_function_derivatives(
        0.0
    ),
    "evaluate-at-degree-plus-one": lambda impl: impl.LegendreBasis(SIZE_MAX, 2, 1.0).evaluate_at(0.0, [1.0]),
    "evaluate-at-product": lambda impl: impl.LegendreBasis(1, HALF, 1.0).evaluate_at(0.0, [1.0]),
    "evaluator-degree-plus-one": lambda impl: impl.LegendreBasisEvaluator(SIZE_MAX, 2, 1.0),
    "evaluator-product": lambda impl: impl.LegendreBasisEvaluator(1, HALF, 1.0),
    "evaluator-bytes": lambda impl: impl.LegendreBasisEvaluator(0, TOO_MANY_FLOATS, 1.0),
}


@pytest.mark.parametrize("call", CAPACITY_CALLS.values(), ids=CAPACITY_CALLS.keys())
def test_capacity_overflow(impl, call):
    with pytest.raises(BaseException) as info:
        call(impl)
    check_panic(info.value, CAPACITY_OVERFLOW)


# ---------------------------------------------------------------------------
# Bit-for-bit agreement with the reference model

BASE_SEED = int(os.environ.get("PWPOLY_TEST_SEED", "0"))
# Emulated 32-bit runs compute the model in soft float (see reference_model) and take fewer seeds.
SEEDS = [BASE_SEED + n for n in range(12 if model.SOFT_FLOAT else 48)]


def sample_times(rng, n_t, T):
    """Times inside, on and next to nodes, at the ends, outside, and special values."""
    w = model.fdiv(T, float(n_t))
    times = [0.0, -0.0, T, -T, 2.5 * T, INF, -INF, NAN, 5e-324, -5e-324, 1e308, -1e308]
    for _ in range(2 if model.SOFT_FLOAT else 4):
        node = float(rng.randrange(n_t + 1)) * w
        times += [node, math.nextafter(node, INF), math.nextafter(node, -INF)]
    times += [rng.uniform(0.0, T) for _ in range(4 if model.SOFT_FLOAT else 12)]
    return times


def sample_coefficients(rng, count):
    special = [0.0, -0.0, 1.0, -1.0, 3, 1e200, -1e-200]
    return [rng.choice(special) if rng.random() < 0.15 else rng.gauss(0.0, 2.0) for _ in range(count)]


def random_mesh(rng):
    degree = rng.choice([0, 1, 2, 3, rng.randint(0, 20), rng.randint(0, 20)])
    n_t = rng.choice([1, 2, 3, rng.randint(1, 40)])
    T = rng.choice(
        [
            rng.uniform(0.01, 10.0),
            10.0 ** rng.uniform(-6, 6),
            rng.choice([1.0, 2.0, 3.0, 0.3, 1 / 3, 7.0]),
            -rng.uniform(0.1, 10.0),
        ]
    )
    return degree, n_t, T


def mismatch(what, degree, n_t, T, t, got, expected):
    return (
        f"{what} differs for degree={degree} n_t={n_t} T={T!r} t={t!r}: "
        f"got {describe_float(got)}, model {describe_float(expected)}"
    )


def compare_mesh(degree, n_t, T, coeffs, times):
    basis = pwpoly.LegendreBasis(degree, n_t, T)
    ev = pwpoly.LegendreBasisEvaluator(degree, n_t, T)
    ev.set_dofs(coeffs)
    values = [model.evaluate(degree, n_t, T, t, coeffs) for t in times]
    derivatives = [model.evaluate_derivative(degree, n_t, T, t, coeffs) for t in times]
    for t, value, derivative in zip(times, values, derivatives):
        got = basis.evaluate_at(t, coeffs)
        assert same_float(got, value), mismatch("evaluate_at", degree, n_t, T, t, got, value)
        got = ev.evaluate_at(t)
        assert same_float(got, value), mismatch("evaluator.evaluate_at", degree, n_t, T, t, got, value)
        got = ev.evaluate_derivative_at(t)
        assert same_float(got, derivative), mismatch("evaluate_derivative_at", degree, n_t, T, t, got, derivative)
    buffer = array.array("d", times)
    for what, got, expected in (
        ("evaluate_many", ev.evaluate_many(buffer), values),
        ("evaluate_derivative_many", ev.evaluate_derivative_many(buffer), derivatives),
    ):
        for t, g, e in zip(times, got, expected):
            assert same_float(g, e), mismatch(what, degree, n_t, T, t, g, e)
    for t in times[::3]:
        for what, got, expected in (
            (
                "evaluate_all_basis_functions",
                basis.evaluate_all_basis_functions(t),
                model.evaluate_all_basis_functions(degree, n_t, T, t),
            ),
            (
                "evaluate_all_basis_function_derivatives",
                basis.evaluate_all_basis_function_derivatives(t),
                model.evaluate_all_basis_function_derivatives(degree, n_t, T, t),
            ),
        ):
            assert len(got) == len(expected)
            for index, (g, e) in enumerate(zip(got, expected)):
                assert same_float(g, e), mismatch(f"{what}[{index}]", degree, n_t, T, t, g, e)


@pytest.mark.parametrize("seed", SEEDS, ids=[f"seed{s}" for s in SEEDS])
def test_random_meshes_match_model(seed):
    rng = random.Random(seed)
    degree, n_t, T = random_mesh(rng)
    coeffs = sample_coefficients(rng, n_t * (degree + 1))
    compare_mesh(degree, n_t, T, coeffs, sample_times(rng, n_t, T))


SPECIAL_T = [0.0, -0.0, -2.0, 5e-324, 1e-300, 1e300, INF, -INF, NAN]


@pytest.mark.parametrize("T", SPECIAL_T, ids=[repr(T) for T in SPECIAL_T])
@pytest.mark.parametrize("degree, n_t", [(0, 1), (1, 3), (2, 1), (5, 4), (20, 2)])
def test_special_end_times_match_model(degree, n_t, T):
    rng = random.Random(f"{degree}-{n_t}-{T!r}")
    coeffs = sample_coefficients(rng, n_t * (degree + 1))
    compare_mesh(degree, n_t, T, coeffs, sample_times(rng, n_t, 1.0))


@pytest.mark.parametrize("special", [INF, -INF, NAN], ids=["inf", "-inf", "nan"])
@pytest.mark.parametrize("degree", [0, 1, 4])
def test_non_finite_coefficients_match_model(degree, special):
    n_t, T = 3, 1.5
    for position in range(n_t * (degree + 1)):
        coeffs = [0.25 * (n + 1) for n in range(n_t * (degree + 1))]
        coeffs[position] = special
        compare_mesh(degree, n_t, T, coeffs, [0.0, 0.2, 0.5, 0.75, 1.5, NAN, -1.0])


def test_interval_index_on_a_fine_mesh():
    # Degree 0 with C(j, 0) = j returns the located interval itself, so this
    # checks the floor/saturation rule around every node of a fine mesh.
    rng = random.Random(BASE_SEED + 7)
    for n_t, T in ((1000, 1.0), (997, 0.1), (4096, 3.7)):
        ev = pwpoly.LegendreBasisEvaluator(0, n_t, T)
        ev.set_dofs(range(n_t))
        w = T / n_t
        for j in rng.sample(range(n_t + 1), 60):
            for t in (float(j) * w, math.nextafter(float(j) * w, -INF), math.nextafter(float(j) * w, INF), j / n_t * T):
                assert ev.evaluate_at(t) == float(model.locate(t, n_t, T)[0]), (n_t, T, t)
