"""pwpoly_arrays, the numpy companion: bit-identity with the pwpoly entry
points on seeded random meshes, true shapes of the sparse results, pickling,
the refusal of every class of bad input, and threads sharing one expansion."""

import functools
import math
import os
import pickle
import sys
import threading
from fractions import Fraction

import numpy as np
import pytest

import pwpoly
import reference_model as model
from support import run_python

pa = pytest.importorskip("pwpoly_arrays")
pytest.importorskip("scipy.sparse")
from pwpoly_arrays._native_loader import load_native  # noqa: E402


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64)


def random_mesh(rng, degree):
    n_t = rng.randint(1, 40)
    T = rng.uniform(0.1, 5.0)
    c = np.random.default_rng(rng.randrange(2**32)).normal(size=(degree + 1, n_t))
    return n_t, T, c


def random_times(rng, T, n):
    t = np.random.default_rng(rng.randrange(2**32)).uniform(-0.1 * T, 1.1 * T, n)
    nodes = np.arange(0, 5) * (T / 4)
    return np.concatenate([t, nodes, [np.nan, np.inf, -np.inf, -0.0]])


@pytest.mark.parametrize("degree", [0, 1, 3, 8])
@pytest.mark.parametrize("derivative", [False, True])
def test_expansion_is_bit_identical_to_evaluate_many(rng, degree, derivative):
    n_t, T, c = random_mesh(rng, degree)
    t = random_times(rng, T, 5000)  # beyond the pool's threshold
    ev = pwpoly.LegendreBasisEvaluator(degree, n_t, T)
    ev.set_dofs(list(c.ravel()))
    expected = bits(ev.evaluate_derivative_many(t) if derivative else ev.evaluate_many(t))
    # pwpoly evaluates a NaN time in interval 0; the companion gives NaN.
    nan = np.isnan(t)
    expected[nan] = bits(np.full(nan.sum(), np.nan))
    e = pa.Expansion(c, T)
    f = e.derivative if derivative else e
    got = bits(f(t))
    assert np.all(np.isnan(got.view(np.float64)[nan]))
    got[nan] = expected[nan]
    assert np.array_equal(got, expected)
    grid = t[:5004].reshape(3, 4, 417)
    assert f(grid).shape == grid.shape and np.array_equal(bits(f(grid)).ravel(), expected[:5004])
    strided_out = np.empty((5004, 2))[:, 0]
    assert f(t[:5004], out=strided_out) is strided_out
    assert np.array_equal(bits(strided_out), expected[:5004])
    assert f(t.astype(np.float32)).dtype == np.float64
    single = f(float(t[7]))
    assert type(single) is float and bits(single) == expected[7]
    assert np.array_equal(bits(f(list(t[:9]))), expected[:9])


@pytest.mark.parametrize("degree", [0, 2, 5])
@pytest.mark.parametrize("derivative", [False, True])
def test_collocation_rows_are_bit_identical_to_all_basis_functions(rng, degree, derivative):
    n_t, T, _ = random_mesh(rng, degree)
    t = random_times(rng, T, 41)[:-4]  # NaN has no row (refused)
    t = np.concatenate([t, [np.inf, -np.inf, -0.0, 2 * T]])
    m = pa.collocation_matrix(degree, n_t, T, t.reshape(2, -1), derivative=derivative)
    assert m.format == "csr" and m.shape == (t.size, n_t * (degree + 1))
    basis = pwpoly.LegendreBasis(degree, n_t, T)
    for r, time in enumerate(t):
        full = np.array(
            basis.evaluate_all_basis_function_derivatives(time)
            if derivative
            else basis.evaluate_all_basis_functions(time)
        )
        row = slice(m.indptr[r], m.indptr[r + 1])
        cols = m.indices[row]
        assert cols.size == degree + 1 and np.all(np.diff(cols) > 0)
        assert np.array_equal(bits(m.data[row]), bits(full[cols]))
        assert not np.any(np.delete(full, cols))


@pytest.mark.skipif(sys.maxsize < 2**32, reason="column counts beyond int32 need a 64-bit platform")
@pytest.mark.parametrize("degree, n_t", [(3, 2**29 - 1), (3, 2**29), (3, 2**30), (0, 2**31 - 1), (0, 2**31)])
def test_collocation_indices_are_int64_exactly_when_the_columns_do_not_fit_int32(degree, n_t):
    """The index type follows the column count n_t * (degree + 1), not n_t
    (which fits int32 in all but the last case): rows at t = 0 and t = T,
    whose last column is n_t * (degree + 1) - 1."""
    m = pa.collocation_matrix(degree, n_t, 1.0, [0.0, 1.0])
    columns = n_t * (degree + 1)
    assert m.shape == (2, columns)
    assert m.indices.dtype == m.indptr.dtype == (np.int32 if columns <= 2**31 - 1 else np.int64)
    expected = [i * n_t for i in range(degree + 1)] + [n_t - 1 + i * n_t for i in range(degree + 1)]
    assert m.indices.tolist() == expected and m.indptr.tolist() == [0, degree + 1, 2 * degree + 2]
    assert m.data.tolist() == [(-1.0) ** i for i in range(degree + 1)] + [1.0] * (degree + 1)


