// Calculus on vector-valued expansions, against exact arithmetic
// and against the scalar evaluation: endpoint values bit for bit, the
// integral and the antiderivative to rounding of the exact values, the
// projection exact for polynomials and bit for bit its documented sums, the
// sparse product bit for bit scipy's order.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "core_test_support.hpp"
#include "piecewise_polynomials/basis/lagrange_basis.hpp"
#include "piecewise_polynomials/basis/legendre_basis.hpp"
#include "piecewise_polynomials/calculus/expansion_calculus.hpp"
#include "piecewise_polynomials/calculus/gauss_legendre.hpp"

namespace pwpoly {
namespace {

using testing_support::failure_of;

constexpr std::uint32_t seed = 20250217;
constexpr double u = 0x1p-53;  // unit roundoff
constexpr double inf = std::numeric_limits<double>::infinity();

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// ---- exact arithmetic -------------------------------------------------------------
// Every double is a dyadic rational m * 2^e, and so are all the exact values
// the tests need (sums of doubles, products with doubles). Exact holds one as
// a fixed-point number: a 512-bit two's complement integer in units of
// 2^-224, in 32-bit limbs (plain 64-bit arithmetic, so it builds on 32-bit
// targets too). An operation whose result would not fit, or would drop a
// bit, throws, so a test can never pass on wrong numbers.

[[noreturn]] void inexact() { throw std::overflow_error("exact arithmetic out of range"); }

class Exact {
public:
    static constexpr int limb_count = 16, scale = 224;

    Exact() = default;

    static Exact of(double x) {
        if (!std::isfinite(x))
            inexact();
        int e = 0;
        const double mantissa = std::frexp(std::fabs(x), &e);  // |x| = mantissa * 2^e
        Exact r;
        r.add_shifted(static_cast<std::uint64_t>(std::ldexp(mantissa, 53)), e - 53 + scale);
        return x < 0 ? -r : r;
    }

    // The exact product with a double.
    Exact times(double x) const {
        if (!std::isfinite(x))
            inexact();
        int e = 0;
        const double mantissa = std::frexp(std::fabs(x), &e);
        const std::uint64_t factor = static_cast<std::uint64_t>(std::ldexp(mantissa, 53));
        const bool negative = is_negative() != (x < 0);
        const Exact a = is_negative() ? -*this : *this;
        // a * factor * 2^(e - 53): limb products accumulated at their shifts.
        Exact r;
        for (int i = 0; i < limb_count; ++i)
            for (const int half : {0, 1}) {
                const std::uint64_t part = half == 0 ? (factor & 0xffffffffu) : (factor >> 32);
                const std::uint64_t product = static_cast<std::uint64_t>(a.limbs_[i]) * part;
                if (product != 0)
                    r.add_shifted(product, 32 * i + 32 * half + (e - 53));
            }
        return negative ? -r : r;
    }

    Exact operator-() const {
        Exact r;
        std::uint64_t carry = 1;
        for (int i = 0; i < limb_count; ++i) {
            const std::uint64_t x = static_cast<std::uint64_t>(~limbs_[i]) + carry;
            r.limbs_[i] = static_cast<std::uint32_t>(x);
            carry = x >> 32;
        }
        return r;
    }

    friend Exact operator+(const Exact& a, const Exact& b) {
        Exact r;
        std::uint64_t carry = 0;
        for (int i = 0; i < limb_count; ++i) {
            const std::uint64_t x = std::uint64_t{a.limbs_[i]} + b.limbs_[i] + carry;
            r.limbs_[i] = static_cast<std::uint32_t>(x);
            carry = x >> 32;
        }
        // Overflow: both operands of one sign, the result of the other.
        if (a.is_negative() == b.is_negative() && r.is_negative() != a.is_negative())
            inexact();
        return r;
    }
    friend Exact operator-(const Exact& a, const Exact& b) { return a + -b; }

