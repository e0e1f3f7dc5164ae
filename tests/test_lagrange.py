"""get_lagrange_points, lagrange_prolongation_matrix and
lagrange_to_legendre_basis_transformation: worked examples and failures,
mathematical properties, and bit-for-bit agreement with the reference model.

Examples, failures and properties run against both implementations (the
extension module and ``reference_model``). The random comparisons carry their
seed in the test id; ``PWPOLY_TEST_SEED`` shifts the set.
"""

import math
import os
import random
from fractions import Fraction

import pytest

import pwpoly
import reference_model as model
import support
from reference_model import describe_float, same_float
from support import check_panic


def check_triplets(result):
    """The shape every sparse result has: sorted rows, strictly increasing columns per row."""
    assert type(result) is tuple and len(result) == 3
    rows, cols, vals = result
    assert all(type(x) is list for x in result)
    assert len(rows) == len(cols) == len(vals)
    assert all(type(i) is int for i in rows + cols) and all(type(v) is float for v in vals)
    positions = list(zip(rows, cols))
    assert positions == sorted(set(positions))
    return rows, cols, vals


def same_triplets(got, expected):
    return (
        got[0] == expected[0]
        and got[1] == expected[1]
        and len(got[2]) == len(expected[2])
        and all(same_float(g, float(e)) for g, e in zip(got[2], expected[2]))
    )


def matvec(triplets, vector, nrows):
    rows, cols, vals = triplets
    terms = [[] for _ in range(nrows)]
    for r, c, v in zip(rows, cols, vals):
        terms[r].append(v * vector[c])
    return [math.fsum(t) for t in terms]


def row_sums(triplets, nrows):
    rows, _, vals = triplets
    return matvec((rows, [0] * len(rows), vals), [1.0], nrows)


def legendre_exact(k, x):
    """P_k at a rational x, exactly."""
    p_prev, p = Fraction(1), x
    if k == 0:
        return p_prev
    for n in range(1, k):
        p_prev, p = p, ((2 * n + 1) * x * p - n * p_prev) / (n + 1)
    return p


# ---------------------------------------------------------------------------
# Worked examples

POINT_EXAMPLES = [
    (2, 2, 1.0, False, [0.0, 0.25, 0.5, 0.75, 1.0]),
    (2, 2, 1.0, True, [0.0, 0.25, 0.5, 0.75]),
    (1, 3, 3.0, False, [0.0, 1.0, 2.0, 3.0]),
    (1, 3, 3.0, True, [0.0, 1.0, 2.0]),
    (0, 3, 2.0, False, [2.0]),  # degree 0: every interval's only point is dropped
    (0, 5, 2.0, False, [2.0]),
    (4, 0, 1.0, False, [1.0]),  # no intervals: just T
    (2, 1, 3.0, True, [0.0, 1.5]),
    (1, 3, 0.3, False, [0.0, 0.09999999999999999, 0.19999999999999998, 0.3]),
    (5, 1, 1.0, False, [0.0, 0.2, 0.4, 0.6, 0.8, 1.0]),  # (3 * 1) / 5 is 0.6, not 0.6000000000000001
]


@pytest.mark.parametrize("degree, n_t, T, periodic, expected", POINT_EXAMPLES)
def test_lagrange_point_examples(impl, degree, n_t, T, periodic, expected):
    got = impl.get_lagrange_points(degree, n_t, T, periodic)
    assert type(got) is list and all(type(x) is float for x in got)
    assert got == expected


def test_lagrange_points_last_interval_uses_its_own_right_end(impl):
    # b_5 = h + 5h is 0.9999999999999999; the last point is T itself.
    points = impl.get_lagrange_points(3, 6, 1.0)
    assert points[15:] == [0.8333333333333333, 0.8888888888888888, 0.9444444444444443, 1.0]
    for degree in (1, 2, 7):
        assert impl.get_lagrange_points(degree, 6, 1.0)[-1] == 1.0


def test_lagrange_points_default_is_not_periodic(impl):
    assert impl.get_lagrange_points(2, 2, 1.0) == impl.get_lagrange_points(2, 2, 1.0, False)
    assert impl.get_lagrange_points(degree=2, n_t=2, T=1.0, periodic=True) == [0.0, 0.25, 0.5, 0.75]


