"""Piecewise polynomials in time on a uniform mesh of [0, T].

The mesh
    [0, T] is cut into ``n_t`` intervals of equal width ``w = T / n_t``;
    interval ``j`` is ``[j·w, (j + 1)·w)``. Every time argument (``t``,
    ``t_values``) is in the same units as ``T``, and every derivative is
    taken with respect to that time (it carries the factor ``2 / w`` of the
    map from the local coordinate ξ ∈ [-1, 1] of an interval to t).

Which interval a time belongs to
    Intervals are half-open, ``[a_j, b_j)``, except the last one, which is
    closed: a time on an interior node belongs to the interval on its
    right, and ``t = T`` belongs to the last interval. A time before 0 (and
    NaN) is evaluated in interval 0, a time at or after T in interval
    ``n_t - 1``; the local coordinate is clamped to [-1, 1], so outside
    [0, T] values are those at the nearest end (and derivatives those of
    the end interval's polynomial at that end, not zero). A NaN time gives
    NaN for degree >= 1. The interval is found from the rounded quotient
    ``t / w``: a time within rounding of a node can land on either side.
    In floating point: ``j = min(max(floor(t / w), 0), n_t - 1)`` (NaN
    gives 0), ``a = j·w``, ``b = w + a``, ``u = t + (-0.5·(a + b))`` and
    ``ξ = (u + u) / (b - a)``, clamped to [-1, 1].

Legendre expansions and the coefficient layout
    On interval j an expansion is ``f(t) = sum_i c[j + n_t·i] · P_i(ξ)``,
    with P_i the Legendre polynomial of degree i normalised by
    ``P_i(1) = 1``. The flat coefficient list has ``n_t·(degree + 1)``
    entries: the coefficient of P_i on interval j is entry ``j + n_t·i``
    (all degree-0 coefficients first, then all degree-1 coefficients, ...).
    The ``legendre_vals`` arguments, the all-basis results and the rows of
    :func:`lagrange_to_legendre_basis_transformation` share this layout.

Lagrange degrees of freedom
    The continuous piecewise Lagrange basis of degree ``degree >= 1`` has
    ``degree + 1`` equidistant nodes per interval; neighbouring intervals
    share their end node. Local node k of interval j is degree of freedom
    ``j·degree + k``. There are ``N = n_t·degree + 1`` of them, or
    ``N = n_t·degree`` when periodic (the node at T is node 0).

Sparse results
    Sparse matrices are returned as triplets ``(rows, cols, values)``:
    two lists of ints and one list of floats, in row-major order (rows
    non-decreasing, columns strictly increasing within a row, no repeated
    position). The shape is not returned; each function's docstring gives
    it. Pass it on when converting, because trailing empty rows or columns
    cannot be inferred::

        rows, cols, vals = pwpoly.lagrange_prolongation_matrix(nc, nf, p)
        P = scipy.sparse.csr_array((vals, (rows, cols)), shape=(nf*p + 1, nc*p + 1))

Exceptions common to every call
    - ``TypeError``: wrong number of arguments, unknown or repeated keyword,
      or an argument that cannot be converted; conversion errors carry the
      prefix ``"argument '<name>': "``. Integer parameters take ints (and
      bools, and objects with ``__index__``), never floats; float parameters
      take anything with ``__float__`` or ``__index__``; ``periodic`` takes
      only ``bool`` or a numpy bool (the int 1 is refused).
    - ``OverflowError``: a negative integer, or one wider than the platform's
      size type; an int too large for a float.
    - ``pyo3_runtime.PanicException``: a violated precondition or internal
      invariant, with a fixed message (listed per call). It derives from
      ``BaseException``, not ``Exception``: ``except Exception`` does not
      catch it. Sizes whose element count does not fit the platform's size
      type raise it with the message ``"capacity overflow"``.
    - ``MemoryError``: a request that the machine cannot allocate.
    - ``KeyboardInterrupt`` (or what a signal handler raises): Ctrl-C
      during a long call. Many-time evaluations, the sparse matrices and
      long result lists check for pending signals every 25 ms while they
      work; the call then ends at once and leaves every object as it was.

Threads
    Every call runs on the calling thread with the interpreter lock held,
    except :meth:`LegendreBasisEvaluator.evaluate_many` and
    :meth:`LegendreBasisEvaluator.evaluate_derivative_many`, which release
    it while they compute and spread 2048 or more times over one
    process-wide pool of worker threads (created on first use; its size is
    ``RAYON_NUM_THREADS``, else ``RAYON_RS_NUM_CPUS``, else the number of
    CPUs the process may use). Results never depend on the number of
    threads: they are identical to the last bit. On a free-threaded
    interpreter, importing the module turns the interpreter lock on
    (unless ``PYTHON_GIL=0``). Processes: a forked child (``os.fork()``,
    multiprocessing's fork start method, also while other threads
    evaluate or create the pool) gets worker threads of its own on its
    first many-time call; spawn and forkserver work too. The interpreter
    exits cleanly while daemon threads are inside many-time calls.

Floating point
    Every result is defined to the last bit by a fixed order of IEEE double
    operations, and is the same on every supported platform.
"""

