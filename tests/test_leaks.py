"""Reference and memory leaks of every entry point, on every path out of it.

Each scenario calls one entry point in one way (a success, or one kind of
failure: TypeError from matching or conversion, OverflowError, BufferError,
RuntimeError, ValueError, MemoryError, PanicException) many times. After a
warm-up round, a measured round of the same calls must leave unchanged:
  * the reference counts of the objects the calls shared (arguments, the
    instance, the types involved);
  * the number of objects the garbage collector tracks;
  * the memory traced by tracemalloc (every Python object allocation);
and, in a separate test with large payloads, the resident memory of the
process (native allocations of the module: coefficient arrays, time copies,
sparse matrices). Buffers must be released: an exporter that still had an
export after the call could not be resized or released.
"""

import array
import functools
import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

import pwpoly
from pwpoly import LegendreBasis, LegendreBasisEvaluator
from support import panic_exception_type, run_python

SANITIZED = bool(os.environ.get("PWPOLY_SANITIZER"))
ROUND = 150 if SANITIZED else 400

# A leak of one object per call shows as ROUND objects (and at least 16
# bytes each); these allow for interpreter caches that settle during a round.
GC_SLACK = ROUND // 8
TRACED_SLACK = 4 * ROUND


PanicException = panic_exception_type()


class Floaty:
    """A coefficient whose conversion runs Python code."""

    def __init__(self, action=None):
        self.action = action

    def __float__(self):
        if self.action is not None:
            self.action()
        return 0.5


class RaisesInIndex:
    def __index__(self):
        raise ValueError("no index")


class Coefficients:
    """A sequence (not a list) of coefficients, converted by iteration."""

    def __init__(self, values):
        self.values = values

    def __len__(self):
        return len(self.values)

    def __getitem__(self, i):
        return self.values[i]


