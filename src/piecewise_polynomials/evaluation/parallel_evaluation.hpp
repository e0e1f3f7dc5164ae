// Many-point evaluation of a piecewise Legendre expansion, spread over the
// worker pool from `parallel_threshold` times on.
//
// This is the engine behind LegendreBasis::evaluate_many and friends; it is
// exposed so that tests and benchmarks can pick the pool and the kernel.
#pragma once

#include <cstddef>
#include <span>

#include "parallel/parallel_ranges.hpp"
#include "parallel/worker_pool.hpp"
#include "piecewise_polynomials/basis/legendre_basis.hpp"
#include "piecewise_polynomials/evaluation/legendre_kernels.hpp"

namespace pwpoly {

struct ManyPointOptions {
    WorkerPool* pool = nullptr;                   // nullptr: the process-wide pool
    const kernels::KernelSet* kernels = nullptr;  // nullptr: the best for this CPU
    bool nan_gives_nan = false;                   // see kernels::KernelArgs
};

// out[i] = basis.evaluate(times[i], c) (evaluate_derivative when
// `derivative`), bit for bit, for i < times.size() (NaN for a NaN time when
// options.nan_gives_nan). `out` has room for
// times.size() values and is either disjoint from `times` or the same array.
// A matrix check failure of some time fails the call with the message of
// the first failing time in index order; `out` then holds no defined
// result.
void evaluate_many_into(const LegendreBasis& basis, ColMatrixView c, bool derivative, std::span<const double> times,
                        double* out, const ManyPointOptions& options = {});

}  // namespace pwpoly