def triplets_of(m):
    rows = np.repeat(np.arange(m.shape[0]), np.diff(m.indptr))
    return rows, m.indices, bits(m.data)


def check_same_entries(m, triplets, shape):
    assert m.shape == shape and m.format == "csr"
    assert m.indptr.dtype == m.indices.dtype == np.int32  # small: the indices fit int32
    rows, cols, values = triplets_of(m)
    assert rows.tolist() == triplets[0] and cols.tolist() == triplets[1]
    assert np.array_equal(values, bits(triplets[2]))


@pytest.mark.parametrize("periodic", [False, True])
@pytest.mark.parametrize(
    "degree, nt_coarse, nt_fine", [(1, 2, 1), (2, 1, 2), (3, 5, 3), (2, 3, 7), (4, 6, 6), (1, 1, 1)]
)
def test_prolongation_has_pwpoly_entries_and_true_shape(degree, nt_coarse, nt_fine, periodic):
    m = pa.prolongation_matrix(degree, nt_coarse, nt_fine, periodic)
    points = (lambda nt: nt * degree) if periodic else (lambda nt: nt * degree + 1)
    triplets = pwpoly.lagrange_prolongation_matrix(nt_coarse, nt_fine, degree, periodic)
    check_same_entries(m, triplets, (points(nt_fine), points(nt_coarse)))


@pytest.mark.parametrize("periodic", [False, True])
@pytest.mark.parametrize("degree, n_t", [(1, 1), (2, 1), (3, 4), (5, 2)])
def test_lagrange_to_legendre_and_points_match_pwpoly(degree, n_t, periodic):
    m = pa.lagrange_to_legendre_matrix(degree, n_t, periodic)
    triplets = pwpoly.lagrange_to_legendre_basis_transformation(degree, n_t, periodic)
    points = n_t * degree + (0 if periodic else 1)
    check_same_entries(m, triplets, (n_t * (degree + 1), points))
    p = pa.lagrange_points(degree, n_t, 2.5, periodic)
    assert p.dtype == np.float64 and np.array_equal(
        bits(p), bits(pwpoly.get_lagrange_points(degree, n_t, 2.5, periodic))
    )


def test_expansion_is_an_immutable_picklable_copy(rng):
    _, T, c = random_mesh(rng, 3)
    e = pa.Expansion(c, T)
    c[0, 0] += 1.0  # the caller's array is not aliased
    copy = pickle.loads(pickle.dumps(e))
    assert copy == e and hash(copy) == hash(e) and copy is not e
    assert (copy.degree, copy.n_t, copy.T) == (3, c.shape[1], T)
    assert not np.array_equal(e.coefficients, c)
    t = random_times(rng, T, 50)
    assert np.array_equal(bits(copy(t)), bits(e(t)))
    assert pa.Expansion(-np.asarray(e.coefficients), T) != e and e != "e"
    with pytest.raises(ValueError):
        e.coefficients.flags.writeable = True
    with pytest.raises(AttributeError):
        e.T = 1.0
    assert "degree 3" in repr(e)


def test_native_module_is_pwpolys_own_file():
    # One extension file, hence one core and one worker pool per process.
    assert sys.modules["pwpoly_arrays._native"].__file__ == pwpoly.__file__


E = None


def expansion():
    global E
    if E is None:
        E = pa.Expansion(np.arange(8.0).reshape(2, 4), 1.0)
    return E