    // The value, rounded (within an ulp or two).
    double approx() const {
        const Exact a = is_negative() ? -*this : *this;
        double r = 0.0;
        for (int i = limb_count - 1; i >= 0; --i)
            r += std::ldexp(static_cast<double>(a.limbs_[i]), 32 * i - scale);
        return is_negative() ? -r : r;
    }

private:
    bool is_negative() const { return (limbs_[limb_count - 1] >> 31) != 0; }

    // Adds x * 2^shift (in units of 2^-scale) to a non-negative value.
    void add_shifted(std::uint64_t x, int shift) {
        if (shift < 0) {
            if (shift <= -64 || (x & ((std::uint64_t{1} << -shift) - 1)) != 0)
                inexact();  // bits below 2^-scale
            x >>= -shift;
            shift = 0;
        }
        std::uint64_t carry = 0;
        for (int i = shift / 32; i < limb_count && (x != 0 || carry != 0); ++i) {
            const int offset = i == shift / 32 ? shift % 32 : 0;
            const std::uint64_t chunk = offset == 0 ? (x & 0xffffffffu) : ((x << offset) & 0xffffffffu);
            x = offset == 0 ? (x >> 32) : (x >> (32 - offset));
            const std::uint64_t sum = std::uint64_t{limbs_[i]} + chunk + carry;
            limbs_[i] = static_cast<std::uint32_t>(sum);
            carry = sum >> 32;
        }
        if (x != 0 || carry != 0 || is_negative())
            inexact();  // beyond the top bit
    }

