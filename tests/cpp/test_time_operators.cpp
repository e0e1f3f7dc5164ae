#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <tuple>
#include <type_traits>
#include <vector>

#include "arithmetic/exact_arithmetic.hpp"
#include "piecewise_polynomials/basis/lagrange_basis.hpp"
#include "piecewise_polynomials/basis/legendre_basis.hpp"
#include "piecewise_polynomials/calculus/gauss_legendre.hpp"
#include "piecewise_polynomials/operators/lagrange_reference.hpp"
#include "piecewise_polynomials/operators/time_operators.hpp"

#include "core_test_support.hpp"
#include "dense_test_matrices.hpp"
#include "time_operator_matrices.hpp"

namespace pwpoly {
namespace {

using namespace testing_support;
using exact::BigInt;

std::uint64_t bits_of(double x) { return std::bit_cast<std::uint64_t>(x); }

BigInt power_of_two(std::size_t e) {
    BigInt out(1);
    for (std::size_t i = 0; i < e; ++i)
        out = out * BigInt(2);
    return out;
}

// ---------------------------------------------------------------------------
// Exact integers and their rounding

// For operands below 2^53 IEEE division is itself the correctly rounded
// quotient, an independent reference.
TEST(ExactQuotient, AgreesWithIeeeDivisionOnExactOperands) {
    std::uint64_t state = 12345;
    auto next = [&] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return state >> 11;  // 53 bits
    };
    for (int n = 0; n < 5000; ++n) {
        const std::int64_t num = static_cast<std::int64_t>(next() >> (n % 50)) - (std::int64_t{1} << 40);
        std::int64_t den = static_cast<std::int64_t>(next() >> (n % 47));
        if (den == 0)
            den = 3;
        if (n % 3 == 0)
            den = -den;
        const double expected = static_cast<double>(num) / static_cast<double>(den);
        ASSERT_EQ(bits_of(exact::nearest_double_to_quotient(BigInt(num), BigInt(den))), bits_of(expected))
            << num << " / " << den;
    }
}

TEST(ExactQuotient, TiesSubnormalsOverflowAndLongOperands) {
    auto q = [](const BigInt& a, const BigInt& b) { return exact::nearest_double_to_quotient(a, b); };
    const BigInt one(1), two53 = power_of_two(53);
    EXPECT_EQ(q(two53 + one, one), 0x1p53);              // tie, to even below
    EXPECT_EQ(q(two53 + BigInt(3), one), 0x1p53 + 4.0);  // tie, to even above
    EXPECT_EQ(q(-(two53 + one), one), -0x1p53);          // symmetric
    EXPECT_EQ(q(BigInt(3) * power_of_two(200) + one, power_of_two(200)), 3.0);
    EXPECT_EQ(q(one, power_of_two(1074)), 0x1p-1074);              // smallest subnormal
    EXPECT_EQ(bits_of(q(one, power_of_two(1075))), bits_of(0.0));  // half of it: tie to even zero
    EXPECT_EQ(q(BigInt(3), power_of_two(1076)), 0x1p-1074);        // 0.75 of it
    EXPECT_EQ(q(BigInt(3), power_of_two(1024)), 0x1.8p-1023);      // subnormal with all bits kept
    EXPECT_EQ(q(power_of_two(1024), one), INFINITY);
    EXPECT_EQ(bits_of(q(BigInt(), BigInt(-7))), bits_of(0.0));
    // A long common factor cancels exactly.
    BigInt big(1);
    for (int i = 0; i < 40; ++i)
        big = big * BigInt(1000000007);
    EXPECT_EQ(q(BigInt(-12345) * big, big * BigInt(2)), -6172.5);
    EXPECT_EQ(q(big * BigInt(10) + one, big * BigInt(30)), 1.0 / 3.0);
    EXPECT_EQ(failure_of([&] { q(one, BigInt()); }), "nearest_double_to_quotient: zero denominator");
}

TEST(ExactQuotient, BigIntArithmeticIsConsistent) {
    const BigInt a = BigInt::from_unsigned(UINT64_MAX), b(INT64_MIN);
    EXPECT_EQ((a * b) - (a * (b + BigInt(1))), -a);
    EXPECT_EQ((a + b) - b, a);
    const BigInt zero = a - a;
    EXPECT_TRUE(zero.is_zero());
    EXPECT_FALSE(zero.is_negative());
    EXPECT_FALSE((-zero).is_negative());
    EXPECT_EQ(a * a, power_of_two(128) - power_of_two(65) + BigInt(1));
    EXPECT_EQ(exact::multiply_polynomials({BigInt(-1), BigInt(1)}, {BigInt(1), BigInt(1)}),
              (exact::BigPolynomial{BigInt(-1), BigInt(), BigInt(1)}));
}

// ---------------------------------------------------------------------------
// The Lagrange reference matrices

double at(const std::vector<double>& m, std::size_t n, std::size_t r, std::size_t c) { return m[r * n + c]; }

TEST(LagrangeReference, DegreesOneAndTwoAreTheNearestDoublesToTheFractions) {
    EXPECT_EQ(lagrange_reference_mass(1), (std::vector<double>{2.0 / 3.0, 1.0 / 3.0, 1.0 / 3.0, 2.0 / 3.0}));
    EXPECT_EQ(lagrange_reference_derivative(1), (std::vector<double>{-0.5, 0.5, -0.5, 0.5}));
    EXPECT_EQ(lagrange_reference_mass(2), (std::vector<double>{4.0 / 15, 2.0 / 15, -1.0 / 15, 2.0 / 15, 16.0 / 15,
                                                               2.0 / 15, -1.0 / 15, 2.0 / 15, 4.0 / 15}));
    // L_0 = xi (xi - 1) / 2, L_1 = 1 - xi^2, L_2 = xi (xi + 1) / 2.
    EXPECT_EQ(bits(lagrange_reference_derivative(2)),
              bits({-0.5, 2.0 / 3, -1.0 / 6, -2.0 / 3, 0.0, 2.0 / 3, 1.0 / 6, -2.0 / 3, 0.5}));
}

// L_j and dL_j/dxi at x, in double, by the product rule along the factors.
void lagrange_values(std::size_t p, double x, std::vector<double>& value, std::vector<double>& slope) {
    value.assign(p + 1, 0.0);
    slope.assign(p + 1, 0.0);
    for (std::size_t j = 0; j <= p; ++j) {
        double v = 1.0, d = 0.0;
        const double xj = -1.0 + 2.0 * static_cast<double>(j) / static_cast<double>(p);
        for (std::size_t m = 0; m <= p; ++m) {
            if (m == j)
                continue;
            const double xm = -1.0 + 2.0 * static_cast<double>(m) / static_cast<double>(p);
            d = (d * (x - xm) + v) / (xj - xm);
            v = v * (x - xm) / (xj - xm);
        }
        value[j] = v;
        slope[j] = d;
    }
}

class LagrangeReferenceByDegree : public testing::TestWithParam<std::size_t> {};

TEST_P(LagrangeReferenceByDegree, HasExactSymmetriesAndMatchesQuadrature) {
    const std::size_t p = GetParam(), n = p + 1;
    const std::vector<double> r = lagrange_reference_mass(p);
    const std::vector<double> d = lagrange_reference_derivative(p);
    ASSERT_EQ(r.size(), n * n);
    ASSERT_EQ(d.size(), n * n);
    // R = R^T and D + D^T = diag(-1, 0, ..., 0, 1) (integration by parts),
    // exactly: the true values have these symmetries and rounding keeps them.
    for (std::size_t j = 0; j < n; ++j)
        for (std::size_t k = 0; k < n; ++k) {
            EXPECT_EQ(bits_of(at(r, n, j, k)), bits_of(at(r, n, k, j)));
            const double boundary = j != k ? 0.0 : (j == 0 ? -1.0 : (j == p ? 1.0 : 0.0));
            EXPECT_EQ(at(d, n, j, k) + at(d, n, k, j), boundary) << j << " " << k;
        }
    // The (p + 1)-point Gauss rule in double integrates both exactly up to
    // rounding.
    const QuadratureRule rule = gauss_legendre_rule(n);
    std::vector<double> value, slope;
    std::vector<double> rq(n * n, 0.0), dq(n * n, 0.0);
    for (std::size_t q = 0; q < n; ++q) {
        lagrange_values(p, rule.nodes[q], value, slope);
        for (std::size_t j = 0; j < n; ++j)
            for (std::size_t k = 0; k < n; ++k) {
                rq[j * n + k] += rule.weights[q] * value[j] * value[k];
                dq[j * n + k] += rule.weights[q] * value[j] * slope[k];
            }
    }
    const double tolerance = 1e-14 * std::pow(2.0, static_cast<double>(p));
    for (std::size_t e = 0; e < n * n; ++e) {
        EXPECT_NEAR(r[e], rq[e], tolerance) << e;
        EXPECT_NEAR(d[e], dq[e], tolerance * static_cast<double>(n)) << e;
    }
}

INSTANTIATE_TEST_SUITE_P(Degrees, LagrangeReferenceByDegree, testing::Values(1, 2, 3, 4, 5, 7, 10));

// ---------------------------------------------------------------------------
// Lagrange mass and derivative matrices

using LagrangeCase = std::tuple<std::size_t, std::size_t, bool>;  // degree, n_t, periodic

class LagrangeOperators : public testing::TestWithParam<LagrangeCase> {
protected:
    std::size_t p = std::get<0>(GetParam());
    std::size_t n_t = std::get<1>(GetParam());
    bool periodic = std::get<2>(GetParam());
    double T = 1.7;
    LagrangeBasis basis = LagrangeBasis::create(p, n_t, T, periodic);
    std::size_t ndofs = basis.num_dofs();
};

TEST_P(LagrangeOperators, PatternIsEveryPairSharingAnInterval) {
    Pattern expected;
    for (std::size_t k = 0; k < n_t; ++k)
        for (std::size_t jj = 0; jj <= p; ++jj)
            for (std::size_t kk = 0; kk <= p; ++kk)
                expected.insert({basis.dof_index(k, jj), basis.dof_index(k, kk)});
    for (const CsrMatrix& m :
         {lagrange_mass_matrix(p, n_t, T, periodic), lagrange_derivative_matrix(p, n_t, periodic)}) {
        EXPECT_EQ(m.nrows(), ndofs);
        EXPECT_EQ(m.ncols(), ndofs);
        EXPECT_EQ(stored_pattern(m), expected);
    }
}

TEST_P(LagrangeOperators, ArraysAreTheMatricesInEveryIndexTypeWithTheAnnouncedShape) {
    for (const TimeMatrix matrix : {TimeMatrix::lagrange_mass, TimeMatrix::lagrange_derivative})
        expect_operator_arrays(uniform_operator(matrix, p, n_t, T, periodic));
}

// Newton-Cotes weights: the integrals of L_j over [-1, 1].
double newton_cotes(std::size_t p, std::size_t j) {
    static const std::vector<std::vector<double>> table = {{},
                                                           {1.0, 1.0},
                                                           {1.0 / 3, 4.0 / 3, 1.0 / 3},
                                                           {0.25, 0.75, 0.75, 0.25},
                                                           {7.0 / 45, 32.0 / 45, 12.0 / 45, 32.0 / 45, 7.0 / 45}};
    return table.at(p).at(j);
}

TEST_P(LagrangeOperators, MassIsSymmetricAndItsRowsIntegrateTheBasisFunctions) {
    const Dense m = to_dense(lagrange_mass_matrix(p, n_t, T, periodic));
    std::vector<double> integral(ndofs, 0.0);
    const double w = T / static_cast<double>(n_t);
    for (std::size_t k = 0; k < n_t; ++k)
        for (std::size_t jj = 0; jj <= p; ++jj)
            integral[basis.dof_index(k, jj)] += 0.5 * w * newton_cotes(p, jj);
    for (std::size_t a = 0; a < ndofs; ++a) {
        double row_sum = 0.0;
        for (std::size_t b = 0; b < ndofs; ++b) {
            EXPECT_EQ(bits_of(m[a][b]), bits_of(m[b][a]));
            row_sum += m[a][b];
        }
        EXPECT_NEAR(row_sum, integral[a], 1e-15 * T * static_cast<double>(p + 1)) << a;
    }
}

TEST_P(LagrangeOperators, DerivativeIsAntisymmetricUpToTheBoundaryTermAndKillsConstants) {
    const Dense c = to_dense(lagrange_derivative_matrix(p, n_t, periodic));
    for (std::size_t a = 0; a < ndofs; ++a) {
        double row_sum = 0.0, column_sum = 0.0;
        for (std::size_t b = 0; b < ndofs; ++b) {
            // phi_a phi_b at T minus at 0.
            double boundary = 0.0;
            if (!periodic && a == b)
                boundary = a == 0 ? -1.0 : (a == ndofs - 1 ? 1.0 : 0.0);
            EXPECT_EQ(c[a][b] + c[b][a], boundary) << a << " " << b;
            row_sum += c[a][b];
            column_sum += c[b][a];
        }
        // Rows: the basis functions sum to 1, whose derivative vanishes.
        // Columns: the integral of phi_a' is phi_a(T) - phi_a(0).
        const double ends = periodic ? 0.0 : (a == 0 ? -1.0 : (a == ndofs - 1 ? 1.0 : 0.0));
        EXPECT_NEAR(row_sum, 0.0, 1e-14 * static_cast<double>(p * p)) << a;
        EXPECT_NEAR(column_sum, ends, 1e-14 * static_cast<double>(p * p)) << a;
    }
}

// The Lagrange functions are combinations of the Legendre ones through the
// transformation matrix L (coefficients = L * nodal values), so
// M_lagrange = L^T M_legendre L and likewise for the derivative matrices.
TEST_P(LagrangeOperators, AgreeWithTheLegendreMatricesThroughTheTransformation) {
    const Dense l = to_dense(basis.get_transformation_matrix_to_legendre());
    const Dense lt = transpose(l);
    const Dense m = to_dense(lagrange_mass_matrix(p, n_t, T, periodic));
    const Dense c = to_dense(lagrange_derivative_matrix(p, n_t, periodic));
    const Dense m_ref = multiply(lt, multiply(to_dense(legendre_mass_matrix(p, n_t, T)), l));
    const Dense c_ref = multiply(lt, multiply(to_dense(legendre_derivative_matrix(p, n_t)), l));
    EXPECT_LE(max_difference(m, m_ref), 1e-13 * max_magnitude(m_ref));
    EXPECT_LE(max_difference(c, c_ref), 1e-13);
}

// The coarse functions are fine functions: phi_c = sum P phi_f exactly, so
// M_c = P^T M_f P and C_c = P^T C_f P.
TEST_P(LagrangeOperators, GalerkinIdentitiesOnNestedMeshes) {
    for (const std::size_t factor : {2, 3}) {
        const std::size_t nt_fine = factor * n_t;
        const Dense pr = to_dense(basis.get_prolongation_matrix_to(nt_fine));
        const Dense pt = transpose(pr);
        const Dense m = multiply(pt, multiply(to_dense(lagrange_mass_matrix(p, nt_fine, T, periodic)), pr));
        const Dense c = multiply(pt, multiply(to_dense(lagrange_derivative_matrix(p, nt_fine, periodic)), pr));
        const Dense m_c = to_dense(lagrange_mass_matrix(p, n_t, T, periodic));
        const Dense c_c = to_dense(lagrange_derivative_matrix(p, n_t, periodic));
        // Derivative entries are O(1) whatever the mesh (and all cancel
        // periodic with two intervals of degree 1): an absolute tolerance.
        EXPECT_LE(max_difference(m, m_c), 1e-13 * max_magnitude(m_c)) << factor;
        EXPECT_LE(max_difference(c, c_c), 1e-13) << factor;
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, LagrangeOperators,
                         testing::Combine(testing::Values(1, 2, 3, 4), testing::Values(1, 2, 3, 5), testing::Bool()));

// The documented rounding: (0.5 * w) * R, summed in increasing interval order
// (and in (jj, kk) order periodic with one interval).
TEST(LagrangeMass, EntriesAreScaledReferenceEntriesSummedInOrder) {
    const double T = 0.3, w = T / 4.0, h = 0.5 * w;
    const std::vector<double> r = lagrange_reference_mass(3);
    const Dense m = to_dense(lagrange_mass_matrix(3, 4, T, false));
    EXPECT_EQ(bits_of(m[1][2]), bits_of(h * r[1 * 4 + 2]));
    EXPECT_EQ(bits_of(m[3][3]), bits_of(h * r[3 * 4 + 3] + h * r[0]));
    // Periodic with one interval the two ends are node 0: diagonal pairs first.
    const std::vector<double> r2 = lagrange_reference_mass(2);
    auto s = [&](std::size_t jj, std::size_t kk) { return 1.3 * r2[jj * 3 + kk]; };  // T = 2.6
    const Dense single = to_dense(lagrange_mass_matrix(2, 1, 2.6, true));
    EXPECT_EQ(bits_of(single[0][0]), bits_of((s(0, 0) + s(2, 2)) + (s(0, 2) + s(2, 0))));
    EXPECT_EQ(bits_of(single[0][1]), bits_of(s(0, 1) + s(2, 1)));
}

// ---------------------------------------------------------------------------
// Legendre mass and derivative, endpoint and upwind matrices

using LegendreCase = std::tuple<std::size_t, std::size_t>;  // degree, n_t

class LegendreOperators : public testing::TestWithParam<LegendreCase> {
protected:
    std::size_t p = std::get<0>(GetParam());
    std::size_t n_t = std::get<1>(GetParam());
    std::size_t n = (p + 1) * n_t;
};

// Both matrices against the (p + 1)-point Gauss rule on the mesh applied to
// the basis as LegendreBasis evaluates it.
TEST_P(LegendreOperators, MassAndDerivativeMatchQuadratureOfTheBasis) {
    const double T = 2.3;
    const LegendreBasis basis(p, n_t, T);
    const QuadratureRule rule = gauss_legendre_on_mesh(p + 1, TimeMesh::uniform(n_t, T));
    Dense mq = zeros(n, n), cq = zeros(n, n);
    for (std::size_t q = 0; q < rule.nodes.size(); ++q) {
        const std::vector<double> v = basis.evaluate_all_basis_functions(rule.nodes[q]);
        const std::vector<double> d = basis.evaluate_all_basis_function_derivatives(rule.nodes[q]);
        for (std::size_t a = 0; a < n; ++a)
            for (std::size_t b = 0; b < n; ++b) {
                mq[a][b] += rule.weights[q] * v[a] * v[b];
                cq[a][b] += rule.weights[q] * v[a] * d[b];
            }
    }
    const CsrMatrix mass = legendre_mass_matrix(p, n_t, T);
    const CsrMatrix derivative = legendre_derivative_matrix(p, n_t);
    Pattern diagonal, nonzero;
    for (std::size_t a = 0; a < n; ++a) {
        diagonal.insert({a, a});
        for (std::size_t b = 0; b < n; ++b)
            if (std::fabs(cq[a][b]) > 0.5)
                nonzero.insert({a, b});
    }
    EXPECT_EQ(stored_pattern(mass), diagonal);
    EXPECT_EQ(stored_pattern(derivative), nonzero);
    EXPECT_LE(max_difference(to_dense(mass), mq), 1e-15 * T);
    EXPECT_LE(max_difference(to_dense(derivative), cq), 1e-13);
    for (std::size_t i = 0; i <= p; ++i)
        EXPECT_EQ(mass.values()[n_t * i], (T / static_cast<double>(n_t)) / static_cast<double>(2 * i + 1));
}

TEST_P(LegendreOperators, EndpointsHoldTheLegendreValuesAtPlusMinusOne) {
    const auto [at_start, at_end] = endpoint_matrices(p, n_t);
    // P_i(-1) and P_i(1) from the recurrence.
    std::vector<double> minus{1.0, -1.0}, plus{1.0, 1.0};
    for_each_legendre_from_2(-1.0, p, [&](std::size_t, double v, double) { minus.push_back(v); });
    for_each_legendre_from_2(1.0, p, [&](std::size_t, double v, double) { plus.push_back(v); });
    Dense start_ref = zeros(n_t, n), end_ref = zeros(n_t, n);
    Pattern pattern;
    for (std::size_t j = 0; j < n_t; ++j)
        for (std::size_t i = 0; i <= p; ++i) {
            start_ref[j][j + n_t * i] = minus[i];
            end_ref[j][j + n_t * i] = plus[i];
            pattern.insert({j, j + n_t * i});
        }
    EXPECT_EQ(to_dense(at_start), start_ref);
    EXPECT_EQ(to_dense(at_end), end_ref);
    EXPECT_EQ(stored_pattern(at_start), pattern);
    EXPECT_EQ(stored_pattern(at_end), pattern);
}

TEST_P(LegendreOperators, UpwindIsTheProductOfTheEndpointMatrices) {
    const auto [at_start, at_end] = endpoint_matrices(p, n_t);
    const Dense s = to_dense(at_start), e = to_dense(at_end);
    for (const bool periodic : {false, true}) {
        Dense shift = zeros(n_t, n_t);
        for (std::size_t j = 1; j < n_t; ++j)
            shift[j][j - 1] = 1.0;
        if (periodic)
            shift[0][n_t - 1] += 1.0;
        const Dense shifted = multiply(shift, e);
        Dense jump = s;
        for (std::size_t j = 0; j < n_t; ++j)
            for (std::size_t c = 0; c < n; ++c)
                jump[j][c] -= shifted[j][c];
        const CsrMatrix u = upwind_matrix(p, n_t, periodic);
        EXPECT_EQ(to_dense(u), multiply(transpose(s), jump)) << periodic;
        // Pattern: the own block and the upwind neighbour's, whatever the values.
        Pattern pattern;
        for (std::size_t r = 0; r < n; ++r)
            for (std::size_t c = 0; c < n; ++c) {
                const std::size_t jr = r % n_t, jc = c % n_t;
                if (jc == jr || jc + 1 == jr || (periodic && jr == 0 && jc == n_t - 1))
                    pattern.insert({r, c});
            }
        EXPECT_EQ(stored_pattern(u), pattern) << periodic;
    }
}

TEST_P(LegendreOperators, ArraysAreTheMatricesInEveryIndexTypeWithTheAnnouncedShape) {
    for (const TimeMatrix matrix : {TimeMatrix::legendre_mass, TimeMatrix::legendre_derivative,
                                    TimeMatrix::endpoint_start, TimeMatrix::endpoint_end, TimeMatrix::upwind})
        expect_operator_arrays(uniform_operator(matrix, p, n_t, 2.3));
    expect_operator_arrays(uniform_operator(TimeMatrix::upwind, p, n_t, 2.3, true));
}

INSTANTIATE_TEST_SUITE_P(Sizes, LegendreOperators,
                         testing::Combine(testing::Values(0, 1, 2, 3), testing::Values(1, 2, 3, 4)));

// ---------------------------------------------------------------------------
// Arguments

TEST(TimeOperators, RefuseBadSizesNamingTheArgument) {
    EXPECT_EQ(failure_of([] { legendre_mass_matrix(2, 0, 1.0); }),
              "legendre_mass_matrix: n_t must be at least 1, got 0");
    EXPECT_EQ(failure_of([] { lagrange_mass_matrix(0, 0, 1.0, false); }),
              "lagrange_mass_matrix: degree must be at least 1, got 0");
    EXPECT_EQ(failure_of([] { lagrange_mass_matrix(1, 0, 1.0, true); }),
              "lagrange_mass_matrix: n_t must be at least 1, got 0");
    EXPECT_EQ(failure_of([] { legendre_derivative_matrix(1, 0); }),
              "legendre_derivative_matrix: n_t must be at least 1, got 0");
    EXPECT_EQ(failure_of([] { lagrange_derivative_matrix(0, 3, true); }),
              "lagrange_derivative_matrix: degree must be at least 1, got 0");
    EXPECT_EQ(failure_of([] { endpoint_matrices(1, 0); }), "endpoint_matrices: n_t must be at least 1, got 0");
    EXPECT_EQ(failure_of([] { upwind_matrix(1, 0, false); }), "upwind_matrix: n_t must be at least 1, got 0");
    EXPECT_EQ(failure_of([] { lagrange_reference_mass(0); }),
              "lagrange_reference_mass: degree must be at least 1, got 0");

    EXPECT_EQ(failure_of([] { legendre_mass_matrix(1, SIZE_MAX, 1.0); }), "capacity overflow");
    EXPECT_EQ(failure_of([] { legendre_derivative_matrix(SIZE_MAX, 1); }), "capacity overflow");
    EXPECT_EQ(failure_of([] { endpoint_matrices(SIZE_MAX / 2, 3); }), "capacity overflow");
    EXPECT_EQ(failure_of([] { upwind_matrix(1, SIZE_MAX / 2 + 1, true); }), "capacity overflow");
    EXPECT_EQ(failure_of([] { lagrange_mass_matrix(2, SIZE_MAX / 2 + 1, 1.0, true); }), "capacity overflow");
    EXPECT_EQ(failure_of([] { lagrange_derivative_matrix(SIZE_MAX, 1, false); }), "capacity overflow");

    // The shapes check as their matrices do.
    auto shape_failure = [](TimeMatrix matrix, std::size_t degree, std::size_t n_t, bool periodic) {
        return failure_of([&] { time_operator_shape(uniform_operator(matrix, degree, n_t, 1.0, periodic)); });
    };
    EXPECT_EQ(shape_failure(TimeMatrix::legendre_mass, 2, 0, false),
              "legendre_mass_matrix: n_t must be at least 1, got 0");
    EXPECT_EQ(shape_failure(TimeMatrix::lagrange_mass, 0, 1, false),
              "lagrange_mass_matrix: degree must be at least 1, got 0");
    EXPECT_EQ(shape_failure(TimeMatrix::lagrange_derivative, 1, 0, true),
              "lagrange_derivative_matrix: n_t must be at least 1, got 0");
    EXPECT_EQ(shape_failure(TimeMatrix::legendre_derivative, 1, 0, false),
              "legendre_derivative_matrix: n_t must be at least 1, got 0");
    EXPECT_EQ(shape_failure(TimeMatrix::endpoint_end, 1, 0, false), "endpoint_matrices: n_t must be at least 1, got 0");
    EXPECT_EQ(shape_failure(TimeMatrix::upwind, 1, 0, true), "upwind_matrix: n_t must be at least 1, got 0");
    EXPECT_EQ(shape_failure(TimeMatrix::upwind, 1, SIZE_MAX / 2 + 1, false), "capacity overflow");
    EXPECT_EQ(shape_failure(TimeMatrix::legendre_mass, 1, 3, true),
              "legendre_mass_matrix: the Legendre basis has no periodic form");
    // Arrays whose shape does not fit the index type are refused before
    // anything is allocated.
    constexpr std::size_t rows_past_int32 = std::size_t{1} << 31;
    EXPECT_EQ(failure_of([] {
                  time_operator_arrays<std::int32_t>(uniform_operator(TimeMatrix::legendre_mass, 0, rows_past_int32));
              }),
              "capacity overflow");
    EXPECT_EQ(failure_of([] {
                  time_operator_arrays<std::int32_t>(uniform_operator(TimeMatrix::upwind, 3, rows_past_int32 / 4));
              }),
              "capacity overflow");
}

}  // namespace
}  // namespace pwpoly
