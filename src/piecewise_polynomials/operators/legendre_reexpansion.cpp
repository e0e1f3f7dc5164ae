// The re-expansion coefficients R_ik, rounded once from their exact values.
//
// One recurrence serves every sub-interval. Write the coarse coordinate as
// xi = (F eta + B) / C: uniform sub-interval s of m has F = 1, B = 2s + 1 - m
// and C = m (integers, exact in double and, C^2, in double-double); any other
// fine interval has F = alpha, B = beta and C = 1, alpha and beta computed in
// double-double from the exact widths and offsets of its breakpoints (within
// 2^-102 relative of their exact values). Scaled coefficients H_ik = C^i R_ik
// satisfy H_00 = 1, H_10 = B, H_11 = F and, from Bonnet's recurrence for
// P_(i+1)(xi) and eta P_k = ((k + 1) P_(k+1) + k P_(k-1)) / (2k + 1),
//   H_(i+1),k = ((2i + 1) (F (k / (2k - 1) H_i,(k-1) + (k + 1) / (2k + 3) H_i,(k+1))
//                          + B H_ik) - i C^2 H_(i-1),k) / (i + 1),
// terms outside 0 <= k <= i being zero. Every input (F, B, C^2, the small
// rationals) is exact or within 2^-102 relative of exact in double-double,
// so each step adds an error of at most about 2^-100 times the step run on
// absolute values, and the error of the computed H_ik is at most about
// i 2^-100 times the same recurrence run on absolute values (Habs).
// R_ik = H_ik / C^i is then taken from the double-double result when every
// value within 2 E of it rounds to the same double, E = (i + 1) 2^-94 Habs /
// C^i (some 64 times the error estimate, which also covers the division by
// C^i); otherwise (exact zeros, cancellation, values too close to a rounding
// boundary, or out of the normal range) it is computed in exact integers and
// rounded once. Either way the entry is the double nearest to R_ik. Between
// the two, the entries of other fine intervals are first summed exactly
// (legendre_reexpansion_sums.hpp), which decides most of those that cancel;
// the exact integers are in legendre_reexpansion_exact.cpp.
#include "piecewise_polynomials/operators/legendre_reexpansion.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <utility>

#include "arithmetic/correct_rounding.hpp"
#include "arithmetic/double_double.hpp"
#include "arithmetic/exact_arithmetic.hpp"
#include "common/internal_failure.hpp"
#include "piecewise_polynomials/operators/legendre_reexpansion_exact.hpp"
#include "piecewise_polynomials/operators/legendre_reexpansion_sums.hpp"

namespace pwpoly {

namespace {

using dd::DD;
using dd::two_prod;
using dd::two_sum;
using exact::BigInt;

constexpr std::uint64_t exact_double_limit = std::uint64_t{1} << 53;

// The recurrence of the header comment: its constants and three rows of H
// and Habs, for one degree.
class Recurrence {
public:
    explicit Recurrence(std::size_t degree)
        : degree_(degree), below_(degree + 2), above_(degree + 2), inverse_(degree + 2), h_prev_(degree + 1),
          h_cur_(degree + 1), h_next_(degree + 1), a_prev_(degree + 1), a_cur_(degree + 1), a_next_(degree + 1) {
        // k / (2k - 1), (k + 1) / (2k + 3) and 1 / k.
        for (std::size_t k = 0; k <= degree + 1; ++k) {
            const double kd = static_cast<double>(k);
            below_[k] = k == 0 ? DD{0.0, 0.0} : DD{kd, 0.0} / DD{2.0 * kd - 1.0, 0.0};
            above_[k] = DD{kd + 1.0, 0.0} / DD{2.0 * kd + 3.0, 0.0};
            inverse_[k] = k == 0 ? DD{0.0, 0.0} : DD{1.0, 0.0} / DD{kd, 0.0};
        }
    }

