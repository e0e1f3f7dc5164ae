#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "piecewise_polynomials/basis/lagrange_basis.hpp"

#include "core_test_support.hpp"

namespace pwpoly {
namespace {

using namespace testing_support;

TEST(EquidistantPoints, RoundsAsDifferenceTimesIndexOverCountPlusStart) {
    const std::vector<double> p = equidistant_points_on_interval(0.0, 1.0, 5);
    ASSERT_EQ(p.size(), 6u);
    EXPECT_EQ(p[3], 0.6);  // a + i * ((b - a) / n) would give 0.6000000000000001
    EXPECT_NE(0.0 + 3.0 * (1.0 / 5.0), 0.6);
    EXPECT_TRUE(std::isnan(equidistant_points_on_interval(0.0, 1.0, 0)[0]));
}

struct PointsCase {
    std::size_t degree, n_t;
    double T;
    bool periodic;
    std::vector<double> points;
};

class LagrangePoints : public testing::TestWithParam<PointsCase> {};

TEST_P(LagrangePoints, MatchExactly) {
    const PointsCase& c = GetParam();
    const LagrangeBasis b = LagrangeBasis::create(c.degree, c.n_t, c.T, c.periodic);
    EXPECT_EQ(bits(b.points()), bits(c.points));
}

INSTANTIATE_TEST_SUITE_P(
    Examples, LagrangePoints,
    testing::Values(PointsCase{2, 2, 1.0, false, {0, 0.25, 0.5, 0.75, 1}},
                    PointsCase{2, 2, 1.0, true, {0, 0.25, 0.5, 0.75}},
                    PointsCase{1, 3, 0.3, false, {0, 0.09999999999999999, 0.19999999999999998, 0.3}},
                    PointsCase{1, 3, 3.0, false, {0, 1, 2, 3}}, PointsCase{1, 3, 3.0, true, {0, 1, 2}},
                    PointsCase{0, 5, 2.0, false, {2}}, PointsCase{4, 0, 1.0, false, {1}},
                    PointsCase{2, 1, 3.0, true, {0, 1.5}}));

TEST(LagrangeBasis, LastIntervalNodesComeFromItsRoundedEnds) {
    const LagrangeBasis b = LagrangeBasis::create(3, 6, 1.0, false);
    ASSERT_EQ(b.points().size(), 19u);
    const std::vector<double> last(b.points().end() - 4, b.points().end());
    EXPECT_EQ(bits(last), bits({0.8333333333333333, 0.8888888888888888, 0.9444444444444443, 1.0}));
}

TEST(LagrangeBasis, LastPointIsTItselfNotTheLastRightEnd) {
    const double h = 1.0 / 6.0;
    ASSERT_EQ(h + 5.0 * h, 0.9999999999999999);
    for (std::size_t degree = 1; degree <= 4; ++degree)
        EXPECT_EQ(LagrangeBasis::create(degree, 6, 1.0, false).points().back(), 1.0) << degree;
}

TEST(LagrangeBasis, PeriodicPreconditionsDegreeFirst) {
    EXPECT_EQ(failure_of([] { LagrangeBasis::create(0, 0, 1.0, true); }),
              "Periodic Lagrange bases require polynomial degree at least 1");
    EXPECT_EQ(failure_of([] { LagrangeBasis::create(2, 0, 1.0, true); }),
              "Periodic Lagrange bases require at least one interval");
}

TEST(LagrangeBasis, UnrepresentablePointCountIsCapacityOverflow) {
    EXPECT_EQ(failure_of([] { LagrangeBasis::create(SIZE_MAX / 2 + 1, 2, 1.0, true); }), "capacity overflow");
    EXPECT_EQ(failure_of([] { LagrangeBasis::create(SIZE_MAX, 1, 1.0, false); }), "capacity overflow");
}

TEST(LagrangeBasis, DofsForInterval) {
    const LagrangeBasis open = LagrangeBasis::create(2, 3, 1.0, false);
    EXPECT_EQ(open.get_dofs_for_interval(1), (Idx{2, 3, 4}));
    EXPECT_EQ(open.get_dofs_for_interval(2), (Idx{4, 5, 6}));
    EXPECT_EQ(LagrangeBasis::create(2, 3, 1.0, true).get_dofs_for_interval(2), (Idx{4, 5, 0}));
    EXPECT_EQ(LagrangeBasis::create(2, 1, 1.0, true).get_dofs_for_interval(0), (Idx{0, 1, 0}));
}

}  // namespace
}  // namespace pwpoly
