"""pwpoly_arrays: the numpy interface of pwpoly.

Arrays in, arrays out, sparse matrices with their shapes, on time meshes of
any shape:

- ``TimeMesh``: the intervals of time (``TimeMesh(breakpoints)``,
  ``TimeMesh.uniform(n_t, T, start=0.0)``, ``TimeMesh.graded(n_t, T,
  grading)``). Every function below takes a mesh (a TimeMesh or a 1-D array
  of breakpoints) where it needs one; ``n_t, T`` in its place is the uniform
  mesh of [0, T], and a number T in place of an expansion's mesh too;
- ``Expansion(coefficients, mesh)``: a piecewise Legendre expansion of one or
  many components (coefficients of shape ``(degree + 1, n_t, *value_shape)``),
  evaluated (``e(t)``, ``e.derivative(t)``) at float64 arrays of any shape,
  into new arrays or into ``out=``; its values at the interval ends
  (``endpoint_values``), ``integral``, ``antiderivative``, and
  ``Expansion.from_nodal_values`` for Lagrange interpolation;
- ``project(f, degree, mesh)``: the L2 projection of a function, and
  ``gauss_legendre(points, mesh)``: the quadrature it uses;
- ``collocation_matrix(degree, mesh, t, derivative=False)``: all basis
  functions at many times, as a scipy.sparse CSR array;
- ``prolongation_matrix(degree, coarse, fine, periodic=False)`` and
  ``lagrange_to_legendre_matrix(degree, n_t, periodic=False)``: pwpoly's
  sparse matrices as CSR arrays of their true shapes;
- ``lagrange_points(degree, mesh, periodic=False)``: the Lagrange nodes;
- the time operators of space-time discretisations: ``mass_matrix``,
  ``derivative_matrix`` (Legendre or continuous Lagrange basis),
  ``endpoint_matrices`` and ``upwind_matrix`` (discontinuous Galerkin),
  ``prolongation_matrix(..., basis="legendre")`` and ``restriction_matrix``.

On the uniform mesh of [0, T] every number is bit for bit what the
corresponding pwpoly entry point gives.
The degree comes first in every function. Everything is computed natively,
straight into numpy arrays (no Python lists on the way), with the interpreter
lock released; large evaluations use pwpoly's worker pool, one pool per
process shared by both modules.

Inputs: float64, or any dtype numpy casts to float64 safely (integers,
booleans, float16/32), of any memory layout; other dtypes and masked arrays
raise TypeError, and so do flags that are not bools. Sizes out of range
(n_t = 0, degree < 0, degree 0 for the Lagrange functions, a Lagrange degree
above MAX_LAGRANGE_DEGREE), bad meshes (see TimeMesh; a T that is not
positive and finite or outside [2**-1000 * n_t, 2**1000]), and arrays of the
wrong shape raise ValueError.
A request too large to allocate raises MemoryError, an internal failure of
the native core RuntimeError. Long calls can be interrupted with Ctrl-C.

Sparse matrices store exactly the entries pwpoly returns, explicit zeros
included (``eliminate_zeros()`` drops them): their pattern then depends on the
sizes only, never on the values.

Dependencies: numpy (``pip install 'pwpoly[arrays]'``); scipy for the sparse
results (``pip install 'pwpoly[sparse]'``). The module supports free-threaded
interpreters: expansions are immutable and nothing is shared mutably.
"""

from ._expansion import Expansion, gauss_legendre, project
from ._matrices import (
    collocation_matrix,
    derivative_matrix,
    endpoint_matrices,
    lagrange_points,
    lagrange_to_legendre_matrix,
    mass_matrix,
    prolongation_matrix,
    restriction_matrix,
    upwind_matrix,
)
from ._mesh import TimeMesh
from ._native_loader import load_native as _load_native

#: The largest degree of the equidistant Lagrange matrices: beyond it they have
#: no correct digit (see benchmarks/lagrange_degree_accuracy.py).
MAX_LAGRANGE_DEGREE: int = _load_native().MAX_LAGRANGE_DEGREE

__all__ = [
    "TimeMesh",
    "Expansion",
    "project",
    "gauss_legendre",
    "collocation_matrix",
    "prolongation_matrix",
    "lagrange_to_legendre_matrix",
    "lagrange_points",
    "mass_matrix",
    "derivative_matrix",
    "endpoint_matrices",
    "upwind_matrix",
    "restriction_matrix",
    "MAX_LAGRANGE_DEGREE",
]

for _name in __all__[:-1]:
    globals()[_name].__module__ = __name__
del _name