from typing import Any, Protocol, Self, SupportsFloat, SupportsIndex, final

from typing_extensions import Buffer

__all__ = [
    "sum_as_string",
    "lagrange_to_legendre_basis_transformation",
    "lagrange_prolongation_matrix",
    "get_lagrange_points",
    "LegendreBasis",
    "LegendreBasisEvaluator",
]

class _FloatSequence(Protocol):
    """A sequence of numbers: list, tuple, range, a float64 numpy array, ..."""

    def __getitem__(self, index: int, /) -> SupportsFloat | SupportsIndex: ...

class _NumpyArray(Protocol):
    """A numpy array. It exports a buffer, but type checkers only see that from Python 3.12 on."""

    @property
    def __array_interface__(self) -> dict[str, Any]: ...

_FloatBuffer = Buffer | _NumpyArray

def sum_as_string(a: SupportsIndex, b: SupportsIndex) -> str:
    """Formats the sum of two numbers as string.

    Parameters
    ----------
    a, b
        Non-negative integers that fit the platform's size type.

    Returns
    -------
    str
        The decimal digits of ``a + b``, computed in the size type: a sum
        beyond its range wraps around (``sum_as_string(2**64 - 1, 1)`` is
        ``"0"`` on a 64-bit platform).

    Raises
    ------
    TypeError
        ``a`` or ``b`` is not an integer (a float is refused).
    OverflowError
        ``a`` or ``b`` is negative or does not fit the size type.
    """

def lagrange_to_legendre_basis_transformation(
    degree: SupportsIndex, n_t: SupportsIndex, periodic: bool = False
) -> tuple[list[int], list[int], list[float]]:
    """The sparse matrix that turns Lagrange nodal values into Legendre coefficients.

    Applied to the nodal values ``u`` of a continuous piecewise polynomial
    of degree ``degree`` (one per Lagrange degree of freedom, in the order
    of :func:`get_lagrange_points`), the matrix gives its Legendre
    coefficients in the layout of ``legendre_vals``: row ``j + n_t·i`` is
    the coefficient of ``P_i`` on interval ``j``, so the product can be
    passed straight to :meth:`LegendreBasisEvaluator.set_dofs`. The matrix
    does not depend on ``T``: the mesh is uniform and the weights live on
    the reference interval.

    Parameters
    ----------
    degree
        Polynomial degree per interval, at least 1.
    n_t
        Number of intervals.
    periodic
        Whether the node at T is identified with the node at 0.

    Returns
    -------
    (rows, cols, values)
        Triplets of a matrix of shape ``((degree + 1)·n_t, n_t·degree + 1)``,
        or ``((degree + 1)·n_t, n_t·degree)`` when periodic. Each row holds
        the ``degree + 1`` weights of its interval's nodes; weights that are
        exactly zero (for example the middle node of ``P_1`` at degree 2)
        are stored too. Periodic with ``n_t = 1``, both end nodes are node 0
        and their weights are summed. Non-periodic ``n_t = 0`` gives the
        empty ``0 × 1`` matrix.

    Raises
    ------
    ValueError
        Periodic only: ``"Periodic Lagrange bases require polynomial degree
        at least 1"`` for ``degree = 0`` (tested first), then ``"Periodic
        Lagrange bases require at least one interval"`` for ``n_t = 0``.
    pyo3_runtime.PanicException
        Non-periodic ``degree = 0``: ``"Lagrange to Legendre conversion not
        meaningful for degree 0"``; ``"capacity overflow"`` for sizes beyond
        the platform's size type.
    TypeError, OverflowError
        Argument conversion (see the module documentation); ``periodic``
        must be a bool.

    Notes
    -----
    Degrees 1 and 2 use exact tables; from degree 3 on the weights come
    from inverting the Legendre Vandermonde matrix of the equidistant
    nodes, so they are exact to rounding.
    """

