"""Bad input, one table for both modules: every row is a call, the exception
class it must raise (exactly that class) and a fragment of its message. The
rows of pwpoly come first, then those of pwpoly_arrays and of its private
native module called directly; every function of pwpoly_arrays that takes T
is then tried with each bad T. Nothing may be written to stderr on the way.

The refusals that pwpoly and the reference model share (panics included)
are in the files of their subjects, run against both implementations."""

import array

import numpy as np
import pytest
from arrays_support import small_expansion

import pwpoly

pa = pytest.importorskip("pwpoly_arrays")
pytest.importorskip("scipy.sparse")
from pwpoly_arrays import TimeMesh  # noqa: E402
from pwpoly_arrays._native_loader import load_native  # noqa: E402

native = load_native()
MESH2 = native.uniform_mesh(2, 0.0, 1.0)
T4 = np.linspace(0.0, 1.0, 4)
READ_ONLY = np.zeros(4)
READ_ONLY.flags.writeable = False
SHARED = np.zeros(8)


def no_intervals():
    return pwpoly.LegendreBasisEvaluator(2, 0, 1.0)


PWPOLY = [
    # Conversion errors name the argument; a failing conversion wins over the value checks after it.
    (lambda: pwpoly.sum_as_string(-1, 1), OverflowError, "can't convert negative int to unsigned"),
    (lambda: pwpoly.sum_as_string(1.0, 1), TypeError, "argument 'a': "),
    (lambda: pwpoly.sum_as_string(1, "2"), TypeError, "argument 'b': "),
    (lambda: pwpoly.sum_as_string(-1, "2"), OverflowError, "can't convert negative int to unsigned"),
    (lambda: pwpoly.get_lagrange_points(1, 2, 1.0, 1), TypeError, "argument 'periodic': 'int' object cannot be"),
    (lambda: pwpoly.get_lagrange_points(1, 2, 1.0, None), TypeError, "'NoneType' object cannot be cast as 'bool'"),
    (lambda: pwpoly.get_lagrange_points(1, 2, 1.0, 0.0), TypeError, "'float' object cannot be cast as 'bool'"),
    (lambda: pwpoly.get_lagrange_points(1, 2, 1.0, "yes"), TypeError, "'str' object cannot be cast as 'bool'"),
    (lambda: pwpoly.get_lagrange_points(1, 2, 1.0, np.int8(1)), TypeError, "'int8' object cannot be cast as 'bool'"),
    (
        lambda: pwpoly.lagrange_prolongation_matrix(2, 2, 0, periodic=1),
        TypeError,
        "argument 'periodic': 'int' object cannot be cast as 'bool'",
    ),
    # A mesh without intervals: the conversions still come first.
    (lambda: pwpoly.LegendreBasis(2, 0, 1.0).evaluate_at("x", []), TypeError, "argument 't': "),
    (lambda: pwpoly.LegendreBasis(2, 0, 1.0).evaluate_at(0.5, "abc"), TypeError, "argument 'legendre_vals': "),
    (lambda: pwpoly.LegendreBasis(2, 0, 1.0).evaluate_all_basis_functions(None), TypeError, "argument 't': "),
    (lambda: no_intervals().evaluate_at("x"), TypeError, "argument 't': "),
    (lambda: no_intervals().evaluate_many([0.5]), TypeError, "argument 't_values': a bytes-like object is required"),
    (lambda: no_intervals().evaluate_many(array.array("f", [0.5])), BufferError, "not compatible with f64"),
]