T4 = np.linspace(0.0, 1.0, 4)
READ_ONLY = np.zeros(4)
READ_ONLY.flags.writeable = False
SHARED = np.zeros(8)
native = load_native()
MESH2 = native.uniform_mesh(2, 0.0, 1.0)


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda: expansion()(np.ones(3, dtype=complex)), TypeError, "got dtype complex128"),
        # Extended precision would lose digits: refused, not truncated.
        (lambda: expansion()(np.ones(3, dtype=np.longdouble)), TypeError, f"got dtype {np.dtype(np.longdouble)}"),
        (lambda: expansion()(np.array(["a"])), TypeError, "float64"),
        (lambda: expansion()([object()]), TypeError, "got dtype object"),
        (lambda: expansion()(T4, out=np.empty(3)), ValueError, "shape"),
        (lambda: expansion()(T4, out=np.empty(4, dtype=np.float32)), TypeError, "dtype float64"),
        (lambda: expansion()(T4, out=[0.0] * 4), TypeError, "numpy.ndarray"),
        (lambda: expansion()(T4, out=READ_ONLY), ValueError, "read-only"),
        (lambda: expansion().derivative(SHARED[:4], out=SHARED[2:6]), ValueError, "share memory"),
        (lambda: pa.Expansion(np.ones(3), 1.0), ValueError, "got shape (3,)"),
        (lambda: pa.Expansion(np.ones((0, 3)), 1.0), ValueError, "at least one row"),
        (lambda: pa.Expansion(np.ones((2, 0)), 1.0), ValueError, "n_t >= 1"),
        (lambda: pa.Expansion(np.ones((2, 2)), 0.0), ValueError, "T must be positive"),
        (lambda: pa.Expansion(np.ones((2, 2)), "1"), TypeError, "mesh must be a TimeMesh or a 1-D array"),
        (lambda: pa.collocation_matrix(2, 0, 1.0, T4), ValueError, "n_t must be at least 1"),
        (lambda: pa.collocation_matrix(-1, 3, 1.0, T4), ValueError, "degree must be a non-negative integer, got -1"),
        (lambda: pa.collocation_matrix(2.0, 3, 1.0, T4), TypeError, "degree must be an integer"),
        (lambda: pa.collocation_matrix(2, 2**62, 1.0, T4), ValueError, "too large"),
        (lambda: pa.prolongation_matrix(0, 2, 4), ValueError, "degree must be at least 1"),
        (lambda: pa.prolongation_matrix(2, 2, 0, True), ValueError, "nt_fine must be at least 1"),
        (lambda: pa.lagrange_to_legendre_matrix(2, 0), ValueError, "n_t must be at least 1"),
        (lambda: pa.lagrange_points(1, 2**62, 1.0), ValueError, "too large"),
        (lambda: pa.prolongation_matrix(2, 2, 3, periodic="False"), TypeError, "periodic must be a bool"),
        (lambda: pa.collocation_matrix(1, 2, 1.0, T4, derivative=1), TypeError, "derivative must be a bool"),
        (lambda: pa.Expansion(np.ones((2, 2)), 10**400), ValueError, "too large for a float"),
        (lambda: pa.Expansion(np.ones((2, 2)), 1.7e308), ValueError, "T must be at most 2**1000"),
        (lambda: pa.lagrange_points(1, 2, 5e-324), ValueError, "T / n_t at least 2**-1000"),
        (lambda: expansion()(np.ma.masked_array(T4, mask=[0, 1, 0, 0])), TypeError, "t is a masked array"),
        (lambda: expansion()(T4, out=np.ma.zeros(4)), TypeError, "out is a masked array"),
        (lambda: pa.Expansion(np.ma.ones((2, 2)), 1.0), TypeError, "coefficients is a masked array"),
        (lambda: pa.prolongation_matrix(61, 1, 2), ValueError, "degree must be at most 60"),
        # The private module's own checks, called directly.
        (lambda: native.Expansion(np.zeros(3), 1, MESH2, 1), ValueError, "expected (degree + 1) * n_t * m = 4"),
        (lambda: native.Expansion(np.zeros(4), 1, 2, 1), TypeError, "argument 'mesh': expected pwpoly_arrays"),
        (lambda: native.uniform_mesh(2, 0.0, np.inf), ValueError, "T must be positive and finite"),
        (lambda: expansion()._core.evaluate_into(T4, np.zeros(3), False), ValueError, "out: expected 4 items"),
        (lambda: expansion()._core.evaluate_into(SHARED[:4], SHARED[2:6], True), ValueError, "out: shares memory"),
        (lambda: expansion()._core.evaluate_into(T4, READ_ONLY, True), ValueError, "out: the array is read-only"),
        (lambda: expansion()._core.evaluate_into(T4, np.zeros(4), 1), TypeError, "cannot be cast as 'bool'"),
        (lambda: native.collocation(1, MESH2, T4.astype(np.float32), False), TypeError, "t: expected float64"),
        (lambda: native.prolongation(61, MESH2, MESH2, False), ValueError, "degree must be at most 60"),
        (lambda: native.uniform_mesh(0, 0.0, 1.0), ValueError, "n_t must be at least 1, got 0"),
        (lambda: native.lagrange_to_legendre(2, 3, periodic=False), TypeError, "takes no keyword arguments"),
    ],
)
def test_bad_input_is_a_clear_error(capfd, call, error, text):
    with pytest.raises(error) as info:
        call()
    assert text in str(info.value)
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("derivative", [False, True])
def test_out_may_be_t_itself_and_any_layout_or_alignment(derivative):
    e = expansion()
    f = e.derivative if derivative else e
    t = np.linspace(-0.1, 1.1, 6001)  # the pool's size
    expected = bits(f(t.copy()))
    in_place = t.copy()
    assert f(in_place, out=in_place) is in_place and np.array_equal(bits(in_place), expected)
    strided = np.repeat(t, 2)[::2]  # the same array as t and out, not contiguous
    assert np.array_equal(bits(f(strided, out=strided)), expected)
    unaligned = np.frombuffer(bytearray(8 * t.size + 1), np.uint8)[1:].view(np.float64)
    unaligned[:] = t
    out = np.frombuffer(bytearray(8 * t.size + 1), np.uint8)[1:].view(np.float64)
    assert np.array_equal(bits(f(unaligned, out=out)), expected) and np.array_equal(bits(f(unaligned)), expected)


