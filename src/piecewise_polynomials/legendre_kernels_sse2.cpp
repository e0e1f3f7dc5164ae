// The SSE2 variant: two lanes, floor emulated. SSE2 is the x86 baseline
// (always present on x86-64; the 32-bit build uses -msse2), so this file
// needs no target switch and no run-time check.
#include <cstddef>

#include "piecewise_polynomials/legendre_kernels.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#include <smmintrin.h>

#include "piecewise_polynomials/legendre_kernels_simd.hpp"

namespace pwpoly::kernels {

namespace {
// Enough registers for four interleaved vectors on x86-64, two on i386.
#if defined(__x86_64__)
constexpr int sse2_vectors = 4;
#else
constexpr int sse2_vectors = 2;
#endif
constexpr KernelSet sse2_set{"sse2", 2, &evaluate_span<Sse<false>, sse2_vectors, false>,
                             &evaluate_span<Sse<false>, sse2_vectors, true>};
}  // namespace

const KernelSet* sse2_kernels() { return &sse2_set; }

bool sse2_floor(const double* in, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        alignas(16) double lanes[2];
        _mm_store_pd(lanes, Sse<false>::floor(_mm_set1_pd(in[i])));
        out[i] = lanes[0];
    }
    return true;
}

}  // namespace pwpoly::kernels

#else

namespace pwpoly::kernels {
const KernelSet* sse2_kernels() { return nullptr; }
bool sse2_floor(const double*, double*, std::size_t) { return false; }
}  // namespace pwpoly::kernels

#endif
