"""pwpoly_arrays: the numpy interface of pwpoly.

Arrays in, arrays out, sparse matrices with their shapes:

- ``Expansion(coefficients, T)``: a piecewise Legendre expansion, evaluated
  (``e(t)``, ``e.derivative(t)``) at float64 arrays of any shape, into new
  arrays or into ``out=``;
- ``collocation_matrix(degree, n_t, T, t, derivative=False)``: all basis
  functions at many times, as a scipy.sparse CSR array;
- ``prolongation_matrix(degree, nt_coarse, nt_fine, periodic=False)`` and
  ``lagrange_to_legendre_matrix(degree, n_t, periodic=False)``: pwpoly's
  sparse matrices as CSR arrays of their true shapes;
- ``lagrange_points(degree, n_t, T, periodic=False)``: the Lagrange nodes.

Every number is bit for bit what the corresponding pwpoly entry point gives.
The degree comes first in every function. Everything is computed natively,
straight into numpy arrays (no Python lists on the way), with the interpreter
lock released; large evaluations use pwpoly's worker pool, one pool per
process shared by both modules.

Inputs: float64, or any dtype numpy casts to float64 safely (integers,
booleans, float16/32); other dtypes raise TypeError. Sizes out of range
(n_t = 0, degree < 0, or degree 0 for the Lagrange functions), a T that is not
positive and finite, and arrays of the wrong shape raise ValueError; wrong
types TypeError.

Sparse matrices store exactly the entries pwpoly returns, explicit zeros
included (``eliminate_zeros()`` drops them): their pattern then depends on the
sizes only, never on the values.

Dependencies: numpy (``pip install 'pwpoly[arrays]'``); scipy for the sparse
results (``pip install 'pwpoly[sparse]'``). The module supports free-threaded
interpreters: expansions are immutable and nothing is shared mutably.
"""

from ._expansion import Expansion
from ._matrices import collocation_matrix, lagrange_points, lagrange_to_legendre_matrix, prolongation_matrix

__all__ = [
    "Expansion",
    "collocation_matrix",
    "prolongation_matrix",
    "lagrange_to_legendre_matrix",
    "lagrange_points",
]

for _name in __all__:
    globals()[_name].__module__ = __name__
del _name
