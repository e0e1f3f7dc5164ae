// The x86 SIMD variants: SSE2 (the x86 baseline, 2 lanes, floor emulated),
// SSE4.1 (2 lanes, hardware floor), AVX2 (4 lanes) and AVX-512F (8 lanes).
//
// Each is the one template of legendre_kernels_simd.hpp, included here
// inside a `#pragma GCC target` region of its own (never FMA) and a
// namespace of its own; legendre_kernels.cpp runs only the variants the CPU
// supports.
#include <cstddef>
#include <span>

#include "piecewise_polynomials/legendre_kernels.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

// GCC 12's AVX-512 intrinsics fill their pass-through operand with a
// deliberately uninitialised "undefined" vector, which -Wuninitialized
// reports once inlined. The lanes in question are never selected.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#pragma GCC push_options
#pragma GCC target("sse2")
namespace pwpoly::kernels::sse2 {
#include "piecewise_polynomials/legendre_kernels_simd.hpp"
using Floor = Lanes<2, false>;
constexpr KernelSet set = kernel_set<Floor>("sse2");
}  // namespace pwpoly::kernels::sse2
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("sse4.1")
namespace pwpoly::kernels::sse41 {
#include "piecewise_polynomials/legendre_kernels_simd.hpp"
constexpr KernelSet set = kernel_set<Lanes<2, true>>("sse4.1");
}  // namespace pwpoly::kernels::sse41
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx2")
namespace pwpoly::kernels::avx2 {
#include "piecewise_polynomials/legendre_kernels_simd.hpp"
constexpr KernelSet set = kernel_set<Lanes<4, true>>("avx2");
}  // namespace pwpoly::kernels::avx2
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx512f")
namespace pwpoly::kernels::avx512 {
#include "piecewise_polynomials/legendre_kernels_simd.hpp"
constexpr KernelSet set = kernel_set<Lanes<8, true>>("avx512f");
}  // namespace pwpoly::kernels::avx512
#pragma GCC pop_options

#pragma GCC diagnostic pop

namespace pwpoly::kernels {

std::span<const SimdVariant> simd_variants() {
    // Widest first. SSE2 is the baseline (always present on x86-64; the
    // 32-bit build uses -msse2).
    static constexpr SimdVariant variants[] = {
        {&avx512::set, [] { return __builtin_cpu_supports("avx512f") != 0; }},
        {&avx2::set, [] { return __builtin_cpu_supports("avx2") != 0; }},
        {&sse41::set, [] { return __builtin_cpu_supports("sse4.1") != 0; }},
        {&sse2::set, [] { return true; }},
    };
    return variants;
}

bool sse2_floor(const double* in, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        out[i] = sse2::Floor::floor(sse2::Floor::set1(in[i]))[0];
    return true;
}

}  // namespace pwpoly::kernels

#else

namespace pwpoly::kernels {
std::span<const SimdVariant> simd_variants() { return {}; }
bool sse2_floor(const double*, double*, std::size_t) { return false; }
}  // namespace pwpoly::kernels

#endif
