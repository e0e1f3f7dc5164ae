"""Exact rational references for the time operators of a time mesh.

A mesh is given as ``n_t, T`` (the uniform mesh of [0, T]) or, wherever a
function takes ``T``, as the list of its breakpoints (exact rationals: a
float breakpoint is taken as the number it holds); then ``n_t`` is its
interval count.

Every function returns a dense matrix as a list of rows of ``Fraction``s. The
matrices are computed from their definitions with exact polynomial
arithmetic: each basis function is written as a polynomial in t on every
interval, products are multiplied out and integrated exactly. Nothing here
uses the scaled reference matrices, closed forms or assembly orders of the
native code, so agreement is evidence and not a restatement.

Conventions (the native ones):

* Legendre: the coefficient of P_i on interval j is global index
  j + n_t * i; P_i is the classical Legendre polynomial of the local
  coordinate xi in [-1, 1] (P_i(1) = 1).
* Lagrange: equidistant local nodes, local node jj of interval k is degree
  of freedom k * degree + jj; periodic indices are taken modulo the number
  of degrees of freedom, so the node at T is node 0.
* Rows are test functions, columns trial functions: M[a][b] is the integral
  of phi_a * phi_b, C[a][b] the integral of phi_a * phi_b'.

Sizes are meant to be small (a few intervals, degree up to about 5).
``python3 tests/exact_time_operators.py`` runs a short self-check.
"""

from fractions import Fraction

# --------------------------------------------------------------------------
# Polynomials: lists of Fraction coefficients, lowest degree first.


def poly_add(a, b):
    n = max(len(a), len(b))
    return [(a[i] if i < len(a) else 0) + (b[i] if i < len(b) else 0) for i in range(n)]


def poly_scale(a, s):
    return [s * c for c in a]


def poly_mul(a, b):
    out = [Fraction(0)] * (len(a) + len(b) - 1)
    for i, x in enumerate(a):
        for j, y in enumerate(b):
            out[i + j] += x * y
    return out


def poly_derivative(a):
    return [i * a[i] for i in range(1, len(a))] or [Fraction(0)]


def poly_eval(a, x):
    value = Fraction(0)
    for c in reversed(a):
        value = value * x + c
    return value


def poly_compose_affine(a, scale, shift):
    """The polynomial x -> a(scale * x + shift)."""
    out = [Fraction(0)]
    power = [Fraction(1)]
    inner = [Fraction(shift), Fraction(scale)]
    for c in a:
        out = poly_add(out, poly_scale(power, c))
        power = poly_mul(power, inner)
    return out


def poly_integral(a, lo, hi):
    """The integral of a from lo to hi."""
    total = Fraction(0)
    for i, c in enumerate(a):
        total += c * (Fraction(hi) ** (i + 1) - Fraction(lo) ** (i + 1)) / (i + 1)
    return total


def legendre_polynomial(i):
    """P_i in monomials, by Bonnet's recurrence (n + 1) P_(n+1) = (2n + 1) x P_n - n P_(n-1)."""
    previous, current = [Fraction(1)], [Fraction(0), Fraction(1)]
    if i == 0:
        return previous
    for n in range(1, i):
        following = poly_add(
            poly_scale(poly_mul([Fraction(0), Fraction(1)], current), Fraction(2 * n + 1, n + 1)),
            poly_scale(previous, Fraction(-n, n + 1)),
        )
        previous, current = current, following
    return current


def lagrange_polynomials(degree):
    """The equidistant Lagrange polynomials on [-1, 1], nodes -1 + 2 j / degree."""
    nodes = [Fraction(-1) + Fraction(2 * j, degree) for j in range(degree + 1)]
    basis = []
    for j, xj in enumerate(nodes):
        poly = [Fraction(1)]
        for m, xm in enumerate(nodes):
            if m != j:
                poly = poly_mul(poly, [-xm / (xj - xm), 1 / (xj - xm)])
        basis.append(poly)
    return basis


def zeros(rows, cols):
    return [[Fraction(0)] * cols for _ in range(rows)]


def transpose(a):
    return [list(col) for col in zip(*a)] if a else []


def matmul(a, b):
    bt = transpose(b)
    return [[sum((x * y for x, y in zip(row, col)), Fraction(0)) for col in bt] for row in a]


# --------------------------------------------------------------------------
# Pieces of the mesh in t


def interval(k, n_t, T):
    """Ends of interval k of the uniform mesh of [0, T], or of the mesh whose breakpoints T lists."""
    if isinstance(T, (list, tuple)):
        return Fraction(T[k]), Fraction(T[k + 1])
    T = Fraction(T)
    return T * k / n_t, T * (k + 1) / n_t


