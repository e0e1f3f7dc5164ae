"""A representative session of both modules, run under valgrind by ci/valgrind.sh.

Touches every entry point of pwpoly and of pwpoly_arrays' private native
module on its successful and failing paths (argument matching, every
conversion, value checks, internal failures, refused huge sizes, borrow
conflicts through re-entrant objects, the worker pool, arrays that are
strided, unaligned or the same as the output), with buffers from the
standard library only, so that the run stays short under memcheck (the
companion's native module is loaded from pwpoly's file without importing
numpy). Prints one line per section; ends with "workload done".
"""

import array
import gc
import importlib.machinery
import importlib.util
import sys

import pwpoly
from pwpoly import LegendreBasis, LegendreBasisEvaluator

expected_failures = 0


def refused(call, exc_type):
    global expected_failures
    try:
        call()
    except BaseException as exc:  # noqa: BLE001 - PanicException derives from BaseException
        if exc_type is not None and type(exc).__name__ != exc_type:
            raise AssertionError(f"expected {exc_type}, got {type(exc).__name__}: {exc}") from exc
        expected_failures += 1
        return
    raise AssertionError(f"expected {exc_type}")


class Floaty:
    def __init__(self, action):
        self.action = action

    def __float__(self):
        self.action()
        return 0.5


class Index:
    def __index__(self):
        return 3


def section(name):
    print(name, flush=True)


section("module functions")
for _ in range(3):
    assert pwpoly.sum_as_string(b=2, a=3) == "5"
    pwpoly.sum_as_string(Index(), True)
    assert len(pwpoly.get_lagrange_points(3, 10, 2.0)) == 31
    pwpoly.get_lagrange_points(3, 10, 2.0, periodic=True)
    pwpoly.lagrange_prolongation_matrix(4, 9, 3)
    pwpoly.lagrange_prolongation_matrix(3, 5, 2, True)
    pwpoly.lagrange_to_legendre_basis_transformation(6, 5)
    pwpoly.lagrange_to_legendre_basis_transformation(2, 4, True)
    refused(lambda: pwpoly.sum_as_string(1), "TypeError")
    refused(lambda: pwpoly.sum_as_string(1, 2, 3), "TypeError")
    refused(lambda: pwpoly.sum_as_string(1, c=2), "TypeError")
    refused(lambda: pwpoly.sum_as_string(1, a=2), "TypeError")
    refused(lambda: pwpoly.sum_as_string(1.5, 2), "TypeError")
    refused(lambda: pwpoly.sum_as_string(-1, 2), "OverflowError")
    refused(lambda: pwpoly.get_lagrange_points(1, 2, 1.0, 1), "TypeError")
    refused(lambda: pwpoly.get_lagrange_points(0, 2, 1.0, True), "ValueError")
    refused(lambda: pwpoly.get_lagrange_points(2**31, 2**31, 1.0), "PanicException")
    refused(lambda: pwpoly.lagrange_prolongation_matrix(2, 2, 0), "PanicException")
    refused(lambda: pwpoly.lagrange_prolongation_matrix(0, 2, 1, True), "ValueError")
    refused(lambda: pwpoly.lagrange_to_legendre_basis_transformation(0, 3), "PanicException")
    if sys.maxsize > 2**32:
        refused(lambda: pwpoly.get_lagrange_points(2**20, 2**20, 1.0), "MemoryError")
        refused(lambda: pwpoly.lagrange_prolongation_matrix(1, 2**40, 1), "MemoryError")

section("LegendreBasis")
basis = LegendreBasis(T=1.5, n_t=4, degree=3)
dofs = [0.25 * i for i in range(16)]
for _ in range(3):
    basis.evaluate_at(0.7, dofs)
    basis.evaluate_at(0.7, tuple(dofs) + (1.0,))
    basis.evaluate_at(t=Index(), legendre_vals=range(16))
    basis.evaluate_all_basis_functions(0.3)
    basis.evaluate_all_basis_function_derivatives(float("nan"))
    refused(lambda: basis.evaluate_at(0.7, dofs[:-1]), "PanicException")
    refused(lambda: basis.evaluate_at(0.7, dofs[:5] + ["x"]), "TypeError")
    refused(lambda: basis.evaluate_at(0.7, "abc"), "TypeError")
    refused(lambda: LegendreBasis(1, 0, 1.0).evaluate_all_basis_functions(0.5), "ValueError")
    refused(lambda: LegendreBasis(2**40, 2**40, 1.0).evaluate_all_basis_functions(0.5), None)
    refused(lambda: LegendreBasis("1", 2, 3.0), "TypeError")

