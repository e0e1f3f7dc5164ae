#include "piecewise_polynomials/legendre_prolongation.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/internal_failure.hpp"
#include "common/interruption.hpp"
#include "piecewise_polynomials/double_double.hpp"
#include "piecewise_polynomials/exact_arithmetic.hpp"
#include "piecewise_polynomials/gauss_legendre.hpp"
#include "piecewise_polynomials/legendre_basis.hpp"
#include "piecewise_polynomials/time_operators.hpp"

namespace pwpoly {

namespace {

using dd::DD;
using dd::two_prod;
using exact::BigInt;
using exact::BigPolynomial;
using exact::require_positive;

constexpr std::uint64_t exact_double_limit = std::uint64_t{1} << 53;

// ---------------------------------------------------------------------------
// The re-expansion coefficients R_ik(s) of the nested case.
//
// With b = 2s + 1 - m the coarse coordinate is xi = (eta + b) / m. Scaled
// coefficients H_ik = m^i R_ik satisfy H_00 = 1, H_10 = b, H_11 = 1 and,
// from Bonnet's recurrence for P_(i+1)(xi) and
// eta P_k = ((k + 1) P_(k+1) + k P_(k-1)) / (2k + 1),
//   H_(i+1),k = ((2i + 1) (k / (2k - 1) H_i,(k-1) + (k + 1) / (2k + 3) H_i,(k+1)
//                          + b H_ik) - i m^2 H_(i-1),k) / (i + 1),
// terms outside 0 <= k <= i being zero. Every input (b, m^2, the small
// rationals) is exact or within 2^-104 of exact in double-double, so the
// error of the computed H_ik is at most about i 2^-100 times the same
// recurrence run on absolute values (Habs). R_ik = H_ik / m^i is then taken
// from the double-double result when every value within 2 E of it rounds to
// the same double, E = (i + 1) 2^-94 Habs / m^i (some 64 times the error
// estimate, which also covers the division by m^i); otherwise (exact zeros,
// cancellation, values too close to a rounding boundary, or out of the
// normal range) it is computed in exact integers and rounded once. Either
// way the entry is the double nearest to R_ik.

// 2^i P_i(x) = sum_j (-1)^j C(i, j) C(2i - 2j, i) x^(i - 2j): integer
// coefficients, lowest degree first, for i = 0, ..., degree.
std::vector<BigPolynomial> scaled_legendre_polynomials(std::size_t degree) {
    // Pascal's triangle up to row 2 degree.
    const std::size_t rows = 2 * degree + 1;
    std::vector<std::vector<BigInt>> binomial(rows);
    for (std::size_t r = 0; r < rows; ++r) {
        binomial[r].resize(r + 1);
        binomial[r][0] = binomial[r][r] = BigInt(1);
        for (std::size_t c = 1; c < r; ++c)
            binomial[r][c] = binomial[r - 1][c - 1] + binomial[r - 1][c];
    }
    std::vector<BigPolynomial> out(degree + 1);
    for (std::size_t i = 0; i <= degree; ++i) {
        out[i].resize(i + 1);
        for (std::size_t j = 0; 2 * j <= i; ++j) {
            const BigInt term = binomial[i][j] * binomial[2 * i - 2 * j][i];
            out[i][i - 2 * j] = j % 2 == 0 ? term : -term;
        }
    }
    return out;
}

// R_ik in exact integers:
//   R_ik = (2k + 1) / 2 * integral_{-1}^{1} P_i((eta + b) / m) P_k(eta) deta.
// A_i(eta) = (2m)^i P_i((eta + b) / m) = sum_n c_in m^(i - n) (eta + b)^n
// and Q_k = 2^k P_k have integer coefficients (c_in those of 2^i P_i), and
// integral_{-1}^{1} eta^c = 2 h_c / F for even c (0 for odd c) with
// F = (2 degree + 1)! and h_c = F / (c + 1), so
//   R_ik = (2k + 1) sum_{c even} (A_i Q_k)_c h_c / (F 2^(i + k) m^i).
class ExactReexpansion {
public:
    explicit ExactReexpansion(std::size_t degree) : scaled_legendre_(scaled_legendre_polynomials(degree)) {
        exact::MonomialIntegrals integrals = exact::monomial_integrals(2 * degree + 1);
        factorial_ = std::move(integrals.factorial);
        h_ = std::move(integrals.h);
    }

