// The L2 projection between two meshes, piece by piece: the integrals of
// the products of a coarse and a fine Legendre polynomial over one piece of
// the common refinement (an interval that lies in one fine interval f and
// one coarse interval c).
//
// A piece is given by where its Gauss nodes sit on the two intervals: node
// g_q of the (degree + 1)-point Gauss-Legendre rule on [-1, 1] has the fine
// coordinate eta_q = (fine_offset + width g_q) / fine_scale and the coarse
// coordinate xi_q = (coarse_offset + width g_q) / coarse_scale, so that
// width / fine_scale is the piece's share of half the fine interval. Then
//   entry(k, i) = (2k + 1) / 2 * integral over the piece of P_i(xi) P_k(eta) deta
//               = ((k + 0.5) * (width / fine_scale)) * S_ik,
//   S_ik = sum over q ascending of (w_q * P_i(xi_q)) * P_k(eta_q), from 0.0,
// every operation rounded on its own in the order written; P by the
// recurrence of legendre_basis.hpp. The rule is exact for the integrand, so
// the entries are the exact integrals up to the rounding of the
// coordinates and of these operations.
#pragma once

#include <array>
#include <cstddef>
#include <type_traits>
#include <vector>

#include "common/interruption.hpp"
#include "piecewise_polynomials/calculus/gauss_legendre.hpp"

namespace pwpoly {

struct PieceCoordinates {
    double fine_offset, coarse_offset, width, fine_scale, coarse_scale;
};

// The number of Legendre degrees n = degree + 1 of the transfers' loops: a
// compile-time constant for small degrees (N = n, loops the compiler
// unrolls), else N = 0 and n is taken at run time. Either way the same
// operations run in the same order.
template <std::size_t N>
struct DegreeCount {
    explicit DegreeCount(std::size_t) {}
    static constexpr std::size_t get() { return N; }
};

template <>
struct DegreeCount<0> {
    explicit DegreeCount(std::size_t n) : n(n) {}
    std::size_t get() const { return n; }
    std::size_t n;
};

// Calls fill(std::integral_constant<std::size_t, N>) with N = n for the
// small n that get unrolled loops, else with N = 0.
template <class Fill>
void with_degree_count(std::size_t n, Fill&& fill) {
    switch (n) {
    case 1:
        return fill(std::integral_constant<std::size_t, 1>{});
    case 2:
        return fill(std::integral_constant<std::size_t, 2>{});
    case 3:
        return fill(std::integral_constant<std::size_t, 3>{});
    case 4:
        return fill(std::integral_constant<std::size_t, 4>{});
    case 5:
        return fill(std::integral_constant<std::size_t, 5>{});
    case 6:
        return fill(std::integral_constant<std::size_t, 6>{});
    default:
        return fill(std::integral_constant<std::size_t, 0>{});
    }
}

// Scratch arrays of n * n doubles: on the stack for a fixed n.
template <std::size_t N>
struct SquareScratch {
    explicit SquareScratch(std::size_t) {}
    double* data() { return items.data(); }
    std::array<double, N * N> items;
};

template <>
struct SquareScratch<0> {
    explicit SquareScratch(std::size_t n) : items(n * n) {}
    double* data() { return items.data(); }
    std::vector<double> items;
};

// The entries of one piece at a time, entry[k * n + i] for the fine degree
// k and the coarse degree i. A piece costs some 2 n^3 operations: at a
// run-time degree, which may be in the thousands, it reports its work to
// the interruption pacer from inside, row by row.
template <std::size_t N>
class PieceIntegrals {
public:
    explicit PieceIntegrals(std::size_t degree);

    // Valid until the next call.
    const double* compute(const PieceCoordinates& piece, InterruptionPacer& pacer);

private:
    DegreeCount<N> n_;
    QuadratureRule rule_;
    SquareScratch<N> p_eta_, wp_xi_, entry_;
};

extern template class PieceIntegrals<0>;
extern template class PieceIntegrals<1>;
extern template class PieceIntegrals<2>;
extern template class PieceIntegrals<3>;
extern template class PieceIntegrals<4>;
extern template class PieceIntegrals<5>;
extern template class PieceIntegrals<6>;

}  // namespace pwpoly
