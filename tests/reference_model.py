"""A pure-Python reference model of pwpoly's numerics.

The model is written independently of the extension module and spells out
its arithmetic operation by operation, so that the test suite can compare the
module against it to the last bit. Python floats are IEEE doubles with
round-to-nearest and no fused operations, so every expression below, in the
order and nesting written, produces the same bits as the native code.
Two Python behaviours have to be worked around: a division by zero raises
instead of giving inf/NaN (``fdiv``), and ``math.floor`` raises on inf/NaN
(handled where the mesh rule needs it).

Not every interpreter rounds once: a CPython built for the x87 FPU (as on
32-bit x86 Debian) computes in extended precision and rounds twice, and even
its int/int true division takes that path. The model therefore checks its host
at import; on such a host every value it computes with is a ``SoftFloat``,
whose + - * / are done in integers and rounded once, to nearest even
(``PWPOLY_MODEL_SOFT_FLOAT=1`` forces this mode anywhere). All functions take
and return plain floats; ``F`` wraps inputs and ``plain`` unwraps results.

Deliberate differences from the native code, which make the comparison
stronger rather than a restatement:

* Every Legendre value P_i is recomputed from P_0 and P_1 (O(degree^2) per
  time). The native code carries the recurrence; identical bits prove that
  carrying is exact. The derivative factors are a list built from those
  values, where the native code carries two of them along.
* Sparse matrices are built as Python lists of (row, column, value) pushes and
  compressed by a stable sort; there is no block-grid assembly.

The module-shaped facade at the bottom (``LegendreBasis``,
``LegendreBasisEvaluator``, ``get_lagrange_points``,
``lagrange_prolongation_matrix``, ``lagrange_to_legendre_basis_transformation``)
takes plain Python numbers; it does not model the argument conversion layer.
Internal failures are raised as this module's ``PanicException`` (a
``BaseException``, like the native one).
"""

import math
import os
import struct
import sys

from support import (
    CAPACITY_OVERFLOW,
    MATRIX_VIEW_TOO_SMALL,
    NO_INTERVALS,
    PERIODIC_DEGREE,
    PERIODIC_INTERVALS,
    PERIODIC_PROLONGATION,
    PROLONGATION_COARSE,
    PROLONGATION_DEGREE,
    PROLONGATION_FINE,
    SET_DOFS_WRONG_LENGTH,
    TRANSFORMATION_DEGREE,
)

INF = math.inf
NAN = math.nan

# The platform's size type, derived from the interpreter so that the model is
# right on 32-bit and 64-bit builds alike.
SIZE_MAX = 2 * sys.maxsize + 1
PTRDIFF_MAX = sys.maxsize


class PanicException(BaseException):
    """An internal failure of the model; ``str(exc)`` is the message."""


class NotInvertible(Exception):
    """A dense matrix inversion met an exactly zero determinant or pivot."""


# --------------------------------------------------------------------------
# IEEE helpers


def float_bits(x):
    """The 64 bits of a double, so that -0.0, 0.0 and NaN payloads compare exactly."""
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def same_float(a, b):
    """True when a and b are the same double, bit for bit, where IEEE fixes the bits.

    The sign and payload of a NaN produced by an invalid operation are left to
    the hardware (x86 SSE gives 0xfff8..., ``math.nan`` is 0x7ff8...), so any
    two NaNs match; a NaN never matches a number, and -0.0 never matches 0.0.
    """
    if type(a) is not float or type(b) is not float:
        return False
    if a != a or b != b:
        return a != a and b != b
    return float_bits(a) == float_bits(b)


def describe_float(x):
    return f"{x!r} (0x{float_bits(x):016x})"


def fdiv(a, b):
    """IEEE division: a division by zero gives a signed infinity or NaN."""
    try:
        return a / b
    except ZeroDivisionError:
        if a != a or a == 0.0:
            return NAN
        return math.copysign(INF, a) * math.copysign(1.0, b)


