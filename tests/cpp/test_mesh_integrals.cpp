// Integrals over a mesh rounded once from their exact values, against exact
// dyadic arithmetic (exact_dyadic.hpp): the long accumulator, the widths,
// the integral of an expansion (the nearest double, on uniform, offset,
// graded and arbitrary meshes, through cancellation and overflow), and the
// antiderivative's documented guarantees.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "arithmetic/exact_sum.hpp"
#include "exact_dyadic.hpp"
#include "piecewise_polynomials/basis/time_mesh.hpp"
#include "piecewise_polynomials/calculus/expansion_calculus.hpp"
#include "piecewise_polynomials/calculus/mesh_integrals.hpp"

namespace pwpoly {
namespace {

using testing_support::Exact;
using testing_support::is_nearest;

constexpr std::uint32_t seed = 20251209;
constexpr double u = 0x1p-53;
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// A dyadic number in [-2, 2] with 20 fractional bits, or zero.
double dyadic(std::mt19937_64& rng) {
    std::uniform_int_distribution<std::int64_t> d(-(std::int64_t{1} << 21), std::int64_t{1} << 21);
    return rng() % 8 == 0 ? 0.0 : std::ldexp(static_cast<double>(d(rng)), -20);
}

// Half the gap from x to the next double of larger magnitude.
double half_ulp(double x) { return 0.5 * (std::nextafter(std::fabs(x), inf) - std::fabs(x)); }

// ---- the long accumulator ------------------------------------------------------

TEST(ExactSum, RoundsSumsAndProductsAcrossTheWholeRange) {
    exact::ExactSum a;
    for (const double x : {0x1p1000, 1.0, -0x1p1000, 0x1p-1074, 0x1p-1074})
        a.add(x);
    EXPECT_EQ(exact::nearest_double(a), 1.0);  // 1 + 2^-1073 rounds to 1
    exact::ExactSum b;
    b.add_product(0x1p-1074, 0x1p-1074);  // 2^-2148, the lowest bit
    b.add_product(-0x1p1023, 1.5);
    b.add_product(0x1p1023, 1.5);
    EXPECT_EQ(exact::nearest_double(b), 0.0);  // underflows to +0
    b.add(-0x1p-1074);
    EXPECT_EQ(std::signbit(exact::nearest_double(b)), true);  // tiny negative: -0.0
    exact::ExactSum c;
    c.add_product(0x1p1023, 1.9999999999999998);
    c.add_product(0x1p1023, 0x1p1023);
    EXPECT_EQ(exact::nearest_double(c), inf);
    exact::ExactSum three, tenth;
    three.add(3.0);
    tenth.add(0.1);
    // 3 * fl(0.1) / 7, rounded once.
    EXPECT_TRUE(is_nearest(exact::nearest_double_to_product_over(three, tenth, 7), Exact::of(0.1).times(3.0), 7.0));
    // Many terms: carries propagate every 2^24 additions.
    exact::ExactSum many;
    for (int i = 0; i < (1 << 25) + 3; ++i)
        many.add_product(-1.0, 0x1.fffffffffffffp-1);
    EXPECT_EQ(exact::nearest_double(many), -(0x1p25 + 3.0) * 0x1.fffffffffffffp-1);
}

// ---- widths and sums of a few doubles ---------------------------------------------

TEST(MeshIntegrals, WidthsAndSumsAreTheNearestDoubles) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> dist(-3.0, 3.0);
    for (int trial = 0; trial < 300; ++trial) {
        const double t0 = dist(rng), t1 = t0 + std::fabs(dist(rng)) + 0.01;
        const std::size_t n = 1 + rng() % 50;
        const TimeMesh mesh = TimeMesh::uniform(n, t0, t1);
        const double w = rounded_width(mesh, 0);
        EXPECT_TRUE(is_nearest(w, Exact::of(t1) - Exact::of(t0), static_cast<double>(n))) << t0 << " " << t1;
        double x[5];
        Exact exact;  // of x[0], ..., x[3]
        for (double& xi : x)
            xi = std::ldexp(dist(rng), static_cast<int>(rng() % 60) - 30);
        for (int i = 0; i < 4; ++i)
            exact = exact + Exact::of(x[i]);
        if (rng() % 2 == 0) {  // cancelling terms
            x[4] = -x[1];
            exact = exact - Exact::of(x[1]);  // x[1] + x[4] = 0
        } else {
            exact = exact + Exact::of(x[4]);
        }
        EXPECT_TRUE(is_nearest(nearest_sum(x, 5), exact));
    }
    const double zeros[3] = {1.5, -1.5, 0.0};
    EXPECT_EQ(std::signbit(nearest_sum(zeros, 3)), false);
}

// ---- integral ------------------------------------------------------------------

// Meshes whose every exact value the tests can form: uniform ones with any
// span (the exact integral is S (t1 - t0) / n_t, checked as n_t times the
// result against S (t1 - t0)), offset and graded ones, and arbitrary
// breakpoints.
std::vector<TimeMesh> test_meshes(std::size_t n_t, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> dist(0.05, 1.0);
    std::vector<double> b{-0.75};
    for (std::size_t j = 0; j < n_t; ++j)
        b.push_back(b.back() + dist(rng));
    return {TimeMesh::uniform(n_t, 3.0), TimeMesh::uniform(n_t, 3.141592653589793), TimeMesh::uniform(n_t, -1.25, 0.7),
            TimeMesh::graded(n_t, 2.5, 2.0), TimeMesh::from_breakpoints(b)};
}

// The exact integral of component k (times n_t on a uniform mesh), and the
// divisor that makes it the value.
Exact exact_integral(const TimeMesh& mesh, const std::vector<double>& c, std::size_t m, std::size_t k,
                     std::size_t intervals, double& divisor) {
    Exact sum;
    if (mesh.is_uniform()) {
        for (std::size_t j = 0; j < intervals; ++j)
            sum = sum + Exact::of(c[j * m + k]);
        divisor = static_cast<double>(mesh.n_t());
        return sum.times(mesh.end()) - sum.times(mesh.start());
    }
    for (std::size_t j = 0; j < intervals; ++j) {
        const Exact h = Exact::of(mesh.breakpoint(j + 1)) - Exact::of(mesh.breakpoint(j));
        sum = sum + h.times(c[j * m + k]);
    }
    divisor = 1.0;
    return sum;
}

// Component 0: pairs of large integers b and -b (|b| near 2^30) and small
// dyadic numbers (26 fractional bits), shuffled, so that the exact sum is
// the sum of the small ones and a plain running sum loses most of it;
// component 1: random dyadic numbers; component 2: large numbers of one
// sign; component 3: alternating +-2^60 around small ones. The higher
// coefficients are NaN: the integral must not read them.
TEST(Integral, IsTheNearestDoubleToTheExactIntegralOnEveryMesh) {
    std::mt19937_64 rng(seed + 1);
    std::uniform_int_distribution<std::int64_t> big(std::int64_t{1} << 29, std::int64_t{1} << 30);
    std::uniform_int_distribution<std::int64_t> small(-(std::int64_t{1} << 26), std::int64_t{1} << 26);
    const std::size_t m = 4, degree = 2;
    for (const std::size_t n_t : {1, 4, 37, 1000})
        for (const TimeMesh& mesh : test_meshes(n_t, rng)) {
            SCOPED_TRACE("n_t " + std::to_string(n_t) + " from " + std::to_string(mesh.start()) + " to " +
                         std::to_string(mesh.end()) + (mesh.is_uniform() ? " uniform" : " breakpoints"));
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
                c[j * m + 3] = j % 2 == 0 ? (j % 4 == 0 ? 0x1p60 : -0x1p60) : dyadic(rng);
            }
            double out[m + 1] = {0, 0, 0, 0, 7.0};
            integral(degree, mesh, m, c.data(), out);
            EXPECT_EQ(out[m], 7.0);
            for (std::size_t k = 0; k < m; ++k) {
                double divisor;
                const Exact exact = exact_integral(mesh, c, m, k, n_t, divisor);
                EXPECT_TRUE(is_nearest(out[k], exact, divisor)) << "component " << k;
            }
        }
}