def local_to_global(poly, k, n_t, T):
    """A polynomial of the local coordinate xi of interval k as a polynomial of t."""
    a, b = interval(k, n_t, T)
    # xi = 2 (t - a) / (b - a) - 1
    return poly_compose_affine(poly, 2 / (b - a), -2 * a / (b - a) - 1)


def legendre_pieces(degree, n_t, T):
    """For global index j + n_t i: (interval j, P_i as a polynomial of t there)."""
    pieces = [None] * ((degree + 1) * n_t)
    for i in range(degree + 1):
        p = legendre_polynomial(i)
        for j in range(n_t):
            pieces[j + n_t * i] = (j, local_to_global(p, j, n_t, T))
    return pieces


def lagrange_dof_count(degree, n_t, periodic):
    return n_t * degree if periodic else n_t * degree + 1


def lagrange_pieces(degree, n_t, T, periodic):
    """For each degree of freedom: the list of (interval, polynomial of t) on its support."""
    count = lagrange_dof_count(degree, n_t, periodic)
    local = lagrange_polynomials(degree)
    pieces = [[] for _ in range(count)]
    for k in range(n_t):
        for jj in range(degree + 1):
            pieces[(k * degree + jj) % count].append((k, local_to_global(local[jj], k, n_t, T)))
    return pieces


def merged_by_interval(pieces):
    """Polynomials of one basis function per interval, summed where a function meets itself.

    Periodic with one interval, node 0 is local node 0 and local node degree
    of the same interval: its function there is the sum of both.
    """
    by_interval = {}
    for k, poly in pieces:
        by_interval[k] = poly_add(by_interval.get(k, [Fraction(0)]), poly)
    return by_interval


def gram(test, trial, n_t, T, derivative):
    """[a][b] = integral of test_a * trial_b (or trial_b'), each a dict interval -> polynomial of t."""
    out = zeros(len(test), len(trial))
    for a, fa in enumerate(test):
        for b, fb in enumerate(trial):
            total = Fraction(0)
            for k, pa in fa.items():
                if k in fb:
                    pb = poly_derivative(fb[k]) if derivative else fb[k]
                    lo, hi = interval(k, n_t, T)
                    total += poly_integral(poly_mul(pa, pb), lo, hi)
            out[a][b] = total
    return out


def legendre_functions(degree, n_t, T):
    return [{j: poly} for j, poly in legendre_pieces(degree, n_t, T)]


def lagrange_functions(degree, n_t, T, periodic):
    return [merged_by_interval(p) for p in lagrange_pieces(degree, n_t, T, periodic)]


# --------------------------------------------------------------------------
# The operators


def legendre_mass_matrix(degree, n_t, T):
    f = legendre_functions(degree, n_t, T)
    return gram(f, f, n_t, T, derivative=False)


def lagrange_mass_matrix(degree, n_t, T, periodic):
    f = lagrange_functions(degree, n_t, T, periodic)
    return gram(f, f, n_t, T, derivative=False)


def legendre_derivative_matrix(degree, n_t, T=Fraction(1)):
    """Independent of T; T only fixes the mesh the integrals are taken on."""
    f = legendre_functions(degree, n_t, T)
    return gram(f, f, n_t, T, derivative=True)


def lagrange_derivative_matrix(degree, n_t, periodic, T=Fraction(1)):
    f = lagrange_functions(degree, n_t, T, periodic)
    return gram(f, f, n_t, T, derivative=True)


def endpoint_matrices(degree, n_t, T=Fraction(1)):
    """(at_start, at_end): row j holds every Legendre function's limit at the start
    (from the right) and at the end (from the left) of interval j."""
    at_start = zeros(n_t, (degree + 1) * n_t)
    at_end = zeros(n_t, (degree + 1) * n_t)
    for g, (j, poly) in enumerate(legendre_pieces(degree, n_t, T)):
        lo, hi = interval(j, n_t, T)
        at_start[j][g] = poly_eval(poly, lo)
        at_end[j][g] = poly_eval(poly, hi)
    return at_start, at_end


def upwind_matrix(degree, n_t, periodic):
    """at_start^T (at_start - S at_end), S the shift to the previous interval
    (the last one wraps onto the first when periodic)."""
    at_start, at_end = endpoint_matrices(degree, n_t)
    shift = zeros(n_t, n_t)
    for j in range(1, n_t):
        shift[j][j - 1] = Fraction(1)
    if periodic:
        shift[0][n_t - 1] += 1
    shifted = matmul(shift, at_end)
    jump = [[x - y for x, y in zip(r, s)] for r, s in zip(at_start, shifted)]
    return matmul(transpose(at_start), jump)