def scenarios():
    """(id, call, expected exception type or None, objects whose counts must not move)."""
    ev = LegendreBasisEvaluator(2, 3, 1.5)
    ev.set_dofs([float(i) for i in range(9)])
    empty_ev = LegendreBasisEvaluator(2, 0, 1.0)
    basis = LegendreBasis(2, 3, 1.5)
    empty_basis = LegendreBasis(1, 0, 1.0)

    coefficients = [float(i) / 7 for i in range(9)]
    coefficients_array = np.linspace(0.0, 1.0, 9)
    too_few = coefficients[:5]
    too_many = coefficients + [1.0]
    bad_item = coefficients[:4] + ["x"] + coefficients[5:]
    small_times = array.array("d", [0.0, 0.3, 1.0, 1.5, 2.0])
    pool_times = np.linspace(-0.5, 2.0, 2048)  # the smallest count that uses the pool
    strided_times = np.linspace(0.0, 1.5, 40)[::3]
    float32_times = np.zeros(4, dtype=np.float32)
    misaligned = np.frombuffer(bytearray(8 * 5 + 1), dtype=np.uint8)[1:].view(np.float64)
    zero_dim = np.array(0.5)
    t = float(np.float64(0.7))
    huge = 2**40
    wide = sys.maxsize - 7  # a large int that fits the size type everywhere
    negative = -(2**70)
    floaty = Floaty()
    sequence = Coefficients(coefficients)
    # Re-entrant coefficients: the conversion calls the instance being loaded.
    reenter_set = [Floaty(lambda: ev.set_dofs(coefficients))] + coefficients[1:]
    reenter_eval = [Floaty(lambda: ev.evaluate_at(0.5))] + coefficients[1:]
    # A PanicException raised by Python code the module called.
    panicking = [Floaty(lambda: pwpoly.lagrange_prolongation_matrix(2, 2, 0))] + coefficients[1:]
    t_reenter = Floaty(lambda: ev.set_dofs(coefficients))
    broadcast_huge = np.broadcast_to(np.float64(0.5), (2**20, 2**20)) if sys.maxsize > 2**32 else None

    shared_ev = (ev, LegendreBasisEvaluator)
    shared_basis = (basis, LegendreBasis)
    S = [
        # sum_as_string
        ("sum ok", lambda: pwpoly.sum_as_string(wide, 3), None, (wide,)),
        ("sum keywords", lambda: pwpoly.sum_as_string(b=wide, a=1), None, (wide,)),
        ("sum missing", lambda: pwpoly.sum_as_string(1), TypeError, ()),
        ("sum surplus", lambda: pwpoly.sum_as_string(1, 2, 3), TypeError, ()),
        ("sum unknown keyword", lambda: pwpoly.sum_as_string(1, c=2), TypeError, ()),
        ("sum duplicate keyword", lambda: pwpoly.sum_as_string(1, a=2), TypeError, ()),
        ("sum float", lambda: pwpoly.sum_as_string(t, 1), TypeError, (t,)),
        ("sum negative", lambda: pwpoly.sum_as_string(negative, 1), OverflowError, (negative,)),
        ("sum index raises", lambda: pwpoly.sum_as_string(RaisesInIndex(), 1), ValueError, ()),
        # get_lagrange_points
        ("points ok", lambda: pwpoly.get_lagrange_points(3, 20, t), None, (t,)),
        ("points periodic", lambda: pwpoly.get_lagrange_points(3, 20, t, periodic=True), None, (t,)),
        ("points periodic degree 0", lambda: pwpoly.get_lagrange_points(0, 2, 1.0, True), ValueError, ()),
        ("points periodic int", lambda: pwpoly.get_lagrange_points(1, 2, 1.0, 1), TypeError, ()),
        ("points capacity", lambda: pwpoly.get_lagrange_points(2**31, 2**31, 1.0), PanicException, ()),
        # lagrange_prolongation_matrix
        ("prolongation ok", lambda: pwpoly.lagrange_prolongation_matrix(3, 7, 3), None, ()),
        ("prolongation periodic", lambda: pwpoly.lagrange_prolongation_matrix(3, 7, 2, True), None, ()),
        ("prolongation degree 0", lambda: pwpoly.lagrange_prolongation_matrix(2, 2, 0), PanicException, ()),
        ("prolongation periodic counts", lambda: pwpoly.lagrange_prolongation_matrix(0, 2, 1, True), ValueError, ()),
        (
            "prolongation overflow",
            lambda: pwpoly.lagrange_prolongation_matrix(1, negative, 1),
            OverflowError,
            (negative,),
        ),
        # lagrange_to_legendre_basis_transformation
        ("transformation ok", lambda: pwpoly.lagrange_to_legendre_basis_transformation(5, 4), None, ()),
        ("transformation periodic", lambda: pwpoly.lagrange_to_legendre_basis_transformation(2, 4, True), None, ()),
        ("transformation degree 0", lambda: pwpoly.lagrange_to_legendre_basis_transformation(0, 4), PanicException, ()),
        (
            "transformation periodic n_t 0",
            lambda: pwpoly.lagrange_to_legendre_basis_transformation(1, 0, True),
            ValueError,
            (),
        ),
        (
            "transformation capacity",
            lambda: pwpoly.lagrange_to_legendre_basis_transformation(2 * sys.maxsize + 1, 1),
            PanicException,
            (),
        ),
        # LegendreBasis
        ("basis new", lambda: LegendreBasis(2, 3, t), None, (t, LegendreBasis)),
        ("basis new keywords", lambda: LegendreBasis(T=t, n_t=3, degree=2), None, (t, LegendreBasis)),
        ("basis new missing", lambda: LegendreBasis(2), TypeError, (LegendreBasis,)),
        ("basis new str", lambda: LegendreBasis("2", 3, 1.0), TypeError, (LegendreBasis,)),
        ("basis evaluate_at", lambda: basis.evaluate_at(t, coefficients), None, shared_basis + (coefficients, t)),
        (
            "basis evaluate_at array",
            lambda: basis.evaluate_at(t, coefficients_array),
            None,
            shared_basis + (coefficients_array,),
        ),
        ("basis evaluate_at too few", lambda: basis.evaluate_at(t, too_few), PanicException, shared_basis + (too_few,)),
        ("basis evaluate_at bad item", lambda: basis.evaluate_at(t, bad_item), TypeError, shared_basis + (bad_item,)),
        ("basis evaluate_at empty mesh", lambda: empty_basis.evaluate_at(t, []), ValueError, (empty_basis,)),
        ("basis all values", lambda: basis.evaluate_all_basis_functions(t), None, shared_basis),
        (
            "basis all derivatives",
            lambda: basis.evaluate_all_basis_function_derivatives(floaty),
            None,
            shared_basis + (floaty,),
        ),
        (
            "basis all capacity",
            lambda: LegendreBasis(huge, huge, 1.0).evaluate_all_basis_functions(0.5),
            PanicException if sys.maxsize > 2**32 else OverflowError,
            (),
        ),
        ("basis all empty mesh", lambda: empty_basis.evaluate_all_basis_functions(0.5), ValueError, (empty_basis,)),
        # LegendreBasisEvaluator construction
        ("evaluator new", lambda: LegendreBasisEvaluator(2, 30, t), None, (t, LegendreBasisEvaluator)),
        (
            "evaluator new capacity",
            lambda: LegendreBasisEvaluator(huge, huge, 1.0),
            PanicException if sys.maxsize > 2**32 else OverflowError,
            (LegendreBasisEvaluator,),
        ),
        (
            "evaluator new overflow",
            lambda: LegendreBasisEvaluator(negative, 1, 1.0),
            OverflowError,
            (negative, LegendreBasisEvaluator),
        ),
        # set_dofs
        ("set_dofs list", lambda: ev.set_dofs(coefficients), None, shared_ev + (coefficients,)),
        ("set_dofs array", lambda: ev.set_dofs(coefficients_array), None, shared_ev + (coefficients_array,)),
        ("set_dofs sequence", lambda: ev.set_dofs(sequence), None, shared_ev + (sequence,)),
        ("set_dofs too many", lambda: ev.set_dofs(too_many), PanicException, shared_ev + (too_many,)),
        ("set_dofs bad item", lambda: ev.set_dofs(bad_item), TypeError, shared_ev + (bad_item,)),
        ("set_dofs str", lambda: ev.set_dofs("abc"), TypeError, shared_ev),
        ("set_dofs int", lambda: ev.set_dofs(5), TypeError, shared_ev),
        ("set_dofs keyword", lambda: ev.set_dofs(values=coefficients), TypeError, shared_ev + (coefficients,)),
        ("set_dofs re-entrant set", lambda: ev.set_dofs(reenter_set), RuntimeError, shared_ev + (reenter_set,)),
        ("set_dofs re-entrant evaluate", lambda: ev.set_dofs(reenter_eval), RuntimeError, shared_ev + (reenter_eval,)),
        ("set_dofs panic from Python", lambda: ev.set_dofs(panicking), PanicException, shared_ev + (panicking,)),
        # single-time evaluation
        ("evaluate_at", lambda: ev.evaluate_at(t), None, shared_ev + (t,)),
        ("evaluate_derivative_at", lambda: ev.evaluate_derivative_at(floaty), None, shared_ev + (floaty,)),
        ("evaluate_at str", lambda: ev.evaluate_at("0.5"), TypeError, shared_ev),
        ("evaluate_at int too large", lambda: ev.evaluate_at(10**400), OverflowError, shared_ev),
        ("evaluate_at re-entrant set", lambda: ev.evaluate_at(t_reenter), RuntimeError, shared_ev + (t_reenter,)),
        ("evaluate_at empty mesh", lambda: empty_ev.evaluate_at(t), ValueError, (empty_ev, t)),
        # many-time evaluation
        ("evaluate_many small", lambda: ev.evaluate_many(small_times), None, shared_ev + (small_times,)),
        ("evaluate_many pool", lambda: ev.evaluate_many(pool_times), None, shared_ev + (pool_times,)),
        (
            "evaluate_derivative_many strided",
            lambda: ev.evaluate_derivative_many(strided_times),
            None,
            shared_ev + (strided_times,),
        ),
        ("evaluate_many list", lambda: ev.evaluate_many([0.5]), TypeError, shared_ev),
        ("evaluate_many float32", lambda: ev.evaluate_many(float32_times), BufferError, shared_ev + (float32_times,)),
        ("evaluate_many misaligned", lambda: ev.evaluate_many(misaligned), BufferError, shared_ev + (misaligned,)),
        ("evaluate_many zero-dim", lambda: ev.evaluate_many(zero_dim), BufferError, shared_ev + (zero_dim,)),
        ("evaluate_many empty mesh", lambda: empty_ev.evaluate_many(small_times), ValueError, (empty_ev, small_times)),
    ]
    S += companion_scenarios(misaligned, strided_times)
    if broadcast_huge is not None:
        S.append(
            ("evaluate_many huge", lambda: ev.evaluate_many(broadcast_huge), MemoryError, shared_ev + (broadcast_huge,))
        )
        S.append(("points memory", lambda: pwpoly.get_lagrange_points(2**20, 2**20, 1.0), MemoryError, ()))
        S.append(("prolongation memory", lambda: pwpoly.lagrange_prolongation_matrix(1, 2**40, 1), MemoryError, ()))
    return S