    // Calls store(i, k, H_ik, Habs_ik) for every k <= i <= degree, row by
    // row; f, b and c2 are F, B and C^2.
    template <class Store>
    void run(DD f, DD b, DD c2, InterruptionPacer& pacer, Store&& store) {
        const double f_abs = std::fabs(f.hi), b_abs = std::fabs(b.hi);
        h_cur_[0] = {1.0, 0.0};
        a_cur_[0] = 1.0;
        store(0, 0, h_cur_[0], a_cur_[0]);
        if (degree_ == 0)
            return;
        h_prev_[0] = h_cur_[0];
        a_prev_[0] = a_cur_[0];
        h_cur_[0] = b;
        h_cur_[1] = f;
        a_cur_[0] = b_abs;
        a_cur_[1] = f_abs;
        store(1, 0, h_cur_[0], a_cur_[0]);
        store(1, 1, h_cur_[1], a_cur_[1]);
        for (std::size_t i = 1; i < degree_; ++i) {
            const double odd = static_cast<double>(2 * i + 1);
            const DD ic2 = c2 * static_cast<double>(i);
            const double ic2_abs = ic2.hi;
            for (std::size_t k = 0; k <= i + 1; ++k) {
                DD t{0.0, 0.0};
                double ta = 0.0;
                if (k >= 1) {
                    t = below_[k] * h_cur_[k - 1];
                    ta = below_[k].hi * a_cur_[k - 1];
                }
                if (k + 1 <= i) {
                    t = t + above_[k] * h_cur_[k + 1];
                    ta = ta + above_[k].hi * a_cur_[k + 1];
                }
                t = t * f;
                ta = ta * f_abs;
                if (k <= i) {
                    t = t + h_cur_[k] * b;
                    ta = ta + a_cur_[k] * b_abs;
                }
                t = t * odd;
                ta = ta * odd;
                if (k + 1 <= i) {
                    t = t - ic2 * h_prev_[k];
                    ta = ta + ic2_abs * a_prev_[k];
                }
                h_next_[k] = t * inverse_[i + 1];
                a_next_[k] = ta * inverse_[i + 1].hi;
                store(i + 1, k, h_next_[k], a_next_[k]);
            }
            pacer.done(150 * (i + 2));  // some fifteen double-double operations per entry
            std::swap(h_prev_, h_cur_);
            std::swap(h_cur_, h_next_);
            std::swap(a_prev_, a_cur_);
            std::swap(a_cur_, a_next_);
        }
    }

private:
    std::size_t degree_;
    std::vector<DD> below_, above_, inverse_;
    std::vector<DD> h_prev_, h_cur_, h_next_;
    std::vector<double> a_prev_, a_cur_, a_next_;
};

// E / Habs for row i at the scale C^-i (see the header comment).
inline double error_bound(std::size_t i, double habs, double inverse_power) {
    return habs * inverse_power * (static_cast<double>(i) + 1.0) * 0x1p-94;
}

}  // namespace

std::size_t triangle_size(std::size_t degree) {
    return checked_mul(checked_add(degree, 1), checked_add(degree, 2)) / 2;
}

// Sub-interval m - 1 - s has B negated, which multiplies R_ik by (-1)^(i + k)
// exactly; only s <= (m - 1) / 2 are computed.
std::vector<double> subinterval_coefficients(std::size_t degree, std::size_t m) {
    if (m == 0 || m > exact_double_limit)
        fail("subinterval_coefficients: needs 1 <= m <= 2^53");
    const std::size_t tri = triangle_size(degree);
    std::vector<double> table(checked_array_count(checked_mul(m, tri), sizeof(double)));
    const double md = static_cast<double>(m);  // exact: m <= 2^53
    const DD m2 = two_prod(md, md);
    std::vector<DD> inverse_power(degree + 1);  // 1 / m^i
    DD power{1.0, 0.0};
    for (std::size_t i = 0; i <= degree; ++i) {
        inverse_power[i] = DD{1.0, 0.0} / power;
        power = power * md;
    }

    Recurrence recurrence(degree);
    std::optional<ExactReexpansion> exact_values;
    const std::size_t half = (m + 1) / 2;
    InterruptionPacer pacer;  // the exact values report to their own
    for (std::size_t s = 0; s < half; ++s) {
        const std::int64_t b = static_cast<std::int64_t>(2 * s + 1) - static_cast<std::int64_t>(m);  // <= 0
        const double bd = static_cast<double>(b);  // exact: |b| < 2^53
        double* entries = table.data() + s * tri;
        recurrence.run({1.0, 0.0}, {bd, 0.0}, m2, pacer, [&](std::size_t i, std::size_t k, DD h, double habs) {
            const DD v = h * inverse_power[i];
            double r;
            if (b == 0 && (i + k) % 2 == 1) {
                r = 0.0;  // P_i(eta / m) has the parity of i
            } else if (rounds_unambiguously(v, error_bound(i, habs, inverse_power[i].hi))) {
                r = v.hi;
            } else {
                if (!exact_values)
                    exact_values.emplace(degree);
                r = exact_values->value(i, k, BigInt(1), BigInt(b), BigInt::from_unsigned(m));
            }
            entries[triangle_index(i, k)] = r;
        });
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

// Intervals of any meshes. With the exact differences h_f = f1 - f0,
// h_c = c1 - c0, before = f0 - c0 and after = f1 - c1 (each exact as a
// double-double), alpha = h_f / h_c and beta = (before + after) / h_c are
// computed in double-double (an accurate sum and two divisions, each within
// a few units of 2^-106 relative) after scaling the four differences by the
// power of two that puts h_c in [1, 2): there no step nears the overflow of
// Dekker's split, and what the scaling pushes below the normal range is
// below 2^-1022 of h_c, far below what an entry's error bound allows. alpha
// is at most 1; below 2^-900 its double-double value is not relatively
// accurate, and such a piece is computed exactly. beta is exactly zero when
// before = -after; then R_ik is zero for odd i + k. The triangles of the
// last few pieces whose alpha and beta are provably doubles are kept, so
// that a mesh of repeating shapes (bisected intervals, a mesh and itself)
// computes the exact values of each shape once.
struct MeshReexpansion::State {
    struct Remembered {
        double alpha, beta;
        std::vector<double> triangle;
    };

    explicit State(std::size_t degree)
        : degree(degree), triangle(triangle_size(degree)), recurrence(degree), sums(degree) {}

    std::size_t degree;
    std::vector<double> triangle;
    Recurrence recurrence;
    ReexpansionSums sums;
    std::optional<ExactReexpansion> exact_values;
    std::array<Remembered, 4> remembered{};
    std::size_t remembered_count = 0, next_slot = 0;
    bool alpha_known = false;
    DD alpha{0.0, 0.0};  // of the last piece computed, when known
};

namespace {

// (alpha, beta) as doubles when every difference is a double and
// alpha h_c = h_f, beta h_c = before + after hold exactly (checked by
// error-free products, in a range where they cannot underflow or overflow).
std::optional<std::pair<double, double>> exact_shape(DD hf, DD hc, DD before, DD after) {
    if (hf.lo != 0.0 || hc.lo != 0.0 || before.lo != 0.0 || after.lo != 0.0)
        return std::nullopt;
    if (!(hc.hi >= 0x1p-400 && hc.hi <= 0x1p400))
        return std::nullopt;
    const double alpha = hf.hi / hc.hi;
    if (!(alpha >= 0x1p-400))
        return std::nullopt;
    const DD a = two_prod(alpha, hc.hi);
    if (a.hi != hf.hi || a.lo != 0.0)
        return std::nullopt;
    const DD n = two_sum(before.hi, after.hi);  // exact
    const double beta = n.hi / hc.hi;
    if (beta != 0.0 && !(std::fabs(beta) >= 0x1p-400))
        return std::nullopt;
    const DD b = two_prod(beta, hc.hi);
    if (b.hi != n.hi || b.lo != n.lo)
        return std::nullopt;
    return std::pair{alpha, beta};
}

inline DD scaled(DD x, double p) { return {x.hi * p, x.lo * p}; }

// 2^-e for the positive normal double x in [2^e, 2^(e+1)), from its bits
// (x at most 2^1022, so that 2^-e is normal).
inline double inverse_binade(double x) {
    const std::uint64_t biased = (std::bit_cast<std::uint64_t>(x) >> 52) & 0x7ff;
    return std::bit_cast<double>((std::uint64_t{2046} - biased) << 52);
}

// The four differences of a piece, exact, scaled by the power of two that
// puts h_c in [1, 2).
struct PieceFrame {
    DD hf, hc, before, after;
};

PieceFrame frame_of(DD hf, DD hc, DD before, DD after) {
    const double p = inverse_binade(hc.hi);  // exact scaling
    return {scaled(hf, p), scaled(hc, p), scaled(before, p), scaled(after, p)};
}

}  // namespace

const DD* MeshReexpansion::last_width_ratio() const { return state_->alpha_known ? &state_->alpha : nullptr; }

DD width_ratio(double c0, double c1, double f0, double f1) {
    const PieceFrame frame = frame_of(two_sum(f1, -f0), two_sum(c1, -c0), {0.0, 0.0}, {0.0, 0.0});
    return frame.hf / frame.hc;
}

MeshReexpansion::MeshReexpansion(std::size_t degree) : state_(std::make_unique<State>(degree)) {}

MeshReexpansion::~MeshReexpansion() = default;

const double* MeshReexpansion::coefficients(double c0, double c1, double f0, double f1, InterruptionPacer& pacer) {
    State& st = *state_;
    const DD hf = two_sum(f1, -f0), hc = two_sum(c1, -c0), before = two_sum(f0, -c0), after = two_sum(f1, -c1);
    const bool beta_zero = before.hi == -after.hi && before.lo == -after.lo;
    const std::optional<std::pair<double, double>> shape = exact_shape(hf, hc, before, after);
    if (shape)
        for (std::size_t j = 0; j < st.remembered_count; ++j)
            if (st.remembered[j].alpha == shape->first && st.remembered[j].beta == shape->second) {
                st.alpha_known = false;
                pacer.done(st.triangle.size());
                return st.remembered[j].triangle.data();
            }

    const PieceFrame frame = frame_of(hf, hc, before, after);
    const DD alpha = frame.hf / frame.hc;
    const DD beta = (frame.before + frame.after) / frame.hc;
    st.alpha_known = true;
    st.alpha = alpha;

    // Entries the recurrence leaves open: from the exact sums where they
    // decide, else from big integers.
    const bool sums_usable = st.sums.available() && st.sums.set_piece(hf, before, after, hc, inverse_binade(hc.hi));
    std::optional<std::array<BigInt, 3>> exact_inputs;
    auto exact_value = [&](std::size_t i, std::size_t k) {
        double r;
        if (sums_usable && st.sums.value(i, k, r))
            return r;
        if (!st.exact_values)
            st.exact_values.emplace(st.degree);
        if (!exact_inputs)
            exact_inputs = exact_piece(c0, c1, f0, f1);
        const std::array<BigInt, 3>& in = *exact_inputs;
        return st.exact_values->value(i, k, in[0], in[1], in[2]);
    };
    double* const out = st.triangle.data();
    if (alpha.hi >= 0x1p-900) {
        st.recurrence.run(alpha, beta, {1.0, 0.0}, pacer, [&](std::size_t i, std::size_t k, DD h, double habs) {
            double r;
            if (beta_zero && (i + k) % 2 == 1)
                r = 0.0;  // P_i(alpha eta) has the parity of i
            else if (rounds_unambiguously(h, error_bound(i, habs, 1.0)))
                r = h.hi;
            else
                r = exact_value(i, k);
            out[triangle_index(i, k)] = r;
        });
    } else {
        // alpha within 2^-900 of zero: its double-double value is not
        // relatively accurate, so every entry is computed exactly.
        for (std::size_t i = 0; i <= st.degree; ++i)
            for (std::size_t k = 0; k <= i; ++k)
                out[triangle_index(i, k)] = beta_zero && (i + k) % 2 == 1 ? 0.0 : exact_value(i, k);
    }
    pacer.done(40 + 2 * st.triangle.size());

    if (shape) {
        State::Remembered& slot = st.remembered[st.next_slot];
        slot.alpha = shape->first;
        slot.beta = shape->second;
        slot.triangle = st.triangle;
        st.next_slot = (st.next_slot + 1) % st.remembered.size();
        if (st.remembered_count < st.remembered.size())
            ++st.remembered_count;
    }
    return out;
}

}  // namespace pwpoly
