#include "piecewise_polynomials/operators/legendre_transfer.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "arithmetic/double_double.hpp"
#include "arithmetic/exact_arithmetic.hpp"
#include "common/argument_error.hpp"
#include "common/internal_failure.hpp"
#include "common/interruption.hpp"
#include "piecewise_polynomials/basis/legendre_basis.hpp"
#include "piecewise_polynomials/calculus/gauss_legendre.hpp"
#include "piecewise_polynomials/operators/time_operators.hpp"

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
    InterruptionPacer pacer;  // the exact values report to their own
    for (std::size_t s = 0; s < half; ++s) {
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
            pacer.done(100 * (i + 2));  // some ten double-double operations per entry
            std::swap(h_prev, h_cur);
            std::swap(h_cur, h_next);
            std::swap(a_prev, a_cur);
            std::swap(a_cur, a_next);
        }
        const std::size_t mirror = m - 1 - s;
        pacer.done(2 * tri);
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

void check_transfer_arguments(const char* function, std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine) {
    require_positive(function, "nt_coarse", nt_coarse);
    require_positive(function, "nt_fine", nt_fine);
    if (nt_coarse > exact_double_limit || nt_fine > exact_double_limit)
        fail_capacity_overflow();
    checked_add(degree, 1);
}

// Nested meshes, m = nt_fine / nt_coarse: the shape of the re-expansion P.
// Row f + nt_fine k holds the entries k <= i of its sub-interval.
CsrShape reexpansion_shape(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine) {
    const std::size_t n = degree + 1;
    const std::size_t nrows = checked_mul(n, nt_fine);
    const std::size_t ncols = checked_mul(n, nt_coarse);
    const std::size_t tri = checked_mul(n, checked_add(degree, 2)) / 2;  // entries k <= i of a sub-interval
    return {nrows, ncols, checked_mul(nt_fine, tri)};
}

// Nested meshes. Row f + nt_fine k (f = c m + s) holds R_ik(s) at columns
// c + nt_coarse i, i = k, ..., degree.
template <class Index>
CsrArrays<Index> reexpansion_arrays(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine) {
    const std::size_t m = nt_fine / nt_coarse;
    const std::size_t tri = (degree + 1) * (degree + 2) / 2;
    CsrRowWriter<Index> out(reexpansion_shape(degree, nt_coarse, nt_fine));
    const std::vector<double> table = subinterval_coefficients(degree, m);
    InterruptionPacer pacer;
    for (std::size_t k = 0; k <= degree; ++k) {
        // Fine interval f = c m + s, in order.
        std::size_t c = 0, s = 0;
        paced_for(pacer, 0, nt_fine, 4 + 2 * (degree - k), [&](std::size_t) {
            const double* entries = table.data() + s * tri;
            for (std::size_t i = k; i <= degree; ++i)
                out.push(c + nt_coarse * i, entries[triangle_index(i, k)]);
            out.end_row();
            if (++s == m) {
                s = 0;
                ++c;
            }
        });
    }
    return std::move(out).finish();
}

// The L2 projection. Positions are integers in units of 1 / (nt_coarse
// nt_fine) of the span: fine interval f is [f nc, (f + 1) nc], coarse
// interval c is [c nf, (c + 1) nf] (nc = nt_coarse, nf = nt_fine). Fine
// interval f overlaps the coarse intervals c0 = floor(f nc / nf), ...,
// c1 = ceil((f + 1) nc / nf) - 1, and coarse interval c the fine intervals
// f0 = floor(c nf / nc), ..., f1 = ceil((c + 1) nf / nc) - 1, each on the
// piece [K0, K1] = [max(f nc, c nf), min((f + 1) nc, (c + 1) nf)]. The
// pieces are the intervals of the common refinement, whose interior nodes
// are the nf - 1 fine and nc - 1 coarse ones less the gcd(nf, nc) - 1 they
// share: nf + nc - gcd(nf, nc) pieces.
//
// With H = K1 - K0, Af = (K0 + K1) - (2f + 1) nc and Ac = (K0 + K1) -
// (2c + 1) nf (integers of magnitude at most nc, nf, hence exact doubles),
// Gauss node g_q of the piece sits at eta_q = (Af + H g_q) / nc on the fine
// and xi_q = (Ac + H g_q) / nf on the coarse interval, and since
// deta = 2 dK / nc,
//   entry = (2k + 1) / 2 * integral over the piece of P_i(xi) P_k(eta) deta
//         = ((k + 0.5) * (H / nc)) * S_ik,
//   S_ik = sum over q ascending of (w_q * P_i(xi_q)) * P_k(eta_q), from 0.0,
// every operation rounded on its own in the order written; P by the
// recurrence of legendre_basis.hpp.
CsrShape projection_shape(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine) {
    const std::size_t n = degree + 1;
    const std::size_t nrows = checked_mul(n, nt_fine);
    const std::size_t ncols = checked_mul(n, nt_coarse);
    const std::uint64_t nc = nt_coarse, nf = nt_fine;
    std::uint64_t span;
    if (__builtin_mul_overflow(nc, nf, &span) || span > (std::uint64_t{1} << 62))
        fail_capacity_overflow();
    std::uint64_t a = nc, b = nf;  // gcd
    while (b != 0)
        a = std::exchange(b, a % b);
    const std::uint64_t pieces = nc + nf - a;  // <= 2^54
    if (pieces > SIZE_MAX)
        fail_capacity_overflow();
    return {nrows, ncols, checked_mul(static_cast<std::size_t>(pieces), checked_mul(n, n))};
}