POOL_FAILURE = r"""
import os, resource
import numpy as np
import pwpoly, pwpoly_arrays as pa
from support import panic_exception_type

panic = panic_exception_type()
e = pa.Expansion(np.arange(6.0).reshape(2, 3), 1.0)
t = np.linspace(0.0, 1.0, 5000)  # enough for the pool
expected = np.concatenate([e(part) for part in np.split(t, 5)])  # below the pool's threshold
with open("/proc/self/statm") as f:
    mapped = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
# No room left for 200 thread stacks: the pool cannot start.
resource.setrlimit(resource.RLIMIT_AS, (mapped + 64 * 2**20, resource.RLIM_INFINITY))
try:
    e(t)
except RuntimeError as exc:
    print("companion", type(exc).__name__, exc)
try:
    pwpoly.LegendreBasisEvaluator(1, 3, 1.0).evaluate_many(t)
except panic as exc:
    print("pwpoly", type(exc).__name__, exc)
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
assert np.array_equal(e(t), expected), "a later call does not start the pool"
"""


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif(bool(os.environ.get("PWPOLY_SANITIZER")), reason="sanitizers reserve huge address ranges")
@pytest.mark.skipif(bool(os.environ.get("PWPOLY_TEST_EMULATED")), reason="qemu-user does not enforce RLIMIT_AS")
def test_a_pool_that_cannot_start_is_an_ordinary_error_in_the_companion():
    run = run_python(POOL_FAILURE, env={"RAYON_NUM_THREADS": "200"})
    assert run.returncode == 0, run.stderr
    reason = "The global thread pool has not been initialized.: "
    assert run.stdout.splitlines() == [
        f"companion RuntimeError {reason}Resource temporarily unavailable",
        f"pwpoly PanicException {reason}Resource temporarily unavailable",
    ]


def test_missing_scipy_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "scipy", None)
    monkeypatch.setitem(sys.modules, "scipy.sparse", None)
    with pytest.raises(ImportError, match=r"pwpoly\[sparse\]"):
        pa.prolongation_matrix(2, 2, 4)


ROUNDS = 5 if os.environ.get("PWPOLY_TEST_EMULATED") else 30


@pytest.mark.threads
def test_threads_hammer_one_expansion():
    rng = np.random.default_rng(7)
    e = pa.Expansion(rng.normal(size=(7, 300)), 3.0)
    big, small = rng.uniform(-0.5, 3.5, 12_000), rng.uniform(-0.5, 3.5, 100)
    expected = {
        (k, d): bits((e.derivative if d else e)(t)) for k, t in (("big", big), ("small", small)) for d in (0, 1)
    }
    failures = []
    start = threading.Barrier(8)

    def worker(i):
        start.wait()
        out = np.empty_like(big)
        for round_ in range(ROUNDS):
            d = (i + round_) % 2
            f = e.derivative if d else e
            ok = np.array_equal(bits(f(big, out=out)), expected["big", d])
            ok &= np.array_equal(bits(f(small)), expected["small", d])
            ok &= bits(f(float(small[3]))) == expected["small", d][3]
            if not ok:
                failures.append((i, round_))

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert failures == []


# ---------------------------------------------------------------------------
# Many components, and calculus.


def component(c, k):
    return c[(slice(None), slice(None)) + k]


