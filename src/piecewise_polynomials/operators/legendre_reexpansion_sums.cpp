#include "piecewise_polynomials/operators/legendre_reexpansion_sums.hpp"

#include <cmath>
#include <cstdint>
#include <numeric>

#include "arithmetic/correct_rounding.hpp"
#include "piecewise_polynomials/operators/legendre_reexpansion.hpp"

namespace pwpoly {

namespace {

using dd::DD;

constexpr std::size_t sums_top_degree = 6;
constexpr std::int64_t exact_integer_limit = std::int64_t{1} << 53;
constexpr std::size_t term_capacity = 256;  // terms of one monomial
constexpr std::size_t expansion_capacity = 64;

// A rational num / den, den > 0, in lowest terms; `ok` turns false on an
// overflow of the 64-bit integers (then the sums are not available).
struct Ratio {
    std::int64_t num = 0, den = 1;
};

struct RatioArithmetic {
    bool ok = true;

    std::int64_t mul(std::int64_t x, std::int64_t y) {
        std::int64_t r = 0;
        if (__builtin_mul_overflow(x, y, &r))
            ok = false;
        return r;
    }
    std::int64_t add(std::int64_t x, std::int64_t y) {
        std::int64_t r = 0;
        if (__builtin_add_overflow(x, y, &r))
            ok = false;
        return r;
    }
    Ratio reduced(std::int64_t num, std::int64_t den) {
        if (!ok || num == 0)
            return {0, 1};
        const std::int64_t g = std::gcd(num, den);
        return {num / g, den / g};
    }
    Ratio times(Ratio x, Ratio y) { return reduced(mul(x.num, y.num), mul(x.den, y.den)); }
    Ratio plus(Ratio x, Ratio y) {
        const std::int64_t g = std::gcd(x.den, y.den);
        return reduced(add(mul(x.num, y.den / g), mul(y.num, x.den / g)), mul(x.den / g, y.den));
    }
};

// next = terms times the parts of a factor, every product split exactly.
std::size_t multiply_terms(const double* terms, std::size_t count, const double* parts, std::size_t n_parts,
                           double* next) {
    std::size_t out = 0;
    for (std::size_t t = 0; t < count; ++t)
        for (std::size_t p = 0; p < n_parts; ++p) {
            const DD product = dd::two_prod(terms[t], parts[p]);
            next[out++] = product.hi;
            if (product.lo != 0.0)
                next[out++] = product.lo;
        }
    return out;
}

// Adds x to the nonoverlapping expansion e (increasing magnitudes, no
// zeros) exactly: Shewchuk's growing of an expansion with zero elimination.
bool grow_expansion(double* e, std::size_t& length, double x) {
    std::size_t out = 0;
    double q = x;
    for (std::size_t j = 0; j < length; ++j) {
        const DD s = dd::two_sum(q, e[j]);
        q = s.hi;
        if (s.lo != 0.0)
            e[out++] = s.lo;
    }
    if (q != 0.0) {
        if (out == expansion_capacity)
            return false;
        e[out++] = q;
    }
    length = out;
    return true;
}

}  // namespace

ReexpansionSums::ReexpansionSums(std::size_t degree) {
    if (degree > sums_top_degree)
        return;
    RatioArithmetic q;
    // Legendre coefficients by Bonnet's recurrence, lowest degree first.
    std::vector<std::vector<Ratio>> p(degree + 1);
    p[0] = {Ratio{1, 1}};
    if (degree >= 1)
        p[1] = {Ratio{0, 1}, Ratio{1, 1}};
    for (std::size_t i = 1; i < degree; ++i) {
        p[i + 1].assign(i + 2, Ratio{});
        const auto id = static_cast<std::int64_t>(i);
        for (std::size_t n = 0; n <= i + 1; ++n) {
            Ratio v{};
            if (n >= 1)
                v = q.times(p[i][n - 1], Ratio{2 * id + 1, 1});
            if (n + 1 <= i)
                v = q.plus(v, q.times(p[i - 1][n], Ratio{-id, 1}));
            p[i + 1][n] = q.times(v, Ratio{1, id + 1});
        }
    }
    // moment[k][a] = (2k + 1) / 2 integral_{-1}^{1} P_k(eta) eta^a deta.
    std::vector<std::vector<Ratio>> moment(degree + 1, std::vector<Ratio>(degree + 1));
    for (std::size_t k = 0; k <= degree; ++k)
        for (std::size_t a = 0; a <= degree; ++a) {
            Ratio s{};
            for (std::size_t j = 0; j <= k; ++j)
                if ((j + a) % 2 == 0)
                    s = q.plus(s, q.times(p[k][j], Ratio{2, static_cast<std::int64_t>(j + a + 1)}));
            moment[k][a] = q.times(s, Ratio{static_cast<std::int64_t>(2 * k + 1), 2});
        }
    monomials_.resize(triangle_size(degree));
    denominator_.resize(triangle_size(degree));
    for (std::size_t i = 0; i <= degree; ++i)
        for (std::size_t k = 0; k <= i; ++k) {
            struct Term {
                Ratio r;
                unsigned a, b;
            };
            std::vector<Term> terms;
            std::int64_t den = 1;
            for (std::size_t a = 0; a <= i; ++a) {
                std::int64_t binomial = 1;  // C(a + b, a), from b = 0
                for (std::size_t b = 0; a + b <= i; ++b) {
                    if (b > 0)
                        binomial = binomial * static_cast<std::int64_t>(a + b) / static_cast<std::int64_t>(b);
                    const Ratio r = q.times(q.times(p[i][a + b], Ratio{binomial, 1}), moment[k][a]);
                    if (r.num == 0)
                        continue;
                    terms.push_back({r, static_cast<unsigned>(a), static_cast<unsigned>(b)});
                    den = q.mul(den / std::gcd(den, r.den), r.den);
                }
            }
            std::vector<Monomial>& out = monomials_[triangle_index(i, k)];
            for (const Term& t : terms) {
                const std::int64_t n = q.mul(t.r.num, den / t.r.den);
                if (n <= -exact_integer_limit || n >= exact_integer_limit)
                    q.ok = false;
                out.push_back({static_cast<double>(n), t.a, t.b});
            }
            if (den >= exact_integer_limit)
                q.ok = false;
            denominator_[triangle_index(i, k)] = static_cast<double>(den);
        }
    available_ = q.ok;
}

bool ReexpansionSums::set_piece(DD f, DD before, DD after, DD c, double scale) {
    nf_ = nb_ = nc_ = 0;
    bool ok = true;
    auto take = [&](double x, double* parts, std::size_t& n) {
        if (x == 0.0)
            return;
        const double y = x * scale;  // exact in the range accepted
        if (!(std::fabs(y) >= 0x1p-100 && std::fabs(y) <= 0x1p10))
            ok = false;
        parts[n++] = y;
    };
    take(f.hi, f_.data(), nf_);
    take(f.lo, f_.data(), nf_);
    take(before.hi, b_.data(), nb_);
    take(before.lo, b_.data(), nb_);
    take(after.hi, b_.data(), nb_);
    take(after.lo, b_.data(), nb_);
    take(c.hi, c_.data(), nc_);
    take(c.lo, c_.data(), nc_);
    c_dd_ = {c.hi * scale, c.lo * scale};
    return ok && nc_ > 0;
}

bool ReexpansionSums::value(std::size_t i, std::size_t k, double& r) const {
    // Scratch, written before it is read (not cleared: it is large).
    std::array<double, term_capacity> first, second;
    std::array<double, expansion_capacity> e;
    std::size_t length = 0;
    for (const Monomial& m : monomials_[triangle_index(i, k)]) {
        double* terms = first.data();
        double* next = second.data();
        std::size_t count = 1;
        terms[0] = m.n;
        auto times = [&](const double* parts, std::size_t n_parts, std::size_t power) {
            for (std::size_t j = 0; j < power; ++j) {
                if (2 * count * n_parts > term_capacity)
                    return false;
                count = multiply_terms(terms, count, parts, n_parts, next);
                std::swap(terms, next);
            }
            return true;
        };
        if (!times(f_.data(), nf_, m.a) || !times(b_.data(), nb_, m.b) || !times(c_.data(), nc_, i - m.a - m.b))
            return false;
        for (std::size_t t = 0; t < count; ++t)
            if (!grow_expansion(e.data(), length, terms[t]))
                return false;
    }
    if (length == 0) {
        r = 0.0;  // N_ik is exactly zero
        return true;
    }
    // The expansion in double-double, smallest part first: each addition
    // errs by at most some 2^-104 of the part added (the parts below it sum
    // to less than it), so the whole by less than 2^-97 of the largest.
    DD n{0.0, 0.0};
    for (std::size_t j = 0; j < length; ++j)
        n = n + DD{e[j], 0.0};
    DD den{1.0, 0.0};
    for (std::size_t j = 0; j < i; ++j)
        den = den * c_dd_;
    den = den * denominator_[triangle_index(i, k)];
    const DD v = n / den;
    const double bound = (std::fabs(e[length - 1]) / std::fabs(den.hi) + std::fabs(v.hi)) * 0x1p-95;
    if (!rounds_unambiguously(v, bound))
        return false;
    r = v.hi;
    return true;
}

}  // namespace pwpoly