TEST(Integral, ResolvesCancellationAndOverflowsOnlyWithTheExactValue) {
    const TimeMesh seven = TimeMesh::uniform(7, 7.0);
    const double c[7] = {0x1p100, 1.0, -0x1p100, 0x1p100, 0x1p-60, -0x1p100, -1.0};
    double out[3];
    integral(0, seven, 1, c, out);
    EXPECT_EQ(out[0], 0x1p-60);
    // A compensated sum's error term rounds 1 + 2^-53 to 1 (a tie) and
    // keeps it there; the exact 1 + 2^-53 + 2^-60 is nearest to 1 + 2^-52.
    const double lost[5] = {0x1p100, 1.0, 0x1p-53, 0x1p-60, -0x1p100};
    for (const TimeMesh& mesh :
         {TimeMesh::uniform(5, 5.0), TimeMesh::from_breakpoints({0.0, 1.0, 2.0, 3.0, 4.0, 5.0})}) {
        integral(0, mesh, 1, lost, out);
        EXPECT_EQ(out[0], 1.0 + 0x1p-52);
    }
    EXPECT_EQ(nearest_sum(lost, 5), 1.0 + 0x1p-52);
    // 1e308 + 1e308 - 1e308 over [0, 3]: 1e308, though the running sum
    // overflows; 1e308 + 1e308 over [0, 2] overflows exactly.
    const double big[3] = {1e308, 1e308, -1e308};
    integral(0, TimeMesh::uniform(3, 3.0), 1, big, out);
    EXPECT_EQ(out[0], 1e308);
    integral(0, TimeMesh::uniform(2, 2.0), 1, big, out);
    EXPECT_EQ(out[0], inf);
    integral(0, TimeMesh::from_breakpoints({0.0, 1.0, 2.0, 3.0}), 1, big, out);
    EXPECT_EQ(out[0], 1e308);
    // A width 2^-1000 times 2^-100: far below what products keep.
    const double tiny[2] = {0x1p-100, 0.0};
    integral(0, TimeMesh::from_breakpoints({1.0, 1.0 + 0x1p-52, 2.0}), 1, tiny, out);
    EXPECT_EQ(out[0], 0x1p-152);
    const double small[2] = {-0x1p-60, 0.0};
    integral(0, TimeMesh::from_breakpoints({0.0, 0x1p-1000, 1.0}), 1, small, out);
    EXPECT_EQ(out[0], -0x1p-1060);  // subnormal, exact
    integral(0, TimeMesh::from_breakpoints({0.0, 0x1p-1000, 1.0}), 1, tiny, out);
    EXPECT_EQ(out[0], 0.0);  // 2^-1100 rounds to zero
    // Widths beyond what double-double products can split: exact anyway.
    const double ones[3] = {1.0, 1.0, -0.5};
    integral(0, TimeMesh::uniform(3, -0x1p1000, 0x1p1000), 1, ones, out);
    EXPECT_EQ(out[0], 0x1p1000);  // 2^1001 * 1.5 / 3
    integral(0, TimeMesh::from_breakpoints({-0x1p1000, 0.0, 0x1p999, 0x1p1000}), 1, ones, out);
    EXPECT_EQ(out[0], 0x1p1000 + 0x1p999 - 0x1p998);
    // Exact zeros give +0.0.
    const double zeros[4] = {-0.0, 0.0, 2.5, -2.5};
    integral(0, TimeMesh::uniform(4, 1.0), 1, zeros, out);
    EXPECT_EQ(out[0], 0.0);
    EXPECT_FALSE(std::signbit(out[0]));
}