# (n_c, n_f, p, periodic, rows, cols, values)
PROLONGATION_EXAMPLES = [
    (1, 2, 1, False, [0, 1, 1, 2], [0, 0, 1, 1], [1.0, 0.5, 0.5, 1.0]),
    (1, 2, 1, True, [0, 1], [0, 0], [1.0, 1.0]),  # 0.5 + 0.5 merged into column 0
    (3, 2, 1, False, [0, 1, 1, 2], [0, 1, 2, 3], [1.0, 0.5, 0.5, 1.0]),
    (2, 1, 1, False, [0, 1], [0, 2], [1.0, 1.0]),  # fewer fine than coarse intervals
    (1, 1, 3, False, [0, 1, 2, 3], [0, 1, 2, 3], [1.0] * 4),
    (2, 1, 2, True, [0, 1], [0, 2], [1.0, 1.0]),
    # The node at xi = -0.5 is exact, the one at xi = 0.5 carries the
    # rounding of the barycentric form.
    (
        1,
        2,
        2,
        False,
        [0, 1, 1, 1, 2, 3, 3, 3, 4],
        [0, 0, 1, 2, 1, 0, 1, 2, 2],
        [1.0, 0.375, 0.75, -0.125, 1.0, -0.12499999999999999, 0.7499999999999999, 0.37499999999999994, 1.0],
    ),
]


@pytest.mark.parametrize("n_c, n_f, p, periodic, rows, cols, vals", PROLONGATION_EXAMPLES)
def test_prolongation_examples(impl, n_c, n_f, p, periodic, rows, cols, vals):
    got = check_triplets(impl.lagrange_prolongation_matrix(n_c, n_f, p, periodic))
    assert same_triplets(got, (rows, cols, vals)), got


def test_prolongation_keeps_tiny_weights_of_near_nodes(impl):
    rows, cols, vals = check_triplets(impl.lagrange_prolongation_matrix(100, 100, 1))
    assert len(rows) == 105 and rows[-1] == 100
    entries = {(r, c): v for r, c, v in zip(rows, cols, vals)}
    assert entries[55, 55] == 0.9999999999999929 and entries[55, 56] == 7.105427357601002e-15
    for r in (56, 57):
        own = entries.pop((r, r))
        (neighbour,) = [v for (row, _), v in entries.items() if row == r]
        assert own == 0.9999999999999929 and neighbour == 7.105427357601002e-15


@pytest.mark.parametrize("p, last_identity", [(1, 66), (5, 38), (7, 33)])
def test_prolongation_to_the_same_mesh_is_the_identity_up_to(impl, p, last_identity):
    def is_identity(n):
        rows, cols, vals = impl.lagrange_prolongation_matrix(n, n, p)
        size = n * p + 1
        return rows == list(range(size)) and cols == rows and vals == [1.0] * size

    # The model in soft float (emulated runs) checks only the ends of the range.
    soft = impl is model and model.SOFT_FLOAT
    counts = (1, last_identity) if soft else range(1, last_identity + 1)
    assert all(is_identity(n) for n in counts)
    if p != 1:  # for p = 5 and 7 the next count is the first where rounding breaks a node
        assert not is_identity(last_identity + 1)


# (degree, n_t, periodic, rows, cols, values)
TRANSFORMATION_EXAMPLES = [
    (1, 2, False, [0, 0, 1, 1, 2, 2, 3, 3], [0, 1, 1, 2, 0, 1, 1, 2], [0.5, 0.5, 0.5, 0.5, -0.5, 0.5, -0.5, 0.5]),
    # Interval 1's nodes are dofs [1, 0].
    (1, 2, True, [0, 0, 1, 1, 2, 2, 3, 3], [0, 1, 0, 1, 0, 1, 0, 1], [0.5, 0.5, 0.5, 0.5, -0.5, 0.5, 0.5, -0.5]),
    (1, 1, True, [0, 1], [0, 0], [1.0, 0.0]),  # -0.5 + 0.5 stays a stored zero
    (
        2,
        1,
        False,
        [0, 0, 0, 1, 1, 1, 2, 2, 2],
        [0, 1, 2] * 3,
        [1 / 6, 2 / 3, 1 / 6, -0.5, 0.0, 0.5, 1 / 3, -2 / 3, 1 / 3],
    ),
    (1, 0, False, [], [], []),
    (4, 0, False, [], [], []),
]