    double value(std::size_t i, std::size_t k, std::int64_t b, std::uint64_t m) const {
        const BigInt bb(b);
        const BigInt mm = BigInt::from_unsigned(m);
        const BigPolynomial& c = scaled_legendre_[i];
        // Horner in y = eta + b: A = (...(c_ii y + c_i,(i-1) m) y + ...) + c_i0 m^i.
        BigPolynomial a{c[i]};
        BigInt m_power(1);
        for (std::size_t n = i; n-- > 0;) {
            m_power = m_power * mm;
            BigPolynomial next(a.size() + 1);
            for (std::size_t l = 0; l < a.size(); ++l) {
                next[l + 1] = next[l + 1] + a[l];
                next[l] = next[l] + bb * a[l];
            }
            next[0] = next[0] + c[n] * m_power;
            a = std::move(next);
        }
        const BigPolynomial product = exact::multiply_polynomials(a, scaled_legendre_[k]);
        BigInt sum;
        for (std::size_t e = 0; e < product.size(); e += 2)
            sum = sum + product[e] * h_[e];
        BigInt den = factorial_ * m_power;
        const BigInt two(2);
        for (std::size_t t = 0; t < i + k; ++t)
            den = den * two;
        return exact::nearest_double_to_quotient(BigInt(static_cast<std::int64_t>(2 * k + 1)) * sum, den);
    }

private:
    std::vector<BigPolynomial> scaled_legendre_;
    std::vector<BigInt> h_;
    BigInt factorial_;
};

// Index of (i, k), k <= i, within the entries of one sub-interval.
inline std::size_t triangle_index(std::size_t i, std::size_t k) { return i * (i + 1) / 2 + k; }

// Whether the double-double value v, within `bound` of the true value, fixes
// the nearest double: every value within twice the bound of v must round to
// v.hi. Zero, non-finite and (nearly) subnormal results are left to the exact
// computation.
bool rounds_unambiguously(DD v, double bound) {
    const double r = std::fabs(v.hi);
    if (!(r > 0x1p-900) || !(r < 0x1p1000))
        return false;
    // The neighbours of a positive normal double are its bit pattern +- 1.
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(r);
    const double up = std::bit_cast<double>(bits + 1) - r;
    const double down = r - std::bit_cast<double>(bits - 1);
    const double half_gap = 0.5 * (up < down ? up : down);
    return std::fabs(v.lo) + 2.0 * bound < half_gap;
}

// R_ik(s) for s = 0, ..., m - 1, at s * tri + triangle_index(i, k) with
// tri = (degree + 1)(degree + 2) / 2. Sub-interval m - 1 - s has b negated,
// which multiplies R_ik by (-1)^(i + k) exactly; only s <= (m - 1) / 2 are
// computed.
std::vector<double> subinterval_coefficients(std::size_t degree, std::size_t m) {
    const std::size_t tri = checked_mul(checked_add(degree, 1), checked_add(degree, 2)) / 2;
    std::vector<double> table(checked_array_count(checked_mul(m, tri), sizeof(double)));
    const double md = static_cast<double>(m);  // exact: m <= 2^53

    // Constants k / (2k - 1), (k + 1) / (2k + 3), 1 / (i + 1), m^2 and 1 / m^i.
    const std::size_t n = degree + 1;
    std::vector<DD> below(n + 1), above(n + 1), inverse(n + 1), inverse_power(n);
    for (std::size_t k = 0; k <= n; ++k) {
        const double kd = static_cast<double>(k);
        below[k] = k == 0 ? DD{0.0, 0.0} : DD{kd, 0.0} / DD{2.0 * kd - 1.0, 0.0};
        above[k] = DD{kd + 1.0, 0.0} / DD{2.0 * kd + 3.0, 0.0};
        inverse[k] = k == 0 ? DD{0.0, 0.0} : DD{1.0, 0.0} / DD{kd, 0.0};
    }
    const DD m2 = two_prod(md, md);
    DD power{1.0, 0.0};
    for (std::size_t i = 0; i < n; ++i) {
        inverse_power[i] = DD{1.0, 0.0} / power;
        power = power * md;
    }

    std::optional<ExactReexpansion> exact_values;
    // Rows i - 1, i and i + 1 of H and Habs.
    std::vector<DD> h_prev(n), h_cur(n), h_next(n);
    std::vector<double> a_prev(n), a_cur(n), a_next(n);
    const std::size_t half = (m + 1) / 2;
    for (std::size_t s = 0; s < half; ++s) {
        if (s % 256 == 255)
            check_for_interruption();
        const std::int64_t b = static_cast<std::int64_t>(2 * s + 1) - static_cast<std::int64_t>(m);  // <= 0
        const double bd = static_cast<double>(b);  // exact: |b| < 2^53
        double* entries = table.data() + s * tri;
        auto store = [&](std::size_t i, std::size_t k, DD h, double habs) {
            const DD v = h * inverse_power[i];
            const double bound = habs * inverse_power[i].hi * (static_cast<double>(i) + 1.0) * 0x1p-94;
            double r;
            if (rounds_unambiguously(v, bound)) {
                r = v.hi;
            } else {
                if (!exact_values)
                    exact_values.emplace(degree);
                r = exact_values->value(i, k, b, m);
            }
            entries[triangle_index(i, k)] = r;
        };

        h_cur[0] = {1.0, 0.0};
        a_cur[0] = 1.0;
        store(0, 0, h_cur[0], a_cur[0]);
        if (degree >= 1) {
            h_prev[0] = h_cur[0];
            a_prev[0] = a_cur[0];
            h_cur[0] = {bd, 0.0};
            h_cur[1] = {1.0, 0.0};
            a_cur[0] = std::fabs(bd);
            a_cur[1] = 1.0;
            store(1, 0, h_cur[0], a_cur[0]);
            store(1, 1, h_cur[1], a_cur[1]);
        }
        for (std::size_t i = 1; i < degree; ++i) {
            const double odd = static_cast<double>(2 * i + 1);
            const DD im2 = m2 * static_cast<double>(i);
            const double im2_abs = im2.hi;
            for (std::size_t k = 0; k <= i + 1; ++k) {
                DD t{0.0, 0.0};
                double ta = 0.0;
                if (k >= 1) {
                    t = t + below[k] * h_cur[k - 1];
                    ta = ta + below[k].hi * a_cur[k - 1];
                }
                if (k + 1 <= i) {
                    t = t + above[k] * h_cur[k + 1];
                    ta = ta + above[k].hi * a_cur[k + 1];
                }
                if (k <= i) {
                    t = t + h_cur[k] * bd;
                    ta = ta + a_cur[k] * std::fabs(bd);
                }
                t = t * odd;
                ta = ta * odd;
                if (k + 1 <= i) {
                    t = t - im2 * h_prev[k];
                    ta = ta + im2_abs * a_prev[k];
                }
                h_next[k] = t * inverse[i + 1];
                a_next[k] = ta * inverse[i + 1].hi;
                store(i + 1, k, h_next[k], a_next[k]);
            }
            std::swap(h_prev, h_cur);
            std::swap(h_cur, h_next);
            std::swap(a_prev, a_cur);
            std::swap(a_cur, a_next);
        }
        const std::size_t mirror = m - 1 - s;
        if (mirror != s) {
            double* mirrored = table.data() + mirror * tri;
            for (std::size_t i = 0; i <= degree; ++i)
                for (std::size_t k = 0; k <= i; ++k) {
                    // An exact zero stays +0.0, as the exact computation gives it.
                    const double r = entries[triangle_index(i, k)];
                    mirrored[triangle_index(i, k)] = (i + k) % 2 == 0 || r == 0.0 ? r : -r;
                }
        }
    }
    return table;
}

// Nested meshes, m = nt_fine / nt_coarse. Row f + nt_fine k (f = c m + s)
// holds R_ik(s) at columns c + nt_coarse i, i = k, ..., degree.
CsrMatrix reexpansion_matrix(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine) {
    const std::size_t n = degree + 1;
    const std::size_t m = nt_fine / nt_coarse;
    const std::size_t nrows = checked_mul(n, nt_fine);
    const std::size_t ncols = checked_mul(n, nt_coarse);
    const std::size_t tri = checked_mul(n, checked_add(degree, 2)) / 2;  // entries k <= i of a sub-interval
    const std::size_t nnz = checked_mul(nt_fine, tri);
    std::vector<std::size_t> offsets, cols;
    std::vector<double> values;
    offsets.reserve(checked_array_count(checked_add(nrows, 1), sizeof(std::size_t)));
    cols.reserve(checked_array_count(nnz, sizeof(std::size_t)));
    values.reserve(checked_array_count(nnz, sizeof(double)));

    const std::vector<double> table = subinterval_coefficients(degree, m);
    offsets.push_back(0);
    std::size_t rows = 0;
    for (std::size_t k = 0; k <= degree; ++k)
        for (std::size_t c = 0; c < nt_coarse; ++c)
            for (std::size_t s = 0; s < m; ++s) {
                if (++rows % 4096 == 0)
                    check_for_interruption();
                const double* entries = table.data() + s * tri;
                for (std::size_t i = k; i <= degree; ++i) {
                    cols.push_back(c + nt_coarse * i);
                    values.push_back(entries[triangle_index(i, k)]);
                }
                offsets.push_back(cols.size());
            }
    return csr_from_valid_data("legendre_prolongation_matrix", nrows, ncols, std::move(offsets), std::move(cols),
                               std::move(values));
}

// The L2 projection. Positions are integers in units of 1 / (nt_coarse
// nt_fine) of the span: fine interval f is [f nc, (f + 1) nc], coarse
// interval c is [c nf, (c + 1) nf] (nc = nt_coarse, nf = nt_fine). Fine
// interval f overlaps the coarse intervals c0 = floor(f nc / nf), ...,
// c1 = ceil((f + 1) nc / nf) - 1, each on the piece [K0, K1] =
// [max(f nc, c nf), min((f + 1) nc, (c + 1) nf)]. With H = K1 - K0,
// Af = (K0 + K1) - (2f + 1) nc and Ac = (K0 + K1) - (2c + 1) nf (integers of
// magnitude at most nc, nf, hence exact doubles), Gauss node g_q of the piece
// sits at eta_q = (Af + H g_q) / nc on the fine and xi_q = (Ac + H g_q) / nf
// on the coarse interval, and since deta = 2 dK / nc,
//   entry = (2k + 1) / 2 * integral over the piece of P_i(xi) P_k(eta) deta
//         = ((k + 0.5) * (H / nc)) * S_ik,
//   S_ik = sum over q ascending of (w_q * P_i(xi_q)) * P_k(eta_q), from 0.0,
// every operation rounded on its own in the order written; P by the
// recurrence of legendre_basis.hpp.
CsrMatrix projection_matrix(const char* producer, std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine) {
    const std::size_t n = degree + 1;
    const std::size_t nrows = checked_mul(n, nt_fine);
    const std::size_t ncols = checked_mul(n, nt_coarse);
    const std::uint64_t nc = nt_coarse, nf = nt_fine;
    std::uint64_t span;
    if (__builtin_mul_overflow(nc, nf, &span) || span > (std::uint64_t{1} << 62))
        fail_capacity_overflow();

    // Pieces per fine interval, with c0 and c1 advanced together with f
    // (neither ever decreases), then the row offsets: row f + nf k holds
    // degree + 1 entries per piece of f.
    std::vector<std::size_t> pieces_of(checked_array_count(nt_fine, sizeof(std::size_t)));
    std::size_t total_pieces = 0;
    {
        std::uint64_t c0 = 0, c1 = 0;
        for (std::uint64_t f = 0; f < nf; ++f) {
            while ((c0 + 1) * nf <= f * nc)
                ++c0;
            while ((c1 + 1) * nf < (f + 1) * nc)
                ++c1;
            pieces_of[f] = static_cast<std::size_t>(c1 - c0 + 1);
            total_pieces = checked_add(total_pieces, pieces_of[f]);
        }
    }
    const std::size_t nnz = checked_mul(total_pieces, checked_mul(n, n));
    std::vector<std::size_t> offsets(checked_array_count(checked_add(nrows, 1), sizeof(std::size_t)));
    offsets[0] = 0;
    for (std::size_t k = 0; k < n; ++k)
        for (std::size_t f = 0; f < nt_fine; ++f) {
            const std::size_t row = f + nt_fine * k;
            offsets[row + 1] = offsets[row] + pieces_of[f] * n;
        }
    std::vector<std::size_t> cols(checked_array_count(nnz, sizeof(std::size_t)));
    std::vector<double> values(checked_array_count(nnz, sizeof(double)));

    const QuadratureRule rule = gauss_legendre_rule(n);
    const double ncd = static_cast<double>(nc), nfd = static_cast<double>(nf);
    std::vector<double> p_eta(n * n), wp_xi(n * n);  // [q * n + degree]
    std::vector<double> entry(n * n);                // [k * n + i]
    std::uint64_t c0 = 0, c1 = 0;
    for (std::uint64_t f = 0; f < nf; ++f) {
        if (f % 4096 == 4095)
            check_for_interruption();
        while ((c0 + 1) * nf <= f * nc)
            ++c0;
        while ((c1 + 1) * nf < (f + 1) * nc)
            ++c1;
        const std::size_t pieces = pieces_of[f];
        const std::uint64_t f_start = f * nc, f_end = (f + 1) * nc;
        for (std::uint64_t c = c0; c <= c1; ++c) {
            const std::uint64_t k0 = f_start > c * nf ? f_start : c * nf;
            const std::uint64_t k1 = f_end < (c + 1) * nf ? f_end : (c + 1) * nf;
            const std::uint64_t ends = k0 + k1;
            const double hd = static_cast<double>(k1 - k0);
            const double af = static_cast<double>(static_cast<std::int64_t>(ends - (2 * f + 1) * nc));
            const double ac = static_cast<double>(static_cast<std::int64_t>(ends - (2 * c + 1) * nf));
            for (std::size_t q = 0; q < n; ++q) {
                const double g = rule.nodes[q];
                const double eta = (af + hd * g) / ncd;
                const double xi = (ac + hd * g) / nfd;
                const double wq = rule.weights[q];
                double* pe = p_eta.data() + q * n;
                double* px = wp_xi.data() + q * n;
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
            }
            const double scale = hd / ncd;
            for (std::size_t k = 0; k <= degree; ++k) {
                const double factor = (static_cast<double>(k) + 0.5) * scale;
                for (std::size_t i = 0; i <= degree; ++i) {
                    double sum = 0.0;
                    for (std::size_t q = 0; q < n; ++q)
                        sum = sum + wp_xi[q * n + i] * p_eta[q * n + k];
                    entry[k * n + i] = factor * sum;
                }
            }
            // Row f + nf k, entries ordered by column c + nc i: i major, c minor.
            const std::size_t slot = static_cast<std::size_t>(c - c0);
            for (std::size_t k = 0; k <= degree; ++k) {
                const std::size_t base = offsets[static_cast<std::size_t>(f) + nt_fine * k];
                for (std::size_t i = 0; i <= degree; ++i) {
                    const std::size_t at = base + i * pieces + slot;
                    cols[at] = static_cast<std::size_t>(c) + nt_coarse * i;
                    values[at] = entry[k * n + i];
                }
            }
        }
    }
    return csr_from_valid_data(producer, nrows, ncols, std::move(offsets), std::move(cols), std::move(values));
}

void check_prolongation_arguments(const char* function, std::size_t nt_coarse, std::size_t nt_fine) {
    require_positive(function, "nt_coarse", nt_coarse);
    require_positive(function, "nt_fine", nt_fine);
    if (nt_coarse > exact_double_limit || nt_fine > exact_double_limit)
        fail_capacity_overflow();
}

CsrMatrix prolongation(const char* function, std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine) {
    check_prolongation_arguments(function, nt_coarse, nt_fine);
    checked_add(degree, 1);
    if (nt_fine % nt_coarse == 0)
        return reexpansion_matrix(degree, nt_coarse, nt_fine);
    return projection_matrix(function, degree, nt_coarse, nt_fine);
}

}  // namespace

CsrMatrix legendre_prolongation_matrix(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine) {
    return prolongation("legendre_prolongation_matrix", degree, nt_coarse, nt_fine);
}

CsrMatrix legendre_projection_matrix(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine) {
    check_prolongation_arguments("legendre_projection_matrix", nt_coarse, nt_fine);
    checked_add(degree, 1);
    return projection_matrix("legendre_projection_matrix", degree, nt_coarse, nt_fine);
}

double legendre_reexpansion_coefficient(std::size_t i, std::size_t k, std::size_t s, std::size_t m) {
    if (k > i || s >= m || m > exact_double_limit)
        fail("legendre_reexpansion_coefficient: needs k <= i and s < m <= 2^53");
    const std::int64_t b = static_cast<std::int64_t>(2 * s + 1) - static_cast<std::int64_t>(m);
    return ExactReexpansion(i).value(i, k, b, m);
}

// The transpose of P, scaled: a counting pass over P's columns gives the row
// lengths, then P's rows are scattered in increasing order, so every row of
// the result receives its columns in increasing order. The Legendre degree
// i of a column c + nt_coarse i is tracked along each row of P, whose
// columns increase.
CsrMatrix legendre_restriction_matrix(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine) {
    const CsrMatrix p = prolongation("legendre_restriction_matrix", degree, nt_coarse, nt_fine);
    const std::size_t n = degree + 1;
    const std::size_t nrows = p.ncols(), ncols = p.nrows();

    // mf_k / mc_i, the diagonals of the span-1 mass matrices.
    const double w_f = 1.0 / static_cast<double>(nt_fine);
    const double w_c = 1.0 / static_cast<double>(nt_coarse);
    std::vector<double> scale(checked_array_count(checked_mul(n, n), sizeof(double)));  // [k * n + i]
    for (std::size_t k = 0; k < n; ++k)
        for (std::size_t i = 0; i < n; ++i)
            scale[k * n + i] = (w_f / static_cast<double>(2 * k + 1)) / (w_c / static_cast<double>(2 * i + 1));

    std::vector<std::size_t> offsets(checked_array_count(checked_add(nrows, 1), sizeof(std::size_t)), 0);
    for (const std::size_t col : p.col_indices())
        ++offsets[col + 1];
    for (std::size_t r = 0; r < nrows; ++r)
        offsets[r + 1] += offsets[r];
    std::vector<std::size_t> next(offsets.begin(), offsets.end() - 1);
    std::vector<std::size_t> cols(p.nnz());
    std::vector<double> values(p.nnz());
    for (std::size_t k = 0; k < n; ++k)
        for (std::size_t f = 0; f < nt_fine; ++f) {
            if (f % 4096 == 4095)
                check_for_interruption();
            const std::size_t row = f + nt_fine * k;
            const CsrRow entries = p.row(row);
            std::size_t i = 0;
            for (std::size_t e = 0; e < entries.nnz(); ++e) {
                const std::size_t col = entries.col_indices[e];
                while (col >= nt_coarse * (i + 1))
                    ++i;
                const std::size_t at = next[col]++;
                cols[at] = row;
                values[at] = entries.values[e] * scale[k * n + i];
            }
        }
    return csr_from_valid_data("legendre_restriction_matrix", nrows, ncols, std::move(offsets), std::move(cols),
                               std::move(values));
}

}  // namespace pwpoly