@pytest.mark.parametrize("degree", [0, 1, 4, 12])
def test_every_component_is_its_scalar_expansion_bit_for_bit(rng, degree):
    value_shape = [(3,), (2, 5), (1,), (17,)][degree % 4]
    n_t, T, _ = random_mesh(rng, degree)
    c = np.random.default_rng(rng.randrange(2**32)).normal(size=(degree + 1, n_t, *value_shape))
    e = pa.Expansion(c, T)
    t = random_times(rng, T, 2991).reshape(2, -1)  # 3000 times: the pool's size, two axes
    values, slopes = e(t), e.derivative(t, out=np.empty(t.shape + value_shape)[..., ::1])
    assert values.shape == t.shape + value_shape
    for k in np.ndindex(*value_shape):
        scalar = pa.Expansion(component(c, k), T)
        assert np.array_equal(bits(values[(...,) + k]), bits(scalar(t)))
        assert np.array_equal(bits(slopes[(...,) + k]), bits(scalar.derivative(t)))
    assert np.array_equal(bits(e(float(t[0, 5]))), bits(values[0, 5]))


def test_endpoint_values_are_the_evaluation_at_both_ends(rng):
    n_t, T, c = random_mesh(rng, 5)
    c = np.stack([c, -c], axis=-1)
    c[2, 0, 0] = -0.0  # the sums start from -0.0
    at_start, at_end = pa.Expansion(c, T).endpoint_values()
    assert at_start.shape == at_end.shape == (n_t, 2)
    for j in range(n_t):
        # One interval of width 1 ends at local coordinates exactly -1 and 1.
        alone = pa.Expansion(c[:, j : j + 1], 1.0)
        assert np.array_equal(bits(at_start[j]), bits(alone(0.0))) and np.array_equal(bits(at_end[j]), bits(alone(1.0)))


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


def test_gauss_legendre_refuses_more_points_than_its_limit():
    limit = 10_000
    with pytest.raises(ValueError, match=f"points must be at most {limit}, got {limit + 1}"):
        pa.gauss_legendre(limit + 1, 1, 1.0)


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


CALCULUS_BAD_INPUT = [
    (lambda: pa.Expansion(np.ones(4), 1.0), ValueError, "at least 2-D, got shape (4,)"),
    (lambda: pa.gauss_legendre(0, 2, 1.0), ValueError, "points must be at least 1"),
    # Fewer points than coefficients per interval: not a projection.
    (
        lambda: pa.project(np.ones_like, 2, 3, 1.0, points=2),
        ValueError,
        "points must be at least degree + 1 = 3, got 2",
    ),
    (lambda: native.project(np.ones(3), 2, 3, 1, 1), ValueError, "points must be at least degree + 1 = 3, got 1"),
    (
        lambda: pa.project(lambda t: t[:-1], 2, 3, 1.0),
        ValueError,
        "f(times) must have shape (times.size, *value_shape) = (9, ...), got shape (8,)",
    ),
    (
        lambda: pa.project(lambda t: np.array(["x"] * t.size), 2, 3, 1.0),
        TypeError,
        "f(times) must be an array of float64",
    ),
    (lambda: pa.Expansion.from_nodal_values(np.ones(6), 2, 1.0), ValueError, "degree * n_t + 1 rows"),
    (
        lambda: pa.Expansion(np.ones((2, 3, 2)), 1.0)(np.ones(3), out=np.ones(3)),
        ValueError,
        "t.shape + value_shape, (3, 2)",
    ),
]


@pytest.mark.parametrize("call, error, text", CALCULUS_BAD_INPUT)
def test_calculus_bad_input_names_the_argument(call, error, text):
    with pytest.raises(error) as info:
        call()
    assert text in str(info.value)


def test_an_empty_value_shape_gives_empty_results():
    e = pa.Expansion(np.ones((3, 4, 2, 0)), 1.0)
    assert e(np.ones(5)).shape == (5, 2, 0) and e.integral().shape == (2, 0)
    assert e.endpoint_values()[0].shape == (4, 2, 0) and e.antiderivative().value_shape == (2, 0)


# ---------------------------------------------------------------------------
# Time operators, against exact rational references (tests/exact_time_operators.py).

import exact_time_operators as exact  # noqa: E402


def close_to_exact(matrix, reference, ulps, exact_bits=False):
    """Every entry within `ulps` units of the row's largest entry (or correctly rounded), zeros where exact."""
    from fractions import Fraction

    assert matrix.indptr.dtype == matrix.indices.dtype == np.int32  # small: the indices fit int32
    dense = matrix.toarray()
    assert dense.shape == (len(reference), len(reference[0]))
    for got_row, ref_row in zip(dense, reference):
        scale = max((abs(float(x)) for x in ref_row), default=0.0)
        for got, ref in zip(got_row, ref_row):
            if exact_bits:
                assert got == float(ref), (got, ref)
            else:
                assert abs(Fraction(got) - ref) <= ulps * 2**-52 * Fraction(scale), (got, ref)


