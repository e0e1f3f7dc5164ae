// The scalar many-point loop, the kernel arguments and the choice of the
// variant for this CPU.
#include "piecewise_polynomials/legendre_kernels.hpp"

#include <cstdint>
#include <vector>

namespace pwpoly::kernels {

namespace {

void scalar_values(const KernelArgs& a, const double* in, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const Location loc = locate_on_mesh(in[i], a.n_t, a.T);
        out[i] = legendre_sum(loc.xi, a.coeffs + loc.interval, a.stride, a.degree);
    }
}

void scalar_derivatives(const KernelArgs& a, const double* in, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const Location loc = locate_on_mesh(in[i], a.n_t, a.T);
        const double sum = legendre_derivative_sum(loc.xi, a.coeffs + loc.interval, a.stride, a.degree);
        out[i] = (sum + sum) / a.w;
    }
}

constexpr KernelSet scalar_set{"scalar", 1, &scalar_values, &scalar_derivatives};

std::vector<const KernelSet*> detect_supported() {
    std::vector<const KernelSet*> found;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (avx512_kernels() != nullptr && __builtin_cpu_supports("avx512f"))
        found.push_back(avx512_kernels());
    if (avx2_kernels() != nullptr && __builtin_cpu_supports("avx2"))
        found.push_back(avx2_kernels());
    if (sse41_kernels() != nullptr && __builtin_cpu_supports("sse4.1"))
        found.push_back(sse41_kernels());
    if (sse2_kernels() != nullptr)
        found.push_back(sse2_kernels());
#endif
    found.push_back(&scalar_set);
    return found;
}

const std::vector<const KernelSet*>& supported_list() {
    static const std::vector<const KernelSet*> list = detect_supported();
    return list;
}

}  // namespace

std::optional<KernelArgs> make_kernel_args(const LegendreBasis& basis, ColMatrixView c) {
    const std::size_t n_t = basis.n_t();
    const std::size_t degree = basis.degree();
    // Every located interval is at most n_t - 1, so with n_t rows and
    // degree + 1 columns no time can fail the matrix checks.
    if (n_t == 0 || c.rows < n_t || degree == SIZE_MAX || c.cols < degree + 1)
        return std::nullopt;
    // The lanes compare interval indices as doubles; n_t - 1 must be exact.
    if (static_cast<std::uint64_t>(n_t - 1) > (std::uint64_t{1} << 53))
        return std::nullopt;
    return KernelArgs{c.data, c.rows, degree, n_t, basis.T(), basis.T() / static_cast<double>(n_t),
                      static_cast<double>(n_t - 1)};
}

const KernelSet& scalar_kernels() { return scalar_set; }

const KernelSet& best_kernels() { return *supported_list().front(); }

std::span<const KernelSet* const> supported_kernels() { return supported_list(); }

}  // namespace pwpoly::kernels