def round_ratio(num, den):
    """The double nearest to num / den (den > 0, num != 0), ties to even.

    Only integer arithmetic is used; the final ``ldexp`` of an integer below
    2**53 + 1 is exact, so nothing is rounded by the host.
    """
    negative = num < 0
    num = -num if negative else num
    # Scale 2**e so that the integer quotient has at least 54 bits, but never
    # below the subnormal quantum 2**-1074.
    e = max(num.bit_length() - den.bit_length() - 54, -1074)
    n, d = (num, den << e) if e >= 0 else (num << -e, den)
    q, r = divmod(n, d)
    extra = max(q.bit_length() - 53, 0)
    if extra:
        lost = q & ((1 << extra) - 1)
        half = 1 << (extra - 1)
        q >>= extra
        e += extra
        if lost > half or (lost == half and (r or q & 1)):
            q += 1
    elif 2 * r > d or (2 * r == d and q & 1):
        q += 1
    try:
        x = math.ldexp(float(q), e)
    except OverflowError:
        x = INF
    return -x if negative else x


def _soft(op, a, b):
    a, b = float(a), float(b)
    native = op(a, b)
    if not (math.isfinite(a) and math.isfinite(b)):
        return SoftFloat(native)  # no rounding involved with inf or NaN operands
    na, da = a.as_integer_ratio()
    nb, db = b.as_integer_ratio()
    if op is float.__add__:
        num, den = na * db + nb * da, da * db
    elif op is float.__sub__:
        num, den = na * db - nb * da, da * db
    elif op is float.__mul__:
        num, den = na * nb, da * db
    else:
        if nb == 0:
            raise ZeroDivisionError("float division by zero")
        num, den = na * db, da * nb
        if den < 0:
            num, den = -num, -den
    if num == 0:
        return SoftFloat(native)  # an exact zero: the host gets its sign right
    return SoftFloat(round_ratio(num, den))


class SoftFloat(float):
    """A double whose + - * / round exactly once, whatever the host FPU does."""

    __slots__ = ()

    def __add__(self, other):
        return _soft(float.__add__, self, other)

    def __radd__(self, other):
        return _soft(float.__add__, other, self)

    def __sub__(self, other):
        return _soft(float.__sub__, self, other)

    def __rsub__(self, other):
        return _soft(float.__sub__, other, self)

    def __mul__(self, other):
        return _soft(float.__mul__, self, other)

    def __rmul__(self, other):
        return _soft(float.__mul__, other, self)

    def __truediv__(self, other):
        return _soft(float.__truediv__, self, other)

    def __rtruediv__(self, other):
        return _soft(float.__truediv__, other, self)


def host_rounds_once():
    """Whether this interpreter's float arithmetic is single-rounded IEEE double."""
    h = float.fromhex
    probes = [  # each is rounded differently by an x87 FPU in extended precision
        (h("0x1.606040b76f84ep+0") * h("0x1.f0f7e912309dap+0"), h("0x1.5607dd893ed25p+1")),
        (h("0x1.463ff50b73799p+0") / h("0x1.7c9d9cccba2b0p+0"), h("0x1.b6de1fb3f6a39p-1")),
        (5e-324 * 0.5, 0.0),  # subnormal tie to even
    ]
    return all(float_bits(got) == float_bits(want) for got, want in probes)


SOFT_FLOAT = os.environ.get("PWPOLY_MODEL_SOFT_FLOAT") == "1" or not host_rounds_once()
F = SoftFloat if SOFT_FLOAT else float


def plain(x):
    return float(x)


def plain_list(xs):
    return [float(x) for x in xs]


def checked_mul(a, b):
    r = a * b
    if r > SIZE_MAX:
        raise PanicException(CAPACITY_OVERFLOW)
    return r


def checked_add(a, b):
    r = a + b
    if r > SIZE_MAX:
        raise PanicException(CAPACITY_OVERFLOW)
    return r


def checked_float_count(count):
    """An element count of doubles whose byte size the platform can allocate."""
    if checked_mul(count, 8) > PTRDIFF_MAX:
        raise PanicException(CAPACITY_OVERFLOW)
    return count


