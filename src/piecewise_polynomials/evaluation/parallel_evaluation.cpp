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
    bool nan_gives_nan;
    const double* in;
    double* out;

    void run(std::size_t lo, std::size_t hi) const {
        if (args) {
            kernel(*args, in + lo, out + lo, hi - lo);
        } else {
            for (std::size_t i = lo; i < hi; ++i) {
                const double t = in[i];
                const double value = derivative ? basis.evaluate_derivative(t, c) : basis.evaluate(t, c);
                out[i] = nan_gives_nan && t != t ? t : value;
            }
        }
    }
};

}  // namespace

void evaluate_many_into(const LegendreBasis& basis, ColMatrixView c, bool derivative, std::span<const double> times,
                        double* out, const ManyPointOptions& options) {
    const kernels::KernelSet& set = options.kernels != nullptr ? *options.kernels : kernels::best_kernels();
    const RangeEvaluator eval{basis,
                              c,
                              derivative,
                              kernels::make_kernel_args(basis, c, options.nan_gives_nan),
                              derivative ? set.derivatives : set.values,
                              options.nan_gives_nan,
                              times.data(),
                              out};
    for_each_range(
        times.size(), evaluation_min_half, [&eval](std::size_t lo, std::size_t hi) { eval.run(lo, hi); }, options.pool,
        4 * (basis.degree() + 1));
}

}  // namespace pwpoly
