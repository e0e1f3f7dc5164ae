// Kernel and pool benchmark for many-point Legendre evaluation (no Python).
//
// Prints which kernel variant the many-point operations use and why (the
// start-up calibration), then, side by side from one run, the time per
// point of values and of derivatives for
//  * the O(degree^2) form (each P_i rebuilt from P_0 and P_1),
//  * the carried scalar loop,
//  * every SIMD variant this CPU runs (the one in use marked *),
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

#include "parallel/worker_pool.hpp"
#include "piecewise_polynomials/basis/legendre_basis.hpp"
#include "piecewise_polynomials/evaluation/legendre_kernels.hpp"
#include "piecewise_polynomials/evaluation/parallel_evaluation.hpp"

namespace {

using namespace pwpoly;

double textbook_p(std::size_t i, double xi) {
    if (i == 0)
        return 1.0;
    double prev = 1.0, p = xi, k = 1.0;
    for (std::size_t s = 1; s < i; ++s) {
        const double next = legendre_step(prev, p, k, xi);
        prev = p;
        p = next;
        k = k + 1.0;
    }
    return p;
}

// The textbook forms: every P_i recomputed from P_0 and P_1; every D_i from
// D_(i-2) and a recomputed P_(i-1).
void quadratic(const LegendreBasis& basis, ColMatrixView c, bool derivative, const double* in, double* out,
               std::size_t n) {
    std::vector<double> d(basis.degree() + 1);
    for (std::size_t k = 0; k < n; ++k) {
        const Location loc = basis.locate(in[k]);
        double sum = -0.0;
        for (std::size_t i = 0; i <= basis.degree(); ++i) {
            double factor = textbook_p(i, loc.xi);
            if (derivative) {
                d[i] = i < 2 ? static_cast<double>(i)
                             : d[i - 2] + static_cast<double>(2 * i - 1) * textbook_p(i - 1, loc.xi);
                factor = d[i];
            }
            sum = sum + factor * c(loc.interval, i);
        }
        out[k] = derivative ? (sum + sum) / basis.width(loc.interval) : sum;
    }
}

template <class F>
double seconds(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return took.count();
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

struct Problem {
    LegendreBasis basis;
    std::vector<double> data;
    ColMatrixView c;
};

std::unique_ptr<Problem> random_problem(std::size_t degree, std::size_t n_t, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> coeff(-1.0, 1.0);
    auto p = std::make_unique<Problem>(
        Problem{LegendreBasis(degree, n_t, 1.0), std::vector<double>(n_t * (degree + 1)), {}});
    for (double& x : p->data)
        x = coeff(rng);
    p->c = ColMatrixView{p->data.data(), n_t, degree + 1};
    return p;
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
    std::mt19937_64 rng(12345);
    std::uniform_real_distribution<double> in_mesh(0.0, 1.0);
    std::vector<double> times(points);
    for (double& t : times)
        t = in_mesh(rng);
    std::vector<double> out(points, 0.0), reference(points, 0.0);

    const kernels::KernelSet& in_use = kernels::best_kernels();
    std::printf("points %zu, n_t %zu, best of %d runs\n", points, n_t, reps);
    std::printf("kernel in use: %s, %s\n", in_use.name, kernels::kernel_choice().reason().c_str());

    const std::span<const kernels::KernelSet* const> sets = kernels::supported_kernels();
    bool all_identical = true;
    for (const bool derivative : {false, true}) {
        std::printf("\n%s, ns/point (ratio = O(degree^2) time / this time)\n", derivative ? "derivatives" : "values");
        std::printf("%-7s %12s", "degree", "O(degree^2)");
        for (const kernels::KernelSet* set : sets)
            std::printf(" %18s", (std::string(set->name) + (set == &in_use ? "*" : "")).c_str());
        std::printf("\n");
        for (const std::size_t degree : {1, 3, 8, 16}) {
            const auto p = random_problem(degree, n_t, rng);
            const kernels::KernelArgs args = *kernels::make_kernel_args(p->basis, p->c);
            // Every form is timed once per round, in turns, and keeps its
            // best round: a burst of load elsewhere then hits all alike.
            double textbook = 1e300;
            std::vector<double> best(sets.size(), 1e300);
            for (int r = 0; r < reps; ++r) {
                textbook = std::min(textbook, seconds([&] {
                                        quadratic(p->basis, p->c, derivative, times.data(), reference.data(), points);
                                    }));
                for (std::size_t k = 0; k < sets.size(); ++k) {
                    const kernels::KernelFn fn = derivative ? sets[k]->derivatives : sets[k]->values;
                    best[k] = std::min(best[k], seconds([&] { fn(args, times.data(), out.data(), points); }));
                    all_identical = all_identical && same_bits(out, reference);
                }
            }
            const double per = 1e9 / static_cast<double>(points);
            std::printf("%-7zu %12.2f", degree, textbook * per);
            for (const double b : best)
                std::printf(" %10.2f (%4.1fx)", b * per, textbook / b);
            std::printf("\n");
        }
    }

    std::printf("\npool, degree 8, values through evaluate_many_into (private pools)\n");
    {
        const auto p = random_problem(8, n_t, rng);
        std::vector<std::size_t> sizes = {1, 2};
        if (extra_workers > 0 && extra_workers != 1 && extra_workers != 2)
            sizes.push_back(extra_workers);
        // All pools stay alive (idle workers sleep) and are timed in turns,
        // so that a burst of load elsewhere hits every size alike.
        std::vector<std::unique_ptr<WorkerPool>> pools;
        std::vector<double> best(sizes.size(), 1e300);
        for (const std::size_t w : sizes) {
            pools.push_back(std::make_unique<WorkerPool>(w));
            evaluate_many_into(p->basis, p->c, false, times, out.data(), {pools.back().get(), nullptr});  // warm up
        }
        for (int r = 0; r < 3 * reps; ++r)
            for (std::size_t k = 0; k < sizes.size(); ++k)
                best[k] = std::min(
                    best[k], seconds([&] {
                        evaluate_many_into(p->basis, p->c, false, times, out.data(), {pools[k].get(), nullptr});
                    }));
        for (std::size_t k = 0; k < sizes.size(); ++k)
            std::printf("%zu worker(s): %7.2f ns/point  speed-up over 1 worker %4.2fx\n", sizes[k],
                        best[k] * 1e9 / static_cast<double>(points), best[0] / best[k]);
    }
    std::printf("\nall kernels bit-identical to the O(degree^2) form: %s\n", all_identical ? "yes" : "NO");
    return all_identical ? 0 : 1;
}