@pytest.mark.parametrize("degree, n_t, periodic, rows, cols, vals", TRANSFORMATION_EXAMPLES)
def test_transformation_examples(impl, degree, n_t, periodic, rows, cols, vals):
    got = check_triplets(impl.lagrange_to_legendre_basis_transformation(degree, n_t, periodic))
    assert same_triplets(got, (rows, cols, vals)), got


# (degree, n_t, periodic, interval, dofs of its local nodes)
DOF_EXAMPLES = [
    (2, 3, False, 1, [2, 3, 4]),
    (2, 3, False, 2, [4, 5, 6]),  # 6 is the point T
    (2, 3, True, 2, [4, 5, 0]),
    (2, 1, True, 0, [0, 1, 0]),
    (3, 4, True, 3, [9, 10, 11, 0]),
]


@pytest.mark.parametrize("degree, n_t, periodic, k, dofs", DOF_EXAMPLES)
def test_transformation_rows_use_the_interval_dofs(impl, degree, n_t, periodic, k, dofs):
    rows, cols, vals = impl.lagrange_to_legendre_basis_transformation(degree, n_t, periodic)
    table = model.legendre_coefficient_matrix(degree)
    for p in range(degree + 1):
        expected = {}
        for j, dof in enumerate(dofs):
            expected[dof] = expected.get(dof, 0.0) + table[p][j]
        got = {c: v for r, c, v in zip(rows, cols, vals) if r == p * n_t + k}
        assert got.keys() == expected.keys()
        assert all(math.isclose(got[c], expected[c], abs_tol=1e-14) for c in got)


# (function name, args, exception type, message); "panic" marks PanicException.
FAILURES = [
    ("get_lagrange_points", (0, 0, 1.0, True), ValueError, support.PERIODIC_DEGREE),
    ("get_lagrange_points", (0, 3, 1.0, True), ValueError, support.PERIODIC_DEGREE),
    ("get_lagrange_points", (1, 0, 1.0, True), ValueError, support.PERIODIC_INTERVALS),
    ("lagrange_prolongation_matrix", (0, 2, 1, True), ValueError, support.PERIODIC_PROLONGATION),
    ("lagrange_prolongation_matrix", (2, 0, 1, True), ValueError, support.PERIODIC_PROLONGATION),
    ("lagrange_prolongation_matrix", (0, 0, 0, True), ValueError, support.PERIODIC_DEGREE),
    ("lagrange_prolongation_matrix", (2, 2, 0), "panic", support.PROLONGATION_DEGREE),
    ("lagrange_prolongation_matrix", (0, 0, 0), "panic", support.PROLONGATION_DEGREE),
    ("lagrange_prolongation_matrix", (0, 2, 1), "panic", support.PROLONGATION_COARSE),
    ("lagrange_prolongation_matrix", (0, 0, 1), "panic", support.PROLONGATION_COARSE),
    ("lagrange_prolongation_matrix", (2, 0, 1), "panic", support.PROLONGATION_FINE),
    ("lagrange_to_legendre_basis_transformation", (1, 0, True), ValueError, support.PERIODIC_INTERVALS),
    ("lagrange_to_legendre_basis_transformation", (0, 0, True), ValueError, support.PERIODIC_DEGREE),
    ("lagrange_to_legendre_basis_transformation", (0, 3), "panic", support.TRANSFORMATION_DEGREE),
    ("lagrange_to_legendre_basis_transformation", (0, 0), "panic", support.TRANSFORMATION_DEGREE),
]


@pytest.mark.parametrize("name, args, error, message", FAILURES, ids=[f"{f[0]}{f[1]}" for f in FAILURES])
def test_failures(impl, name, args, error, message):
    with pytest.raises(BaseException) as info:
        getattr(impl, name)(*args)
    if error == "panic":
        check_panic(info.value, message)
    else:
        assert type(info.value) is error and info.value.args == (message,)


