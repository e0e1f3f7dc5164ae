// The re-expansion coefficients R_ik in exact integer arithmetic, rounded
// once: the reference the faster ways of legendre_reexpansion.cpp fall back
// on where they cannot decide the rounding.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "arithmetic/exact_arithmetic.hpp"

namespace pwpoly {

// R_ik in exact integers, for xi = (F eta + B) / C with integers F, B and
// C > 0:
//   R_ik = (2k + 1) / 2 * integral_{-1}^{1} P_i((F eta + B) / C) P_k(eta) deta.
// A_i(eta) = (2C)^i P_i((F eta + B) / C) = sum_n c_in C^(i - n) (F eta + B)^n
// and Q_k = 2^k P_k have integer coefficients (c_in those of 2^i P_i), and
// integral_{-1}^{1} eta^e = 2 h_e / G for even e (0 for odd e) with
// G = (2 degree + 1)! and h_e = G / (e + 1), so
//   R_ik = (2k + 1) sum_{e even} (A_i Q_k)_e h_e / (G 2^(i + k) C^i).
class ExactReexpansion {
public:
    explicit ExactReexpansion(std::size_t degree);

    // The double nearest to R_ik (k <= i <= degree).
    double value(std::size_t i, std::size_t k, const exact::BigInt& f, const exact::BigInt& b,
                 const exact::BigInt& c) const;

private:
    std::vector<exact::BigPolynomial> scaled_legendre_;
    std::vector<exact::BigInt> h_;
    exact::BigInt factorial_;
};

// The integers F, B, C of the fine interval [f0, f1] inside [c0, c1]:
// h_f, (f0 - c0) + (f1 - c1) and h_c, exact as dyadic rationals and brought
// to one exponent (R_ik does not change when all three are scaled alike).
std::array<exact::BigInt, 3> exact_piece(double c0, double c1, double f0, double f1);

}  // namespace pwpoly