# --------------------------------------------------------------------------
# Mesh location


def locate(t, n_t, T):
    """Interval index j and clamped local coordinate xi of time t (n_t >= 1)."""
    t, T = F(t), F(T)
    w = fdiv(T, float(n_t))
    q = fdiv(t, w)
    if math.isfinite(q):
        q = float(math.floor(q))
    # Raised to at least 0 (NaN too), then saturated into the size type.
    if not (q >= 0.0):
        qi = 0
    elif q == INF:
        qi = SIZE_MAX
    else:
        qi = min(int(q), SIZE_MAX)
    j = min(qi, n_t - 1)
    a = float(j) * w
    b = w + a
    s = a + b
    u = t + (-0.5 * s)
    xi = fdiv(u + u, b - a)
    if xi < -1.0:
        xi = F(-1.0)
    elif xi > 1.0:
        xi = F(1.0)
    return j, xi


# --------------------------------------------------------------------------
# Legendre polynomials, each recomputed from scratch


def legendre(i, x):
    """P_i(x) by i - 1 steps of the three-term recurrence from P_0 = 1, P_1 = x."""
    x = F(x)
    if i == 0:
        return F(1.0)
    p_prev, p = F(1.0), x
    k = F(1.0)
    for _ in range(i - 1):
        p_prev, p = p, ((((k + k) + 1.0) * x) * p - p_prev * k) / (k + 1.0)
        k = k + 1.0
    return p


def legendre_values(n, x):
    """[P_0(x), ..., P_n(x)], each from its own run of the recurrence.

    In soft-float mode (emulated 32-bit runs, where every operation costs
    microseconds) the values are read off one run instead: P_i after i - 1
    steps is the same sequence of operations either way, so the bits agree,
    and the native runs keep checking the from-scratch form.
    """
    if not SOFT_FLOAT:
        return [legendre(i, x) for i in range(n + 1)]
    x = F(x)
    values = [F(1.0), x][: n + 1]
    k = F(1.0)
    while len(values) < n + 1:
        values.append(((((k + k) + 1.0) * x) * values[-1] - values[-2] * k) / (k + 1.0))
        k = k + 1.0
    return values


def derivative_factors(n, xi):
    """[D_0, ..., D_n] = dP_i/dxi: D_0 = 0, D_1 = 1, D_i = D_(i-2) + (2i - 1) * P_(i-1).

    The product is rounded, then the sum; 2i - 1 is an exact double.
    """
    p = legendre_values(n, xi)
    factors = [F(0.0), F(1.0)][: n + 1]
    for i in range(2, n + 1):
        factors.append(factors[i - 2] + float(2 * i - 1) * p[i - 1])
    return factors


def evaluate(degree, n_t, T, t, coeffs):
    """The expansion with flat column-major coefficients (entry j + n_t * i) at t."""
    j, xi = locate(t, n_t, T)
    total = F(-0.0)
    for i, p in enumerate(legendre_values(degree, xi)):
        total = total + p * coeffs[j + n_t * i]
    return plain(total)


def evaluate_derivative(degree, n_t, T, t, coeffs):
    j, xi = locate(t, n_t, T)
    total = F(-0.0)
    for i, factor in enumerate(derivative_factors(degree, xi)):
        total = total + factor * coeffs[j + n_t * i]
    w = fdiv(F(T), float(n_t))
    return plain(fdiv(total + total, w))


def evaluate_all_basis_functions(degree, n_t, T, t):
    j, xi = locate(t, n_t, T)
    out = [0.0] * (n_t * (degree + 1))
    for i, p in enumerate(legendre_values(degree, xi)):
        out[j + n_t * i] = p
    return plain_list(out)


def evaluate_all_basis_function_derivatives(degree, n_t, T, t):
    """The derivative factors, each doubled and divided by w on its own."""
    j, xi = locate(t, n_t, T)
    w = fdiv(F(T), float(n_t))
    out = [0.0] * (n_t * (degree + 1))
    for i, factor in enumerate(derivative_factors(degree, xi)):
        out[j + n_t * i] = fdiv(factor + factor, w)
    return plain_list(out)


