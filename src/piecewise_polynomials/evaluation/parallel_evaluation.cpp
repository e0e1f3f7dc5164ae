// Many-point evaluation (behind LegendreBasis's many-point operations, which
// legendre_basis.cpp defines on top of evaluate_many_into): the kernel for
// the request, run over the index range by the split policy of every
// many-item operation (parallel_ranges.hpp).
//
// Results land in their own output slots and depend only on their own time,
// so the distribution never changes a bit of the output.
#include "piecewise_polynomials/evaluation/parallel_evaluation.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "common/internal_failure.hpp"

namespace pwpoly {

namespace {

// Evaluates index ranges of one request.
struct RangeEvaluator {
    const LegendreBasis& basis;
    ColMatrixView c;
    bool derivative;
    std::optional<kernels::KernelArgs> args;  // nullopt: point by point, with checks
    kernels::KernelFn kernel;
    const double* in;
    double* out;

    void run(std::size_t lo, std::size_t hi) const {
        if (args) {
            kernel(*args, in + lo, out + lo, hi - lo);
        } else if (!derivative) {
            for (std::size_t i = lo; i < hi; ++i)
                out[i] = basis.evaluate(in[i], c);
        } else {
            for (std::size_t i = lo; i < hi; ++i)
                out[i] = basis.evaluate_derivative(in[i], c);
        }
    }
};

}  // namespace

void evaluate_many_into(const LegendreBasis& basis, ColMatrixView c, bool derivative, std::span<const double> times,
                        double* out, const ManyPointOptions& options) {
    const kernels::KernelSet& set = options.kernels != nullptr ? *options.kernels : kernels::best_kernels();
    const RangeEvaluator eval{
        basis,        c,  derivative, kernels::make_kernel_args(basis, c), derivative ? set.derivatives : set.values,
        times.data(), out};
    for_each_range(
        times.size(), evaluation_min_half, [&eval](std::size_t lo, std::size_t hi) { eval.run(lo, hi); }, options.pool,
        4 * (basis.degree() + 1));
}

}  // namespace pwpoly
