// Kernel and pool benchmark for many-point Legendre evaluation (no Python).
//
// Prints, side by side from one run, the time per point of
//  * the O(degree^2) form (each P_i rebuilt from P_0 and P_1),
//  * the carried scalar loop,
//  * every SIMD variant this CPU runs (the shipped one marked),
// at degrees 1, 3, 8 and 16 over random times on a mesh of 1000 intervals,
// and the speed-up of 2 workers over 1 at degree 8 (private pools).
//
// Usage: bench_kernels [--points N] [--reps R] [--workers W]
//   --workers W adds a row for a private pool of W workers.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "piecewise_polynomials/legendre_basis.hpp"
#include "piecewise_polynomials/legendre_kernels.hpp"
#include "piecewise_polynomials/parallel_evaluation.hpp"
#include "piecewise_polynomials/worker_pool.hpp"

namespace {

using namespace pwpoly;

// The textbook form: every P_i recomputed from P_0 and P_1.
double quadratic_value(const LegendreBasis& basis, double t, ColMatrixView c) {
    const Location loc = basis.locate(t);
    double sum = -0.0;
    for (std::size_t i = 0; i <= basis.degree(); ++i) {
        double p = 1.0;
        if (i >= 1) {
            double prev = 1.0, k = 1.0;
            p = loc.xi;
            for (std::size_t s = 1; s < i; ++s) {
                const double next = legendre_step(prev, p, k, loc.xi);
                prev = p;
                p = next;
                k = k + 1.0;
            }
        }
        sum = sum + p * c(loc.interval, i);
    }
    return sum;
}

void quadratic_values(const LegendreBasis& basis, ColMatrixView c, const double* in, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        out[i] = quadratic_value(basis, in[i], c);
}

template <class F>
double best_seconds(int reps, F&& f) {
    double best = 1e300;
    for (int r = 0; r < reps; ++r) {
        const auto start = std::chrono::steady_clock::now();
        f();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t points = 1000000;
    int reps = 5;
    std::size_t extra_workers = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--points") == 0)
            points = std::strtoull(argv[i + 1], nullptr, 10);
        else if (std::strcmp(argv[i], "--reps") == 0)
            reps = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--workers") == 0)
            extra_workers = std::strtoull(argv[i + 1], nullptr, 10);
    }
    const std::size_t n_t = 1000;
    const double T = 1.0;
    std::mt19937_64 rng(12345);
    std::uniform_real_distribution<double> in_mesh(0.0, T);
    std::uniform_real_distribution<double> coeff(-1.0, 1.0);
    std::vector<double> times(points);
    for (double& t : times)
        t = in_mesh(rng);
    std::vector<double> out(points, 0.0), reference(points, 0.0);

    const kernels::KernelSet& shipped = kernels::best_kernels();
    std::printf("points %zu, n_t %zu, best of %d runs; shipped kernel: %s\n\n", points, n_t, reps, shipped.name);
    std::printf("values, ns/point (ratio = O(degree^2) time / this time)\n");
    std::printf("%-7s %14s %18s", "degree", "O(degree^2)", "carried scalar");
    for (const kernels::KernelSet* set : kernels::supported_kernels())
        if (set != &kernels::scalar_kernels())
            std::printf(" %18s", (std::string(set->name) + (set == &shipped ? "*" : "")).c_str());
    std::printf("\n");

    bool all_identical = true;
    for (const std::size_t degree : {1, 3, 8, 16}) {
        const LegendreBasis basis(degree, n_t, T);
        std::vector<double> data(n_t * (degree + 1));
        for (double& x : data)
            x = coeff(rng);
        const ColMatrixView c{data.data(), n_t, degree + 1};
        const kernels::KernelArgs args = *kernels::make_kernel_args(basis, c);

        // Every form is timed once per round, in turns, and keeps its best
        // round: a burst of load elsewhere then hits all forms alike.
        std::vector<const kernels::KernelSet*> simd;
        for (const kernels::KernelSet* set : kernels::supported_kernels())
            if (set != &kernels::scalar_kernels())
                simd.push_back(set);
        double quadratic = 1e300, scalar = 1e300;
        std::vector<double> simd_best(simd.size(), 1e300);
        for (int r = 0; r < reps; ++r) {
            quadratic = std::min(quadratic, best_seconds(1, [&] {
                                     quadratic_values(basis, c, times.data(), reference.data(), points);
                                 }));
            scalar = std::min(scalar, best_seconds(1, [&] {
                                  kernels::scalar_kernels().values(args, times.data(), out.data(), points);
                              }));
            all_identical = all_identical && same_bits(out, reference);
            for (std::size_t k = 0; k < simd.size(); ++k) {
                simd_best[k] = std::min(simd_best[k], best_seconds(1, [&] {
                                            simd[k]->values(args, times.data(), out.data(), points);
                                        }));
                all_identical = all_identical && same_bits(out, reference);
            }
        }
        const double per = 1e9 / static_cast<double>(points);
        std::printf("%-7zu %14.2f %10.2f (%4.1fx)", degree, quadratic * per, scalar * per, quadratic / scalar);
        for (std::size_t k = 0; k < simd.size(); ++k)
            std::printf(" %10.2f (%4.1fx)", simd_best[k] * per, quadratic / simd_best[k]);
        std::printf("\n");
    }

    std::printf("\nderivatives, ns/point (shipped vs carried scalar)\n");
    for (const std::size_t degree : {1, 3, 8, 16}) {
        const LegendreBasis basis(degree, n_t, T);
        std::vector<double> data(n_t * (degree + 1));
        for (double& x : data)
            x = coeff(rng);
        const ColMatrixView c{data.data(), n_t, degree + 1};
        const kernels::KernelArgs args = *kernels::make_kernel_args(basis, c);
        const double scalar = best_seconds(
            reps, [&] { kernels::scalar_kernels().derivatives(args, times.data(), reference.data(), points); });
        const double simd = best_seconds(reps, [&] { shipped.derivatives(args, times.data(), out.data(), points); });
        all_identical = all_identical && same_bits(out, reference);
        const double per = 1e9 / static_cast<double>(points);
        std::printf("degree %-3zu scalar %7.2f  %s %7.2f  (%4.1fx)\n", degree, scalar * per, shipped.name, simd * per,
                    scalar / simd);
    }

    std::printf("\npool, degree 8, values through evaluate_many_into (private pools)\n");
    {
        const std::size_t degree = 8;
        const LegendreBasis basis(degree, n_t, T);
        std::vector<double> data(n_t * (degree + 1));
        for (double& x : data)
            x = coeff(rng);
        const ColMatrixView c{data.data(), n_t, degree + 1};
        std::vector<std::size_t> sizes = {1, 2};
        if (extra_workers > 0 && extra_workers != 1 && extra_workers != 2)
            sizes.push_back(extra_workers);
        // All pools stay alive (idle workers sleep) and are timed in turns,
        // so that a burst of load elsewhere hits every size alike.
        std::vector<std::unique_ptr<WorkerPool>> pools;
        std::vector<double> best(sizes.size(), 1e300);
        for (const std::size_t w : sizes) {
            pools.push_back(std::make_unique<WorkerPool>(w));
            evaluate_many_into(basis, c, false, times, out.data(), {pools.back().get(), nullptr});  // warm up
        }
        for (int r = 0; r < 3 * reps; ++r)
            for (std::size_t k = 0; k < sizes.size(); ++k)
                best[k] = std::min(best[k], best_seconds(1, [&] {
                                       evaluate_many_into(basis, c, false, times, out.data(), {pools[k].get(), nullptr});
                                   }));
        for (std::size_t k = 0; k < sizes.size(); ++k)
            std::printf("%zu worker(s): %7.2f ns/point  speed-up over 1 worker %4.2fx\n", sizes[k],
                        best[k] * 1e9 / static_cast<double>(points), best[0] / best[k]);
    }
    std::printf("\nall kernels bit-identical to the O(degree^2) form: %s\n", all_identical ? "yes" : "NO");
    return all_identical ? 0 : 1;
}