    std::uint32_t limbs_[limb_count] = {};
};

// |x - exact|, rounded.
double distance(double x, const Exact& exact) { return std::fabs((Exact::of(x) - exact).approx()); }

// The exact arithmetic itself, on values known by hand.
TEST(ExactArithmetic, KnownValuesAndRefusals) {
    // double(0.1) * 3 - double(0.3) is exactly 2^-55.
    EXPECT_EQ((Exact::of(0.1).times(3.0) - Exact::of(0.3)).approx(), 0x1p-55);
    EXPECT_EQ((Exact::of(1e16) + Exact::of(1.0) - Exact::of(1e16)).approx(), 1.0);
    EXPECT_EQ(Exact::of(-1.5).times(-2.5).approx(), 3.75);
    EXPECT_EQ(Exact::of(0x1p-100).times(-0x1p40).approx(), -0x1p-60);
    EXPECT_EQ((Exact::of(-0x1p200) + Exact::of(0x1p-200)).approx(), -0x1p200);
    EXPECT_THROW(Exact::of(1e-30).times(1e-30), std::overflow_error);  // bits below 2^-224
    EXPECT_THROW(Exact::of(1e80).times(1e10), std::overflow_error);    // beyond 2^287
    EXPECT_THROW(Exact::of(0x1p286) + Exact::of(0x1p286), std::overflow_error);
}

// A dyadic number in [-2, 2] with 20 fractional bits, or zero.
double dyadic(std::mt19937_64& rng) {
    std::uniform_int_distribution<std::int64_t> d(-(std::int64_t{1} << 21), std::int64_t{1} << 21);
    return rng() % 8 == 0 ? 0.0 : std::ldexp(static_cast<double>(d(rng)), -20);
}

// Component k of an expansion in LegendreBasis's layout (element (j, i) at
// j + n_t * i).
std::vector<double> component(const std::vector<double>& c, std::size_t degree, std::size_t n_t, std::size_t m,
                              std::size_t k) {
    std::vector<double> out((degree + 1) * n_t);
    for (std::size_t i = 0; i <= degree; ++i)
        for (std::size_t j = 0; j < n_t; ++j)
            out[j + n_t * i] = c[(i * n_t + j) * m + k];
    return out;
}

// ---- endpoint values -----------------------------------------------------------

// With T = n_t (w = 1) the time j lies at xi = -1 of interval j exactly, and
// the time j + 1 on a mesh of the first j + 1 intervals at xi = 1 of
// interval j. A quarter of the coefficients are -0.0, so that the signs of
// zero sums show the starting value.
TEST(EndpointValues, AreTheScalarEvaluationAtBothEnds) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> dist(-2.0, 2.0);
    for (std::size_t degree = 0; degree <= 10; ++degree)
        for (const std::size_t n_t : {1, 2, 5})
            for (const std::size_t m : {0, 1, 3, 8}) {
                SCOPED_TRACE("degree " + std::to_string(degree) + " n_t " + std::to_string(n_t) + " m " +
                             std::to_string(m));
                std::vector<double> c((degree + 1) * n_t * m);
                for (double& x : c)
                    x = rng() % 4 == 0 ? -0.0 : dist(rng);
                std::vector<double> at_start(n_t * m + 1, 7.0), at_end(n_t * m + 1, 7.0);
                endpoint_values(degree, n_t, m, c.data(), at_start.data(), at_end.data());
                EXPECT_EQ(at_start.back(), 7.0);
                EXPECT_EQ(at_end.back(), 7.0);
                for (std::size_t k = 0; k < m; ++k) {
                    const std::vector<double> ck = component(c, degree, n_t, m, k);
                    const ColMatrixView view{ck.data(), n_t, degree + 1};
                    const LegendreBasis whole(degree, n_t, static_cast<double>(n_t));
                    for (std::size_t j = 0; j < n_t; ++j) {
                        const double start = whole.evaluate(static_cast<double>(j), view);
                        const LegendreBasis first(degree, j + 1, static_cast<double>(j + 1));
                        const double end = first.evaluate(static_cast<double>(j + 1), view);
                        ASSERT_EQ(bits(at_start[j * m + k]), bits(start)) << "start of " << j << ", component " << k;
                        ASSERT_EQ(bits(at_end[j * m + k]), bits(end)) << "end of " << j << ", component " << k;
                    }
                }
            }
}

// ---- integral ------------------------------------------------------------------

// Component 0: pairs of large integers b and -b (|b| near 2^30) and small
// dyadic numbers (26 fractional bits, far below the spacing of doubles near
// 2^30), shuffled, so that the exact sum is the sum of the small ones and a
// plain running sum loses most of it; component 1: random dyadic numbers;
// component 2: large numbers of one sign. The higher coefficients are NaN:
// the integral must not read them.
TEST(Integral, IllConditionedSumsAreExactToRounding) {
    std::mt19937_64 rng(seed + 1);
    std::uniform_int_distribution<std::int64_t> big(std::int64_t{1} << 29, std::int64_t{1} << 30);
    std::uniform_int_distribution<std::int64_t> small(-(std::int64_t{1} << 26), std::int64_t{1} << 26);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::size_t m = 3, degree = 2;
    for (const std::size_t n_t : {1, 4, 37, 1000})
        for (const double T : {1.0, 0.75 * static_cast<double>(n_t), 3.0}) {
            SCOPED_TRACE("n_t " + std::to_string(n_t) + " T " + std::to_string(T));
            std::vector<double> c((degree + 1) * n_t * m, nan);
            std::vector<double> pattern;
            while (pattern.size() + 3 <= n_t) {
                const double b = static_cast<double>(big(rng)) * (rng() % 2 ? 1.0 : -1.0);
                pattern.insert(pattern.end(), {b, std::ldexp(static_cast<double>(small(rng)), -26), -b});
            }
            while (pattern.size() < n_t)
                pattern.push_back(std::ldexp(static_cast<double>(small(rng)), -26));
            std::shuffle(pattern.begin(), pattern.end(), rng);
            for (std::size_t j = 0; j < n_t; ++j) {
                c[j * m + 0] = pattern[j];
                c[j * m + 1] = dyadic(rng);
                c[j * m + 2] = static_cast<double>(big(rng));
            }
            double out[m + 1] = {0, 0, 0, 7.0};
            integral(degree, TimeMesh::unchecked_uniform(n_t, T), m, c.data(), out);
            EXPECT_EQ(out[m], 7.0);
            const double w = T / static_cast<double>(n_t);
            for (std::size_t k = 0; k < m; ++k) {
                Exact sum;
                double magnitude = 0.0;
                for (std::size_t j = 0; j < n_t; ++j) {
                    sum = sum + Exact::of(c[j * m + k]);
                    magnitude += std::fabs(c[j * m + k]);
                }
                const Exact exact = sum.times(w);
                const double n = static_cast<double>(n_t);
                const double tolerance = 2.5 * u * std::fabs(exact.approx()) + 2.0 * n * n * u * u * w * magnitude;
                EXPECT_LE(distance(out[k], exact), tolerance)
                    << "component " << k << ": got " << out[k] << ", exact " << exact.approx();
            }
        }
}

TEST(Integral, NonFiniteTermsGiveThePlainSum) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // Three components on three intervals, degree 0: c[0, j, k] at j * 3 + k.
    const double c[9] = {1.0, inf, 1e308, inf, -inf, 1e308, 2.0, 3.0, -1e308};
    double out[3];
    integral(0, TimeMesh::unchecked_uniform(3, 3.0), 3, c, out);
    EXPECT_EQ(out[0], inf);
    EXPECT_TRUE(std::isnan(out[1]));
    EXPECT_EQ(out[2], inf);  // 1e308 + 1e308 overflows before -1e308 comes
    const double d[2] = {nan, 1.0};
    integral(0, TimeMesh::unchecked_uniform(2, 2.0), 1, d, out);
    EXPECT_TRUE(std::isnan(out[0]));
}

