"""Time-parallel u' = λu over MPI ranks: parareal on time slabs, then a distributed error norm.

[0, T] is cut into one time slab per MPI rank. Every rank builds its own
time mesh of its slab [t_start, t_end] (TimeMesh.uniform(n_t, t_end,
start=t_start): global time, no shifting) and its time operators on it
only: the fine propagator F is cG(p) on n_t intervals of the slab
(pwpoly_arrays' Lagrange-to-Legendre, derivative and mass matrices, as in
cg_in_time.py), the coarse propagator G is cG(1) on the slab as one
interval. Ranks exchange only slab-boundary values:

    parareal: U_{r+1} <- G(U_r new) + F(U_r old) - G(U_r old)

runs the cheap coarse sweep from rank to rank (send/recv of one float) and
the expensive fine solves on all ranks at once. It reproduces the serial
fine solution after at most `ranks` iterations; it stops earlier when no
boundary value changes by more than 1e-14.

Afterwards each rank evaluates its slab's solution (an Expansion built from
its nodal values) at the Gauss-Legendre points of its slab
(pwpoly_arrays.gauss_legendre) and the squared L2 errors are summed with an
allreduce. Rank 0 checks the end value against the serial fine propagation
and the distributed norm against a solve of the whole interval in one
process.

    mpiexec -n 2 python examples/mpi_time_slabs.py           # any number of ranks
    mpiexec -n 2 python examples/mpi_time_slabs.py --fast    # the CI run
    python examples/mpi_time_slabs.py --fast                 # one rank also works

(Open MPI refuses to start as root without --allow-run-as-root, and needs
--oversubscribe for more ranks than cores; MPICH needs neither.)
"""

from __future__ import annotations

import argparse
import math

import numpy as np
import numpy.typing as npt
import scipy.sparse as sp
import scipy.sparse.linalg as spla
from mpi4py import MPI

import pwpoly_arrays

Vector = npt.NDArray[np.float64]

LAMBDA = -1.0
T = 4.0
U0 = 1.0


class SlabSolver:
    """cG(p) for u' = λu on a mesh of a slab, from any start value."""

    def __init__(self, p: int, mesh: pwpoly_arrays.TimeMesh) -> None:
        self.p, self.mesh = p, mesh
        n_t = mesh.n_t
        self.n_t = n_t
        n_dofs = n_t * p + 1
        to_legendre = pwpoly_arrays.lagrange_to_legendre_matrix(p, mesh)
        # Tested with P_m (m < p, the first p·n_t Legendre functions) on every interval:
        # ∫ P_m (du/dt - λ u) dt with u in the Legendre basis, then u = L·U.
        operator = pwpoly_arrays.derivative_matrix(p, mesh) - LAMBDA * pwpoly_arrays.mass_matrix(p, mesh)
        equations = operator[: p * n_t] @ to_legendre
        initial = sp.csr_array(([1.0], ([0], [0])), shape=(1, n_dofs))
        self.lu = spla.splu(sp.vstack([initial, equations], format="csc"))

    def nodal_values(self, start: float) -> Vector:
        rhs = np.zeros(self.n_t * self.p + 1)
        rhs[0] = start
        return np.asarray(self.lu.solve(rhs), dtype=np.float64)

    def propagate(self, start: float) -> float:
        """The solution at the end of the slab."""
        return float(self.nodal_values(start)[-1])

    def squared_l2_error(self, start: float) -> float:
        """∫ (u_h - exact)^2 over the slab."""
        u_h = pwpoly_arrays.Expansion.from_nodal_values(self.nodal_values(start), self.p, self.mesh)
        times, weights = pwpoly_arrays.gauss_legendre(self.p + 3, self.mesh)
        return float(weights @ (u_h(times) - U0 * np.exp(LAMBDA * times)) ** 2)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--fast", action="store_true", help="a small fine mesh (the CI run)")
    args = parser.parse_args()
    p, n_t = (3, 16) if args.fast else (3, 32)

    comm = MPI.COMM_WORLD
    rank, ranks = comm.Get_rank(), comm.Get_size()
    slab = T / ranks
    t_start, t_end = rank * slab, (T if rank == ranks - 1 else (rank + 1) * slab)
    fine = SlabSolver(p, pwpoly_arrays.TimeMesh.uniform(n_t, t_end, start=t_start))
    coarse = SlabSolver(1, pwpoly_arrays.TimeMesh.uniform(1, t_end, start=t_start))

    # Initial guess of the slab start values: one serial coarse sweep.
    start = U0
    if rank > 0:
        start = comm.recv(source=rank - 1)
    if rank < ranks - 1:
        comm.send(coarse.propagate(start), dest=rank + 1)

    iterations, changes = 0, []
    while iterations < ranks:
        iterations += 1
        fine_end, coarse_old = fine.propagate(start), coarse.propagate(start)  # all ranks at once
        new_start = U0 if rank == 0 else comm.recv(source=rank - 1)
        if rank < ranks - 1:
            comm.send(coarse.propagate(new_start) + fine_end - coarse_old, dest=rank + 1)
        change = comm.allreduce(abs(new_start - start), op=MPI.MAX)
        changes.append(change)
        start = new_start
        if change <= 1e-14:
            break

    end_value = comm.bcast(fine.propagate(start) if rank == ranks - 1 else None, root=ranks - 1)
    starts = comm.gather(start, root=0)
    l2 = math.sqrt(comm.allreduce(fine.squared_l2_error(start), op=MPI.SUM))

    if rank == 0:
        assert starts is not None
        print(f"u' = {LAMBDA} u on [0, {T}]: {ranks} slab(s), cG({p}) with {n_t} intervals per slab")
        print(f"parareal: {iterations} iteration(s), largest change of a slab start per iteration: {changes}")
        for r, value in enumerate(starts):
            print(f"  slab {r}: t = {r * slab:6.3f}  u = {value:.15f}  exact {U0 * math.exp(LAMBDA * r * slab):.15f}")
        serial = U0
        for r in range(ranks):
            r_end = T if r == ranks - 1 else (r + 1) * slab
            serial = SlabSolver(p, pwpoly_arrays.TimeMesh.uniform(n_t, r_end, start=r * slab)).propagate(serial)
        whole = SlabSolver(p, pwpoly_arrays.TimeMesh.uniform(n_t * ranks, T))
        l2_one_process = math.sqrt(whole.squared_l2_error(U0))
        exact_end = U0 * math.exp(LAMBDA * T)
        print(f"u(T) = {end_value:.15f}   serial fine propagation {serial:.15f}   exact {exact_end:.15f}")
        print(f"L2 error: distributed {l2:.6e}, one process {l2_one_process:.6e}")
        # Parareal is exact after `ranks` iterations: the last one must have
        # changed nothing, whether or not the loop ran out (a wrong
        # correction keeps changing the starts).
        assert changes[-1] <= 1e-14, f"parareal did not converge: changes {changes}"
        assert abs(end_value - serial) <= 1e-13, "parareal did not reproduce the serial fine solution"
        assert abs(end_value - exact_end) < 1e-9, "fine solution too far from exp(λT)"
        assert abs(l2 - l2_one_process) <= 1e-6 * l2_one_process + 1e-14, "distributed and one-process norms differ"
        print("parareal reproduces the serial solution; the distributed norm matches the one-process one")


if __name__ == "__main__":
    main()