section("LegendreBasisEvaluator")
ev = LegendreBasisEvaluator(4, 30, 3.0)
coefficients = [((i * 7) % 11) / 5.0 for i in range(150)]
small = array.array("d", [i / 50.0 for i in range(100)])
large = array.array("d", [i / 1000.0 for i in range(3000)])  # the worker pool
raw = bytearray(8 * 101)
misaligned = memoryview(raw)[1:-7].cast("d")
for _ in range(3):
    ev.set_dofs(coefficients)
    ev.set_dofs(tuple(coefficients))
    ev.evaluate_at(1.25)
    ev.evaluate_derivative_at(t=2)
    assert len(ev.evaluate_many(small)) == 100
    assert len(ev.evaluate_many(large)) == 3000
    ev.evaluate_derivative_many(memoryview(large)[::3])
    ev.evaluate_many(memoryview(large)[:0])
    refused(lambda: ev.set_dofs(coefficients[:-1]), "PanicException")
    refused(lambda: ev.set_dofs(coefficients[:-1] + [None]), "TypeError")
    refused(lambda: ev.set_dofs(5), "TypeError")
    refused(lambda: ev.evaluate_many([0.5]), "TypeError")
    refused(lambda: ev.evaluate_many(array.array("f", [0.5])), "BufferError")
    refused(lambda: ev.evaluate_many(misaligned), "BufferError")
    refused(lambda: ev.set_dofs([Floaty(lambda: ev.set_dofs(coefficients))] + coefficients[1:]), "RuntimeError")
    refused(lambda: ev.set_dofs([Floaty(lambda: ev.evaluate_at(0.5))] + coefficients[1:]), "RuntimeError")
    refused(
        lambda: ev.set_dofs([Floaty(lambda: pwpoly.lagrange_prolongation_matrix(2, 2, 0))] + coefficients[1:]),
        "PanicException",
    )
    refused(lambda: LegendreBasisEvaluator(2**40, 2**40, 1.0), None)
    refused(lambda: LegendreBasisEvaluator(2, 0, 1.0).evaluate_many(small), "ValueError")
misaligned.release()
raw.extend(b"\0")  # every export of raw was released

section("pwpoly_arrays native module")
loader = importlib.machinery.ExtensionFileLoader("pwpoly_arrays._native", pwpoly.__file__)
native = importlib.util.module_from_spec(
    importlib.util.spec_from_file_location("pwpoly_arrays._native", pwpoly.__file__, loader=loader)
)
loader.exec_module(native)
raw = bytearray(8 * 1001)
mesh30 = native.uniform_mesh(30, 0.0, 3.0)
graded = native.graded_mesh(8, 2.0, 3.0)
coarse = native.TimeMesh(array.array("d", [-1.0, 0.5, 2.0]))
fine = native.TimeMesh(array.array("d", [-1.0, -0.25, 0.5, 1.0, 2.0]))
other = native.TimeMesh(array.array("d", [-1.0, 0.3, 1.1, 2.0]))
for _ in range(3):
    e = native.Expansion(array.array("d", coefficients), 4, mesh30, 1)
    e.evaluate(1.25, True)
    out = array.array("d", bytes(8 * 3000))
    e.evaluate_into(large, out, False)
    e.evaluate_into(out, out, True)  # in place
    unaligned = memoryview(raw)[1:-7].cast("d")
    e.evaluate_into(memoryview(large)[::3], unaligned[:1000], False)  # copied in, copied back
    unaligned.release()
    on_graded = native.Expansion(array.array("d", coefficients[:32]), 3, graded, 1)
    on_graded.evaluate_into(large, out, True)  # the bucket index
    on_graded.integral()
    for matrix in (
        native.collocation(3, graded, large, True),
        native.prolongation(3, coarse, fine, True),
        native.legendre_transfer(3, coarse, fine, False),
        native.legendre_transfer(3, coarse, other, True),  # not nested: the L2 projection
        native.mass(3, graded, True, False),
        native.lagrange_to_legendre(4, 6, False),
    ):
        assert len(memoryview(matrix[4])) == len(memoryview(matrix[3]))
    memoryview(native.lagrange_points(3, graded, True)).tolist()
    refused(lambda: native.Expansion(array.array("d", coefficients[:-1]), 4, mesh30, 1), "ValueError")
    refused(lambda: native.Expansion(array.array("f", coefficients), 4, mesh30, 1), "TypeError")
    refused(lambda: native.TimeMesh(array.array("d", [0.0, 1.0, 1.0])), "ValueError")
    refused(lambda e=e, out=out: e.evaluate_into(large, out[:10], False), "ValueError")
    refused(lambda e=e, out=out: e.evaluate_into(memoryview(out)[:100], memoryview(out)[50:150], False), "ValueError")
    refused(lambda e=e: e.evaluate_into(small, bytes(800), False), "ValueError")  # read-only
    refused(lambda e=e: e.evaluate_into(small, small, "yes"), "TypeError")
    refused(lambda: native.collocation(2**40, mesh30, small, False), None)
    refused(lambda: native.prolongation(61, coarse, fine, False), "ValueError")
    refused(lambda: native.uniform_mesh(3, 0.0, float("inf")), "ValueError")
    refused(lambda: native.lagrange_to_legendre(2, 3, periodic=False), "TypeError")
raw.extend(b"\0")  # every export of raw was released

basis = ev = e = on_graded = mesh30 = graded = coarse = fine = other = None  # the last references
gc.collect()
print(f"workload done ({expected_failures} expected failures)", flush=True)