// ---- antiderivative ------------------------------------------------------------

// Upper bound of the rounding error of F[i] (as a multiple of u, halved):
// |h| (|c_(i-1)| / (2i - 1) + |c_(i+1)| / (2i + 3)), and |h| (|c_0| + |c_1| / 3)
// for i = 0.
std::vector<double> term_sizes(const std::vector<double>& ci, double h) {
    const std::size_t degree = ci.size() - 1;
    std::vector<double> e(degree + 2);
    e[0] = std::fabs(h) * (std::fabs(ci[0]) + (degree >= 1 ? std::fabs(ci[1]) / 3.0 : 0.0));
    for (std::size_t i = 1; i <= degree + 1; ++i)
        e[i] = std::fabs(h) * (std::fabs(ci[i - 1]) / static_cast<double>(2 * i - 1) +
                               (i + 1 <= degree ? std::fabs(ci[i + 1]) / static_cast<double>(2 * i + 3) : 0.0));
    return e;
}

// Checks, in exact arithmetic on the computed coefficients F:
//  * dF/dt = e: with P_i' = sum of (2k + 1) P_k over k < i, i - k odd, the
//    derivative's coefficient of P_k is (2 / w) (2k + 1) sum F[i] over those
//    i, and must be c_k;
//  * F at both ends of interval j is the exact integral over [0, a_j] and
//    [0, a_(j+1)] (so F(0) = 0 and F is continuous at every node).
// w is a power of two, so every exact value is a dyadic fraction.
void check_antiderivative(std::size_t degree, std::size_t n_t, double w, const std::vector<double>& c, std::size_t m) {
    const double T = w * static_cast<double>(n_t);
    const std::vector<double> F = antiderivative(degree, TimeMesh::unchecked_uniform(n_t, T), m, c.data());
    ASSERT_EQ(F.size(), (degree + 2) * n_t * m);
    const double h = 0.5 * w;
    for (std::size_t k = 0; k < m; ++k) {
        Exact integral_so_far;  // w * sum of c[0, l, k] for l < j
        double sizes_so_far = 0.0;
        for (std::size_t j = 0; j < n_t; ++j) {
            SCOPED_TRACE("component " + std::to_string(k) + ", interval " + std::to_string(j));
            std::vector<double> cj(degree + 1), Fj(degree + 2);
            for (std::size_t i = 0; i <= degree; ++i)
                cj[i] = c[(i * n_t + j) * m + k];
            for (std::size_t i = 0; i <= degree + 1; ++i)
                Fj[i] = F[(i * n_t + j) * m + k];
            const std::vector<double> e = term_sizes(cj, h);
            for (std::size_t kk = 0; kk <= degree; ++kk) {
                Exact g;
                double size = 0.0;
                for (std::size_t i = kk + 1; i <= degree + 1; i += 2) {
                    g = g + Exact::of(Fj[i]);
                    size += e[i];
                }
                g = g.times(static_cast<double>(2 * kk + 1)).times(2.0 / w);
                const double tolerance = 4.0 * u * (2.0 / w) * static_cast<double>(2 * kk + 1) * size;
                EXPECT_LE(distance(cj[kk], g), tolerance) << "derivative, coefficient of P_" << kk;
            }
            const Exact next = integral_so_far + Exact::of(cj[0]).times(w);
            Exact start, end;
            double size = 0.0;
            for (std::size_t i = 0; i <= degree + 1; ++i) {
                const Exact f = Exact::of(Fj[i]);
                start = i % 2 == 0 ? start + f : start - f;
                end = end + f;
                size += e[i];
            }
            // Sum2's second-order term for the constant, n^2 u^2 sum |w c|.
            const double n = static_cast<double>(n_t);
            const double tolerance = 4.0 * u * (size + std::fabs(integral_so_far.approx()) + std::fabs(next.approx())) +
                                     2.0 * n * n * u * u * (sizes_so_far + std::fabs(w * cj[0]));
            EXPECT_LE(std::fabs((start - integral_so_far).approx()), tolerance) << "F at the start";
            EXPECT_LE(std::fabs((end - next).approx()), tolerance) << "F at the end";
            integral_so_far = next;
            sizes_so_far += std::fabs(w * cj[0]);
        }
    }
}