ARRAYS = [
    # dtypes, masks and out=
    (lambda: small_expansion()(np.ones(3, dtype=complex)), TypeError, "got dtype complex128"),
    # Extended precision would lose digits: refused, not truncated.
    (lambda: small_expansion()(np.ones(3, dtype=np.longdouble)), TypeError, f"got dtype {np.dtype(np.longdouble)}"),
    (lambda: small_expansion()(np.array(["a"])), TypeError, "float64"),
    (lambda: small_expansion()([object()]), TypeError, "got dtype object"),
    (lambda: small_expansion()(T4, out=np.empty(3)), ValueError, "shape"),
    (lambda: small_expansion()(T4, out=np.empty(4, dtype=np.float32)), TypeError, "dtype float64"),
    (lambda: small_expansion()(T4, out=[0.0] * 4), TypeError, "numpy.ndarray"),
    (lambda: small_expansion()(T4, out=READ_ONLY), ValueError, "read-only"),
    (lambda: small_expansion().derivative(SHARED[:4], out=SHARED[2:6]), ValueError, "share memory"),
    (lambda: small_expansion()(np.ma.masked_array(T4, mask=[0, 1, 0, 0])), TypeError, "t is a masked array"),
    (lambda: small_expansion()(T4, out=np.ma.zeros(4)), TypeError, "out is a masked array"),
    (lambda: pa.Expansion(np.ma.ones((2, 2)), 1.0), TypeError, "coefficients is a masked array"),
    (lambda: pa.Expansion(np.ones((2, 3, 2)), 1.0)(np.ones(3), out=np.ones(3)), ValueError, "value_shape, (3, 2)"),
    # Shapes of coefficients and values
    (lambda: pa.Expansion(np.ones(3), 1.0), ValueError, "at least 2-D, got shape (3,)"),
    (lambda: pa.Expansion(np.ones((0, 3)), 1.0), ValueError, "at least one row"),
    (lambda: pa.Expansion(np.ones((2, 0)), 1.0), ValueError, "n_t >= 1"),
    (lambda: pa.Expansion.from_nodal_values(np.ones(6), 2, 1.0), ValueError, "degree * n_t + 1 rows"),
    (lambda: pa.Expansion.from_nodal_values(np.ones(3), 0, 1.0), ValueError, "degree must be at least 1, got 0"),
    (
        lambda: pa.Expansion.from_nodal_values(np.ones(62), 61, 1.0),
        ValueError,
        "degree must be at most 60 for the equidistant Lagrange basis",
    ),
    (
        lambda: pa.project(lambda t: t[:-1], 2, 3, 1.0),
        ValueError,
        "f(times) must have shape (times.size, *value_shape) = (9, ...), got shape (8,)",
    ),
    (lambda: pa.project(lambda t: np.array(["x"] * t.size), 2, 3, 1.0), TypeError, "f(times) must be an array"),
    # Sizes: types and signs here, bounds from the native entries.
    (lambda: pa.collocation_matrix(2, 0, 1.0, T4), ValueError, "n_t must be at least 1, got 0"),
    (lambda: pa.collocation_matrix(-1, 3, 1.0, T4), ValueError, "degree must be a non-negative integer, got -1"),
    (lambda: pa.collocation_matrix(2.0, 3, 1.0, T4), TypeError, "degree must be an integer, got float"),
    (lambda: pa.collocation_matrix(True, 3, 1.0, T4), TypeError, "degree must be an integer, got bool"),
    (lambda: pa.collocation_matrix(2, 2**62, 1.0, T4), ValueError, "too large"),
    (lambda: pa.collocation_matrix(1, 2, 1.0, T4, derivative=1), TypeError, "derivative must be a bool"),
    (lambda: pa.prolongation_matrix(0, 2, 4), ValueError, "degree must be at least 1, got 0"),
    (lambda: pa.prolongation_matrix(61, 1, 2), ValueError, "degree must be at most 60"),
    (lambda: pa.prolongation_matrix(2, 2, 0, True), ValueError, "nt_fine must be at least 1, got 0"),
    (lambda: pa.prolongation_matrix(1, 0, 4), ValueError, "nt_coarse must be at least 1, got 0"),
    (lambda: pa.prolongation_matrix(1, -1, 4), ValueError, "nt_coarse must be a non-negative integer, got -1"),
    (lambda: pa.prolongation_matrix(1, 0, 4, basis="legendre"), ValueError, "nt_coarse must be at least 1, got 0"),
    (lambda: pa.prolongation_matrix(1, 4, 0, basis="legendre"), ValueError, "nt_fine must be at least 1, got 0"),
    (lambda: pa.prolongation_matrix(2, 2, 3, periodic="False"), TypeError, "periodic must be a bool"),
    (lambda: pa.prolongation_matrix(2, 2, 4, periodic=True, basis="legendre"), ValueError, "periodic=True needs"),
    (lambda: pa.prolongation_matrix(1, 2, TimeMesh.uniform(2, 1.0)), TypeError, "must both be interval counts"),
    (lambda: pa.restriction_matrix(2, 2, 0), ValueError, "nt_fine must be at least 1, got 0"),
    (lambda: pa.restriction_matrix(1, 0, 4), ValueError, "nt_coarse must be at least 1, got 0"),
    (lambda: pa.restriction_matrix(1, 4, 2.0), TypeError, "nt_fine must be an integer"),
    (lambda: pa.restriction_matrix(-1, 2, 4), ValueError, "degree must be a non-negative integer, got -1"),
    (lambda: pa.lagrange_to_legendre_matrix(2, 0), ValueError, "n_t must be at least 1, got 0"),
    (lambda: pa.lagrange_to_legendre_matrix(61, 2), ValueError, "degree must be at most 60"),
    (lambda: pa.lagrange_points(0, 2, 1.0), ValueError, "degree must be at least 1, got 0"),
    (lambda: pa.lagrange_points(61, 2, 1.0), ValueError, "degree must be at most 60"),
    (lambda: pa.lagrange_points(1, 2**62, 1.0), ValueError, "too large"),
    (lambda: pa.gauss_legendre(0, 2, 1.0), ValueError, "points must be at least 1, got 0"),
    (lambda: pa.gauss_legendre(10_001, 1, 1.0), ValueError, "points must be at most 10000, got 10001"),
    # Fewer points than coefficients per interval: not a projection.
    (lambda: pa.project(np.ones_like, 2, 3, 1.0, points=2), ValueError, "points must be at least degree + 1 = 3"),
    (lambda: pa.mass_matrix(2, 3, 1.0, basis="chebyshev"), ValueError, "basis must be 'legendre' or 'lagrange'"),
    (lambda: pa.mass_matrix(2, 3, 1.0, periodic=True), ValueError, "periodic=True needs basis='lagrange'"),
    (lambda: pa.mass_matrix(61, 3, 1.0, basis="lagrange"), ValueError, "degree must be at most 60"),
    (lambda: pa.derivative_matrix(0, 3, 1.0, basis="lagrange"), ValueError, "degree must be at least 1, got 0"),
    (lambda: pa.upwind_matrix(2, 0), ValueError, "n_t must be at least 1, got 0"),
    (lambda: pa.endpoint_matrices(2.5, 3), TypeError, "degree must be an integer"),
    (lambda: pa.endpoint_matrices(2, -3), ValueError, "n_t must be a non-negative integer, got -3"),
    # Meshes
    (lambda: TimeMesh([1.0]), ValueError, "at least 2 entries (n_t + 1 with n_t >= 1), got 1"),
    (lambda: TimeMesh([0.0, 2.0, 1.0]), ValueError, "strictly increasing, got 2.0 at position 1 and 1.0 at position 2"),
    (lambda: TimeMesh([0.0, np.inf]), ValueError, "finite, got inf at position 1"),
    (lambda: TimeMesh([[0.0, 1.0]]), ValueError, "1-D array, got shape (1, 2)"),
    (lambda: TimeMesh(["a", "b"]), TypeError, "breakpoints must be an array of float64"),
    (lambda: TimeMesh([0.0, 1e302]), ValueError, "at most 2**1000"),
    (lambda: TimeMesh([0.0, 1e-305]), ValueError, "at least 2**-1000 (about 9.33e-302) apart"),
    (lambda: TimeMesh.uniform(0, 1.0), ValueError, "n_t must be at least 1, got 0"),
    (lambda: TimeMesh.uniform(3, -1.0), ValueError, "T must be positive and finite, got -1.0"),
    (lambda: TimeMesh.uniform(3, 1.0, start=2.0), ValueError, "the end must be after the start"),
    (lambda: TimeMesh.uniform(10**6, 1e10 + 1e-3, start=1e10), ValueError, "too narrow"),
    (lambda: TimeMesh.uniform(3, "1"), TypeError, "T must be a real number"),
    (lambda: TimeMesh.graded(0, 1.0, 2.0), ValueError, "n_t must be at least 1, got 0"),
    (lambda: TimeMesh.graded(4, 1.0, 0.5), ValueError, "grading must be finite and at least 1, got 0.5"),
    (lambda: pa.Expansion(np.ones((2, 2)), 0.0), ValueError, "T must be positive"),
    (lambda: pa.Expansion(np.ones((2, 2)), "1"), TypeError, "mesh must be a TimeMesh or a 1-D array"),
    (lambda: pa.Expansion(np.ones((2, 2)), 10**400), ValueError, "too large for a float"),
    (lambda: pa.Expansion(np.ones((2, 3)), [0.0, 1.0]), ValueError, "need a mesh of 3 intervals, got one of 1"),
    (lambda: pa.Expansion(np.ones((2, 3)), None), TypeError, "mesh must be a TimeMesh"),
    (lambda: pa.Expansion(np.ones((2, 2)), [0.0, 1.0, 1.0]), ValueError, "mesh: breakpoints must be strictly"),
    (lambda: pa.mass_matrix(1, 3), TypeError, "needs T after it"),
    (lambda: pa.mass_matrix(1, n_t=3), TypeError, "n_t= needs T= as well"),
    (
        lambda: pa.prolongation_matrix(1, TimeMesh([0.0, 0.5, 1.0]), TimeMesh([0.0, 1.5]), basis="legendre"),
        ValueError,
        "got coarse [0.0, 1.0] and fine [0.0, 1.5]: the ends differ",
    ),
    (lambda: pa.restriction_matrix(1, TimeMesh.uniform(2, 1.0), TimeMesh([1e-300, 1.0])), ValueError, "starts differ"),
    (lambda: pa.collocation_matrix(1, [0.0, 1.0, 3.0], [0.5, 1.0, np.nan]), ValueError, "got nan at position 2"),
]