OPERATOR_CASES = [(degree, n_t) for degree in range(7) for n_t in (1, 2, 3)]


@pytest.mark.parametrize("degree, n_t", OPERATOR_CASES)
def test_legendre_operators_are_exact(degree, n_t):
    from fractions import Fraction

    T = 1.5
    close_to_exact(pa.mass_matrix(degree, n_t, T), exact.legendre_mass_matrix(degree, n_t, Fraction(T)), 2)
    close_to_exact(pa.derivative_matrix(degree, n_t, T), exact.legendre_derivative_matrix(degree, n_t), 0, True)
    for got, ref in zip(pa.endpoint_matrices(degree, n_t), exact.endpoint_matrices(degree, n_t)):
        close_to_exact(got, ref, 0, True)
    for periodic in (False, True):
        close_to_exact(pa.upwind_matrix(degree, n_t, periodic), exact.upwind_matrix(degree, n_t, periodic), 0, True)
    if degree <= 4:
        for fine in (2 * n_t, n_t + 1):  # nested: the re-expansion, correctly rounded; otherwise the projection
            close_to_exact(
                pa.prolongation_matrix(degree, n_t, fine, basis="legendre"),
                exact.legendre_prolongation_matrix(degree, n_t, fine),
                32,
                exact_bits=fine % n_t == 0,
            )
            close_to_exact(
                pa.restriction_matrix(degree, n_t, fine), exact.legendre_restriction_matrix(degree, n_t, fine), 16
            )


@pytest.mark.parametrize("periodic", [False, True])
@pytest.mark.parametrize("degree, n_t", [(d, n) for d in range(1, 7) for n in (1, 2, 3)])
def test_lagrange_operators_are_exact(degree, n_t, periodic):
    from fractions import Fraction

    T = 1.5
    close_to_exact(
        pa.mass_matrix(degree, n_t, T, basis="lagrange", periodic=periodic),
        exact.lagrange_mass_matrix(degree, n_t, Fraction(T), periodic),
        8,
    )
    close_to_exact(
        pa.derivative_matrix(degree, n_t, T, basis="lagrange", periodic=periodic),
        exact.lagrange_derivative_matrix(degree, n_t, periodic),
        8,
    )


@functools.cache
def exact_lagrange_reference(degree, derivative):
    """The integrals over [-1, 1] of L_jj L_kk (L_jj L_kk'), exact, each rounded once."""
    basis = exact.lagrange_polynomials(degree)
    return [
        [
            float(exact.poly_integral(exact.poly_mul(a, exact.poly_derivative(b) if derivative else b), -1, 1))
            for b in basis
        ]
        for a in basis
    ]


def lagrange_matrix_in_documented_order(degree, n_t, T, periodic, derivative):
    """The Lagrange mass (derivative) matrix as time_operators.hpp defines its
    rounding: the local entries r = (0.5 * w) * R[jj][kk] (mass, w = T / n_t)
    or D[jj][kk] (derivative), R and D exact in fractions and rounded once;
    a global entry sums its intervals' entries in increasing interval order;
    periodic with one interval, row and column 0 add the entry of local node
    0 first, then that of node degree, and (0, 0) is
    (r(0, 0) + r(p, p)) + (r(0, p) + r(p, 0)). Every operation is rounded on
    its own: a float of the exact Fraction result."""
    from fractions import Fraction

    p = degree
    half = 0.5 * float(Fraction(T) / n_t)
    reference = exact_lagrange_reference(p, derivative)
    local = [[x if derivative else float(Fraction(half) * Fraction(x)) for x in row] for row in reference]

    def add(x, y):
        return float(Fraction(x) + Fraction(y))

    def r(jj, kk):
        return local[jj][kk]

    if periodic and n_t == 1:
        dense = [[r(a, b) for b in range(p)] for a in range(p)]
        for b in range(1, p):
            dense[0][b] = add(r(0, b), r(p, b))
            dense[b][0] = add(r(b, 0), r(b, p))
        dense[0][0] = add(add(r(0, 0), r(p, p)), add(r(0, p), r(p, 0)))
        return dense
    ndofs = n_t * p if periodic else n_t * p + 1
    terms = {}
    for k in range(n_t):
        for jj in range(p + 1):
            for kk in range(p + 1):
                pair = ((k * p + jj) % ndofs, (k * p + kk) % ndofs)
                terms.setdefault(pair, []).append(r(jj, kk))
    dense = [[0.0] * ndofs for _ in range(ndofs)]
    for (a, b), values in terms.items():
        total = values[0]
        for v in values[1:]:
            total = add(total, v)
        dense[a][b] = total
    return dense