def _mesh_of(mesh):
    """(n_t, T) of an interval count (the uniform mesh of [0, 1]) or a list of breakpoints."""
    return (len(mesh) - 1, list(mesh)) if isinstance(mesh, (list, tuple)) else (mesh, Fraction(1))


def legendre_prolongation_matrix(degree, coarse_mesh, fine_mesh):
    """The L2 projection of the coarse piecewise polynomials onto the fine ones.

    The meshes are interval counts (uniform meshes of [0, 1]) or lists of
    breakpoints. Rows are fine coefficients, columns coarse ones. On nested
    meshes the coarse functions are fine functions and this is their exact
    re-expansion.
    """
    nt_coarse, T_coarse = _mesh_of(coarse_mesh)
    nt_fine, T_fine = _mesh_of(fine_mesh)
    coarse = legendre_functions(degree, nt_coarse, T_coarse)
    fine = legendre_functions(degree, nt_fine, T_fine)
    out = zeros(len(fine), len(coarse))
    for r, fr in enumerate(fine):
        ((f, pf),) = fr.items()
        f_lo, f_hi = interval(f, nt_fine, T_fine)
        norm = poly_integral(poly_mul(pf, pf), f_lo, f_hi)
        for col, fc in enumerate(coarse):
            ((c, pc),) = fc.items()
            c_lo, c_hi = interval(c, nt_coarse, T_coarse)
            lo, hi = max(f_lo, c_lo), min(f_hi, c_hi)
            if lo < hi:
                out[r][col] = poly_integral(poly_mul(pf, pc), lo, hi) / norm
    return out


def legendre_restriction_matrix(degree, coarse_mesh, fine_mesh):
    """M_coarse^-1 P^T M_fine with the (diagonal) Legendre mass matrices."""
    p = legendre_prolongation_matrix(degree, coarse_mesh, fine_mesh)
    m_coarse = legendre_mass_matrix(degree, *_mesh_of(coarse_mesh))
    m_fine = legendre_mass_matrix(degree, *_mesh_of(fine_mesh))
    return [[p[f][c] * m_fine[f][f] / m_coarse[c][c] for f in range(len(m_fine))] for c in range(len(m_coarse))]


