"""How accurate pwpoly's equidistant Lagrange matrices are, degree by degree.

Prints, for each degree, the largest entry error of the Lagrange-to-Legendre
matrix and of the prolongation from one interval to three, each relative to
the matrix's largest entry, against the same matrices computed with 400
significant digits (mpmath). This is the measurement behind
pwpoly_arrays.MAX_LAGRANGE_DEGREE: beyond it the matrices have no correct
digit. Needs mpmath (pip install mpmath); takes a few minutes.

    python benchmarks/lagrange_degree_accuracy.py [DEGREE ...]
"""

import sys

import mpmath
import numpy as np

import pwpoly

mpmath.mp.dps = 400


def nodes(p):
    return [mpmath.mpf(-1) + mpmath.mpf(2) * j / p for j in range(p + 1)]


def exact_transformation(p):
    """Row k, column j: the weight of nodal value j in the coefficient of P_k."""
    x = nodes(p)
    v = mpmath.matrix(p + 1, p + 1)
    for j in range(p + 1):
        for k in range(p + 1):
            v[k, j] = mpmath.legendre(k, x[j])
    w = v**-1
    return np.array([[float(w[j, k]) for j in range(p + 1)] for k in range(p + 1)])


def exact_prolongation(p, fine):
    x = nodes(p)
    out = np.zeros((fine * p + 1, p + 1))
    for r in range(fine * p + 1):
        xi = mpmath.mpf(-1) + mpmath.mpf(2) * r / (fine * p)
        for j in range(p + 1):
            value = mpmath.mpf(1)
            for k in range(p + 1):
                if k != j:
                    value *= (xi - x[k]) / (x[j] - x[k])
            out[r, j] = float(value)
    return out


def dense(triplets, shape):
    out = np.zeros(shape)
    np.add.at(out, (triplets[0], triplets[1]), triplets[2])
    return out


def relative_error(got, exact):
    return np.max(np.abs(got - exact)) / np.max(np.abs(exact))


def main(degrees):
    print(f"{'degree':>6} {'Lagrange->Legendre':>20} {'prolongation 1->3':>18}")
    for p in degrees:
        t = dense(pwpoly.lagrange_to_legendre_basis_transformation(p, 1), (p + 1, p + 1))
        pr = dense(pwpoly.lagrange_prolongation_matrix(1, 3, p), (3 * p + 1, p + 1))
        print(
            f"{p:>6} {relative_error(t, exact_transformation(p)):>20.2e} "
            f"{relative_error(pr, exact_prolongation(p, 3)):>18.2e}",
            flush=True,
        )


if __name__ == "__main__":
    main([int(a) for a in sys.argv[1:]] or [10, 20, 30, 40, 50, 55, 60, 65, 70])
