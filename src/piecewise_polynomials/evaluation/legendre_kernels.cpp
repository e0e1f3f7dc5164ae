// The scalar many-point loop, the kernel arguments and the choice of the
// variant for this CPU.
#include "piecewise_polynomials/evaluation/legendre_kernels.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

namespace pwpoly::kernels {

namespace {

// Where time t lies and the width its derivative divides by.
inline Location locate_for_kernel(const KernelArgs& a, double t, double& width) {
    if (a.mesh != nullptr) {
        const Location loc = a.mesh->locate(t);
        width = a.mesh->widths[loc.interval];
        return loc;
    }
    width = a.w;
    return locate_with_width(t - a.t0, a.n_t, a.w);
}

inline double nan_if_nan(const KernelArgs& a, double xi, double value) {
    return a.nan_gives_nan ? value * ((xi - xi) + 1.0) : value;
}

void scalar_values(const KernelArgs& a, const double* in, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        double width;
        const Location loc = locate_for_kernel(a, in[i], width);
        out[i] = nan_if_nan(a, loc.xi, legendre_sum(loc.xi, a.coeffs + loc.interval, a.stride, a.degree));
    }
}

void scalar_derivatives(const KernelArgs& a, const double* in, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        double width;
        const Location loc = locate_for_kernel(a, in[i], width);
        const double sum = legendre_derivative_sum(loc.xi, a.coeffs + loc.interval, a.stride, a.degree);
        out[i] = nan_if_nan(a, loc.xi, (sum + sum) / width);
    }
}

constexpr KernelSet scalar_set{"scalar", 1, &scalar_values, &scalar_derivatives};

std::vector<const KernelSet*> detect_supported() {
    std::vector<const KernelSet*> found;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
#endif
    for (const SimdVariant& v : simd_variants())
        if (v.supported())
            found.push_back(v.set);
    found.push_back(&scalar_set);
    return found;
}

// The supported list and the calibrated choice are computed on first use and
// published through an atomic pointer rather than a function-local static: a
// static's guard is a lock, and a process forked while another thread holds
// it would wait on it forever. Threads that race here each compute the same
// answer; the first to publish wins and the others discard theirs. The
// published object lives until the process ends.
template <class T, class Make>
const T& computed_once(std::atomic<const T*>& cell, Make make) {
    if (const T* ready = cell.load(std::memory_order_acquire))
        return *ready;
    auto fresh = std::make_unique<const T>(make());
    const T* expected = nullptr;
    if (cell.compare_exchange_strong(expected, fresh.get(), std::memory_order_acq_rel, std::memory_order_acquire))
        return *fresh.release();
    return *expected;
}

std::atomic<const std::vector<const KernelSet*>*> g_supported{nullptr};
std::atomic<const KernelChoice*> g_choice{nullptr};

const std::vector<const KernelSet*>& supported_list() { return computed_once(g_supported, detect_supported); }

// Calibration: every supported variant evaluates the same short workload
// (values and derivatives of degree 6 on 64 intervals, 2048 times), in
// turns for a few rounds so that a burst of load elsewhere hits all alike;
// each keeps its best round. The fastest wins; a variant within 2 % of it
// that comes earlier in the list (wider) wins the tie, so that timer noise
// does not decide between equals. About a millisecond, once per process.
KernelChoice calibrate() {
    constexpr std::size_t n_t = 64, degree = 6, points = 2048;
    constexpr int rounds = 5;
    std::vector<double> coeffs(n_t * (degree + 1));
    for (std::size_t k = 0; k < coeffs.size(); ++k)
        coeffs[k] = static_cast<double>(k % 7) - 3.0;
    std::vector<double> times(points), out(points);
    for (std::size_t k = 0; k < points; ++k)
        times[k] = static_cast<double>((k * 2654435761u) % 1000003u) / 1000003.0;
    const LegendreBasis basis(degree, n_t, 1.0);
    const KernelArgs args = *make_kernel_args(basis, {coeffs.data(), n_t, degree + 1});

    const std::span<const KernelSet* const> sets = supported_kernels();
    std::vector<double> best(sets.size(), 1e300);
    for (int r = 0; r < rounds; ++r) {
        for (std::size_t s = 0; s < sets.size(); ++s) {
            const auto start = std::chrono::steady_clock::now();
            sets[s]->values(args, times.data(), out.data(), points);
            sets[s]->derivatives(args, times.data(), out.data(), points);
            const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
            if (took.count() < best[s])
                best[s] = took.count();
        }
    }
    double fastest = 1e300;
    for (double& b : best) {
        b /= static_cast<double>(points);
        fastest = b < fastest ? b : fastest;
    }
    std::size_t pick = 0;
    while (best[pick] > 1.02 * fastest)
        ++pick;
    return KernelChoice{sets[pick], best};
}

}  // namespace

std::optional<KernelArgs> make_kernel_args(const LegendreBasis& basis, ColMatrixView c, bool nan_gives_nan) {
    const std::size_t n_t = basis.n_t();
    const std::size_t degree = basis.degree();
    // Every located interval is at most n_t - 1, so with n_t rows and
    // degree + 1 columns no time can fail the matrix checks.
    if (!basis.has_intervals() || c.rows < n_t || degree == SIZE_MAX || c.cols < degree + 1)
        return std::nullopt;
    // The lanes compare interval indices as doubles; n_t - 1 must be exact.
    if (static_cast<std::uint64_t>(n_t - 1) > (std::uint64_t{1} << 53))
        return std::nullopt;
    const TimeMesh& mesh = basis.mesh();
    return KernelArgs{c.data,
                      c.rows,
                      degree,
                      n_t,
                      mesh.is_uniform() ? mesh.uniform_width() : 0.0,
                      static_cast<double>(n_t - 1),
                      mesh.start(),
                      mesh.index(),
                      nan_gives_nan};
}

const KernelSet& scalar_kernels() { return scalar_set; }

std::span<const KernelSet* const> supported_kernels() { return supported_list(); }

const KernelChoice& kernel_choice() { return computed_once(g_choice, calibrate); }

const KernelSet& best_kernels() { return *kernel_choice().picked; }

std::string KernelChoice::reason() const {
    std::string text = "fastest in the start-up calibration (ns/point, values + derivatives, degree 6):";
    const std::span<const KernelSet* const> sets = supported_kernels();
    for (std::size_t s = 0; s < sets.size(); ++s) {
        char item[64];
        std::snprintf(item, sizeof item, " %s %.2f", sets[s]->name, ns_per_point[s]);
        text += item;
    }
    return text;
}

}  // namespace pwpoly::kernels