# --------------------------------------------------------------------------
# Lagrange nodes and degree-of-freedom numbering


def equidistant_points_on_interval(a, b, n):
    a, b = F(a), F(b)
    return [fdiv(float(i) * (b - a), float(n)) + a for i in range(n + 1)]


def lagrange_points(degree, n_t, T, periodic):
    """The global nodal points, one per degree of freedom."""
    if periodic:
        if degree == 0:
            raise PanicException(PERIODIC_DEGREE)
        if n_t == 0:
            raise PanicException(PERIODIC_INTERVALS)
    count = checked_mul(n_t, degree)
    if not periodic:
        count = checked_add(count, 1)
    checked_float_count(count)
    T = F(T)
    h = fdiv(T, float(n_t))
    points = []
    for k in range(n_t):
        a = float(k) * h
        b = h + a
        points.extend(equidistant_points_on_interval(a, b, degree)[:degree])
    if not periodic:
        points.append(T)
    return plain_list(points)


def dofs_for_interval(k, degree, n_dofs, periodic):
    if periodic:
        return [(k * degree + j) % n_dofs for j in range(degree + 1)]
    return [k * degree + j for j in range(degree + 1)]


# --------------------------------------------------------------------------
# Sparse matrices: a list of pushes compressed to sorted rows


def coo_to_triplets(pushes, nrows, ncols):
    """Sort by (row, column), sum runs of equal positions in push order, keep zeros."""
    for i, j, _ in pushes:
        if not i < nrows:
            raise PanicException("assertion failed: i < self.nrows")
        if not j < ncols:
            raise PanicException("assertion failed: j < self.ncols")
    order = sorted(range(len(pushes)), key=lambda n: (pushes[n][0], pushes[n][1]))
    rows, cols, vals = [], [], []
    for n in order:
        i, j, v = pushes[n]
        if rows and rows[-1] == i and cols[-1] == j:
            vals[-1] = F(vals[-1]) + v
        else:
            rows.append(i)
            cols.append(j)
            vals.append(v)
    return rows, cols, plain_list(vals)


# --------------------------------------------------------------------------
# Dense inversion (matrices as lists of rows)


def _det3(m):
    (a, b, c), (d, e, f), (g, h, i) = m
    return a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g)


def adjugate_inverse_4(m):
    """Inverse of a 4x4 matrix through its adjugate and a first-column determinant."""
    m = [[F(v) for v in row] for row in m]
    cof = [[0.0] * 4 for _ in range(4)]
    for r in range(4):
        for c in range(4):
            minor = [[m[i][k] for k in range(4) if k != c] for i in range(4) if i != r]
            cof[r][c] = (-1.0) ** (r + c) * _det3(minor)
    adj = [[cof[c][r] for c in range(4)] for r in range(4)]
    det = 0.0
    for r in range(4):
        det = det + m[r][0] * adj[0][r]
    if det == 0.0:
        raise NotInvertible()
    s = 1.0 / det
    return [[adj[r][c] * s for c in range(4)] for r in range(4)]


def lu_inverse(m, pivots=None):
    """Inverse by LU with partial row pivoting and two triangular solves.

    If ``pivots`` is a list, the chosen pivot row of every column is appended.
    """
    n = len(m)
    a = [[F(v) for v in row] for row in m]
    x = [[1.0 if r == c else 0.0 for c in range(n)] for r in range(n)]
    for j in range(n):
        p, best = j, abs(a[j][j])
        for i in range(j + 1, n):
            if abs(a[i][j]) > best:
                p, best = i, abs(a[i][j])
        if pivots is not None:
            pivots.append(p)
        if a[p][j] == 0.0:
            raise NotInvertible()
        if p != j:
            a[j], a[p] = a[p], a[j]
            x[j], x[p] = x[p], x[j]
        r = 1.0 / a[j][j]
        for i in range(j + 1, n):
            a[i][j] = a[i][j] * r
        for c in range(j + 1, n):
            for i in range(j + 1, n):
                a[i][c] = a[i][c] - a[i][j] * a[j][c]
    for k in range(n):
        for i in range(k + 1, n):
            for c in range(n):
                x[i][c] = x[i][c] - a[i][k] * x[k][c]
    for k in range(n - 1, -1, -1):
        if a[k][k] == 0.0:
            raise NotInvertible()
        for c in range(n):
            x[k][c] = x[k][c] / a[k][k]
        for i in range(k):
            for c in range(n):
                x[i][c] = x[i][c] - a[i][k] * x[k][c]
    return x