class Reduces:
    """Pickles as a call of `function` with `args`: what an unpickler meets in
    a file written by someone else."""

    def __init__(self, function, args):
        self.function, self.args = function, args

    def __reduce__(self):
        return self.function, self.args


def companion_scenarios(misaligned, strided_times):
    """The same for pwpoly_arrays: the public functions and the private module called directly."""
    import pickle

    import pwpoly_arrays as pa
    from pwpoly_arrays._native_loader import load_native

    native = load_native()
    c = np.linspace(-1.0, 1.0, 12).reshape(3, 4)
    e = pa.Expansion(c, 2.0)
    t = np.linspace(-0.5, 2.5, 50)
    pool_t = np.linspace(-0.5, 2.5, 2048)
    out = np.empty(50)
    in_place = t.copy()
    unaligned_out = np.frombuffer(bytearray(8 * 5 + 1), dtype=np.uint8)[1:].view(np.float64)
    overlapping = np.zeros(8)
    read_only = np.zeros(50)
    read_only.flags.writeable = False
    masked = np.ma.masked_array(t)
    float32 = t.astype(np.float32)
    pickled = pickle.dumps(e)
    hostile = pickle.dumps(Reduces(pa.Expansion, (np.zeros(3), 1.0)))
    shared_e = (e, type(e), c)
    core = e._core
    std_c = array.array("d", c.ravel())
    std_t = array.array("d", t)
    std_out = array.array("d", bytes(8 * t.size))
    std_strided = memoryview(std_t)[::5]
    std_small = array.array("d", bytes(8 * len(std_strided)))
    std_samples = array.array("d", range(12))
    std_nodes = array.array("d", range(9))
    std_breakpoints = array.array("d", [-1.0, 0.5, 2.0, 2.25])
    mesh4 = native.uniform_mesh(4, 0.0, 2.0)
    mesh5 = native.uniform_mesh(5, 0.0, 1.0)
    mesh7 = native.uniform_mesh(7, 0.0, 1.0)
    graded = pa.TimeMesh.graded(8, 2.0, 2.0)
    vector = pa.Expansion(np.linspace(0.0, 1.0, 36).reshape(3, 4, 3), 2.0)
    nodal = np.linspace(0.0, 1.0, 18).reshape(9, 2)
    return [
        ("arrays Expansion new", lambda: pa.Expansion(c, 2.0), None, (c,)),
        ("arrays Expansion on a mesh", lambda: pa.Expansion(c, graded.breakpoints[::2])(t), None, (c, graded, t)),
        ("arrays TimeMesh", lambda: (pa.TimeMesh.graded(6, 1.0, 3.0).widths, hash(graded)), None, (graded,)),
        ("arrays TimeMesh bad", lambda: pa.TimeMesh([0.0, np.nan]), ValueError, ()),
        ("arrays Expansion new 1-D", lambda: pa.Expansion(t, 2.0), ValueError, (t,)),
        ("arrays Expansion new T", lambda: pa.Expansion(c, 1e305), ValueError, (c,)),
        ("arrays Expansion new masked", lambda: pa.Expansion(masked, 1.0), TypeError, (masked,)),
        ("arrays evaluate", lambda: e(t), None, shared_e + (t,)),
        ("arrays evaluate pool", lambda: e.derivative(pool_t), None, shared_e + (pool_t,)),
        ("arrays evaluate float", lambda: e(0.3), None, shared_e),
        ("arrays evaluate out", lambda: e(t, out=out), None, shared_e + (t, out)),
        ("arrays evaluate in place", lambda: e(in_place, out=in_place), None, shared_e + (in_place,)),
        ("arrays evaluate unaligned", lambda: e(misaligned, out=unaligned_out), None, (misaligned, unaligned_out)),
        ("arrays evaluate strided", lambda: e(strided_times), None, shared_e + (strided_times,)),
        ("arrays evaluate float32", lambda: e(float32), None, shared_e + (float32,)),
        ("arrays evaluate overlap", lambda: e(overlapping[:4], out=overlapping[2:6]), ValueError, (overlapping,)),
        ("arrays evaluate read-only", lambda: e(t, out=read_only), ValueError, shared_e + (read_only,)),
        ("arrays evaluate masked", lambda: e(masked), TypeError, shared_e + (masked,)),
        ("arrays evaluate complex", lambda: e(t.astype(complex)), TypeError, shared_e),
        ("arrays pickle", lambda: pickle.loads(pickled), None, (pickled,)),
        ("arrays unpickle hostile", lambda: pickle.loads(hostile), ValueError, (hostile,)),
        ("arrays collocation", lambda: pa.collocation_matrix(3, 4, 2.0, t), None, (t,)),
        ("arrays collocation flag", lambda: pa.collocation_matrix(3, 4, 2.0, t, derivative="no"), TypeError, (t,)),
        ("arrays prolongation", lambda: pa.prolongation_matrix(3, 5, 7, periodic=True), None, ()),
        ("arrays prolongation degree", lambda: pa.prolongation_matrix(61, 5, 7), ValueError, ()),
        ("arrays lagrange_to_legendre", lambda: pa.lagrange_to_legendre_matrix(4, 6), None, ()),
        ("arrays points", lambda: pa.lagrange_points(3, 20, 2.0), None, ()),
        ("arrays points n_t", lambda: pa.lagrange_points(3, 0, 2.0), ValueError, ()),
        ("arrays vector evaluate", lambda: vector(t), None, (vector, t)),
        (
            "arrays vector calculus",
            lambda: (vector.endpoint_values(), vector.integral(), vector.antiderivative()),
            None,
            (vector,),
        ),
        ("arrays project", lambda: pa.project(np.sin, 3, 8, 2.0), None, ()),
        ("arrays project bad f", lambda: pa.project(lambda x: x[:1], 3, 8, 2.0), ValueError, ()),
        ("arrays from_nodal_values", lambda: pa.Expansion.from_nodal_values(nodal, 2, 2.0), None, (nodal,)),
        (
            "arrays operators",
            lambda: (
                pa.mass_matrix(3, 5, 2.0, basis="lagrange"),
                pa.upwind_matrix(2, 5, True),
                pa.endpoint_matrices(2, 5),
            ),
            None,
            (),
        ),
        (
            "arrays legendre transfer",
            lambda: (pa.prolongation_matrix(2, 3, 7, basis="legendre"), pa.restriction_matrix(2, 3, 6)),
            None,
            (),
        ),
        ("arrays operator basis", lambda: pa.mass_matrix(2, 3, 1.0, basis="x"), ValueError, ()),
        # The native module with stdlib buffers only (no numpy objects made).
        ("arrays native evaluate", lambda: core.evaluate_into(std_t, std_out, True), None, (core, std_t, std_out)),
        ("arrays native in place", lambda: core.evaluate_into(std_out, std_out, False), None, (core, std_out)),
        ("arrays native strided", lambda: core.evaluate_into(std_strided, std_small, False), None, (std_strided,)),
        ("arrays native new", lambda: native.Expansion(std_c, 2, mesh4, 1), None, (std_c,)),
        ("arrays native mesh", lambda: native.TimeMesh(std_breakpoints).widths(), None, (std_breakpoints,)),
        ("arrays native uniform mesh", lambda: native.uniform_mesh(5, -1.0, 2.0).breakpoints(), None, ()),
        ("arrays native graded mesh", lambda: native.graded_mesh(5, 2.0, 2.5).parameters(), None, ()),
        (
            "arrays native unsorted mesh",
            lambda: native.TimeMesh(array.array("d", [0.0, 2.0, 1.0])),
            ValueError,
            (),
        ),
        (
            "arrays native calculus",
            lambda: (core.endpoint_values(), core.integral(), core.antiderivative()),
            None,
            (core,),
        ),
        ("arrays native collocation", lambda: native.collocation(3, mesh4, std_t, True), None, (std_t,)),
        ("arrays native prolongation", lambda: native.prolongation(3, mesh5, mesh7, True), None, ()),
        ("arrays native transformation", lambda: native.lagrange_to_legendre(4, 6, False), None, ()),
        ("arrays native points", lambda: native.lagrange_points(3, mesh4, False), None, ()),
        ("arrays native gauss", lambda: native.gauss_legendre(5, mesh7), None, ()),
        ("arrays native project", lambda: native.project(std_samples, 2, 4, 3, 1), None, (std_samples,)),
        ("arrays native interpolate", lambda: native.interpolate(std_nodes, 2, 4, False, 1), None, (std_nodes,)),
        ("arrays native evaluate_into count", lambda: e._core.evaluate_into(t, out[:3], False), ValueError, (t, out)),
        ("arrays native evaluate_into type", lambda: e._core.evaluate_into(float32, out, 0), TypeError, (float32,)),
        ("arrays native Expansion size", lambda: native.Expansion(t, 2, mesh4, 1), ValueError, (t,)),
        ("arrays native collocation dtype", lambda: native.collocation(1, mesh4, float32, False), TypeError, ()),
        ("arrays native keywords", lambda: native.lagrange_points(1, mesh4, periodic=False), TypeError, ()),
    ]