// The number of Legendre degrees n = degree + 1 of the projection's loops:
// a compile-time constant for small degrees (N = n, loops the compiler
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

// The entries of one piece, entry[k * n + i] for the fine degree k and the
// coarse degree i (see above). A piece costs some 2 n^3 operations: at a
// run-time degree, which may be in the thousands, it reports its work to the
// interruption pacer from inside, row by row.
template <std::size_t N>
class PieceIntegrals {
public:
    PieceIntegrals(std::size_t degree, std::uint64_t nc, std::uint64_t nf)
        : n_(degree + 1), nc_(nc), nf_(nf), ncd_(static_cast<double>(nc)), nfd_(static_cast<double>(nf)),
          rule_(gauss_legendre_rule(degree + 1)), p_eta_(degree + 1), wp_xi_(degree + 1), entry_(degree + 1) {}

    const double* compute(std::uint64_t f, std::uint64_t c, InterruptionPacer& pacer) {
        const std::size_t n = n_.get(), degree = n - 1;
        const std::uint64_t nc = nc_, nf = nf_;
        const std::uint64_t f_start = f * nc, f_end = (f + 1) * nc;
        const std::uint64_t k0 = f_start > c * nf ? f_start : c * nf;
        const std::uint64_t k1 = f_end < (c + 1) * nf ? f_end : (c + 1) * nf;
        const std::uint64_t ends = k0 + k1;
        const double hd = static_cast<double>(k1 - k0);
        const double af = static_cast<double>(static_cast<std::int64_t>(ends - (2 * f + 1) * nc));
        const double ac = static_cast<double>(static_cast<std::int64_t>(ends - (2 * c + 1) * nf));
        double* const p_eta = p_eta_.data();  // [q * n + degree]
        double* const wp_xi = wp_xi_.data();  // [q * n + degree]
        double* const entry = entry_.data();  // [k * n + i]
        const double* const nodes = rule_.nodes.data();
        const double* const weights = rule_.weights.data();
        for (std::size_t q = 0; q < n; ++q) {
            const double g = nodes[q];
            const double eta = (af + hd * g) / ncd_;
            const double xi = (ac + hd * g) / nfd_;
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
        const double scale = hd / ncd_;
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

private:
    DegreeCount<N> n_;
    std::uint64_t nc_, nf_;
    double ncd_, nfd_;
    QuadratureRule rule_;
    SquareScratch<N> p_eta_, wp_xi_, entry_;
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

// Row offsets of a matrix whose rows come in degree blocks of `count` rows
// (row r + count * degree), every block with the row lengths of the first:
// that of row r is n * pieces(r), pieces(r) = last(r) - first(r) + 1 with
// first(r) = floor(r a / b) and last(r) = ceil((r + 1) a / b) - 1, both
// advanced along r. Returns the entries of one block, after checking that
// the n blocks fill the arrays exactly; the fills then check each row of
// block 0 before they write it (block_row_start).
template <class Index>
std::size_t block_row_offsets(CsrArrays<Index>& out, std::size_t n, std::uint64_t count, std::uint64_t a,
                              std::uint64_t b) {
    if (out.nrows / n != count || out.nrows % n != 0) [[unlikely]]
        fail("block_row_offsets: the row count is not the announced one");
    Index* offsets = out.row_offsets.data();
    offsets[0] = 0;
    std::uint64_t first = 0, last = 0;
    std::size_t at = 0;
    for (std::uint64_t r = 0; r < count; ++r) {
        while ((first + 1) * b <= r * a)
            ++first;
        while ((last + 1) * b < (r + 1) * a)
            ++last;
        at += static_cast<std::size_t>(last - first + 1) * n;
        offsets[r + 1] = static_cast<Index>(at);
    }
    if (checked_mul(n, at) != out.values.size() || out.col_indices.size() != out.values.size()) [[unlikely]]
        fail("block_row_offsets: the rows do not fill the announced entries");
    const std::size_t rows = static_cast<std::size_t>(count);
    for (std::size_t block = 1; block < n; ++block) {
        const std::size_t shift = block * at;
        for (std::size_t r = 1; r <= rows; ++r)
            offsets[block * rows + r] = static_cast<Index>(static_cast<std::size_t>(offsets[r]) + shift);
    }
    return at;
}

// The start of row r of block 0, checked in every build before the row is
// written: it must hold `length` entries and end within the block, so that
// row r of block b, `b * block` further on, lies within the arrays too.
template <class Index>
std::size_t block_row_start(const char* builder, const CsrArrays<Index>& arrays, std::size_t block, std::size_t r,
                            std::size_t length) {
    const auto begin = static_cast<std::size_t>(arrays.row_offsets[r]);
    const auto end = static_cast<std::size_t>(arrays.row_offsets[r + 1]);
    if (end < begin || end - begin != length || end > block) [[unlikely]]
        fail_row_mismatch(builder, r);
    return begin;
}

// P: row f + nf k holds degree + 1 entries per piece of f, ordered by
// column c + nc i (i major, c minor).
template <std::size_t N, class Index>
void fill_projection(CsrArrays<Index>& out, std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine) {
    const std::size_t n = DegreeCount<N>(degree + 1).get();
    const std::uint64_t nc = nt_coarse, nf = nt_fine;
    Index* cols = out.col_indices.data();
    double* values = out.values.data();
    const std::size_t block = block_row_offsets(out, n, nf, nc, nf);

    PieceIntegrals<N> pieces_of(degree, nc, nf);
    InterruptionPacer pacer;
    std::vector<std::size_t> bases(n);  // of rows f + nt_fine k
    std::uint64_t c0 = 0, c1 = 0;
    for (std::uint64_t f = 0; f < nf; ++f) {
        while ((c0 + 1) * nf <= f * nc)
            ++c0;
        while ((c1 + 1) * nf < (f + 1) * nc)
            ++c1;
        const std::size_t pieces = static_cast<std::size_t>(c1 - c0 + 1);
        const std::size_t first =
            block_row_start("legendre_projection_matrix", out, block, static_cast<std::size_t>(f), n * pieces);
        for (std::size_t k = 0; k < n; ++k)
            bases[k] = first + k * block;
        for (std::uint64_t c = c0; c <= c1; ++c) {
            const double* entry = pieces_of.compute(f, c, pacer);
            const std::size_t slot = static_cast<std::size_t>(c - c0);
            for (std::size_t k = 0; k < n; ++k) {
                const std::size_t base = bases[k];
                for (std::size_t i = 0; i < n; ++i) {
                    const std::size_t at = base + i * pieces + slot;
                    cols[at] = static_cast<Index>(static_cast<std::size_t>(c) + nt_coarse * i);
                    values[at] = entry[k * n + i];
                }
            }
        }
    }
}

template <class Index>
CsrArrays<Index> projection_arrays(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine) {
    CsrArrays<Index> out = allocate_csr_arrays<Index>(projection_shape(degree, nt_coarse, nt_fine));
    with_degree_count(degree + 1,
                      [&](auto fixed) { fill_projection<decltype(fixed)::value>(out, degree, nt_coarse, nt_fine); });
    return out;
}

// The restriction scales entry (k, i) of P by mf_k / mc_i, the diagonals of
// the span-1 mass matrices: scale[k * n + i].
std::vector<double> restriction_scale(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine) {
    const std::size_t n = degree + 1;
    const double w_f = 1.0 / static_cast<double>(nt_fine);
    const double w_c = 1.0 / static_cast<double>(nt_coarse);
    std::vector<double> scale(checked_array_count(checked_mul(n, n), sizeof(double)));
    for (std::size_t k = 0; k < n; ++k)
        for (std::size_t i = 0; i < n; ++i)
            scale[k * n + i] = (w_f / static_cast<double>(2 * k + 1)) / (w_c / static_cast<double>(2 * i + 1));
    return scale;
}

CsrShape transposed(const CsrShape& shape) { return {shape.ncols, shape.nrows, shape.nnz}; }

// The restriction on nested meshes, P^T scaled: row c + nc i holds, for
// k = 0, ..., i and s = 0, ..., m - 1, R_ik(s) (mf_k / mc_i) at column
// (c m + s) + nf k, the rows of P that hold column c + nc i in increasing
// order.
template <class Index>
CsrArrays<Index> nested_restriction_arrays(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine) {
    const std::size_t n = degree + 1;
    const std::size_t m = nt_fine / nt_coarse;
    const std::size_t tri = n * (degree + 2) / 2;
    CsrRowWriter<Index> out(transposed(reexpansion_shape(degree, nt_coarse, nt_fine)));
    const std::vector<double> scale = restriction_scale(degree, nt_coarse, nt_fine);
    const std::vector<double> table = subinterval_coefficients(degree, m);
    InterruptionPacer pacer;
    for (std::size_t i = 0; i <= degree; ++i)
        for (std::size_t c = 0; c < nt_coarse; ++c) {
            for (std::size_t k = 0; k <= i; ++k) {
                const double factor = scale[k * n + i];
                const std::size_t first = c * m + nt_fine * k;
                // A row is as long as m: it reports in chunks.
                for (std::size_t s0 = 0; s0 < m; s0 += 4096) {
                    const std::size_t s1 = m - s0 < 4096 ? m : s0 + 4096;
                    for (std::size_t s = s0; s < s1; ++s)
                        out.push(first + s, table[s * tri + triangle_index(i, k)] * factor);
                    pacer.done(4 * (s1 - s0));
                }
            }
            out.end_row();
        }
    return std::move(out).finish();
}

// The restriction on other meshes, P^T scaled: row c + nc i holds, for
// k = 0, ..., degree and each fine interval f = f0, ..., f1 overlapping c,
// the entry (k, i) of the piece of (f, c) times mf_k / mc_i at column
// f + nf k, the rows of P that hold column c + nc i in increasing order.
template <std::size_t N, class Index>
void fill_projection_restriction(CsrArrays<Index>& out, std::size_t degree, std::size_t nt_coarse,
                                 std::size_t nt_fine) {
    const std::size_t n = DegreeCount<N>(degree + 1).get();
    const std::vector<double> scale = restriction_scale(degree, nt_coarse, nt_fine);
    const std::uint64_t nc = nt_coarse, nf = nt_fine;
    Index* cols = out.col_indices.data();
    double* values = out.values.data();
    const std::size_t block = block_row_offsets(out, n, nc, nf, nc);

    PieceIntegrals<N> pieces_of(degree, nc, nf);
    InterruptionPacer pacer;
    std::vector<std::size_t> bases(n);  // of rows c + nt_coarse i
    std::uint64_t f0 = 0, f1 = 0;
    for (std::uint64_t c = 0; c < nc; ++c) {
        while ((f0 + 1) * nc <= c * nf)
            ++f0;
        while ((f1 + 1) * nc < (c + 1) * nf)
            ++f1;
        const std::size_t pieces = static_cast<std::size_t>(f1 - f0 + 1);
        const std::size_t first =
            block_row_start("legendre_restriction_matrix", out, block, static_cast<std::size_t>(c), n * pieces);
        for (std::size_t i = 0; i < n; ++i)
            bases[i] = first + i * block;
        for (std::uint64_t f = f0; f <= f1; ++f) {
            const double* entry = pieces_of.compute(f, c, pacer);
            const std::size_t slot = static_cast<std::size_t>(f - f0);
            for (std::size_t i = 0; i < n; ++i) {
                const std::size_t base = bases[i];
                for (std::size_t k = 0; k < n; ++k) {
                    const std::size_t at = base + k * pieces + slot;
                    cols[at] = static_cast<Index>(static_cast<std::size_t>(f) + nt_fine * k);
                    values[at] = entry[k * n + i] * scale[k * n + i];
                }
            }
        }
    }
}

template <class Index>
CsrArrays<Index> projection_restriction_arrays(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine) {
    CsrArrays<Index> out = allocate_csr_arrays<Index>(transposed(projection_shape(degree, nt_coarse, nt_fine)));
    with_degree_count(degree + 1, [&](auto fixed) {
        fill_projection_restriction<decltype(fixed)::value>(out, degree, nt_coarse, nt_fine);
    });
    return out;
}

bool nested(std::size_t nt_coarse, std::size_t nt_fine) { return nt_fine % nt_coarse == 0; }

CsrShape prolongation_shape(const char* function, std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine) {
    check_transfer_arguments(function, degree, nt_coarse, nt_fine);
    return nested(nt_coarse, nt_fine) ? reexpansion_shape(degree, nt_coarse, nt_fine)
                                      : projection_shape(degree, nt_coarse, nt_fine);
}

}  // namespace

CsrShape legendre_prolongation_shape(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine) {
    return prolongation_shape("legendre_prolongation_matrix", degree, nt_coarse, nt_fine);
}

template <class Index>
CsrArrays<Index> legendre_prolongation_arrays(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine) {
    legendre_prolongation_shape(degree, nt_coarse, nt_fine);
    return nested(nt_coarse, nt_fine) ? reexpansion_arrays<Index>(degree, nt_coarse, nt_fine)
                                      : projection_arrays<Index>(degree, nt_coarse, nt_fine);
}

CsrMatrix legendre_prolongation_matrix(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine) {
    return csr_from_valid_arrays("legendre_prolongation_matrix",
                                 legendre_prolongation_arrays<std::size_t>(degree, nt_coarse, nt_fine));
}

CsrMatrix legendre_projection_matrix(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine) {
    check_transfer_arguments("legendre_projection_matrix", degree, nt_coarse, nt_fine);
    return csr_from_valid_arrays("legendre_projection_matrix",
                                 projection_arrays<std::size_t>(degree, nt_coarse, nt_fine));
}

double legendre_reexpansion_coefficient(std::size_t i, std::size_t k, std::size_t s, std::size_t m) {
    if (k > i || s >= m || m > exact_double_limit)
        fail("legendre_reexpansion_coefficient: needs k <= i and s < m <= 2^53");
    const std::int64_t b = static_cast<std::int64_t>(2 * s + 1) - static_cast<std::int64_t>(m);
    return ExactReexpansion(i).value(i, k, b, m);
}

CsrShape legendre_restriction_shape(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine) {
    return transposed(prolongation_shape("legendre_restriction_matrix", degree, nt_coarse, nt_fine));
}

template <class Index>
CsrArrays<Index> legendre_restriction_arrays(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine) {
    legendre_restriction_shape(degree, nt_coarse, nt_fine);
    return nested(nt_coarse, nt_fine) ? nested_restriction_arrays<Index>(degree, nt_coarse, nt_fine)
                                      : projection_restriction_arrays<Index>(degree, nt_coarse, nt_fine);
}

CsrMatrix legendre_restriction_matrix(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine) {
    return csr_from_valid_arrays("legendre_restriction_matrix",
                                 legendre_restriction_arrays<std::size_t>(degree, nt_coarse, nt_fine));
}

namespace {

void check_same_span(const TimeMesh& coarse, const TimeMesh& fine) {
    if (coarse.start() != fine.start() || coarse.end() != fine.end())
        refuse("coarse and fine must be meshes of the same interval");
    if (!coarse.is_uniform() || !fine.is_uniform())
        refuse("the Legendre transfers between meshes of breakpoints are not available yet");
}

}  // namespace

CsrShape legendre_prolongation_shape(std::size_t degree, const TimeMesh& coarse, const TimeMesh& fine) {
    check_same_span(coarse, fine);
    return legendre_prolongation_shape(degree, coarse.n_t(), fine.n_t());
}

template <class Index>
CsrArrays<Index> legendre_prolongation_arrays(std::size_t degree, const TimeMesh& coarse, const TimeMesh& fine) {
    check_same_span(coarse, fine);
    return legendre_prolongation_arrays<Index>(degree, coarse.n_t(), fine.n_t());
}

CsrShape legendre_restriction_shape(std::size_t degree, const TimeMesh& coarse, const TimeMesh& fine) {
    check_same_span(coarse, fine);
    return legendre_restriction_shape(degree, coarse.n_t(), fine.n_t());
}

template <class Index>
CsrArrays<Index> legendre_restriction_arrays(std::size_t degree, const TimeMesh& coarse, const TimeMesh& fine) {
    check_same_span(coarse, fine);
    return legendre_restriction_arrays<Index>(degree, coarse.n_t(), fine.n_t());
}

// The index types the callers use: int32 and int64 for numpy, size_t for
// CsrMatrix.
#define PWPOLY_TRANSFER_FOR(Index)                                                                                     \
    template CsrArrays<Index> legendre_prolongation_arrays<Index>(std::size_t, std::size_t, std::size_t);              \
    template CsrArrays<Index> legendre_restriction_arrays<Index>(std::size_t, std::size_t, std::size_t);               \
    template CsrArrays<Index> legendre_prolongation_arrays<Index>(std::size_t, const TimeMesh&, const TimeMesh&);      \
    template CsrArrays<Index> legendre_restriction_arrays<Index>(std::size_t, const TimeMesh&, const TimeMesh&);

PWPOLY_TRANSFER_FOR(std::int32_t)
PWPOLY_TRANSFER_FOR(std::int64_t)
PWPOLY_TRANSFER_FOR(std::size_t)
#undef PWPOLY_TRANSFER_FOR

}  // namespace pwpoly