NATIVE = [
    # The private module's own checks, called directly.
    (lambda: native.Expansion(np.zeros(3), 1, MESH2, 1), ValueError, "expected (degree + 1) * n_t * m = 4"),
    (lambda: native.Expansion(np.zeros(4), 1, 2, 1), TypeError, "argument 'mesh': expected pwpoly_arrays"),
    (lambda: native.uniform_mesh(2, 0.0, np.inf), ValueError, "T must be positive and finite"),
    (lambda: native.uniform_mesh(0, 0.0, 1.0), ValueError, "n_t must be at least 1, got 0"),
    (lambda: small_expansion()._core.evaluate_into(T4, np.zeros(3), False), ValueError, "out: expected 4 items"),
    (lambda: small_expansion()._core.evaluate_into(SHARED[:4], SHARED[2:6], True), ValueError, "out: shares memory"),
    (lambda: small_expansion()._core.evaluate_into(T4, READ_ONLY, True), ValueError, "out: the array is read-only"),
    (lambda: small_expansion()._core.evaluate_into(T4, np.zeros(4), 1), TypeError, "cannot be cast as 'bool'"),
    (lambda: native.collocation(1, MESH2, T4.astype(np.float32), False), TypeError, "t: expected float64"),
    (lambda: native.prolongation(61, MESH2, MESH2, False), ValueError, "degree must be at most 60"),
    (lambda: native.lagrange_to_legendre(2, 3, periodic=False), TypeError, "takes no keyword arguments"),
    (lambda: native.project(np.ones(3), 2, 3, 1, 1), ValueError, "points must be at least degree + 1 = 3, got 1"),
    (lambda: native.legendre_transfer(1, MESH2, 4, True), TypeError, "argument 'fine': expected pwpoly_arrays"),
    (lambda: native.mass(2, MESH2, False, True), ValueError, "periodic: the Legendre basis has no shared nodes"),
]

