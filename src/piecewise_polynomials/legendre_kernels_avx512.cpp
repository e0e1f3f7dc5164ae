// The AVX-512F variant: eight lanes. Compiled for AVX-512F here only (never
// FMA); selected at run time when the CPU and the OS support it.
#include <cstddef>

#include "piecewise_polynomials/legendre_kernels.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#pragma GCC push_options
#pragma GCC target("avx512f")
// GCC 12's AVX-512 intrinsics fill their pass-through operand with a
// deliberately uninitialised "undefined" vector, which -Wuninitialized
// reports once inlined. The lanes in question are never selected.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include "piecewise_polynomials/legendre_kernels_simd.hpp"

namespace pwpoly::kernels {
namespace {

struct Avx512 {
    using reg = __m512d;
    static constexpr std::size_t lanes = 8;
    static reg set1(double x) { return _mm512_set1_pd(x); }
    static reg loadu(const double* p) { return _mm512_loadu_pd(p); }
    static void storeu(double* p, reg x) { _mm512_storeu_pd(p, x); }
    static void storea(double* p, reg x) { _mm512_store_pd(p, x); }
    static reg add(reg a, reg b) { return _mm512_add_pd(a, b); }
    static reg sub(reg a, reg b) { return _mm512_sub_pd(a, b); }
    static reg mul(reg a, reg b) { return _mm512_mul_pd(a, b); }
    static reg div(reg a, reg b) { return _mm512_div_pd(a, b); }
    static reg min(reg a, reg b) { return _mm512_min_pd(a, b); }
    static reg max(reg a, reg b) { return _mm512_max_pd(a, b); }
    static reg floor(reg x) { return _mm512_roundscale_pd(x, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC); }
    static reg positive_or_zero(reg x) {
        return _mm512_maskz_mov_pd(_mm512_cmp_pd_mask(x, _mm512_setzero_pd(), _CMP_GT_OQ), x);
    }
    static reg gather(const double* const* rows, std::size_t off) {
        return _mm512_set_pd(rows[7][off], rows[6][off], rows[5][off], rows[4][off], rows[3][off], rows[2][off],
                             rows[1][off], rows[0][off]);
    }
};

#if defined(__x86_64__)
constexpr int avx512_vectors = 4;
#else
constexpr int avx512_vectors = 2;
#endif
void avx512_values(const KernelArgs& a, const double* in, double* out, std::size_t n) {
    evaluate_span<Avx512, avx512_vectors, false>(a, in, out, n);
}
void avx512_derivatives(const KernelArgs& a, const double* in, double* out, std::size_t n) {
    evaluate_span<Avx512, avx512_vectors, true>(a, in, out, n);
}

}  // namespace
}  // namespace pwpoly::kernels
#pragma GCC diagnostic pop
#pragma GCC pop_options

namespace pwpoly::kernels {
namespace {
constexpr KernelSet avx512_set{"avx512f", 8, &avx512_values, &avx512_derivatives};
}
const KernelSet* avx512_kernels() { return &avx512_set; }
}  // namespace pwpoly::kernels

#else

namespace pwpoly::kernels {
const KernelSet* avx512_kernels() { return nullptr; }
}

#endif
