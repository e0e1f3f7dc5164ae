"""Helpers shared by the pwpoly_arrays tests: float bits, seeded random
expansions and times, and one small shared expansion."""

import numpy as np


def bits(values):
    """The float64 values as uint64, for comparisons to the last bit (NaN equal to itself, -0.0 not to 0.0)."""
    return np.asarray(values, dtype=np.float64).view(np.uint64)


def random_mesh(rng, degree):
    """(n_t, T, coefficients of shape (degree + 1, n_t)) from a seeded random.Random."""
    n_t = rng.randint(1, 40)
    T = rng.uniform(0.1, 5.0)
    c = np.random.default_rng(rng.randrange(2**32)).normal(size=(degree + 1, n_t))
    return n_t, T, c


def random_times(rng, T, n):
    """n times around [0, T], the breakpoints of 4 intervals, and the special values."""
    t = np.random.default_rng(rng.randrange(2**32)).uniform(-0.1 * T, 1.1 * T, n)
    nodes = np.arange(0, 5) * (T / 4)
    return np.concatenate([t, nodes, [np.nan, np.inf, -np.inf, -0.0]])


_SMALL = []


def small_expansion():
    """One scalar expansion of degree 1 on 4 intervals of [0, 1], made on first use."""
    if not _SMALL:
        import pwpoly_arrays as pa

        _SMALL.append(pa.Expansion(np.arange(8.0).reshape(2, 4), 1.0))
    return _SMALL[0]