@pytest.mark.parametrize("derivative", [False, True])
@pytest.mark.parametrize("n_t, periodic", [(1, True), (2, True), (3, True), (1, False), (2, False)])
def test_lagrange_operators_sum_in_the_documented_order(n_t, periodic, derivative):
    """Bit for bit, in particular the corner (0, 0) of the periodic matrices
    on one interval, the only entry with more than two terms."""
    make = pa.derivative_matrix if derivative else pa.mass_matrix
    for degree in range(1, 9):
        for T in (1.0, 1.5, 0.7, math.pi, 1e-3, 3.0e5):
            got = make(degree, n_t, T, basis="lagrange", periodic=periodic).toarray()
            expected = np.array(lagrange_matrix_in_documented_order(degree, n_t, T, periodic, derivative))
            assert np.array_equal(bits(got), bits(expected)), (degree, T)


@pytest.mark.parametrize("basis", ["legendre", "lagrange"])
def test_nested_prolongation_keeps_the_mass_and_restriction_inverts_it(basis):
    degree, nt_coarse, nt_fine, T = 3, 4, 12, 2.0
    P = pa.prolongation_matrix(degree, nt_coarse, nt_fine, basis=basis)
    M_coarse = pa.mass_matrix(degree, nt_coarse, T, basis=basis).toarray()
    M_fine = pa.mass_matrix(degree, nt_fine, T, basis=basis)
    assert np.allclose((P.T @ M_fine @ P).toarray(), M_coarse, rtol=0, atol=1e-15)
    if basis == "legendre":
        R = pa.restriction_matrix(degree, nt_coarse, nt_fine)
        assert np.allclose((R @ P).toarray(), np.eye(P.shape[1]), rtol=0, atol=1e-14)


@pytest.mark.parametrize("degree, nt_coarse, nt_fine", [(3, 2, 3), (1, 2, 3), (2, 3, 5), (3, 3, 2), (2, 4, 2)])
def test_restriction_after_prolongation_is_what_the_docstring_says(degree, nt_coarse, nt_fine):
    """Off nested meshes, R P is self-adjoint in L2, has eigenvalues in [0, 1]
    (so L2 norm 1), 1 exactly on what both spaces contain, keeps the global
    polynomials, and is idempotent only when nt_coarse is a multiple of
    nt_fine."""
    P = pa.prolongation_matrix(degree, nt_coarse, nt_fine, basis="legendre").toarray()
    R = pa.restriction_matrix(degree, nt_coarse, nt_fine).toarray()
    M_c = pa.mass_matrix(degree, nt_coarse, 1.0).toarray()
    M_f = pa.mass_matrix(degree, nt_fine, 1.0).toarray()
    RP = R @ P
    assert np.allclose(R, np.linalg.solve(M_c, P.T @ M_f), rtol=0, atol=1e-15)
    assert np.allclose(M_c @ RP, (M_c @ RP).T, rtol=0, atol=1e-15)
    # M_c is diagonal: R P is similar to the symmetric M_c^(1/2) R P M_c^(-1/2).
    root = np.sqrt(np.diag(M_c))
    eigenvalues = np.linalg.eigvalsh(root[:, None] * RP / root[None, :])
    assert eigenvalues.min() > -1e-14 and abs(eigenvalues.max() - 1) < 1e-14
    # 1 on what both spaces contain: the expansions on gcd(nt_coarse, nt_fine) intervals.
    assert np.sum(eigenvalues > 1 - 1e-12) == (degree + 1) * math.gcd(nt_coarse, nt_fine)
    x = np.linspace(-1.0, 1.0, 7)
    global_polynomial = pa.project(
        lambda t: np.polynomial.legendre.legval(2 * t - 1, x[: degree + 1]), degree, nt_coarse, 1.0
    )
    u = global_polynomial.coefficients.ravel()
    assert np.allclose(RP @ u, u, rtol=0, atol=1e-14)
    defect = np.abs(RP @ RP - RP).max()
    if nt_coarse % nt_fine == 0:
        assert defect < 1e-14  # the fine space lies in the coarse one
    else:
        assert defect > 0.05
    if (degree, nt_coarse, nt_fine) == (3, 2, 3):
        assert round(defect, 2) == 0.11


