// Many-point kernels: evaluate a piecewise Legendre expansion (or its time
// derivative) at a run of times, result i being bit for bit what
// LegendreBasis::evaluate (evaluate_derivative) gives for time i.
//
// Floating-point policy. The SIMD kernels evaluate several times at once,
// one per vector lane, and each lane performs exactly the scalar sequence
// of IEEE operations in the scalar order: the interval location (division,
// floor, clamping of the quotient, a = j * w, b = w + a, ...), the carried
// three-term recurrence and the sum that starts at -0.0. Vector add, sub,
// mul and div round each lane exactly as the scalar instructions do, and no
// fused multiply-add is ever used (the build has -ffp-contract=off and the
// kernels use no FMA intrinsics), so every lane's bits equal the scalar
// result. Min/max operations are used only in the operand order whose IEEE
// semantics match the scalar comparisons, NaN included.
//
// The kernels do no matrix checks. They require what make_kernel_args
// establishes: a matrix with at least n_t rows and degree + 1 columns
// (so no located interval can fail the checks), and n_t - 1 exactly
// representable as a double.
//
// `times` and `out` may be the same array (in-place evaluation): every
// block reads all its times before it writes any result.
//
// Variants: SSE2 (the x86 baseline, 2 lanes), SSE4.1 (hardware floor),
// AVX2 (4 lanes) and AVX-512F (8 lanes), chosen at run time from what the
// CPU supports; the scalar loop elsewhere and as the reference.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "piecewise_polynomials/legendre_basis.hpp"

namespace pwpoly::kernels {

struct KernelArgs {
    const double* coeffs;  // C(0, 0); C(j, i) = coeffs[j + stride * i]
    std::size_t stride;    // the matrix's row count
    std::size_t degree;
    std::size_t n_t;
    double T;
    double w;              // T / n_t, as every single-point call computes it
    double last_interval;  // n_t - 1, exact
};

// The arguments for `basis` and `c`, or nullopt when the kernels do not
// apply (n_t = 0, a matrix some time could fail the checks on, or n_t
// beyond 2^53); the caller then evaluates point by point with checks.
std::optional<KernelArgs> make_kernel_args(const LegendreBasis& basis, ColMatrixView c);

using KernelFn = void (*)(const KernelArgs& args, const double* times, double* out, std::size_t n);

struct KernelSet {
    const char* name;
    std::size_t lanes;
    KernelFn values;
    KernelFn derivatives;
};

// The carried scalar loop.
const KernelSet& scalar_kernels();

// The widest variant this CPU runs; chosen once.
const KernelSet& best_kernels();

// Every variant this CPU can run, widest first, the scalar loop last (for
// tests and benchmarks).
std::span<const KernelSet* const> supported_kernels();

// The per-instruction-set variants; nullptr where not compiled in. Only call
// a variant's functions when the CPU supports its instruction set.
const KernelSet* sse2_kernels();
const KernelSet* sse41_kernels();
const KernelSet* avx2_kernels();
const KernelSet* avx512_kernels();

// The SSE2 floor emulation (exact for every double), exposed for tests;
// false where it is not compiled in.
bool sse2_floor(const double* in, double* out, std::size_t n);

}  // namespace pwpoly::kernels