TEST(Antiderivative, DifferentiatesBackAndIntegratesExactlyToRounding) {
    std::mt19937_64 rng(seed + 2);
    for (std::size_t degree = 0; degree <= 6; ++degree)
        for (const std::size_t n_t : {1, 2, 5})
            for (const double w : {1.0, 0.5, 2.0}) {
                SCOPED_TRACE("degree " + std::to_string(degree) + " n_t " + std::to_string(n_t) + " w " +
                             std::to_string(w));
                const std::size_t m = 2;
                std::vector<double> c((degree + 1) * n_t * m);
                for (double& x : c)
                    x = dyadic(rng);
                check_antiderivative(degree, n_t, w, c, m);
            }
}

// The constants K_j of an interval after large cancelling ones (b, s, -b,
// s', ...): a plain running sum would lose the small terms.
TEST(Antiderivative, ConstantsSurviveCancellation) {
    std::mt19937_64 rng(seed + 3);
    std::uniform_int_distribution<std::int64_t> big(std::int64_t{1} << 29, std::int64_t{1} << 30);
    std::uniform_int_distribution<std::int64_t> small(-(std::int64_t{1} << 26), std::int64_t{1} << 26);
    for (const std::size_t degree : {0, 1, 2}) {
        SCOPED_TRACE("degree " + std::to_string(degree));
        const std::size_t n_t = 12, m = 1;
        std::vector<double> c((degree + 1) * n_t * m);
        for (double& x : c)
            x = dyadic(rng);
        for (std::size_t j = 0; j + 3 < n_t; j += 4) {
            const double b = static_cast<double>(big(rng));
            c[j] = b;
            c[j + 1] = std::ldexp(static_cast<double>(small(rng)), -26);
            c[j + 2] = -b;
            c[j + 3] = std::ldexp(static_cast<double>(small(rng)), -26);
        }
        check_antiderivative(degree, n_t, 1.0, c, m);
    }
}

// ---- projection ----------------------------------------------------------------