def invert(m):
    return adjugate_inverse_4(m) if len(m) == 4 else lu_inverse(m)


# --------------------------------------------------------------------------
# Lagrange-to-Legendre coefficients and prolongation weights

LEGENDRE_TABLES = {
    1: [[0.5, 0.5], [-0.5, 0.5]],
    2: [[1 / 6, 2 / 3, 1 / 6], [-0.5, 0.0, 0.5], [1 / 3, -2 / 3, 1 / 3]],
}


def legendre_coefficient_matrix(degree):
    """C[p][j]: weight of local node j in the coefficient of P_p."""
    if degree == 0:
        raise PanicException(TRANSFORMATION_DEGREE)
    if degree in LEGENDRE_TABLES:
        return [list(row) for row in LEGENDRE_TABLES[degree]]
    x = equidistant_points_on_interval(-1.0, 1.0, degree)
    columns = [legendre_values(degree, xj) for xj in x]  # V(k, j) = P_k(x_j)
    v = [[columns[j][k] for j in range(degree + 1)] for k in range(degree + 1)]
    try:
        w = invert(v)
    except NotInvertible:
        raise PanicException("Failed to invert Vandermonde matrix for Lagrange to Legendre conversion.") from None
    return [[w[j][p] for j in range(degree + 1)] for p in range(degree + 1)]


def transformation_triplets(degree, n_t, periodic):
    """Rows p * n_t + k: Legendre coefficient of P_p on interval k from nodal values."""
    c = legendre_coefficient_matrix(degree)
    n_dofs = n_t * degree if periodic else n_t * degree + 1
    pushes = []
    for p in range(degree + 1):
        for k in range(n_t):
            for j, col in enumerate(dofs_for_interval(k, degree, n_dofs, periodic)):
                pushes.append((p * n_t + k, col, c[p][j]))
    return coo_to_triplets(pushes, (degree + 1) * n_t, n_dofs)


def prolongation_triplets(n_c, n_f, p, periodic):
    if p == 0:
        raise PanicException(PROLONGATION_DEGREE)
    if n_c == 0:
        raise PanicException(PROLONGATION_COARSE)
    if n_f == 0:
        raise PanicException(PROLONGATION_FINE)
    n_coarse_dofs = n_c * p if periodic else n_c * p + 1
    fine_span = checked_mul(n_f, p)
    nrows = fine_span if periodic else checked_add(fine_span, 1)
    x = equidistant_points_on_interval(-1.0, 1.0, p)
    weights = []
    for j in range(p + 1):
        prod = 1.0
        for k in range(p + 1):
            if k != j:
                prod = prod * (x[j] - x[k])
        weights.append(1.0 / prod)
    pushes = []
    for r in range(nrows):
        u = (F(r) / float(fine_span)) * float(n_c)
        k = min(math.floor(u), n_c - 1)
        xi = u - float(k)
        xi = xi + xi
        xi = xi + (-1.0)
        values = [0.0] * (p + 1)
        node = next((j for j in range(p + 1) if abs(xi - x[j]) < 1e-14), None)
        if node is not None:
            values[node] = 1.0
        else:
            s = 0.0
            for j in range(p + 1):
                values[j] = weights[j] / (xi - x[j])
                s = s + values[j]
            values = [v / s for v in values]
        for j, v in enumerate(values):
            if v != 0.0:
                col = k * p + j
                if periodic:
                    col %= n_coarse_dofs
                pushes.append((r, col, v))
    return coo_to_triplets(pushes, nrows, n_coarse_dofs)


