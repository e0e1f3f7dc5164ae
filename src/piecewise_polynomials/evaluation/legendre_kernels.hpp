// Many-point kernels: evaluate a piecewise Legendre expansion (or its time
// derivative) at a run of times, result i being bit for bit what
// LegendreBasis::evaluate (evaluate_derivative) gives for time i.
//
// Floating-point policy. The SIMD kernels evaluate several times at once,
// one per vector lane, and each lane performs exactly the scalar sequence
// of IEEE operations in the scalar order: the interval location (division,
// floor, clamping of the quotient, a = j * w, b = w + a, ...), the carried
// three-term recurrence, the derivative factors and the sum that starts at
// -0.0. Vector add, sub, mul and div round each lane exactly as the scalar
// instructions do, and no fused multiply-add is ever used (the build has
// -ffp-contract=off and the kernels use no FMA intrinsics), so every lane's
// bits equal the scalar result. Lane selections (min, max, clamping) follow
// the scalar comparisons, NaN included.
//
// The kernels do no matrix checks. They require what make_kernel_args
// establishes: a mesh with intervals, a matrix with at least n_t rows and
// degree + 1 columns (so no located interval can fail the checks), and
// n_t - 1 exactly representable as a double.
//
// `times` and `out` may be the same array (in-place evaluation): every
// block reads all its times before it writes any result.
//
// Variants: the scalar loop everywhere, and on x86 SSE2, SSE4.1, AVX2 and
// AVX-512F (legendre_kernels_x86.cpp). All of them give the same bits, so
// which one runs is only a matter of speed: the first many-point call times
// every variant the CPU supports on a short fixed workload and keeps the
// fastest (the widest is not always the fastest: where 512-bit division
// runs at the 256-bit rate, AVX2 beats AVX-512).
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "piecewise_polynomials/basis/legendre_basis.hpp"

namespace pwpoly::kernels {

struct KernelArgs {
    const double* coeffs;  // C(0, 0); C(j, i) = coeffs[j + stride * i]
    std::size_t stride;    // the matrix's row count
    std::size_t degree;
    std::size_t n_t;
    double w;              // uniform meshes: (t1 - t0) / n_t, as every single-point call computes it
    double last_interval;  // n_t - 1, exact
    double t0;             // uniform meshes: the start, subtracted from every time first
    // Meshes of breakpoints: their index (then w and t0 are unused), whose
    // scalar locate every lane calls; null for uniform meshes.
    const BreakpointIndex* mesh;
    // A NaN time gives NaN (every result is multiplied by (xi - xi) + 1.0,
    // which is exactly 1 for every other time); otherwise a NaN time is
    // evaluated in interval 0 with xi = NaN like any other time, which
    // leaves the results of degree 0 (and derivatives of degree <= 1)
    // finite.
    bool nan_gives_nan;
};

// The arguments for `basis` and `c`, or nullopt when the kernels do not
// apply (a mesh without intervals, a matrix some time could fail the checks
// on, or n_t beyond 2^53); the caller then evaluates point by point with
// checks.
std::optional<KernelArgs> make_kernel_args(const LegendreBasis& basis, ColMatrixView c, bool nan_gives_nan = false);

using KernelFn = void (*)(const KernelArgs& args, const double* times, double* out, std::size_t n);

struct KernelSet {
    const char* name;
    std::size_t lanes;
    KernelFn values;
    KernelFn derivatives;
};

// The carried scalar loop.
const KernelSet& scalar_kernels();

// Every variant this CPU can run, widest first, the scalar loop last (for
// tests and benchmarks).
std::span<const KernelSet* const> supported_kernels();

// The variant the many-point operations use: the fastest in a timed
// calibration, made once per process on first use.
const KernelSet& best_kernels();

// The calibration behind best_kernels(): ns per point (values and
// derivatives together) of every supported variant, in the order of
// supported_kernels(), and the variant picked.
struct KernelChoice {
    const KernelSet* picked;
    std::vector<double> ns_per_point;
    std::string reason() const;
};
const KernelChoice& kernel_choice();

// The SIMD variants compiled in, widest first, each with its run-time test
// of the CPU; empty where none is compiled in. Only call a variant's
// functions when `supported()` says so.
struct SimdVariant {
    const KernelSet* set;
    bool (*supported)();
};
std::span<const SimdVariant> simd_variants();

// The SSE2 floor emulation (exact for every double), exposed for tests;
// false where it is not compiled in.
bool sse2_floor(const double* in, double* out, std::size_t n);

}  // namespace pwpoly::kernels
