// Integrals over a time mesh rounded once from their exact values: the
// widths of a mesh as given, running integrals of the P_0 coefficients of
// m components (the integral of an expansion over [b_0, b_j]), and sums of a
// few doubles.
//
// Each result is the nearest double to an exact value (ties to even), found
// in two steps. A fast evaluation keeps the value as an unevaluated sum of
// two doubles with a rigorous bound on its error; when every real number
// within that bound rounds to the same double, that double is the result.
// Otherwise (a result near the midpoint of two doubles, cancellation beyond
// what the fast sum resolves, magnitudes below 2^-900 or above 2^1000, or
// an intermediate overflow) the exact value is formed with a long
// accumulator (arithmetic/exact_sum.hpp) and rounded by big-integer
// division. The fast evaluation:
//   * a sum of terms x_1, ..., x_N: s = s + x by TwoSum (Knuth) from
//     s = e = 0, the exact error q of each addition added to e, and
//     b = max(b, |e|) after each addition to e. Then s + e equals the exact
//     sum within u * N * b (u = 2^-53): every addition to e errs by at most
//     u times the magnitude of its rounded result. (nearest_sum, for a few
//     terms, sums the magnitudes instead of taking their maximum.)
//   * a term h_j * c with an exact width h_j = hh + hl (hh = fl(h_j)):
//     hh * c = p + pe exactly (Dekker's product, splitting the factors),
//     p goes through TwoSum and ((q + pe) + fl(hl * c)) into e, b is the
//     largest magnitude of all four rounded results, and the bound
//     u * 4N * b.
//   * a uniform mesh scales the sum S of the c's by W = (t1 - t0) / n in
//     double-double (relative error below 6 u^2, see uniform_width below)
//     with a double-double product (below 10 u^2); the bound is then
//     2^-99 |V| + 2^-52 |W| N b for the result V, twice the proven one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "arithmetic/double_double.hpp"
#include "arithmetic/exact_sum.hpp"
#include "piecewise_polynomials/basis/time_mesh.hpp"

namespace pwpoly {

// (t1 - t0) / n_t of a uniform mesh in double-double, with a relative error
// below 6 u^2 (u = 2^-53); NaN when |t1 - t0| / n_t exceeds 2^996 (Dekker's
// product splits it).
dd::DD uniform_width(const TimeMesh& mesh);
dd::DD uniform_width(double t0, double t1, std::size_t n_t);

// The nearest double to the width of interval j as given: fl(b_(j+1) - b_j)
// for a breakpoint mesh, the nearest double to (t1 - t0) / n for a uniform
// one (for t0 = 0 that is T / n, one IEEE division).
double rounded_width(const TimeMesh& mesh, std::size_t j);

// The nearest double to x_0 + ... + x_(count-1) for finite terms; +0.0 when
// the exact sum is zero.
double nearest_sum(const double* x, std::size_t count);

// out[k] = the nearest double to first[k] - (rest[k] + rest[stride + k] +
// ... + rest[(rows - 1) * stride + k]) for k < m, computed as nearest_sum
// does, the components side by side; where a term is not finite, out[k] is
// ((first[k] - rest[k]) - rest[stride + k]) - ... in IEEE arithmetic.
// `out` may be `first`.
class NearestDifferences {
public:
    void compute(std::size_t m, const double* first, const double* rest, std::size_t stride, std::size_t rows,
                 double* out);

private:
    std::vector<double> s_, e_, b_, inexact_, terms_;
};

// Running integrals of m components over a mesh: after add_next() has been
// called j + 1 times, rounded(k) is the nearest double to the exact
// integral of component k over [b_0, b_(j+1)], the sum over l <= j of
// h_l * c[0, l, k] (widths as given), +0.0 when it is exactly zero. The
// coefficients are read from `coefficients` in the (degree + 1, n_t, m)
// layout of expansion_calculus.hpp (row l of P_0 at coefficients + l * m).
//
// Non-finite coefficients: when some c[0, l, k] with l <= j is not finite,
// rounded(k) is NaN if one of them is NaN or both infinities occur, and
// that infinity otherwise (the finite terms do not matter), as for an IEEE
// sum in any order. Overflow only where the exact integral overflows.
class PrefixIntegrals {
public:
    PrefixIntegrals(const TimeMesh& mesh, std::size_t m, const double* coefficients);
    ~PrefixIntegrals();
    PrefixIntegrals(const PrefixIntegrals&) = delete;
    PrefixIntegrals& operator=(const PrefixIntegrals&) = delete;

    // Takes in the next interval (j = the number of calls before).
    void add_next();
    // Takes in all the intervals not taken in yet (looks for an
    // interruption on the way).
    void add_all();
    double rounded(std::size_t k);

private:
    struct Exact;

    void add_uniform(const double* row, std::size_t k0, std::size_t k1);
    void add_breakpoint(const double* row, std::size_t j);
    bool fast(std::size_t k, double& out) const;
    Exact& exact(std::size_t k);
    void add_exact(Exact& x, std::size_t j, double c) const;

    const TimeMesh& mesh_;
    std::size_t m_;
    const double* coefficients_;
    std::size_t added_ = 0;
    bool uniform_;
    dd::DD width_;                   // uniform meshes: W = (t1 - t0) / n
    exact::ExactSum span_;           // uniform meshes: t1 - t0 exactly
    std::vector<double> s_, e_, b_;  // per component
    std::vector<double> a_;          // breakpoint meshes: sum of |c|, zero while every term was
    std::vector<std::unique_ptr<Exact>> exact_;
    std::vector<std::size_t> exact_components_;
};

}  // namespace pwpoly