def test_the_end_matrices_give_the_expansions_end_values(rng):
    n_t, T, c = random_mesh(rng, 4)
    at_start, at_end = pa.endpoint_matrices(4, n_t)
    e = pa.Expansion(c, T)
    start, end = e.endpoint_values()
    # A CSR row product sums its stored entries from +0.0 in order: the same
    # bits as the expansion's sums from -0.0 unless every term is -0.0.
    assert np.array_equal(bits(at_end @ c.ravel()), bits(end)) and np.array_equal(
        bits(at_start @ c.ravel()), bits(start)
    )


OPERATOR_BAD_INPUT = [
    (lambda: pa.mass_matrix(2, 3, 1.0, basis="chebyshev"), ValueError, "basis must be 'legendre' or 'lagrange'"),
    (lambda: pa.mass_matrix(2, 3, 1.0, periodic=True), ValueError, "periodic=True needs basis='lagrange'"),
    (lambda: pa.derivative_matrix(0, 3, 1.0, basis="lagrange"), ValueError, "degree must be at least 1"),
    (lambda: pa.upwind_matrix(2, 0), ValueError, "n_t must be at least 1"),
    (lambda: pa.endpoint_matrices(2.5, 3), TypeError, "degree must be an integer"),
    (lambda: pa.prolongation_matrix(2, 2, 4, periodic=True, basis="legendre"), ValueError, "periodic=True needs"),
    (lambda: pa.restriction_matrix(2, 2, 0), ValueError, "nt_fine must be at least 1"),
    (lambda: pa.restriction_matrix(1, 0, 4), ValueError, "nt_coarse must be at least 1, got 0"),
    (lambda: pa.restriction_matrix(1, 4, 2.0), TypeError, "nt_fine must be an integer"),
    (lambda: pa.prolongation_matrix(1, 0, 4, basis="legendre"), ValueError, "nt_coarse must be at least 1, got 0"),
    (lambda: pa.prolongation_matrix(1, 4, 0, basis="legendre"), ValueError, "nt_fine must be at least 1, got 0"),
    (lambda: pa.prolongation_matrix(1, 0, 4), ValueError, "nt_coarse must be at least 1, got 0"),
    (lambda: native.legendre_transfer(1, MESH2, 4, True), TypeError, "argument 'fine': expected pwpoly_arrays"),
    (lambda: native.mass(2, MESH2, False, True), ValueError, "periodic: the Legendre basis has no shared nodes"),
]


@pytest.mark.parametrize("call, error, text", OPERATOR_BAD_INPUT)
def test_operator_bad_input_names_the_argument(call, error, text):
    with pytest.raises(error) as info:
        call()
    assert text in str(info.value)


# Every function that takes T, each on a mesh of two intervals.
TAKES_T = {
    "Expansion": lambda T: pa.Expansion(np.ones((2, 2)), T),
    "Expansion.from_nodal_values": lambda T: pa.Expansion.from_nodal_values(np.ones(3), 1, T),
    "collocation_matrix": lambda T: pa.collocation_matrix(1, 2, T, [0.0]),
    "mass_matrix": lambda T: pa.mass_matrix(1, 2, T),
    "mass_matrix lagrange": lambda T: pa.mass_matrix(1, 2, T, basis="lagrange", periodic=True),
    "derivative_matrix": lambda T: pa.derivative_matrix(1, 2, T),
    "derivative_matrix lagrange": lambda T: pa.derivative_matrix(1, 2, T, basis="lagrange"),
    "lagrange_points": lambda T: pa.lagrange_points(1, 2, T),
    "gauss_legendre": lambda T: pa.gauss_legendre(2, 2, T),
    "project": lambda T: pa.project(np.cos, 1, 2, T),
    "native uniform_mesh": lambda T: native.uniform_mesh(2, 0.0, T),
}


RANGE = "T must be at most 2**1000 (about 1.07e301) and T / n_t at least 2**-1000 (about 9.33e-302)"


@pytest.mark.parametrize(
    "T, text",
    [
        (float("nan"), "T must be positive and finite, got nan"),
        (-1.0, "T must be positive and finite, got -1.0"),
        (0.0, "T must be positive and finite, got 0.0"),
        (float("inf"), "T must be positive and finite, got inf"),
        (2.0**1001, f"{RANGE}; got T = {2.0**1001!r} with n_t = 2"),
        (2.0**-1000, f"{RANGE}; got T = {2.0**-1000!r} with n_t = 2"),
    ],
)
def test_every_function_that_takes_T_checks_it_the_same_way(T, text):
    for name, call in TAKES_T.items():
        with pytest.raises(ValueError) as info:
            call(T)
        assert text in str(info.value), name
    for call in TAKES_T.values():
        call(2.0)  # and a good T passes
