"""pwpoly_arrays.Expansion evaluated: bit-identity with pwpoly's evaluator on
seeded random meshes, out= and memory layouts, many components, the values at
the interval ends, pickling, the shared worker pool and threads sharing one
expansion."""

import os
import pickle
import sys
import threading

import numpy as np
import pytest
from arrays_support import bits, random_mesh, random_times, small_expansion

import pwpoly
from support import run_python

pa = pytest.importorskip("pwpoly_arrays")


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


@pytest.mark.parametrize("derivative", [False, True])
def test_out_may_be_t_itself_and_any_layout_or_alignment(derivative):
    e = small_expansion()
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