# ---------------------------------------------------------------------------
# Mathematical properties


def polynomial(rng, degree, periodic):
    """A random polynomial q on [0, 1] (of degree <= degree), with q(0) = q(1) when periodic."""
    a = [rng.uniform(-1.0, 1.0) for _ in range(degree + 1)]
    if not periodic:
        return lambda x: math.fsum(c * x**k for k, c in enumerate(a))
    # c + x (1 - x) r(x), deg r = degree - 2
    return lambda x: a[0] + x * (1.0 - x) * math.fsum(c * x**k for k, c in enumerate(a[2:]))


REPRODUCTION_CASES = [
    (d, n_t, periodic) for d in (1, 2, 3, 4, 7, 10) for n_t, periodic in ((1, False), (3, False), (4, True))
]


@pytest.mark.parametrize("degree, n_t, periodic", REPRODUCTION_CASES)
def test_expansion_reproduces_polynomials(impl, degree, n_t, periodic):
    """Fit through the transformation of nodal values, then evaluate the expansion."""
    rng = random.Random(f"reproduce-{degree}-{n_t}-{periodic}")
    T = 2.5
    q = polynomial(rng, degree, periodic)
    nodal = [q(x / T) for x in impl.get_lagrange_points(degree, n_t, T, periodic)]
    m = n_t * (degree + 1)
    coeffs = matvec(impl.lagrange_to_legendre_basis_transformation(degree, n_t, periodic), nodal, m)
    basis = impl.LegendreBasis(degree, n_t, T)
    for t in [rng.uniform(0.0, T) for _ in range(15)] + [0.0, T]:
        assert math.isclose(basis.evaluate_at(t, coeffs), q(t / T), abs_tol=1e-11), t


@pytest.mark.parametrize("degree", range(1, 13))
def test_transformation_of_nodal_values_gives_legendre_coefficients(impl, degree):
    rng = random.Random(f"coefficients-{degree}")
    nodes = [Fraction(-1) + Fraction(2 * j, degree) for j in range(degree + 1)]
    cases = [[1.0] + [0.0] * degree]  # the constant 1
    cases += [[rng.uniform(-1.0, 1.0) for _ in range(degree + 1)] for _ in range(3)]
    triplets = impl.lagrange_to_legendre_basis_transformation(degree, 1)
    for c in cases:
        nodal = [float(sum(Fraction(cp) * legendre_exact(p, x) for p, cp in enumerate(c))) for x in nodes]
        got = matvec(triplets, nodal, degree + 1)
        for p in range(degree + 1):
            assert math.isclose(got[p], c[p], abs_tol=1e-12), (p, got, c)


PROLONGATION_PROPERTY_CASES = [
    (p, n_c, n_f, periodic)
    for p in (1, 2, 3, 5, 8)
    for n_c, n_f in ((1, 1), (1, 3), (2, 7), (5, 3), (4, 8))
    for periodic in (False, True)
]


@pytest.mark.parametrize("p, n_c, n_f, periodic", PROLONGATION_PROPERTY_CASES)
def test_prolongation_reproduces_polynomials_and_rows_sum_to_one(impl, p, n_c, n_f, periodic):
    rng = random.Random(f"prolong-{p}-{n_c}-{n_f}-{periodic}")
    q = polynomial(rng, p, periodic)
    triplets = check_triplets(impl.lagrange_prolongation_matrix(n_c, n_f, p, periodic))
    coarse = [q(x) for x in impl.get_lagrange_points(p, n_c, 1.0, periodic)]
    fine_points = impl.get_lagrange_points(p, n_f, 1.0, periodic)
    fine = matvec(triplets, coarse, len(fine_points))
    for x, value in zip(fine_points, fine):
        assert math.isclose(value, q(x), abs_tol=1e-12), x
    for s in row_sums(triplets, len(fine_points)):
        assert math.isclose(s, 1.0, abs_tol=1e-13)