SCENARIOS = scenarios()


def call_expecting(call, expected):
    if expected is None:
        call()
        return
    try:
        call()
    except BaseException as exc:  # noqa: BLE001 - PanicException derives from BaseException
        if type(exc) is not expected:
            raise
    else:
        raise AssertionError(f"expected {expected.__name__}")


def settle():
    """Empties the interpreter's caches that hold objects between calls.

    The type attribute cache keeps a reference to each attribute name it was
    asked for, in a slot chosen by the name's address; a name built afresh by
    each call (PyObject_GetAttrString) lands in a new slot whenever the
    allocator does not hand back the same address (as under ASan, whose
    quarantine delays reuse), so the cache fills up to its bound.
    """
    gc.collect()
    clear = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache  # renamed in 3.13
    clear()


def run_round(call, expected):
    for _ in range(ROUND):
        call_expecting(call, expected)
    settle()


@pytest.fixture
def traced():
    """tracemalloc running for the test (restored afterwards)."""
    was_tracing = tracemalloc.is_tracing()
    if not was_tracing:
        tracemalloc.start()
    yield
    if not was_tracing:
        tracemalloc.stop()


@pytest.mark.parametrize("scenario", SCENARIOS, ids=[s[0] for s in SCENARIOS])
def test_no_reference_or_object_leak(scenario, traced, capfd):
    _, call, expected, shared = scenario
    run_round(call, expected)  # warm-up: caches, free lists, the worker pool
    refcounts = [sys.getrefcount(o) for o in shared]
    tracked = len(gc.get_objects())
    traced_before = tracemalloc.get_traced_memory()[0]

    run_round(call, expected)

    traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
    tracked_growth = len(gc.get_objects()) - tracked
    assert [sys.getrefcount(o) for o in shared] == refcounts
    assert tracked_growth <= GC_SLACK, f"{tracked_growth} more gc-tracked objects after {ROUND} calls"
    assert traced_growth <= TRACED_SLACK, f"{traced_growth} more bytes traced after {ROUND} calls"
    capfd.readouterr()  # the internal-failure reports on stderr