TEST(Integral, NonFiniteCoefficientsActAsInAnIeeeSum) {
    // Three components on three intervals, degree 0: c[0, j, k] at j * 3 + k.
    const double c[9] = {1.0, inf, nan, inf, -inf, 1e308, 2.0, 3.0, -inf};
    for (const TimeMesh& mesh : {TimeMesh::uniform(3, 3.0), TimeMesh::from_breakpoints({0.0, 0.5, 2.0, 3.0})}) {
        double out[3];
        integral(0, mesh, 3, c, out);
        EXPECT_EQ(out[0], inf);
        EXPECT_TRUE(std::isnan(out[1]));  // +inf and -inf
        EXPECT_TRUE(std::isnan(out[2]));  // a NaN
        const double d[2] = {-inf, 1e308};
        integral(0, TimeMesh::uniform(2, 2.0), 1, d, out);
        EXPECT_EQ(out[0], -inf);
    }
}

// ---- antiderivative ------------------------------------------------------------

// Checks the header's guarantees in exact arithmetic on the computed
// coefficients F of an antiderivative on a mesh whose breakpoints are
// exact (every width and integral dyadic):
//  * F[0, j] is the nearest double to K_(j+1) - (F[1, j] + ...), with
//    K_(j+1) = `integral` over the mesh of the first j + 1 intervals, and
//    F at b_(j+1) is within ulp(F[0, j]) / 2 of it (at b_n: of integral());
//  * |F(b_0)| and the jumps at interior breakpoints within their bounds;
//  * every F[i], i >= 1, within 4.01 u h (|c_(i-1)| / (2i - 1) + |c_(i+1)| /
//    (2i + 3)) of its exact value, so that F' = e to rounding.
void check_antiderivative(std::size_t degree, const TimeMesh& mesh, const std::vector<double>& c, std::size_t m) {
    const std::size_t n_t = mesh.n_t();
    const std::vector<double> F = antiderivative(degree, mesh, m, c.data());
    ASSERT_EQ(F.size(), (degree + 2) * n_t * m);
    std::vector<double> K(m), previous_F0(m), whole(m);
    integral(degree, mesh, m, c.data(), whole.data());
    const auto Fc = [&](std::size_t i, std::size_t j, std::size_t k) { return F[(i * n_t + j) * m + k]; };
    const auto cc = [&](std::size_t i, std::size_t j, std::size_t k) { return c[(i * n_t + j) * m + k]; };
    for (std::size_t j = 0; j < n_t; ++j) {
        std::vector<double> prefix(j + 2);
        for (std::size_t l = 0; l <= j + 1; ++l)
            prefix[l] = mesh.breakpoint(l);
        std::vector<double> next(m);
        integral(0, TimeMesh::from_breakpoints(prefix), m, c.data(), next.data());  // K_(j+1)
        const Exact h = Exact::of(mesh.breakpoint(j + 1)) - Exact::of(mesh.breakpoint(j));
        const double hd = h.approx();
        for (std::size_t k = 0; k < m; ++k) {
            SCOPED_TRACE("interval " + std::to_string(j) + ", component " + std::to_string(k));
            Exact rest, at_end, at_start;
            for (std::size_t i = 0; i <= degree + 1; ++i) {
                const Exact f = Exact::of(Fc(i, j, k));
                if (i >= 1)
                    rest = rest + f;
                at_end = at_end + f;
                at_start = i % 2 == 0 ? at_start + f : at_start - f;
            }
            EXPECT_TRUE(is_nearest(Fc(0, j, k), Exact::of(next[k]) - rest)) << "F[0]";
            EXPECT_LE(std::fabs((at_end - Exact::of(next[k])).approx()), half_ulp(Fc(0, j, k)));
            if (j + 1 == n_t) {
                EXPECT_EQ(next[k], whole[k]);
                EXPECT_LE(std::fabs((at_end - Exact::of(whole[k])).approx()), half_ulp(Fc(0, j, k))) << "F(b_n)";
            }
            double even = 0.0;
            for (std::size_t i = 0; i <= degree; i += 2)
                even += std::fabs(cc(i, j, k));
            const double f0 = std::fabs(Fc(0, j, k));
            const double jump_bound =
                j == 0
                    ? u * (f0 + std::fabs(next[k])) + 0x1p-50 * hd * even
                    : u * (std::fabs(previous_F0[k]) + f0 + std::fabs(K[k]) + std::fabs(next[k])) + 0x1p-50 * hd * even;
            const Exact left = j == 0 ? Exact() : Exact::of(K[k]);  // F at b_j from the left, to within
            EXPECT_LE(std::fabs((at_start - left).approx()), jump_bound + (j == 0 ? 0.0 : half_ulp(previous_F0[k])))
                << (j == 0 ? "F(b_0)" : "jump");
            // F[i] against (h / 2) (c_(i-1) / (2i - 1) - c_(i+1) / (2i + 3)),
            // both sides times (2i - 1)(2i + 3) * 2 to stay dyadic.
            for (std::size_t i = 1; i <= degree + 1; ++i) {
                const double below = static_cast<double>(2 * i - 1), above = static_cast<double>(2 * i + 3);
                const double upper = i + 1 <= degree ? cc(i + 1, j, k) : 0.0;
                const Exact exact = h.times(cc(i - 1, j, k) * above) - h.times(upper * below);
                const Exact got = Exact::of(Fc(i, j, k)).times(2.0 * below * above);
                const double size =
                    4.01 * u * 0.5 * hd * (std::fabs(cc(i - 1, j, k)) / below + std::fabs(upper) / above);
                EXPECT_LE(std::fabs((got - exact).approx()), size * 2.0 * below * above) << "F[" << i << "]";
            }
            previous_F0[k] = Fc(0, j, k);
            K[k] = next[k];
        }
    }
}

