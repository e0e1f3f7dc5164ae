// The Legendre time operators: mass, derivative, endpoint and upwind
// matrices (time_operators.hpp), written row by row.
#include <cstdint>

#include "arithmetic/correct_rounding.hpp"
#include "common/interruption.hpp"
#include "piecewise_polynomials/operators/time_operator_fills.hpp"

namespace pwpoly::time_operator_fills {

template <class Index>
void legendre_mass(CsrRowWriter<Index>& out, std::size_t degree, const TimeMesh& mesh) {
    const std::size_t n_t = mesh.n_t();
    InterruptionPacer pacer;
    for (std::size_t i = 0; i <= degree; ++i) {
        const double odd = static_cast<double>(2 * i + 1);
        if (mesh.is_uniform()) {
            const double value = mesh.uniform_width() / odd;
            paced_for(pacer, 0, n_t, 4, [&](std::size_t j) {
                out.push(j + n_t * i, value);
                out.end_row();
            });
            continue;
        }
        // The nearest double to h_j / (2i + 1); when the exact width is a
        // double (nearly always) that is the one IEEE division, as
        // nearest_quotient itself finds first.
        paced_for(pacer, 0, n_t, 40, [&](std::size_t j) {
            const dd::DD h = mesh.exact_width(j);
            out.push(j + n_t * i, h.lo == 0.0 ? h.hi / odd : nearest_quotient(h, odd));
            out.end_row();
        });
    }
}

template <class Index>
void legendre_derivative(CsrRowWriter<Index>& out, std::size_t degree, std::size_t n_t) {
    InterruptionPacer pacer;
    for (std::size_t i = 0; i <= degree; ++i)
        paced_for(pacer, 0, n_t, 4 + 2 * (degree - i), [&](std::size_t j) {
            for (std::size_t k = i + 1; k <= degree; k += 2)
                out.push(j + n_t * k, 2.0);
            out.end_row();
        });
}

template <class Index>
void endpoint(CsrRowWriter<Index>& out, std::size_t degree, std::size_t n_t, bool at_end) {
    InterruptionPacer pacer;
    paced_for(pacer, 0, n_t, 2 * (degree + 1), [&](std::size_t j) {
        double sign = 1.0;  // (-1)^i = P_i(-1); P_i(1) = 1
        for (std::size_t i = 0; i <= degree; ++i) {
            out.push(j + n_t * i, at_end ? 1.0 : sign);
            sign = -sign;
        }
        out.end_row();
    });
}

template <class Index>
void upwind(CsrRowWriter<Index>& out, std::size_t degree, std::size_t n_t, bool periodic) {
    InterruptionPacer pacer;
    // Row j + n_t a: the own block holds (-1)^(a + b) at j + n_t b, the
    // upwind neighbour's -(-1)^a at (j - 1) + n_t b.
    double sa = 1.0;  // (-1)^a
    for (std::size_t a = 0; a <= degree; ++a) {
        // Row of interval 0: no neighbour, or (periodic) the last interval,
        // which is interval 0 itself when there is only one.
        double sab = sa;  // (-1)^(a + b)
        for (std::size_t b = 0; b <= degree; ++b) {
            const std::size_t own = n_t * b;
            if (!periodic)
                out.push(own, sab);
            else if (n_t == 1)
                out.push(own, sab + (-sa));
            else {
                out.push(own, sab);
                out.push((n_t - 1) + own, -sa);
            }
            sab = -sab;
        }
        out.end_row();
        paced_for(pacer, 1, n_t, 8 * (degree + 1), [&](std::size_t j) {
            double sjb = sa;  // (-1)^(a + b)
            for (std::size_t b = 0; b <= degree; ++b) {
                const std::size_t own = j + n_t * b;
                out.push(own - 1, -sa);
                out.push(own, sjb);
                sjb = -sjb;
            }
            out.end_row();
        });
        sa = -sa;
    }
}

#define PWPOLY_LEGENDRE_FILLS_FOR(Index)                                                                               \
    template void legendre_mass<Index>(CsrRowWriter<Index>&, std::size_t, const TimeMesh&);                            \
    template void legendre_derivative<Index>(CsrRowWriter<Index>&, std::size_t, std::size_t);                          \
    template void endpoint<Index>(CsrRowWriter<Index>&, std::size_t, std::size_t, bool);                               \
    template void upwind<Index>(CsrRowWriter<Index>&, std::size_t, std::size_t, bool);

PWPOLY_LEGENDRE_FILLS_FOR(std::int32_t)
PWPOLY_LEGENDRE_FILLS_FOR(std::int64_t)
#undef PWPOLY_LEGENDRE_FILLS_FOR

}  // namespace pwpoly::time_operator_fills