@pytest.mark.parametrize("degree", [1, 2, 3, 4, 6, 9, 14, 20])
@pytest.mark.parametrize("periodic", [False, True])
def test_transformation_block_zero_rows_sum_to_one(impl, degree, periodic):
    n_t = 3
    triplets = impl.lagrange_to_legendre_basis_transformation(degree, n_t, periodic)
    scale = max(abs(v) for v in triplets[2])
    for s in row_sums(triplets, n_t * (degree + 1))[:n_t]:
        assert math.isclose(s, 1.0, abs_tol=1e-14 * scale)


# ---------------------------------------------------------------------------
# Bit-for-bit agreement with the reference model

BASE_SEED = int(os.environ.get("PWPOLY_TEST_SEED", "0"))
# Emulated 32-bit runs compute the model in soft float (see reference_model) and take fewer seeds.
SEEDS = [BASE_SEED + n for n in range(12 if model.SOFT_FLOAT else 40)]
SEED_IDS = [f"seed{s}" for s in SEEDS]


def outcome(call, *args):
    try:
        return call(*args)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:  # ValueError or PanicException
        return (type(e).__name__, str(e))


def assert_call_matches_model(name, args):
    assert_same_result(outcome(getattr(pwpoly, name), *args), outcome(getattr(model, name), *args), f"{name}{args}")


def assert_same_result(got, expected, what):
    if isinstance(expected, tuple) and len(expected) == 2:  # an exception
        assert got == expected, what
    elif isinstance(expected, list):
        assert len(got) == len(expected), what
        bad = [
            (i, describe_float(g), describe_float(e))
            for i, (g, e) in enumerate(zip(got, expected))
            if not same_float(g, e)
        ]
        assert not bad, f"{what}: first differences {bad[:3]}"
    else:
        check_triplets(got)
        assert got[0] == expected[0] and got[1] == expected[1], what
        assert_same_result(got[2], expected[2], what)


@pytest.mark.parametrize("seed", SEEDS, ids=SEED_IDS)
def test_random_lagrange_points_match_model(seed):
    rng = random.Random(seed)
    for _ in range(4):
        degree = rng.choice([0, 1, 2, rng.randint(0, 20)])
        n_t = rng.choice([0, 1, 6, rng.randint(0, 50)])
        T = rng.choice(
            [
                rng.uniform(-5.0, 50.0),
                10.0 ** rng.uniform(-8, 8),
                1.0,
                0.3,
                0.0,
                -0.0,
                math.inf,
                -math.inf,
                math.nan,
                5e-324,
                1e308,
            ]
        )
        assert_call_matches_model("get_lagrange_points", (degree, n_t, T, rng.random() < 0.4))


@pytest.mark.parametrize("seed", SEEDS, ids=SEED_IDS)
def test_random_prolongations_match_model(seed):
    rng = random.Random(seed)
    for _ in range(3):
        p = rng.choice([1, 2, 3, rng.randint(1, 9)])
        n_c = rng.choice([1, 2, rng.randint(1, 30)])
        n_f = rng.choice([n_c, 2 * n_c, rng.randint(1, 60)])
        assert_call_matches_model("lagrange_prolongation_matrix", (n_c, n_f, p, rng.random() < 0.4))


@pytest.mark.parametrize("seed", SEEDS, ids=SEED_IDS)
def test_random_transformations_match_model(seed):
    rng = random.Random(seed)
    degree = rng.choice([1, 2, 3, 4, 5, rng.randint(1, 20), rng.randint(1, 20)])
    periodic = rng.random() < 0.4
    n_t = rng.choice([1, 2, rng.randint(0, 12)])
    if periodic:
        n_t = max(n_t, 1)
    args = (degree, n_t, periodic)
    got = pwpoly.lagrange_to_legendre_basis_transformation(*args)
    expected = model.lagrange_to_legendre_basis_transformation(*args)
    what = f"lagrange_to_legendre_basis_transformation{args}"
    if degree != 3:
        assert_same_result(got, expected, what)
    else:
        # The closed-form 4x4 inverse leaves the order of the cofactor terms
        # open, so degree 3 agrees to rounding only.
        check_triplets(got)
        assert got[:2] == expected[:2], what
        for g, e in zip(got[2], expected[2]):
            assert math.isclose(g, e, abs_tol=4e-15), (what, g, e)