TEST(Antiderivative, MeetsItsDocumentedBoundsOnEveryMesh) {
    std::mt19937_64 rng(seed + 2);
    std::uniform_real_distribution<double> dist(0.05, 1.0);
    for (std::size_t degree = 0; degree <= 6; ++degree)
        for (const std::size_t n_t : {1, 2, 5}) {
            std::vector<double> b{-1.0};
            for (std::size_t j = 0; j < n_t; ++j)
                b.push_back(b.back() + std::ldexp(std::round(std::ldexp(dist(rng), 20)), -20));
            for (const TimeMesh& mesh : {TimeMesh::uniform(n_t, static_cast<double>(n_t)),
                                         TimeMesh::uniform(n_t, 0.5 * static_cast<double>(n_t)),
                                         TimeMesh::graded(n_t, 2.0, 3.0), TimeMesh::from_breakpoints(b)}) {
                SCOPED_TRACE("degree " + std::to_string(degree) + " n_t " + std::to_string(n_t) + " from " +
                             std::to_string(mesh.start()));
                const std::size_t m = 2;
                std::vector<double> c((degree + 1) * n_t * m);
                for (double& x : c)
                    x = dyadic(rng);
                check_antiderivative(degree, mesh, c, m);
            }
        }
}

// The constants after large cancelling ones (b, s, -b, s', ...) and the
// case of coefficients far larger than the integral.
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
        check_antiderivative(degree, TimeMesh::uniform(n_t, 12.0), c, m);
    }
    // c = [[1e20, -1e20], [0, 1]] on [0, 2] (dyadic stand-ins): the integral is 0.
    const std::vector<double> c = {0x1p66, -0x1p66, 0.0, 1.0};
    check_antiderivative(1, TimeMesh::uniform(2, 2.0), c, 1);
}

}  // namespace
}  // namespace pwpoly
