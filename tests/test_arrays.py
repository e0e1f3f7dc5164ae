"""pwpoly_arrays, the numpy companion: bit-identity with the pwpoly entry
points on seeded random meshes, true shapes of the sparse results, pickling,
the refusal of every class of bad input, and threads sharing one expansion."""

import os
import pickle
import sys
import threading

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
    e = pa.Expansion(c, T)
    f = e.derivative if derivative else e
    assert np.array_equal(bits(f(t)), expected)
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
    t = random_times(rng, T, 41)
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
        (lambda: pa.Expansion(np.ones((2, 2)), "1"), TypeError, "T must be a real number"),
        (lambda: pa.collocation_matrix(2, 0, 1.0, T4), ValueError, "n_t must be at least 1"),
        (lambda: pa.collocation_matrix(-1, 3, 1.0, T4), ValueError, "degree must be at least 0"),
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
        (lambda: native.Expansion(np.zeros(3), 1, 2, 1, 1.0), ValueError, "expected (degree + 1) * n_t * m = 4"),
        (lambda: native.Expansion(np.zeros(4), 1, 2, 1, np.inf), ValueError, "T must be positive and finite"),
        (lambda: expansion()._core.evaluate_into(T4, np.zeros(3), False), ValueError, "out: expected 4 items"),
        (lambda: expansion()._core.evaluate_into(SHARED[:4], SHARED[2:6], True), ValueError, "out: shares memory"),
        (lambda: expansion()._core.evaluate_into(T4, READ_ONLY, True), ValueError, "out: the array is read-only"),
        (lambda: expansion()._core.evaluate_into(T4, np.zeros(4), 1), TypeError, "cannot be cast as 'bool'"),
        (lambda: native.collocation(1, 2, 1.0, T4.astype(np.float32), False), TypeError, "t: expected float64"),
        (lambda: native.prolongation(61, 1, 2, False), ValueError, "degree must be at most 60"),
        (lambda: native.lagrange_points(1, 0, 1.0, False), ValueError, "n_t must be at least 1, got 0"),
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


def test_integral_and_antiderivative_are_exact_to_rounding(rng):
    from fractions import Fraction

    n_t, T, c = random_mesh(rng, 3)
    c[0] *= np.where(np.arange(n_t) % 2, 1e8, -1e8)  # cancellation
    e = pa.Expansion(c, T)
    w = Fraction(T) / n_t
    exact = [w * sum(Fraction(x) for x in c[0, : j + 1]) for j in range(n_t)]
    scale = float(w * sum(abs(Fraction(x)) for x in c[0]))
    assert abs(Fraction(e.integral()) - exact[-1]) <= 4 * 2**-52 * scale
    F = e.antiderivative()
    assert (F.degree, F.n_t, F.T) == (4, n_t, T)
    ends = F.endpoint_values()
    assert abs(ends[0][0]) <= 4 * 2**-52 * scale  # F(0) = 0
    for j in range(n_t):
        assert abs(Fraction(ends[1][j]) - exact[j]) <= 8 * 2**-52 * scale
        if j + 1 < n_t:
            assert abs(ends[0][j + 1] - ends[1][j]) <= 8 * 2**-52 * scale  # continuous
    # F' = e: the derivative of the Legendre series of F, exactly in rationals.
    h = w / 2
    for j in range(n_t):
        f = [Fraction(x) for x in F.coefficients[:, j]]
        # d/dxi sum f_i P_i = sum c_i P_i with c_i = (2i + 1) sum_{k > i, k - i odd} f_k.
        derived = [(2 * i + 1) * sum(f[k] for k in range(i + 1, 5, 2)) / h for i in range(4)]
        for i in range(4):
            assert abs(derived[i] - Fraction(c[i, j])) <= 64 * 2**-52 * (abs(Fraction(c[i, j])) + scale / float(w))


def decimal_gauss_legendre(n):
    """Nodes and weights of the n-point rule with 60 decimal digits (Newton on the recurrence)."""
    from decimal import Decimal, localcontext

    with localcontext() as ctx:
        ctx.prec = 60
        nodes, weights = [], []
        for q in range(n):
            x = Decimal(np.cos(np.pi * (q + 0.75) / (n + 0.5)))
            for _ in range(60):
                p0, p1 = Decimal(1), x
                for k in range(1, n):
                    p0, p1 = p1, ((2 * k + 1) * x * p1 - k * p0) / (k + 1)
                dp = n * (x * p1 - p0) / (x * x - 1)
                step = p1 / dp
                x -= step
                if abs(step) < Decimal(10) ** -55:
                    break
            nodes.append(x)
            weights.append(2 / ((1 - x * x) * dp * dp))
        return nodes[::-1], weights[::-1]


@pytest.mark.parametrize("points", [1, 2, 7, 20, 64])
def test_gauss_legendre_is_correct_to_the_last_bits(points):
    times, weights = pa.gauss_legendre(points, 1, 2.0)  # w / 2 = 1: the reference rule shifted by 1
    nodes, exact_weights = decimal_gauss_legendre(points)
    for got, x in zip(times, nodes):
        assert abs(got - (1 + float(x))) <= 2 * np.spacing(1 + float(x))
    for got, x in zip(weights, exact_weights):
        assert abs(got - float(x)) <= 2 * np.spacing(float(x))
    t, w = pa.gauss_legendre(points, 3, 1.5)
    assert t.shape == w.shape == (3 * points,) and np.all(np.diff(t) > 0) and abs(w.sum() - 1.5) < 1e-14


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
    (lambda: native.mass(2, 3, 1.0, False, True), ValueError, "periodic: the Legendre basis has no shared nodes"),
]


@pytest.mark.parametrize("call, error, text", OPERATOR_BAD_INPUT)
def test_operator_bad_input_names_the_argument(call, error, text):
    with pytest.raises(error) as info:
        call()
    assert text in str(info.value)
