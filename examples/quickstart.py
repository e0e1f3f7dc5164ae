"""A short tour of pwpoly: evaluate a piecewise Legendre expansion at a million times."""

import array
import random
import time

import pwpoly

degree, n_t, T = 3, 1000, 10.0

# Nodal values of the parabola t (T - t) on the Lagrange points, turned into
# Legendre coefficients with the sparse Lagrange-to-Legendre matrix (row p * n_t + k is
# the coefficient of P_p on interval k; the matrix is for T = 1 but does not
# depend on T).
points = pwpoly.get_lagrange_points(degree, n_t, T)
nodal = [t * (T - t) for t in points]
rows, cols, vals = pwpoly.lagrange_to_legendre_basis_transformation(degree, n_t)
coefficients = [0.0] * (n_t * (degree + 1))
for r, c, v in zip(rows, cols, vals):
    coefficients[r] += v * nodal[c]

evaluator = pwpoly.LegendreBasisEvaluator(degree, n_t, T)
evaluator.set_dofs(coefficients)

times = array.array("d", (random.uniform(0.0, T) for _ in range(1_000_000)))
start = time.perf_counter()
values = evaluator.evaluate_many(times)
elapsed = time.perf_counter() - start

t = 2.5037
print(f"f({t}) = {evaluator.evaluate_at(t)!r} (exact: {t * (T - t)!r})")
print(f"f'({t}) = {evaluator.evaluate_derivative_at(t)!r} (exact: {T - 2 * t!r})")
print(
    f"evaluated {len(values):,} times in {elapsed * 1e3:.1f} ms "
    f"({elapsed / len(values) * 1e9:.1f} ns per time, end to end)"
)
worst = max(abs(v - s * (T - s)) for s, v in zip(times, values))
print(f"largest error against t (T - t) over those times: {worst:.2e}")
assert worst < 1e-12, "a cubic expansion reproduces the parabola to rounding"