// Sampled at the Gauss-Legendre nodes, an expansion of degree <= degree
// projects back onto its own coefficients, to rounding: the samples and the
// rule carry errors of a few ulps of sum |c_l|, which the weight of P_i
// amplifies by about 2i + 1 (the largest error seen is 12 ulps of it).
TEST(ProjectValues, RecoversPolynomialsFromTheirValuesAtTheNodes) {
    std::mt19937_64 rng(seed + 4);
    std::uniform_real_distribution<double> dist(-2.0, 2.0);
    for (std::size_t degree = 0; degree <= 8; ++degree)
        for (const std::size_t extra : {0, 3})
            for (const std::size_t n_t : {1, 3})
                for (const double T : {1.0, 2.5})
                    for (const std::size_t m : {1, 3}) {
                        const std::size_t points = degree + 1 + extra;
                        SCOPED_TRACE("degree " + std::to_string(degree) + " points " + std::to_string(points) +
                                     " n_t " + std::to_string(n_t) + " T " + std::to_string(T) + " m " +
                                     std::to_string(m));
                        std::vector<double> c((degree + 1) * n_t * m);
                        for (double& x : c)
                            x = dist(rng);
                        const LegendreBasis basis(degree, n_t, T);
                        const QuadratureRule nodes = gauss_legendre_on_mesh(points, TimeMesh::uniform(n_t, T));
                        std::vector<double> values(n_t * points * m);
                        for (std::size_t k = 0; k < m; ++k) {
                            const std::vector<double> ck = component(c, degree, n_t, m, k);
                            for (std::size_t node = 0; node < n_t * points; ++node)
                                values[node * m + k] = basis.evaluate(nodes.nodes[node], {ck.data(), n_t, degree + 1});
                        }
                        std::vector<double> out(c.size() + 1, 7.0);
                        project_values(degree, n_t, points, m, values.data(), out.data());
                        EXPECT_EQ(out.back(), 7.0);
                        for (std::size_t j = 0; j < n_t; ++j)
                            for (std::size_t k = 0; k < m; ++k) {
                                double size = 0.0;
                                for (std::size_t i = 0; i <= degree; ++i)
                                    size += std::fabs(c[(i * n_t + j) * m + k]);
                                for (std::size_t i = 0; i <= degree; ++i) {
                                    const std::size_t at = (i * n_t + j) * m + k;
                                    EXPECT_NEAR(out[at], c[at],
                                                4.0 * static_cast<double>((2 * i + 1) * (degree + 2)) * u * size)
                                        << "P_" << i << " on interval " << j << ", component " << k;
                                }
                            }
                    }
}

// The documented sums, from a table built independently: each P_i(x_q)
// restarted from P_0 and P_1, t_iq = ((0.5 * (2i + 1)) * omega_q) * P_i(x_q),
// then sum = +0.0, sum = sum + t_iq * f_q in increasing q. Some intervals
// hold only -0.0, whose sums show the starting value.
TEST(ProjectValues, AreTheDocumentedSumsBitForBit) {
    std::mt19937_64 rng(seed + 5);
    std::uniform_real_distribution<double> dist(-3.0, 3.0);
    const auto legendre = [](std::size_t i, double x) {
        double prev = 1.0, p = x, k = 1.0;
        if (i == 0)
            return 1.0;
        for (std::size_t step = 1; step < i; ++step) {
            const double next = ((((k + k) + 1.0) * x) * p - prev * k) / (k + 1.0);
            prev = p;
            p = next;
            k = k + 1.0;
        }
        return p;
    };
    for (std::size_t degree = 0; degree <= 6; ++degree)
        for (std::size_t points = 1; points <= 7; ++points)
            for (const std::size_t m : {0, 1, 2, 5}) {
                SCOPED_TRACE("degree " + std::to_string(degree) + " points " + std::to_string(points) + " m " +
                             std::to_string(m));
                const std::size_t n_t = 1 + (degree + points) % 4;
                std::vector<double> values(n_t * points * m);
                for (std::size_t x = 0; x < values.size(); ++x)
                    values[x] =
                        (x / (points * m)) % 3 == 1 ? -0.0 : std::ldexp(dist(rng), static_cast<int>(rng() % 40) - 20);
                std::vector<double> out((degree + 1) * n_t * m + 1, 7.0);
                project_values(degree, n_t, points, m, values.data(), out.data());
                const QuadratureRule rule = gauss_legendre_rule(points);
                for (std::size_t i = 0; i <= degree; ++i)
                    for (std::size_t j = 0; j < n_t; ++j)
                        for (std::size_t k = 0; k < m; ++k) {
                            double sum = 0.0;
                            for (std::size_t q = 0; q < points; ++q) {
                                const double t = ((0.5 * static_cast<double>(2 * i + 1)) * rule.weights[q]) *
                                                 legendre(i, rule.nodes[q]);
                                sum = sum + t * values[(j * points + q) * m + k];
                            }
                            ASSERT_EQ(bits(out[(i * n_t + j) * m + k]), bits(sum))
                                << "P_" << i << " on interval " << j << ", component " << k;
                        }
                EXPECT_EQ(out.back(), 7.0);
            }
}

