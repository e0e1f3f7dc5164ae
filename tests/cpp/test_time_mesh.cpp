#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "arithmetic/double_double_math.hpp"
#include "arithmetic/exact_arithmetic.hpp"
#include "common/argument_error.hpp"
#include "piecewise_polynomials/basis/legendre_basis.hpp"
#include "piecewise_polynomials/basis/time_mesh.hpp"

namespace pwpoly {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

std::string refusal_of(auto&& f) {
    try {
        f();
    } catch (const ArgumentError& e) {
        return e.message();
    }
    return "<accepted>";
}

// The interval by its definition: the largest j <= n - 1 with b_j <= t, 0
// before the mesh and for NaN.
std::size_t interval_by_definition(const std::vector<double>& b, double t) {
    std::size_t j = 0;
    for (std::size_t i = 0; i + 1 < b.size(); ++i)
        if (b[i] <= t)
            j = i;
    return j;
}

std::vector<double> random_breakpoints(std::mt19937_64& rng, std::size_t n, double t0) {
    std::uniform_real_distribution<double> width(1e-3, 1.0);
    std::vector<double> b{t0};
    for (std::size_t j = 0; j < n; ++j)
        b.push_back(b.back() + width(rng));
    return b;
}

// Every time of interest: the breakpoints themselves and their neighbours,
// random times inside and outside, and the special values.
std::vector<double> probe_times(std::mt19937_64& rng, const std::vector<double>& b) {
    std::vector<double> t{nan, inf, -inf, -0.0, 0.0};
    for (double x : b)
        t.insert(t.end(), {x, std::nextafter(x, -inf), std::nextafter(x, inf)});
    const double span = b.back() - b.front();
    std::uniform_real_distribution<double> u(b.front() - 0.1 * span, b.back() + 0.1 * span);
    for (int r = 0; r < 2000; ++r)
        t.push_back(u(rng));
    return t;
}

TEST(TimeMesh, LocatesEveryTimeByComparisonsWithTheBreakpoints) {
    std::mt19937_64 rng(7);
    std::vector<std::vector<double>> meshes{
        {0.0, 1.0},
        {-3.5, -1.0, 0.25, 7.0},
        TimeMesh::graded(1000, 2.0, 3.0).breakpoints(),
        TimeMesh::graded(64, 1.0, 7.5).breakpoints(),
        random_breakpoints(rng, 300, -12.0),
        random_breakpoints(rng, 5, 1e6),
    };
    for (const std::vector<double>& b : meshes) {
        const TimeMesh mesh = TimeMesh::from_breakpoints(b);
        ASSERT_EQ(mesh.n_t(), b.size() - 1);
        for (double t : probe_times(rng, b)) {
            const std::size_t expected = interval_by_definition(b, t);
            const Location loc = mesh.locate(t);
            ASSERT_EQ(loc.interval, expected) << "t = " << t << " on " << b.size() - 1 << " intervals";
            // The local coordinate by its formula, clamped.
            const double d = t - b[expected];
            double xi = (d + d) / (b[expected + 1] - b[expected]) - 1.0;
            xi = xi < -1.0 ? -1.0 : xi > 1.0 ? 1.0 : xi;
            ASSERT_EQ(bits(loc.xi), bits(xi)) << "t = " << t;
        }
        // Exactly -1 at the start of every interval, 1 at the end of the last.
        for (std::size_t j = 0; j + 1 < b.size(); ++j) {
            EXPECT_EQ(mesh.locate(b[j]).interval, j);
            EXPECT_EQ(mesh.locate(b[j]).xi, -1.0);
        }
        EXPECT_EQ(mesh.locate(b.back()).xi, 1.0);
    }
}

TEST(TimeMesh, UniformMeshesFollowTheRuleOfTheOriginalMeshOfTheShiftedTime) {
    std::mt19937_64 rng(11);
    for (auto [n_t, t0, t1] : {std::tuple{7u, 0.0, 3.0}, std::tuple{10u, 0.0, 0.3}, std::tuple{5u, -2.5, 1.0},
                               std::tuple{64u, 1e3, 1e3 + 0.7}}) {
        const TimeMesh mesh = TimeMesh::uniform(n_t, t0, t1);
        const double w = (t1 - t0) / static_cast<double>(n_t);
        EXPECT_EQ(bits(mesh.uniform_width()), bits(w));
        const LegendreBasis original(2, n_t, t1 - t0);
        for (double t : probe_times(rng, mesh.breakpoints())) {
            const Location got = mesh.locate(t);
            const Location expected = locate_with_width(t - t0, n_t, w);
            ASSERT_EQ(got.interval, expected.interval) << t;
            ASSERT_EQ(bits(got.xi), bits(expected.xi)) << t;
            if (t0 == 0.0) {
                ASSERT_EQ(bits(got.xi), bits(original.locate(t).xi)) << t;
            }
        }
        const std::vector<double> b = mesh.breakpoints();
        EXPECT_EQ(b.front(), t0);
        EXPECT_EQ(b.back(), t1);
        for (std::size_t j = 1; j < b.size(); ++j)
            EXPECT_LT(b[j - 1], b[j]);
    }
}

TEST(TimeMesh, RefusesWhatItCannotRepresentNamingTheFirstBadPosition) {
    using V = std::vector<double>;
    const struct {
        V b;
        const char* message;
    } cases[] = {
        {{1.0}, "breakpoints must have at least 2 entries (n_t + 1 with n_t >= 1), got 1"},
        {{0.0, 1.0, 1.0, 2.0}, "strictly increasing, got 1.0 at position 1 and 1.0 at position 2"},
        {{0.0, 2.0, 1.0}, "strictly increasing, got 2.0 at position 1 and 1.0 at position 2"},
        {{0.0, nan, 1.0}, "breakpoints must be finite, got nan at position 1"},
        {{-inf, 0.0}, "breakpoints must be finite, got -inf at position 0"},
        {{0.0, 0x1p1001}, "at most 2**1000 (about 1.07e301) in magnitude, got"},
        {{0.0, 0x1p-1001}, "at least 2**-1000 (about 9.33e-302) apart"},
    };
    for (const auto& c : cases)
        EXPECT_NE(refusal_of([&] { TimeMesh::from_breakpoints(c.b); }).find(c.message), std::string::npos)
            << refusal_of([&] { TimeMesh::from_breakpoints(c.b); });
    EXPECT_EQ(refusal_of([] { TimeMesh::uniform(0, 1.0); }), "n_t must be at least 1, got 0");
    EXPECT_EQ(refusal_of([] { TimeMesh::uniform(2, -1.0); }), "T must be positive and finite, got -1.0");
    EXPECT_NE(refusal_of([] { TimeMesh::uniform(4, 1e302); }).find("T must be at most 2**1000"), std::string::npos);
    EXPECT_NE(refusal_of([] { TimeMesh::uniform(3, 1.0, 1.0); }).find("the end must be after the start"),
              std::string::npos);
    EXPECT_NE(refusal_of([] { TimeMesh::uniform(1000, 1e10, 1e10 + 1e-6); }).find("too narrow"), std::string::npos);
    EXPECT_EQ(refusal_of([] { TimeMesh::graded(4, 1.0, 0.5); }), "grading must be finite and at least 1, got 0.5");
}

// For an integral grading, T (j / n)^g is a rational number: the graded
// breakpoints are its nearest doubles.
TEST(TimeMesh, GradedBreakpointsAreTheNearestDoublesForIntegralGradings) {
    using exact::BigInt;
    for (std::size_t g : {1u, 2u, 3u}) {
        for (std::size_t n : {3u, 10u, 97u}) {
            const double T = 2.75;  // 11 / 4
            const std::vector<double> b = TimeMesh::graded(n, T, static_cast<double>(g)).breakpoints();
            ASSERT_EQ(b.size(), n + 1);
            for (std::size_t j = 0; j <= n; ++j) {
                BigInt num(11), den(4);
                for (std::size_t p = 0; p < g; ++p) {
                    num = num * BigInt(static_cast<std::int64_t>(j));
                    den = den * BigInt(static_cast<std::int64_t>(n));
                }
                EXPECT_EQ(b[j], nearest_double_to_quotient(num, den)) << "g " << g << " n " << n << " j " << j;
            }
        }
    }
}

TEST(DoubleDoubleMath, LogAndExpAgreeWithKnownConstantsToAbout100Bits) {
    // e = 2.718281828459045235360287471352662497757...
    const dd::DD e = dd::exp(dd::DD{1.0, 0.0});
    EXPECT_EQ(e.hi, 0x1.5bf0a8b145769p+1);
    EXPECT_NEAR(e.lo, 1.445646891729250158e-16, 0x1p-100);
    const dd::DD ln10 = dd::log(dd::DD{10.0, 0.0});  // 2.302585092994045684017991454684364207601...
    EXPECT_EQ(ln10.hi, 0x1.26bb1bbb55516p+1);
    EXPECT_NEAR(ln10.lo, -2.170756223382249351e-16, 0x1p-100);
    for (double x : {1e-300, 0.001, 0.3, 0.999999, 1.0, 3.0, 1e10}) {
        const dd::DD back = dd::exp(dd::log(dd::DD{x, 0.0}));
        EXPECT_NEAR((back - dd::DD{x, 0.0}).hi / x, 0.0, 0x1p-95) << x;
    }
}

TEST(TimeMesh, ExactWidthsAndStartsHoldAtEveryMagnitude) {
    for (double T : {3.0, 0x1p999, 0x1p1000}) {
        const TimeMesh mesh = TimeMesh::uniform(3, T);
        // Checked in a frame scaled by 2^-128, where the products cannot overflow.
        const auto down = [](dd::DD x) { return dd::DD{std::ldexp(x.hi, -128), std::ldexp(x.lo, -128)}; };
        const dd::DD w = mesh.exact_width(1);
        EXPECT_EQ(w.hi, T / 3.0) << T;
        EXPECT_LE(std::fabs((down(w) * 3.0 - down({T, 0.0})).hi), std::ldexp(T, -128) * 0x1p-102) << T;
        const dd::DD start = mesh.exact_start(2);
        EXPECT_LE(std::fabs((down(start) * 1.5 - down({T, 0.0})).hi), std::ldexp(T, -128) * 0x1p-102) << T;
    }
    const TimeMesh b = TimeMesh::from_breakpoints({-0.1, 0.2});
    const dd::DD h = b.exact_width(0);
    EXPECT_EQ(h.hi + h.lo, 0.2 + 0.1);  // the exact difference, as a rounded sum
    EXPECT_EQ(h.lo, (0.2 - h.hi) + 0.1);
}

TEST(TimeMesh, NestedParentsFindTheCoarseIntervalOfEveryFineOne) {
    const TimeMesh coarse = TimeMesh::from_breakpoints({-1.0, 0.5, 2.0});
    const TimeMesh fine = TimeMesh::from_breakpoints({-1.0, 0.0, 0.5, 1.0, 1.5, 2.0});
    EXPECT_EQ(TimeMesh::nested_parents(coarse, fine), (std::vector<std::size_t>{0, 0, 1, 1, 1}));
    EXPECT_TRUE(TimeMesh::nested_parents(coarse, TimeMesh::from_breakpoints({-1.0, 0.0, 1.0, 2.0})).empty());
    EXPECT_TRUE(TimeMesh::nested_parents(fine, coarse).empty());
    EXPECT_EQ(TimeMesh::nested_parents(TimeMesh::uniform(2, 3.0), TimeMesh::uniform(6, 3.0)),
              (std::vector<std::size_t>{0, 0, 0, 1, 1, 1}));
    EXPECT_TRUE(TimeMesh::nested_parents(TimeMesh::uniform(2, 3.0), TimeMesh::uniform(5, 3.0)).empty());
    EXPECT_TRUE(TimeMesh::nested_parents(TimeMesh::uniform(2, 3.0), TimeMesh::uniform(4, 2.0)).empty());
    const TimeMesh graded = TimeMesh::graded(10, 1.0, 2.5);
    EXPECT_EQ(TimeMesh::nested_parents(graded, TimeMesh::graded(30, 1.0, 2.5)).size(), 30u);
}

}  // namespace
}  // namespace pwpoly
