// The AVX2 variant: four lanes. Compiled for AVX2 here only (never FMA);
// selected at run time when the CPU and the OS support it.
#include <cstddef>

#include "piecewise_polynomials/legendre_kernels.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#pragma GCC push_options
#pragma GCC target("avx2")
#include "piecewise_polynomials/legendre_kernels_simd.hpp"

namespace pwpoly::kernels {
namespace {

struct Avx2 {
    using reg = __m256d;
    static constexpr std::size_t lanes = 4;
    static reg set1(double x) { return _mm256_set1_pd(x); }
    static reg loadu(const double* p) { return _mm256_loadu_pd(p); }
    static void storeu(double* p, reg x) { _mm256_storeu_pd(p, x); }
    static void storea(double* p, reg x) { _mm256_store_pd(p, x); }
    static reg add(reg a, reg b) { return _mm256_add_pd(a, b); }
    static reg sub(reg a, reg b) { return _mm256_sub_pd(a, b); }
    static reg mul(reg a, reg b) { return _mm256_mul_pd(a, b); }
    static reg div(reg a, reg b) { return _mm256_div_pd(a, b); }
    static reg min(reg a, reg b) { return _mm256_min_pd(a, b); }
    static reg max(reg a, reg b) { return _mm256_max_pd(a, b); }
    static reg floor(reg x) { return _mm256_floor_pd(x); }
    static reg positive_or_zero(reg x) {
        return _mm256_and_pd(_mm256_cmp_pd(x, _mm256_setzero_pd(), _CMP_GT_OQ), x);
    }
    static reg gather(const double* const* rows, std::size_t off) {
        const __m128d lo = _mm_loadh_pd(_mm_load_sd(rows[0] + off), rows[1] + off);
        const __m128d hi = _mm_loadh_pd(_mm_load_sd(rows[2] + off), rows[3] + off);
        return _mm256_insertf128_pd(_mm256_castpd128_pd256(lo), hi, 1);
    }
};

#if defined(__x86_64__)
constexpr int avx2_vectors = 4;
#else
constexpr int avx2_vectors = 2;
#endif
void avx2_values(const KernelArgs& a, const double* in, double* out, std::size_t n) {
    evaluate_span<Avx2, avx2_vectors, false>(a, in, out, n);
}
void avx2_derivatives(const KernelArgs& a, const double* in, double* out, std::size_t n) {
    evaluate_span<Avx2, avx2_vectors, true>(a, in, out, n);
}

}  // namespace
}  // namespace pwpoly::kernels
#pragma GCC pop_options

namespace pwpoly::kernels {
namespace {
constexpr KernelSet avx2_set{"avx2", 4, &avx2_values, &avx2_derivatives};
}
const KernelSet* avx2_kernels() { return &avx2_set; }
}  // namespace pwpoly::kernels

#else

namespace pwpoly::kernels {
const KernelSet* avx2_kernels() { return nullptr; }
}

#endif