def lagrange_prolongation_matrix(
    nt_coarse: SupportsIndex,
    nt_fine: SupportsIndex,
    degree: SupportsIndex,
    periodic: bool = False,
) -> tuple[list[int], list[int], list[float]]:
    """The sparse matrix that interpolates Lagrange nodal values from a coarse to a fine mesh.

    Both meshes are uniform meshes of the same span [0, T] (the matrix does
    not depend on T), with ``nt_coarse`` and ``nt_fine`` intervals and the
    same degree and periodicity. Row ``r`` gives the value at fine degree of
    freedom ``r`` as the weighted sum of the coarse nodal values: the
    weights are the coarse Lagrange basis functions at that fine node
    (barycentric interpolation). ``nt_fine`` need not be a multiple of
    ``nt_coarse``, nor larger. When it is a multiple, the matrix is the
    exact embedding of the coarse space into the fine one, so
    ``P.T @ A_fine @ P`` is the coarse Galerkin operator of any bilinear
    form.

    Note the argument order: the interval counts come first, then
    ``degree``.

    Parameters
    ----------
    nt_coarse, nt_fine
        Numbers of intervals of the coarse and of the fine mesh, at least 1.
    degree
        Polynomial degree per interval, at least 1.
    periodic
        Whether the node at T is identified with the node at 0 on both
        meshes.

    Returns
    -------
    (rows, cols, values)
        Triplets of a matrix of shape
        ``(nt_fine·degree + 1, nt_coarse·degree + 1)``, or
        ``(nt_fine·degree, nt_coarse·degree)`` when periodic. A fine node on
        (within 1e-14 in the local coordinate of) a coarse node gives a row
        with the single value 1.0; every other row holds ``degree + 1``
        values that sum to 1 up to rounding. Exact zeros are not stored.
        The shape cannot always be inferred from the triplets:
        ``lagrange_prolongation_matrix(2, 1, 2, True)`` has shape (2, 4)
        but its largest column index is 2.

    Raises
    ------
    ValueError
        Periodic only: ``"Periodic Lagrange bases require polynomial degree
        at least 1"`` for ``degree = 0`` (tested first), then ``"Periodic
        Lagrange prolongation requires positive interval counts"`` when
        either count is 0.
    pyo3_runtime.PanicException
        Non-periodic, tested in this order: ``"Lagrange prolongation
        requires polynomial degree at least 1"``, ``"Lagrange prolongation
        requires at least one coarse interval"``, ``"Lagrange prolongation
        requires at least one fine interval"``; ``"capacity overflow"`` for
        sizes beyond the platform's size type.
    TypeError, OverflowError
        Argument conversion (see the module documentation); ``periodic``
        must be a bool.
    """

def get_lagrange_points(
    degree: SupportsIndex, n_t: SupportsIndex, T: SupportsFloat | SupportsIndex, periodic: bool = False
) -> list[float]:
    """The nodal points of the continuous piecewise Lagrange basis, in degree-of-freedom order.

    Entry ``g`` is the time of Lagrange degree of freedom ``g``: for each
    interval in turn its left end and its ``degree - 1`` equidistant interior
    nodes, then (non-periodic only) ``T`` itself.

    Parameters
    ----------
    degree
        Polynomial degree per interval.
    n_t
        Number of intervals.
    T
        End time; the points are in its units.
    periodic
        Whether the node at T is identified with the node at 0 (and so not
        listed).

    Returns
    -------
    list of float
        ``n_t·degree + 1`` points (the last is exactly ``T``), or
        ``n_t·degree`` when periodic. Non-periodic ``degree = 0`` or
        ``n_t = 0`` gives the single point ``[T]``.

    Raises
    ------
    ValueError
        Periodic only: ``"Periodic Lagrange bases require polynomial degree
        at least 1"`` for ``degree = 0`` (tested first), then ``"Periodic
        Lagrange bases require at least one interval"`` for ``n_t = 0``.
    pyo3_runtime.PanicException
        ``"capacity overflow"`` when the number of points does not fit the
        platform's size type.
    TypeError, OverflowError
        Argument conversion (see the module documentation).
    """

