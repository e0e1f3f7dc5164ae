#include "piecewise_polynomials/operators/legendre_projection.hpp"

#include "piecewise_polynomials/basis/legendre_basis.hpp"

namespace pwpoly {

template <std::size_t N>
PieceIntegrals<N>::PieceIntegrals(std::size_t degree)
    : n_(degree + 1), rule_(gauss_legendre_rule(degree + 1)), p_eta_(degree + 1), wp_xi_(degree + 1),
      entry_(degree + 1) {}

template <std::size_t N>
const double* PieceIntegrals<N>::compute(const PieceCoordinates& piece, InterruptionPacer& pacer) {
    const std::size_t n = n_.get(), degree = n - 1;
    const double hd = piece.width;
    double* const p_eta = p_eta_.data();  // [q * n + degree]
    double* const wp_xi = wp_xi_.data();  // [q * n + degree]
    double* const entry = entry_.data();  // [k * n + i]
    const double* const nodes = rule_.nodes.data();
    const double* const weights = rule_.weights.data();
    for (std::size_t q = 0; q < n; ++q) {
        const double g = nodes[q];
        const double eta = (piece.fine_offset + hd * g) / piece.fine_scale;
        const double xi = (piece.coarse_offset + hd * g) / piece.coarse_scale;
        const double wq = weights[q];
        double* pe = p_eta + q * n;
        double* px = wp_xi + q * n;
        pe[0] = 1.0;
        px[0] = 1.0;
        if (degree >= 1) {
            pe[1] = eta;
            px[1] = xi;
        }
        double kd = 1.0;
        for (std::size_t i = 2; i <= degree; ++i) {
            pe[i] = legendre_step(pe[i - 2], pe[i - 1], kd, eta);
            px[i] = legendre_step(px[i - 2], px[i - 1], kd, xi);
            kd = kd + 1.0;
        }
        for (std::size_t i = 0; i <= degree; ++i)
            px[i] = wq * px[i];
        if constexpr (N == 0)
            pacer.done(8 * n);
    }
    // S_ik for all i at once, each summed over ascending q from 0.0.
    const double scale = hd / piece.fine_scale;
    for (std::size_t k = 0; k <= degree; ++k) {
        const double factor = (static_cast<double>(k) + 0.5) * scale;
        double* row = entry + k * n;
        for (std::size_t i = 0; i <= degree; ++i)
            row[i] = 0.0;
        for (std::size_t q = 0; q < n; ++q) {
            const double pk = p_eta[q * n + k];
            const double* px = wp_xi + q * n;
            for (std::size_t i = 0; i <= degree; ++i)
                row[i] = row[i] + px[i] * pk;
        }
        for (std::size_t i = 0; i <= degree; ++i)
            row[i] = factor * row[i];
        if constexpr (N == 0)
            pacer.done(2 * n * n + n);
    }
    if constexpr (N != 0)
        pacer.done(2 * N * N * N + 8 * N * N);
    return entry;
}

template class PieceIntegrals<0>;
template class PieceIntegrals<1>;
template class PieceIntegrals<2>;
template class PieceIntegrals<3>;
template class PieceIntegrals<4>;
template class PieceIntegrals<5>;
template class PieceIntegrals<6>;

}  // namespace pwpoly