// ---- sparse rows times dense columns ---------------------------------------------

// Random matrices with explicit zeros, signed zeros, empty rows and values
// spread over many binades (so that another order of the sums would show),
// against the plain loop over the stored entries in row-major order.
TEST(ApplyCsrRows, IsScipysOrderBitForBit) {
    std::mt19937_64 rng(seed + 6);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    const auto value = [&] {
        const std::uint64_t kind = rng() % 8;
        return kind == 0 ? 0.0 : kind == 1 ? -0.0 : std::ldexp(dist(rng), static_cast<int>(rng() % 60) - 30);
    };
    for (int round = 0; round < 60; ++round) {
        const std::size_t nrows = rng() % 12, ncols = rng() % 12, m = std::vector<std::size_t>{0, 1, 3, 8}[round % 4];
        CooMatrix coo(nrows, ncols);
        for (std::size_t r = 0; r < nrows; ++r)
            for (std::size_t col = 0; col < ncols; ++col)
                if (rng() % 3 == 0)
                    coo.push(r, col, value());
        const CsrMatrix a = convert_coo_csr(coo);
        std::vector<double> x(ncols * m);
        for (double& v : x)
            v = value();
        std::vector<double> y(nrows * m + 1, 7.0);
        apply_csr_rows(a, m, x.data(), y.data());
        std::vector<double> want(nrows * m, 0.0);
        const CooMatrix entries = convert_csr_coo(a);
        for (std::size_t e = 0; e < entries.nnz(); ++e)
            for (std::size_t k = 0; k < m; ++k)
                want[entries.row_indices()[e] * m + k] =
                    want[entries.row_indices()[e] * m + k] + entries.values()[e] * x[entries.col_indices()[e] * m + k];
        for (std::size_t at = 0; at < want.size(); ++at)
            ASSERT_EQ(bits(y[at]), bits(want[at])) << "round " << round << ", row " << at / m << ", column " << at % m;
        EXPECT_EQ(y.back(), 7.0);
    }
}

