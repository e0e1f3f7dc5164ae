// Many-point evaluation (behind LegendreBasis's many-point operations, which
// legendre_basis.cpp defines on top of evaluate_many_into): the choice
// between the calling thread and the pool, and the adaptive splitting of
// the index range.
//
// Splitting. A piece [lo, hi) carries a split budget B (initially W, the
// pool's worker count) and a "moved" flag. A piece of length L is split at
// L / 2 when L / 2 >= 1 and either it moved to another thread (then B is
// reset to max(W, B / 2), so work that travels can be split again for the
// idle workers that took it) or B > 0 (then B halves). Otherwise it is a
// leaf, evaluated in index order by the kernel. The root piece is split on
// the calling thread, which hands both halves to the pool and blocks; both
// halves then count as moved. Without stealing, for W a power of two, each
// half splits once on its reset budget W and then log2(W) + 1 times more
// as W halves down to 0: 8W leaves in all.
//
// Results land in their own output slots and depend only on their own time,
// so the distribution never changes a bit of the output.
#include "piecewise_polynomials/parallel_evaluation.hpp"

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

struct Splitter {
    WorkerPool& pool;
    const RangeEvaluator& eval;
    std::size_t workers;

    // Returns the number of results written.
    std::size_t process(std::size_t lo, std::size_t hi, std::size_t budget, bool moved) const {
        const std::size_t len = hi - lo;
        bool split = false;
        if (len / 2 >= 1) {
            if (moved) {
                budget = std::max(workers, budget / 2);
                split = true;
            } else if (budget > 0) {
                budget /= 2;
                split = true;
            }
        }
        if (!split) {
            eval.run(lo, hi);
            return len;
        }
        const std::size_t mid = lo + len / 2;
        std::size_t left = 0, right = 0;
        pool.join_context([&](bool m) { left = process(lo, mid, budget, m); },
                          [&](bool m) { right = process(mid, hi, budget, m); });
        return left + right;
    }
};

[[noreturn]] void fail_write_count(std::size_t expected, std::size_t actual) {
    fail("expected " + std::to_string(expected) + " total writes, but got " + std::to_string(actual));
}

}  // namespace

void evaluate_many_into(const LegendreBasis& basis, ColMatrixView c, bool derivative, std::span<const double> times,
                        double* out, const ManyPointOptions& options) {
    const kernels::KernelSet& set = options.kernels != nullptr ? *options.kernels : kernels::best_kernels();
    const RangeEvaluator eval{
        basis,        c,  derivative, kernels::make_kernel_args(basis, c), derivative ? set.derivatives : set.values,
        times.data(), out};
    const std::size_t n = times.size();
    if (n < parallel_threshold) {
        eval.run(0, n);
        return;
    }
    WorkerPool& pool = options.pool != nullptr ? *options.pool : global_pool();
    const std::size_t workers = pool.worker_count();
    const std::size_t written = Splitter{pool, eval, workers}.process(0, n, workers, false);
    if (written != n) [[unlikely]]
        fail_write_count(n, written);
}

}  // namespace pwpoly
