// The SSE4.1 variant: two lanes with the hardware floor (ROUNDPD). Compiled
// for SSE4.1 here only; selected at run time when the CPU has it.
#include <cstddef>

#include "piecewise_polynomials/legendre_kernels.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#pragma GCC push_options
#pragma GCC target("sse4.1")
#include "piecewise_polynomials/legendre_kernels_simd.hpp"

namespace pwpoly::kernels {
namespace {
#if defined(__x86_64__)
constexpr int sse41_vectors = 4;
#else
constexpr int sse41_vectors = 2;
#endif
void sse41_values(const KernelArgs& a, const double* in, double* out, std::size_t n) {
    evaluate_span<Sse<true>, sse41_vectors, false>(a, in, out, n);
}
void sse41_derivatives(const KernelArgs& a, const double* in, double* out, std::size_t n) {
    evaluate_span<Sse<true>, sse41_vectors, true>(a, in, out, n);
}
}  // namespace
}  // namespace pwpoly::kernels
#pragma GCC pop_options

namespace pwpoly::kernels {
namespace {
constexpr KernelSet sse41_set{"sse4.1", 2, &sse41_values, &sse41_derivatives};
}
const KernelSet* sse41_kernels() { return &sse41_set; }
}  // namespace pwpoly::kernels

#else

namespace pwpoly::kernels {
const KernelSet* sse41_kernels() { return nullptr; }
}

#endif
