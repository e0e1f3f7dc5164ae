// The re-expansion of Legendre polynomials on a sub-interval: the exact
// coefficients of the nested Legendre prolongation.
//
// A fine interval inside a coarse one has the coarse coordinate
// xi = alpha eta + beta in terms of its own coordinate eta, and
//   P_i(alpha eta + beta) = sum_{k <= i} R_ik P_k(eta),
//   R_ik = (2k + 1) / 2 * integral_{-1}^{1} P_i(alpha eta + beta) P_k(eta) deta.
// For the coarse interval [c0, c1] and the fine interval [f0, f1] inside it,
// alpha = h_f / h_c and beta = ((f0 + f1) - (c0 + c1)) / h_c with the exact
// widths h_f = f1 - f0 and h_c = c1 - c0: rationals, since every double is
// one. Every coefficient computed here is the double nearest to the exact
// R_ik (+0.0 when it is zero): computed in double-double with an error bound,
// and in exact integer arithmetic where that bound cannot decide the rounding
// (see legendre_reexpansion.cpp). So the coefficients depend on alpha and
// beta alone, not on how they were computed.
//
// Coefficients of one fine interval are stored as a triangle: R_ik at
// triangle_index(i, k), k <= i <= degree.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "arithmetic/double_double.hpp"
#include "common/interruption.hpp"

namespace pwpoly {

inline std::size_t triangle_index(std::size_t i, std::size_t k) { return i * (i + 1) / 2 + k; }

// (degree + 1)(degree + 2) / 2, the size of a triangle ("capacity overflow"
// when it cannot be represented).
std::size_t triangle_size(std::size_t degree);

// Uniform meshes of one span, m fine intervals in each coarse one: sub-interval
// s (0 <= s < m) of a coarse interval has alpha = 1 / m and
// beta = (2s + 1 - m) / m. The triangles of s = 0, ..., m - 1, that of s at
// s * triangle_size(degree). 1 <= m <= 2^53.
std::vector<double> subinterval_coefficients(std::size_t degree, std::size_t m);

// Intervals of any meshes, one at a time.
class MeshReexpansion {
public:
    explicit MeshReexpansion(std::size_t degree);
    ~MeshReexpansion();
    MeshReexpansion(const MeshReexpansion&) = delete;
    MeshReexpansion& operator=(const MeshReexpansion&) = delete;

    // The triangle of the fine interval [f0, f1] inside the coarse interval
    // [c0, c1] (finite doubles, c0 <= f0 < f1 <= c1, magnitudes at most
    // 2^1000), valid until the next call. Reports its work to `pacer`.
    const double* coefficients(double c0, double c1, double f0, double f1, InterruptionPacer& pacer);

    // width_ratio(c0, c1, f0, f1) of the last call, when that call computed
    // it (null otherwise): the same double-double, from the same operations.
    const dd::DD* last_width_ratio() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// h_f / h_c for the fine interval [f0, f1] and the coarse interval [c0, c1]
// (finite, f0 < f1, c0 < c1, magnitudes at most 2^1000) in double-double,
// within a few units of 2^-106 relative of the exact ratio of the exact
// widths: alpha of the re-expansion, computed as it computes it.
dd::DD width_ratio(double c0, double c1, double f0, double f1);

// R_ik of sub-interval s of m (k <= i, s < m, 1 <= m <= 2^53), and R_ik of
// the fine interval [f0, f1] inside [c0, c1], each computed in exact integer
// arithmetic alone and rounded once: the values the functions above give.
double legendre_reexpansion_coefficient(std::size_t i, std::size_t k, std::size_t s, std::size_t m);
double legendre_reexpansion_coefficient(std::size_t i, std::size_t k, double c0, double c1, double f0, double f1);

}  // namespace pwpoly