@final
class LegendreBasis:
    """The piecewise Legendre basis of degree ``degree`` on ``n_t`` intervals of [0, T].

    Stateless: the coefficients are passed with every call of
    :meth:`evaluate_at`, which converts the whole list each time (use
    :class:`LegendreBasisEvaluator` to evaluate one expansion often). The
    all-basis methods give the values or derivatives of every basis
    function at one time, for assembling matrices.

    Instances are immutable and may be used from any number of threads at
    once; every method keeps the interpreter lock. The class cannot be
    subclassed, has no readable attributes and cannot be pickled.

    Parameters
    ----------
    degree
        Polynomial degree per interval (each interval carries
        ``degree + 1`` basis functions).
    n_t
        Number of intervals. 0 is accepted here, but every method then
        raises ``ValueError``.
    T
        End time of the mesh. Not validated: zero, negative or non-finite
        values follow the IEEE rules through the interval rule.

    Raises
    ------
    TypeError, OverflowError
        Argument conversion (see the module documentation).
    """

    def __new__(cls, degree: SupportsIndex, n_t: SupportsIndex, T: SupportsFloat | SupportsIndex) -> Self: ...
    def evaluate_at(self, t: SupportsFloat | SupportsIndex, legendre_vals: _FloatSequence) -> float:
        """The value at ``t`` of the expansion with coefficients ``legendre_vals``.

        Parameters
        ----------
        t
            Time, in the units of T (interval rule in the module
            documentation).
        legendre_vals
            At least ``n_t·(degree + 1)`` coefficients in the layout
            ``j + n_t·i``; any surplus is ignored.

        Returns
        -------
        float
            ``sum_i legendre_vals[j + n_t·i] · P_i(ξ)`` on the interval j
            of t, summed in increasing i.

        Raises
        ------
        pyo3_runtime.PanicException
            ``"Matrix view: input data buffer too small."`` when
            ``legendre_vals`` is shorter than ``n_t·(degree + 1)``.
        ValueError
            ``"cannot evaluate: the mesh has no intervals (n_t = 0)"``.
        TypeError
            ``legendre_vals`` is a str or not a sequence, or holds an item
            that is not a number (prefix ``"argument 'legendre_vals': "``).
        """

    def evaluate_all_basis_functions(self, t: SupportsFloat | SupportsIndex) -> list[float]:
        """The values at ``t`` of all ``n_t·(degree + 1)`` basis functions.

        Parameters
        ----------
        t
            Time, in the units of T (interval rule in the module
            documentation).

        Returns
        -------
        list of float
            Entry ``j + n_t·i`` is ``P_i(ξ)`` for the interval ``j`` that
            contains ``t``; every other entry is 0.0. Its dot product with a
            coefficient list equals :meth:`evaluate_at` up to rounding.

        Raises
        ------
        ValueError
            ``"cannot evaluate: the mesh has no intervals (n_t = 0)"``.
        pyo3_runtime.PanicException
            ``"capacity overflow"`` when ``n_t·(degree + 1)`` does not fit
            the platform's size type.
        """

    def evaluate_all_basis_function_derivatives(self, t: SupportsFloat | SupportsIndex) -> list[float]:
        """The time derivatives at ``t`` of all ``n_t·(degree + 1)`` basis functions.

        Parameters
        ----------
        t
            Time, in the units of T (interval rule in the module
            documentation).

        Returns
        -------
        list of float
            Entry ``j + n_t·i`` is ``dP_i/dξ · 2 / w`` for the interval ``j``
            that contains ``t`` (``w = T / n_t``); every other entry is 0.0.
            Exact to rounding everywhere, nodes and interval ends included:
            at ``ξ = 1`` the factor ``dP_i/dξ`` is exactly ``i(i + 1)/2``.
            At an interior node the derivative is that of the interval on
            the right.

        Raises
        ------
        ValueError
            ``"cannot evaluate: the mesh has no intervals (n_t = 0)"``.
        pyo3_runtime.PanicException
            ``"capacity overflow"`` when ``n_t·(degree + 1)`` does not fit
            the platform's size type.
        """