# --------------------------------------------------------------------------
# The module-shaped facade


def _check_periodic(degree, n_t, periodic):
    if periodic:
        if degree == 0:
            raise ValueError(PERIODIC_DEGREE)
        if n_t == 0:
            raise ValueError(PERIODIC_INTERVALS)


def get_lagrange_points(degree, n_t, T, periodic=False):
    _check_periodic(degree, n_t, periodic)
    return lagrange_points(degree, n_t, float(T), periodic)


def lagrange_prolongation_matrix(nt_coarse, nt_fine, degree, periodic=False):
    if periodic:
        if degree == 0:
            raise ValueError(PERIODIC_DEGREE)
        if nt_coarse == 0 or nt_fine == 0:
            raise ValueError(PERIODIC_PROLONGATION)
    lagrange_points(degree, nt_coarse, 1.0, periodic)  # the coarse basis, for its size checks
    return prolongation_triplets(nt_coarse, nt_fine, degree, periodic)


def lagrange_to_legendre_basis_transformation(degree, n_t, periodic=False):
    _check_periodic(degree, n_t, periodic)
    lagrange_points(degree, n_t, 1.0, periodic)
    if degree != 0:
        checked_float_count(checked_mul(checked_add(degree, 1), n_t))
    return transformation_triplets(degree, n_t, periodic)


class LegendreBasis:
    def __init__(self, degree, n_t, T):
        self._degree, self._n_t, self._T = degree, n_t, float(T)

    def _count(self):
        return checked_mul(self._n_t, checked_add(self._degree, 1))

    def evaluate_at(self, t, legendre_vals):
        t = float(t)
        vals = [float(v) for v in legendre_vals]
        m = self._count()
        if self._n_t == 0:
            raise ValueError(NO_INTERVALS)
        if len(vals) < m:
            raise PanicException(MATRIX_VIEW_TOO_SMALL)
        return evaluate(self._degree, self._n_t, self._T, t, vals[:m])

    def evaluate_all_basis_functions(self, t):
        t = float(t)
        if self._n_t == 0:
            raise ValueError(NO_INTERVALS)
        checked_float_count(self._count())
        return evaluate_all_basis_functions(self._degree, self._n_t, self._T, t)

    def evaluate_all_basis_function_derivatives(self, t):
        t = float(t)
        if self._n_t == 0:
            raise ValueError(NO_INTERVALS)
        checked_float_count(self._count())
        return evaluate_all_basis_function_derivatives(self._degree, self._n_t, self._T, t)


class LegendreBasisEvaluator:
    def __init__(self, degree, n_t, T):
        self._degree, self._n_t, self._T = degree, n_t, float(T)
        self._coeffs = [0.0] * checked_float_count(checked_mul(n_t, checked_add(degree, 1)))

    def set_dofs(self, legendre_vals):
        vals = [float(v) for v in legendre_vals]
        expected = len(self._coeffs)
        if len(vals) != expected:
            raise PanicException(f"{SET_DOFS_WRONG_LENGTH}\n  left: {len(vals)}\n right: {expected}")
        self._coeffs = vals

    def _check(self):
        if self._n_t == 0:
            raise ValueError(NO_INTERVALS)

    def evaluate_at(self, t):
        t = float(t)
        self._check()
        return evaluate(self._degree, self._n_t, self._T, t, self._coeffs)

    def evaluate_derivative_at(self, t):
        t = float(t)
        self._check()
        return evaluate_derivative(self._degree, self._n_t, self._T, t, self._coeffs)

    def evaluate_many(self, t_values):
        times = memoryview(t_values).cast("B").cast("d").tolist()
        self._check()
        return [evaluate(self._degree, self._n_t, self._T, t, self._coeffs) for t in times]

    def evaluate_derivative_many(self, t_values):
        times = memoryview(t_values).cast("B").cast("d").tolist()
        self._check()
        return [evaluate_derivative(self._degree, self._n_t, self._T, t, self._coeffs) for t in times]