# Every function of pwpoly_arrays that takes T, each on a mesh of two intervals.
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
    "TimeMesh.uniform": lambda T: TimeMesh.uniform(2, T),
    "TimeMesh.graded": lambda T: TimeMesh.graded(2, T, 2.0),
    "native uniform_mesh": lambda T: native.uniform_mesh(2, 0.0, T),
}
RANGE = "T must be at most 2**1000 (about 1.07e301) and T / n_t at least 2**-1000 (about 9.33e-302)"
BAD_T = [
    (float("nan"), "T must be positive and finite, got nan"),
    (-1.0, "T must be positive and finite, got -1.0"),
    (0.0, "T must be positive and finite, got 0.0"),
    (float("inf"), "T must be positive and finite, got inf"),
    (2.0**1001, f"{RANGE}; got T = {2.0**1001!r} with n_t = 2"),
    (2.0**-1000, f"{RANGE}; got T = {2.0**-1000!r} with n_t = 2"),
]
TAKES_BAD_T = [
    pytest.param(lambda call=call, T=T: call(T), ValueError, text, id=f"{name}-T={T!r}")
    for name, call in TAKES_T.items()
    for T, text in BAD_T
    # The graded mesh has no range rule of its own: it needs only a positive, finite T.
    if not (name == "TimeMesh.graded" and text.startswith(RANGE))
]


@pytest.mark.parametrize("call, error, text", PWPOLY + ARRAYS + NATIVE + TAKES_BAD_T)
def test_bad_input_raises_its_class_with_what_is_wrong(capfd, call, error, text):
    with pytest.raises(error) as info:
        call()
    assert type(info.value) is error
    assert text in str(info.value)
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("call", TAKES_T.values(), ids=TAKES_T.keys())
def test_a_good_T_passes_everywhere(call):
    call(2.0)
