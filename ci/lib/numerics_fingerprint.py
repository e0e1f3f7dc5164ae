"""Prints every floating-point result of a fixed set of pwpoly and pwpoly_arrays calls, bit for bit.

ci/foreign_pythons.sh runs this with each interpreter (i386 under emulation,
x86_64, and the host's own when pwpoly is installed there) and compares the
outputs: the numerics must not depend on the platform, so the files must be
identical. The inputs are fixed (a seeded generator, plus nodes, interval ends
and points outside [0, T]); each line is a label and the IEEE 754 bits of the
results, so a difference names the call and the value.

The inputs are made without any floating-point arithmetic in Python: Debian's
i386 CPython computes on the x87 FPU and rounds twice, so `T * random()` can
differ by one ulp from the x86_64 result. Random floats are assembled from hex
digits, interval ends come from the module itself.

    python fingerprint.py > out.txt
"""

import array
import math
import random
import struct
import sys

import pwpoly

MESHES = [(0, 1, 1.0), (1, 2, 2.0), (3, 5, 1.0), (5, 7, 3.25), (8, 4, 0.1), (12, 3, 7.0)]


def bits(values):
    return " ".join(struct.pack("<d", float(v)).hex() for v in values)


def random_float(rng, exponent):
    """A float with a random 52-bit mantissa in [2**exponent, 2**(exponent + 1))."""
    return float.fromhex(f"0x1.{rng.getrandbits(52):013x}p{exponent}")


def times_for(rng, n_t, T, count):
    # Interval ends (where the interval rule decides), both ends of [0, T],
    # points just outside, and random points inside.
    times = list(pwpoly.get_lagrange_points(1, n_t, T)) if n_t else [0.0]
    times += [-T, T * 2.0, math.nextafter(T, 0.0), float.fromhex("0x0.0000000000001p-1022")]
    top = math.frexp(T)[1] - 1
    while count:
        t = random_float(rng, rng.randrange(top - 5, top + 1))
        if t <= T:
            times.append(t)
            count -= 1
    return times


def main():
    rng = random.Random(20240531)
    out = sys.stdout
    for degree, n_t, T in MESHES:
        m = n_t * (degree + 1)
        coefficients = [rng.choice((1, -1)) * random_float(rng, rng.randrange(-3, 2)) for _ in range(m)]
        times = times_for(rng, n_t, T, 40)
        basis = pwpoly.LegendreBasis(degree, n_t, T)
        out.write(f"basis.evaluate_at {degree} {n_t} {T}: {bits(basis.evaluate_at(t, coefficients) for t in times)}\n")
        for t in times[: n_t + 5]:
            out.write(f"basis.all {degree} {n_t} {T} {t!r}: {bits(basis.evaluate_all_basis_functions(t))}\n")
            out.write(
                f"basis.all_d {degree} {n_t} {T} {t!r}: {bits(basis.evaluate_all_basis_function_derivatives(t))}\n"
            )

        evaluator = pwpoly.LegendreBasisEvaluator(degree, n_t, T)
        evaluator.set_dofs(coefficients)
        out.write(f"evaluator.at {degree} {n_t} {T}: {bits(evaluator.evaluate_at(t) for t in times)}\n")
        out.write(f"evaluator.d_at {degree} {n_t} {T}: {bits(evaluator.evaluate_derivative_at(t) for t in times)}\n")
        # 5000 times: above the size from which the work is spread over threads.
        many = array.array("d", times_for(rng, n_t, T, 5000))
        out.write(f"evaluator.many {degree} {n_t} {T}: {bits(evaluator.evaluate_many(many))}\n")
        out.write(f"evaluator.d_many {degree} {n_t} {T}: {bits(evaluator.evaluate_derivative_many(many))}\n")

    for degree, n_t, T in MESHES:
        for periodic in (False, True):
            if periodic and (degree == 0 or n_t == 0):
                continue
            out.write(
                f"points {degree} {n_t} {T} {periodic}: {bits(pwpoly.get_lagrange_points(degree, n_t, T, periodic))}\n"
            )
            if degree >= 1:
                rows, cols, values = pwpoly.lagrange_to_legendre_basis_transformation(degree, n_t, periodic)
                out.write(f"to_legendre {degree} {n_t} {periodic}: {rows} {cols} {bits(values)}\n")
                for nt_fine in (n_t, 2 * n_t + 1):
                    rows, cols, values = pwpoly.lagrange_prolongation_matrix(n_t, nt_fine, degree, periodic)
                    out.write(f"prolongation {n_t} {nt_fine} {degree} {periodic}: {rows} {cols} {bits(values)}\n")

    companion(rng, out)


def companion(rng, out):
    """pwpoly_arrays on meshes of every kind: graded breakpoints (double-double
    powers), evaluation and calculus on graded and offset meshes, the
    quadrature, the mass matrices and a nested prolongation."""
    import numpy as np

    import pwpoly_arrays as pa

    def unsorted(count, exponent):
        return [rng.choice((1, -1)) * random_float(rng, rng.randrange(exponent - 3, exponent)) for _ in range(count)]

    offset = pa.TimeMesh(sorted(set(unsorted(6, 3))))
    meshes = {
        "graded": pa.TimeMesh.graded(9, 2.5, 2.75),
        "offset": offset,
        "slab": pa.TimeMesh.uniform(5, 3.25, start=-1.5),
    }
    for name, mesh in meshes.items():
        out.write(f"mesh {name}: {bits(mesh.breakpoints)} {bits(mesh.widths)}\n")
        for degree in (0, 3, 6):
            c = np.array(unsorted((degree + 1) * mesh.n_t * 2, 1)).reshape(degree + 1, mesh.n_t, 2)
            e = pa.Expansion(c, mesh)
            times = np.array(list(mesh.breakpoints) + unsorted(2500, 2))  # above the pool's threshold
            label = f"{name} {degree}"
            out.write(f"expansion {label}: {bits(e(times).ravel())}\n")
            out.write(f"derivative {label}: {bits(e.derivative(times[:200]).ravel())}\n")
            out.write(f"integral {label}: {bits(e.integral())} {bits(e.antiderivative().coefficients.ravel())}\n")
            nodes, weights = pa.gauss_legendre(degree + 1, mesh)
            out.write(f"gauss {label}: {bits(nodes)} {bits(weights)}\n")
            out.write(f"mass {label}: {bits(pa.mass_matrix(degree, mesh).data)}\n")
            if degree:
                lagrange = pa.mass_matrix(degree, mesh, basis="lagrange", periodic=True)
                out.write(f"lagrange mass {label}: {lagrange.indices.tolist()} {bits(lagrange.data)}\n")
    fine = pa.TimeMesh.graded(27, 2.5, 2.75)
    prolongation = pa.prolongation_matrix(3, meshes["graded"], fine)
    out.write(f"prolongation graded: {prolongation.indices.tolist()} {bits(prolongation.data)}\n")


if __name__ == "__main__":
    main()
