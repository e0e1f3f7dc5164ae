// The x86 SIMD variants: SSE2 (the x86 baseline, 2 lanes, floor emulated),
// SSE4.1 (2 lanes, hardware floor), AVX2 (4 lanes) and AVX-512F (8 lanes).
//
// Each is the one template of legendre_kernels_simd.hpp, included here once
// per variant, in a `#pragma GCC target` region of its own (never FMA) and a
// namespace of its own; legendre_kernels.cpp runs only the variants the CPU
// supports.
#include <cstddef>
#include <span>

#include "arithmetic/two_lanes.hpp"
#include "piecewise_polynomials/evaluation/legendre_kernels.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

// GCC 12's AVX-512 intrinsics fill their pass-through operand with a
// deliberately uninitialised "undefined" vector, which -Wuninitialized
// reports once inlined. The lanes in question are never selected.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// PWPOLY_KERNEL_VARIANT: namespace, GCC target, lanes per register,
// hardware floor; PWPOLY_VARIANT(field) picks one of them.
#define PWPOLY_VARIANT_NAMESPACE(ns, target, lanes, hardware_floor) ns
#define PWPOLY_VARIANT_TARGET(ns, target, lanes, hardware_floor) target
#define PWPOLY_VARIANT_REGISTER(ns, target, lanes, hardware_floor) Lanes<lanes, hardware_floor>
#define PWPOLY_APPLY(macro, ...) macro(__VA_ARGS__)
#define PWPOLY_VARIANT(field) PWPOLY_APPLY(PWPOLY_VARIANT_##field, PWPOLY_KERNEL_VARIANT)
#define PWPOLY_PRAGMA_STRING(text) _Pragma(#text)
#define PWPOLY_PRAGMA(text) PWPOLY_PRAGMA_STRING(text)
// In Lanes<N, ...>: the intrinsic of N's width applied to the arguments.
#define PWPOLY_BY_WIDTH(f2, f4, f8, ...)                                                                               \
    if constexpr (N == 2)                                                                                              \
        return f2(__VA_ARGS__);                                                                                        \
    else if constexpr (N == 4)                                                                                         \
        return f4(__VA_ARGS__);                                                                                        \
    else                                                                                                               \
        return f8(__VA_ARGS__)

#define PWPOLY_KERNEL_VARIANT sse2, "sse2", 2, false
#include "piecewise_polynomials/evaluation/legendre_kernels_simd.hpp"
#define PWPOLY_KERNEL_VARIANT sse41, "sse4.1", 2, true
#include "piecewise_polynomials/evaluation/legendre_kernels_simd.hpp"
#define PWPOLY_KERNEL_VARIANT avx2, "avx2", 4, true
#include "piecewise_polynomials/evaluation/legendre_kernels_simd.hpp"
#define PWPOLY_KERNEL_VARIANT avx512, "avx512f", 8, true
#include "piecewise_polynomials/evaluation/legendre_kernels_simd.hpp"

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
        out[i] = sse2::Register::floor(sse2::Register::set1(in[i]))[0];
    return true;
}

}  // namespace pwpoly::kernels

#else

namespace pwpoly::kernels {
std::span<const SimdVariant> simd_variants() { return {}; }
bool sse2_floor(const double*, double*, std::size_t) { return false; }
}  // namespace pwpoly::kernels

#endif