def test_exporters_are_released_after_every_call():
    """A bytearray cannot be resized while an export of it is held."""
    import pwpoly_arrays as pa

    ev = LegendreBasisEvaluator(1, 2, 2.0)
    expansion_core = pa.Expansion(np.ones((2, 2)), 2.0)._core
    for build, expected in [
        (lambda ba: memoryview(ba).cast("d"), None),
        (lambda ba: ba, BufferError),  # format "B"
        (lambda ba: memoryview(ba)[1:-7].cast("d"), BufferError),  # misaligned
        (lambda ba: memoryview(ba).cast("d")[::2], None),
        (lambda ba: np.frombuffer(ba, dtype=">f8"), BufferError),
    ]:
        ba = bytearray(8 * 64)
        view = build(ba)
        call_expecting(functools.partial(ev.evaluate_many, view), expected)
        call_expecting(functools.partial(ev.evaluate_derivative_many, view), expected)
        # The companion's native half takes every one of these views (the
        # unaligned one is copied) except the non-float formats.
        core_expected = TypeError if expected is BufferError and not isinstance(view, memoryview) else None
        out = np.empty(memoryview(view).nbytes // 8)
        call_expecting(functools.partial(expansion_core.evaluate_into, view, out, False), core_expected)
        if core_expected is None:
            call_expecting(functools.partial(expansion_core.evaluate_into, view, view, False), None)
        if isinstance(view, memoryview):
            view.release()  # raises BufferError if an export of it is still held
        del view
        gc.collect()
        ba.extend(b"\0" * 8)  # raises BufferError if an export of ba is still held


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif(SANITIZED, reason="sanitizer runtimes hold freed memory in quarantine; LeakSanitizer checks")
@pytest.mark.slow
def test_resident_memory_does_not_grow(capfd):
    """Large payloads: a leaked native array per call would add hundreds of MB."""
    n = 20_000  # 160 KB of doubles per array
    ev = LegendreBasisEvaluator(3, n // 4, 1.0)
    basis = LegendreBasis(3, n // 4, 1.0)
    coefficients = list(np.linspace(-1.0, 1.0, n))
    wrong_length = coefficients + [0.0]
    bad_last = coefficients[:-1] + [None]
    times = np.linspace(0.0, 1.0, n)
    calls = [
        (lambda: ev.set_dofs(coefficients), None),
        (lambda: ev.set_dofs(wrong_length), PanicException),
        (lambda: ev.set_dofs(bad_last), TypeError),
        (lambda: basis.evaluate_at(0.3, coefficients), None),
        (lambda: basis.evaluate_all_basis_functions(0.3), None),
        (lambda: basis.evaluate_all_basis_function_derivatives(0.3), None),
        (lambda: ev.evaluate_many(times), None),
        (lambda: ev.evaluate_derivative_many(times[::-1]), None),
        (lambda: pwpoly.get_lagrange_points(4, n // 4, 1.0), None),
        (lambda: pwpoly.lagrange_prolongation_matrix(n // 20, n // 10, 3), None),
        (lambda: pwpoly.lagrange_to_legendre_basis_transformation(4, n // 8), None),
    ]

    def one_round(repeats):
        for _ in range(repeats):
            for call, expected in calls:
                call_expecting(call, expected)
        gc.collect()

    one_round(10)
    before = resident_bytes()
    one_round(100)
    growth = resident_bytes() - before
    capfd.readouterr()
    # One leaked 160 KB array per call would be 16 MB per kind of call.
    assert growth < 8 * 2**20, f"resident memory grew by {growth / 2**20:.1f} MiB"


IDLE_THREADS = r"""
import gc, os, threading
import numpy as np
from pwpoly import LegendreBasisEvaluator


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


times = np.linspace(0.0, 1.0, 4_000_000)  # 32 MB copied out per call
ev = LegendreBasisEvaluator(1, 4, 1.0)
ev.evaluate_many(times)
gc.collect()
before = resident_bytes()
stop = threading.Event()


def work(done):
    ev.evaluate_many(times)
    done.set()
    stop.wait()


for _ in range(8):
    done = threading.Event()
    threading.Thread(target=work, args=(done,)).start()
    done.wait()
gc.collect()
print(resident_bytes() - before)
stop.set()
"""


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif(SANITIZED, reason="sanitizer runtimes hold freed memory in quarantine")
@pytest.mark.slow
def test_idle_threads_keep_no_spare_arrays():
    """A many-point call on each of eight threads, which then stay idle: what
    the module keeps for reuse is bounded per process, not per thread. (The
    allocator is told to map every large block on its own, so that resident
    memory shows what is still allocated.)"""
    run = run_python(IDLE_THREADS, env={"MALLOC_MMAP_THRESHOLD_": "65536"})
    assert run.returncode == 0, run.stderr
    growth = int(run.stdout)
    # Eight idle threads keeping their last 32 MB copy would add 256 MB.
    assert growth < 64 * 2**20, f"resident memory grew by {growth / 2**20:.1f} MiB"


# On a debug build of the interpreter (Py_DEBUG) the total reference count of
# the process is known: like CPython's own refleak runs (regrtest -R), every
# scenario is run in rounds, and a scenario whose every measured round leaves
# more references (or more allocated memory blocks) than it found leaks.
# numpy comes built for the release ABI, whose reference counting does not
# keep the debug total: where numpy makes and frees objects (the companion's
# Python layer), only the memory blocks count; the companion's native module
# is hunted for reference leaks through its scenarios with stdlib buffers.
REFLEAK_WARMUP, REFLEAK_ROUNDS, REFLEAK_CALLS = 3, 4, 25


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug build of the interpreter")
@pytest.mark.parametrize("scenario", SCENARIOS, ids=[s[0] for s in SCENARIOS])
def test_no_refleak_on_a_debug_interpreter(scenario, capfd):
    _, call, expected, _ = scenario

    def totals():
        settle()
        return sys.gettotalrefcount(), sys.getallocatedblocks()

    deltas = []
    for round_ in range(REFLEAK_WARMUP + REFLEAK_ROUNDS):
        before = totals()
        for _ in range(REFLEAK_CALLS):
            call_expecting(call, expected)
        after = totals()
        if round_ >= REFLEAK_WARMUP:
            deltas.append((after[0] - before[0], after[1] - before[1]))
    capfd.readouterr()
    name = scenario[0]
    if not name.startswith("arrays ") or name.startswith("arrays native"):
        assert not all(refs > 0 for refs, _ in deltas), f"references leaked in every round: {deltas}"
    assert not all(blocks > 0 for _, blocks in deltas), f"memory blocks leaked in every round: {deltas}"
