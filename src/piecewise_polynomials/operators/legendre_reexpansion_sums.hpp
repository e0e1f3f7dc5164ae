// The re-expansion coefficient R_ik of one fine interval summed exactly:
// the middle way between the double-double recurrence and the big integers
// (legendre_reexpansion.cpp), for the entries that cancel.
//
// R_ik is a polynomial in alpha and beta,
//   R_ik = sum_{a + b <= i} r_ab alpha^a beta^b,
//   r_ab = p_(i, a + b) C(a + b, a) (2k + 1) / 2 integral_{-1}^{1} P_k(eta) eta^a deta,
// with p_in the coefficient of x^n in P_i. With alpha = F / C and
// beta = B / C for the exact differences F = h_f, B = before + after and
// C = h_c of the piece (double-double values, B the sum of two of them),
//   R_ik = N_ik / (D_ik C^i),  N_ik = sum n_ab F^a B^b C^(i - a - b),
// with integers n_ab = D_ik r_ab and D_ik the least common denominator of
// the r_ab. Every product of doubles splits into two doubles without error,
// so N_ik is a sum of doubles, accumulated exactly into a nonoverlapping
// expansion; its double-double value and C^i carry relative errors of a few
// 2^-104 of N_ik and C^i themselves, not of the size of the terms that
// cancel. The quotient fixes the double nearest to R_ik unless it is too
// close to a rounding boundary (or N_ik is zero: then R_ik is +0.0).
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "arithmetic/double_double.hpp"

namespace pwpoly {

class ReexpansionSums {
public:
    // Degrees up to 6, whose integers n_ab and D_ik are exact doubles; above
    // that available() is false.
    explicit ReexpansionSums(std::size_t degree);

    bool available() const { return available_; }

    // The piece: F, B (before and after) and C as exact double-double
    // values, each part scaled by the power of two `scale` (R_ik does not
    // change). False when a nonzero part scales outside [2^-100, 2^10],
    // where products might leave the normal range.
    bool set_piece(dd::DD f, dd::DD before, dd::DD after, dd::DD c, double scale);

    // The double nearest to R_ik for the piece set last, when the sum
    // decides it (true); false when it does not.
    bool value(std::size_t i, std::size_t k, double& r) const;

private:
    struct Monomial {
        double n;  // n_ab, an integer
        unsigned a, b;
    };

    bool available_ = false;
    std::vector<std::vector<Monomial>> monomials_;  // [triangle_index(i, k)]
    std::vector<double> denominator_;               // D_ik
    std::array<double, 2> f_{}, c_{};
    std::array<double, 4> b_{};
    std::size_t nf_ = 0, nb_ = 0, nc_ = 0;
    dd::DD c_dd_{};
};

}  // namespace pwpoly