// Nodal values of cubics, quadratics and lines, interpolated by the
// Lagrange-to-Legendre matrix, give the exact Legendre coefficients of each
// polynomial on each interval to rounding. With T = n_t, interval j is
// t = (j + 1/2) + xi / 2; with t^n expanded in xi, xi^2 = (P_0 + 2 P_2) / 3
// and xi^3 = (3 P_1 + 2 P_3) / 5; the comparison is made on fifteen times
// the values, which are dyadic.
TEST(ApplyCsrRows, InterpolatesPolynomialsOfTheBasisDegreeExactly) {
    std::mt19937_64 rng(seed + 7);
    const std::size_t degree = 3, n_t = 4, m = 3;
    const LagrangeBasis lagrange = LagrangeBasis::create(degree, n_t, static_cast<double>(n_t), false);
    const CsrMatrix a = lagrange.get_transformation_matrix_to_legendre();
    ASSERT_EQ(a.nrows(), (degree + 1) * n_t);
    // Polynomial k has degree 3 - k, with small integer coefficients.
    std::int64_t poly[m][4] = {};
    for (std::size_t k = 0; k < m; ++k)
        for (std::size_t n = 0; n + k <= 3; ++n)
            poly[k][n] = static_cast<std::int64_t>(rng() % 7) - 3;
    std::vector<double> x(lagrange.num_dofs() * m);
    for (std::size_t dof = 0; dof < lagrange.num_dofs(); ++dof)
        for (std::size_t k = 0; k < m; ++k) {
            const double t = lagrange.points()[dof];
            x[dof * m + k] = ((static_cast<double>(poly[k][3]) * t + static_cast<double>(poly[k][2])) * t +
                              static_cast<double>(poly[k][1])) *
                                 t +
                             static_cast<double>(poly[k][0]);
        }
    std::vector<double> y(a.nrows() * m);
    apply_csr_rows(a, m, x.data(), y.data());
    for (std::size_t j = 0; j < n_t; ++j)
        for (std::size_t k = 0; k < m; ++k) {
            // b[l]: coefficient of xi^l of the polynomial on interval j,
            // from (mid + xi / 2)^n by the binomial theorem.
            const double mid = static_cast<double>(j) + 0.5;
            const double binomial[4][4] = {{1, 0, 0, 0}, {1, 1, 0, 0}, {1, 2, 1, 0}, {1, 3, 3, 1}};
            Exact b[4];
            for (std::size_t n = 0; n <= 3; ++n)
                for (std::size_t l = 0; l <= n; ++l) {
                    Exact term = Exact::of(binomial[n][l] * static_cast<double>(poly[k][n]));
                    for (std::size_t r = 0; r < n - l; ++r)
                        term = term.times(mid);
                    for (std::size_t r = 0; r < l; ++r)
                        term = term.times(0.5);
                    b[l] = b[l] + term;
                }
            // Fifteen times the Legendre coefficients, which are dyadic.
            const Exact exact15[4] = {b[0].times(15.0) + b[2].times(5.0), b[1].times(15.0) + b[3].times(9.0),
                                      b[2].times(10.0), b[3].times(6.0)};
            for (std::size_t i = 0; i <= degree; ++i) {
                const std::size_t row = j + n_t * i;
                double scale = 0.0;
                const CsrRow entries = a.row(row);
                for (std::size_t e = 0; e < entries.nnz(); ++e)
                    scale += std::fabs(entries.values[e] * x[entries.col_indices[e] * m + k]);
                const double error = std::fabs((Exact::of(y[row * m + k]).times(15.0) - exact15[i]).approx()) / 15.0;
                EXPECT_LE(error, 64.0 * u * scale + 1e-300)
                    << "P_" << i << " on interval " << j << ", polynomial " << k;
            }
        }
}

// ---- failures ------------------------------------------------------------------

TEST(ExpansionCalculus, RefusesMeshesWithoutIntervalsRulesWithoutPointsAndOversizedCounts) {
    const double c[4] = {1, 2, 3, 4};
    double out[4] = {7, 7, 7, 7};
    EXPECT_EQ(failure_of([&] { integral(1, TimeMesh::unchecked_uniform(0, 1.0), 1, c, out); }), no_intervals_message);
    EXPECT_EQ(failure_of([&] { antiderivative(1, TimeMesh::unchecked_uniform(0, 1.0), 1, c); }), no_intervals_message);
    EXPECT_EQ(failure_of([&] { project_values(1, 1, 0, 1, c, out); }),
              "a Gauss-Legendre rule needs at least one point");
    EXPECT_EQ(failure_of([&] { endpoint_values(SIZE_MAX, 1, 1, c, out, out); }), "capacity overflow");
    EXPECT_EQ(failure_of([&] { endpoint_values(1, 2, SIZE_MAX / 2, c, out, out); }), "capacity overflow");
    EXPECT_EQ(failure_of([&] { integral(1, TimeMesh::unchecked_uniform(2, 1.0), SIZE_MAX / 2, c, out); }),
              "capacity overflow");
    EXPECT_EQ(failure_of([&] { antiderivative(SIZE_MAX - 1, TimeMesh::unchecked_uniform(1, 1.0), 1, c); }),
              "capacity overflow");
    EXPECT_EQ(failure_of([&] { project_values(1, 1, 2, SIZE_MAX / 2, c, out); }), "capacity overflow");
    CooMatrix coo(2, 3);
    coo.push(0, 1, 1.0);
    const CsrMatrix a = convert_coo_csr(coo);
    EXPECT_EQ(failure_of([&] { apply_csr_rows(a, SIZE_MAX / 3, c, out); }), "capacity overflow");
    for (const double x : out)
        EXPECT_EQ(x, 7.0);
}

}  // namespace
}  // namespace pwpoly