def lagrange_prolongation_matrix(degree, coarse_mesh, fine_mesh, periodic):
    """Exact interpolation of the coarse Lagrange functions at the fine nodes (nested meshes:
    interval counts of uniform meshes of [0, 1], or lists of breakpoints)."""
    nt_coarse, T_coarse = _mesh_of(coarse_mesh)
    nt_fine, T_fine = _mesh_of(fine_mesh)
    coarse = lagrange_functions(degree, nt_coarse, T_coarse, periodic)
    n_fine = lagrange_dof_count(degree, nt_fine, periodic)
    out = zeros(n_fine, len(coarse))
    for r in range(n_fine):
        f_lo, f_hi = interval(min(r // degree, nt_fine - 1), nt_fine, T_fine)
        t = f_lo + (f_hi - f_lo) * (r - degree * min(r // degree, nt_fine - 1)) / degree
        # The coarse interval holding t (the last one at the end).
        k = next(k for k in range(nt_coarse) if t < interval(k, nt_coarse, T_coarse)[1] or k == nt_coarse - 1)
        for col, fc in enumerate(coarse):
            if k in fc:
                out[r][col] = poly_eval(fc[k], t)
    return out


# --------------------------------------------------------------------------
# Self-check


def _check(condition, what):
    if not condition:
        raise AssertionError(what)


def _self_check():
    T = Fraction(3, 2)
    for degree in (1, 2, 3):
        for n_t in (1, 2, 3):
            for periodic in (False, True):
                m = lagrange_mass_matrix(degree, n_t, T, periodic)
                c = lagrange_derivative_matrix(degree, n_t, periodic, T)
                functions = lagrange_functions(degree, n_t, T, periodic)
                n = len(functions)
                _check(all(m[a][b] == m[b][a] for a in range(n) for b in range(n)), "mass symmetric")
                for a, fa in enumerate(functions):
                    integral = sum(poly_integral(p, *interval(k, n_t, T)) for k, p in fa.items())
                    _check(sum(m[a]) == integral, "mass row sum is the integral of the function")
                    # The functions sum to 1, whose derivative vanishes.
                    _check(sum(c[a]) == 0, "derivative row sums vanish")
                # C + C^T = phi_a phi_b at T minus at 0: nonzero only for the
                # end nodes, and cancelling when they are the same node.
                last = n - 1
                for a in range(n):
                    for b in range(n):
                        boundary = Fraction(0)
                        if not periodic:
                            boundary = Fraction(int(a == b == last)) - Fraction(int(a == b == 0))
                        _check(c[a][b] + c[b][a] == boundary, "C + C^T is the boundary term")
            legendre_mass = legendre_mass_matrix(degree, n_t, T)
            for i in range(degree + 1):
                for j in range(n_t):
                    g = j + n_t * i
                    _check(legendre_mass[g][g] == T / n_t / (2 * i + 1), "Legendre mass diagonal")
            d = legendre_derivative_matrix(degree, n_t)
            for a in range(len(d)):
                for b in range(len(d)):
                    i, ja = divmod(a, n_t)
                    k, jb = divmod(b, n_t)
                    expected = 2 if ja == jb and k > i and (i + k) % 2 == 1 else 0
                    _check(d[a][b] == expected, "Legendre derivative entries")
            for periodic in (False, True):
                u = upwind_matrix(degree, n_t, periodic)
                for a in range(len(u)):
                    for b in range(len(u)):
                        i, ja = divmod(a, n_t)
                        k, jb = divmod(b, n_t)
                        expected = Fraction(0)
                        if ja == jb:
                            expected += (-1) ** (i + k)
                        if jb == ja - 1 or (periodic and ja == 0 and jb == n_t - 1):
                            expected -= (-1) ** i
                        _check(u[a][b] == expected, "upwind entries")

    # Prolongation: the nested re-expansion reproduces the coarse function,
    # restriction undoes it, and the Galerkin identities hold in both bases.
    for degree in (1, 2, 3):
        for nt_coarse, nt_fine in ((1, 2), (2, 4), (1, 3), (2, 2)):
            p = legendre_prolongation_matrix(degree, nt_coarse, nt_fine)
            r = legendre_restriction_matrix(degree, nt_coarse, nt_fine)
            n = (degree + 1) * nt_coarse
            _check(matmul(r, p) == [[Fraction(int(a == b)) for b in range(n)] for a in range(n)], "R P = I")
            m_c = legendre_mass_matrix(degree, nt_coarse, T)
            m_f = legendre_mass_matrix(degree, nt_fine, T)
            _check(matmul(transpose(p), matmul(m_f, p)) == m_c, "Legendre P^T M_f P = M_c")
            coarse = legendre_functions(degree, nt_coarse, Fraction(1))
            fine = legendre_functions(degree, nt_fine, Fraction(1))
            for col, fc in enumerate(coarse):
                ((c, pc),) = fc.items()
                for f in range(nt_fine):
                    t = (Fraction(f) + Fraction(1, 3)) / nt_fine
                    if c == min(int(t * nt_coarse), nt_coarse - 1):
                        value = sum(
                            p[row][col] * poly_eval(fine[row][f], t) for row in range(len(fine)) if f in fine[row]
                        )
                        _check(value == poly_eval(pc, t), "re-expansion reproduces the coarse function")
            for periodic in (False, True):
                q = lagrange_prolongation_matrix(degree, nt_coarse, nt_fine, periodic)
                m_c = lagrange_mass_matrix(degree, nt_coarse, T, periodic)
                m_f = lagrange_mass_matrix(degree, nt_fine, T, periodic)
                _check(matmul(transpose(q), matmul(m_f, q)) == m_c, "Lagrange P^T M_f P = M_c")
    # Non-nested: the projection keeps global polynomials and is the adjoint of
    # the restriction in the mass inner products.
    for degree in (1, 2):
        for nt_coarse, nt_fine in ((2, 3), (3, 2)):
            p = legendre_prolongation_matrix(degree, nt_coarse, nt_fine)
            r = legendre_restriction_matrix(degree, nt_coarse, nt_fine)
            single_to_coarse = legendre_prolongation_matrix(degree, 1, nt_coarse)
            single_to_fine = legendre_prolongation_matrix(degree, 1, nt_fine)
            _check(matmul(p, single_to_coarse) == single_to_fine, "projection keeps global polynomials")
            _check(matmul(r, single_to_fine) == single_to_coarse, "restriction keeps global polynomials")


if __name__ == "__main__":
    _self_check()
    print("exact_time_operators: self-check passed")