@final
class LegendreBasisEvaluator:
    """Class to evaluate legendre basis more often without copying the dofs from python each time.

    An evaluator holds one piecewise Legendre expansion on the mesh of
    ``n_t`` intervals of [0, T]: it is created with all coefficients 0.0,
    :meth:`set_dofs` replaces them (converted once), and the evaluation
    methods then give the expansion or its time derivative at one time or
    at many times at once.

    Threads: :meth:`evaluate_many` and :meth:`evaluate_derivative_many`
    release the interpreter lock while they compute, and from 2048 times on
    split the work over the process-wide worker pool; the results are
    identical to the last bit to those of :meth:`evaluate_at` /
    :meth:`evaluate_derivative_at` at each time, in input order. Any number
    of threads may evaluate one evaluator at once. A :meth:`set_dofs` that
    meets an evaluation in progress in another thread does not wait: it
    raises ``RuntimeError("Already borrowed")`` and changes nothing.

    The class cannot be subclassed, has no readable attributes and cannot
    be pickled.

    Parameters
    ----------
    degree
        Polynomial degree per interval.
    n_t
        Number of intervals. 0 is accepted here (the only accepted
        :meth:`set_dofs` argument is then an empty sequence), but every
        evaluation method raises ``ValueError``.
    T
        End time of the mesh. Not validated.

    Raises
    ------
    pyo3_runtime.PanicException
        ``"capacity overflow"`` when ``n_t·(degree + 1)`` does not fit the
        platform's size type.
    MemoryError
        The coefficient array cannot be allocated.
    TypeError, OverflowError
        Argument conversion (see the module documentation).
    """

    def __new__(cls, degree: SupportsIndex, n_t: SupportsIndex, T: SupportsFloat | SupportsIndex) -> Self: ...
    def set_dofs(self, legendre_vals: _FloatSequence) -> None:
        """Replace all coefficients.

        Parameters
        ----------
        legendre_vals
            Exactly ``n_t·(degree + 1)`` numbers in the layout ``j + n_t·i``
            (the coefficient of ``P_i`` on interval ``j``). Any sequence of
            numbers: list, tuple, range, a float64 numpy array. It is copied;
            later changes to it do not affect the evaluator.

        Raises
        ------
        pyo3_runtime.PanicException
            The length is not ``n_t·(degree + 1)``: the message is
            ``"assertion `left == right` failed: LegendreBasisEvaluator:
            set_dofs: input vector has wrong length\\n  left: L\\n right: E"``
            with the given length L and the expected length E. The previous
            coefficients stay in place, as on every failure.
        RuntimeError
            ``"Already borrowed"``: an evaluation on this evaluator is in
            progress in another thread.
        TypeError
            ``legendre_vals`` is a str or not a sequence, or holds an item
            that is not a number (prefix ``"argument 'legendre_vals': "``).
        """

    def evaluate_at(self, t: SupportsFloat | SupportsIndex) -> float:
        """The value of the expansion at ``t``.

        Parameters
        ----------
        t
            Time, in the units of T (interval rule in the module
            documentation).

        Returns
        -------
        float
            ``sum_i c[j + n_t·i] · P_i(ξ)`` on the interval ``j`` of ``t``,
            summed in increasing ``i``.

        Raises
        ------
        ValueError
            ``"cannot evaluate: the mesh has no intervals (n_t = 0)"``.
        RuntimeError
            ``"Already mutably borrowed"``: only while a :meth:`set_dofs` on
            this evaluator is converting its argument (Python code it calls
            re-enters the evaluator or lets another thread do so).
        """

    def evaluate_derivative_at(self, t: SupportsFloat | SupportsIndex) -> float:
        """The time derivative of the expansion at ``t``.

        ``df/dt = (2 / w) · sum_i c[j + n_t·i] · dP_i/dξ`` on the interval
        ``j`` of ``t``, exact to rounding everywhere, nodes and interval
        ends included. At an interior node it is the derivative of the
        interval on the right; outside [0, T] it is the derivative at the
        nearest end. The unit is that of the expansion per unit of T.

        Parameters
        ----------
        t
            Time, in the units of T (interval rule in the module
            documentation).

        Returns
        -------
        float
            The derivative with respect to t.

        Raises
        ------
        ValueError
            ``"cannot evaluate: the mesh has no intervals (n_t = 0)"``.
        RuntimeError
            ``"Already mutably borrowed"``, as for :meth:`evaluate_at`.
        """

    def evaluate_many(self, t_values: _FloatBuffer) -> list[float]:
        """The values of the expansion at many times.

        Parameters
        ----------
        t_values
            An object exporting a buffer of float64 values (a numpy array of
            dtype float64, ``array.array('d')``, a memoryview of either, any
            shape or strides); it is read in C order and copied before the
            interpreter lock is released. Lists do not export a buffer.

        Returns
        -------
        list of float
            One value per time, in the order of the times, each identical
            to :meth:`evaluate_at` at that time.

        Raises
        ------
        TypeError
            ``t_values`` exports no buffer (prefix ``"argument
            't_values': "``).
        BufferError
            ``"buffer contents are not compatible with f64"`` (another item
            type or a foreign byte order), ``"buffer contents are
            insufficiently aligned for f64"``, ``"shape is null"`` or
            ``"strides is null"`` (a zero-dimensional buffer).
        ValueError
            ``"cannot evaluate: the mesh has no intervals (n_t = 0)"``.
        """

    def evaluate_derivative_many(self, t_values: _FloatBuffer) -> list[float]:
        """The time derivatives of the expansion at many times.

        Parameters
        ----------
        t_values
            As for :meth:`evaluate_many`.

        Returns
        -------
        list of float
            One derivative per time, in the order of the times, each
            identical to :meth:`evaluate_derivative_at` at that time.

        Raises
        ------
        TypeError, BufferError, ValueError
            As for :meth:`evaluate_many`.
        """
