// Calculus on vector-valued expansions, against exact arithmetic
// and against the scalar evaluation: endpoint values bit for bit, the
// projection exact for polynomials (on uniform and graded meshes) and bit
// for bit its documented sums, the sparse product bit for bit scipy's order.
// The integral and the antiderivative: test_mesh_integrals.cpp.
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

#include "common/argument_error.hpp"
#include "core_test_support.hpp"
#include "exact_dyadic.hpp"
#include "piecewise_polynomials/basis/lagrange_basis.hpp"
#include "piecewise_polynomials/basis/legendre_basis.hpp"
#include "piecewise_polynomials/basis/time_mesh.hpp"
#include "piecewise_polynomials/calculus/expansion_calculus.hpp"
#include "piecewise_polynomials/calculus/gauss_legendre.hpp"

namespace pwpoly {
namespace {

using testing_support::distance;
using testing_support::Exact;
using testing_support::failure_of;

// The message of the ArgumentError that f() throws.
std::string refusal_of(auto&& f) {
    try {
        f();
    } catch (const ArgumentError& e) {
        return e.message();
    }
    return "<no refusal>";
}

constexpr std::uint32_t seed = 20250217;
constexpr double u = 0x1p-53;  // unit roundoff
constexpr double inf = std::numeric_limits<double>::infinity();

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

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
// On graded, offset and arbitrary meshes the nodes come from the mesh as
// given and the projection, which does not look at the mesh, still
// reproduces a polynomial in t of degree <= degree on every interval: the
// projection evaluated at local points xi of interval j equals the
// polynomial at b_j + h_j (1 + xi) / 2, to rounding.
TEST(ProjectValues, ReproducesPolynomialsOnNonUniformMeshes) {
    const double a[4] = {0.5, -1.0, 0.25, 0.125};  // p(t) = 0.5 - t + t^2 / 4 + t^3 / 8
    const auto p = [&](double t) { return ((a[3] * t + a[2]) * t + a[1]) * t + a[0]; };
    const TimeMesh meshes[] = {TimeMesh::graded(6, 2.0, 3.0), TimeMesh::uniform(5, -1.0, 2.0),
                               TimeMesh::from_breakpoints({-1.5, -0.3, 0.2, 0.21, 1.7})};
    for (const TimeMesh& mesh : meshes)
        for (const std::size_t degree : {3, 5}) {
            const std::size_t n_t = mesh.n_t(), points = degree + 1;
            SCOPED_TRACE("n_t " + std::to_string(n_t) + " degree " + std::to_string(degree));
            const QuadratureRule rule = gauss_legendre_on_mesh(points, mesh);
            std::vector<double> values(rule.nodes.size()), out((degree + 1) * n_t);
            for (std::size_t q = 0; q < values.size(); ++q)
                values[q] = p(rule.nodes[q]);
            project_values(degree, n_t, points, 1, values.data(), out.data());
            const LegendreBasis one(degree, 1, 2.0);  // xi = t - 1 exactly
            for (std::size_t j = 0; j < n_t; ++j) {
                std::vector<double> column(degree + 1);
                for (std::size_t i = 0; i <= degree; ++i)
                    column[i] = out[i * n_t + j];
                const double b = mesh.breakpoint(j), h = mesh.breakpoint(j + 1) - b;
                for (const double xi : {-1.0, -0.6, 0.1, 0.75, 1.0}) {
                    const double t = b + h * (1.0 + xi) / 2.0;
                    const double scale =
                        ((std::fabs(a[3] * t) + std::fabs(a[2])) * std::fabs(t) + 1.0) * std::fabs(t) + 0.5;
                    EXPECT_NEAR(one.evaluate(xi + 1.0, {column.data(), 1, degree + 1}), p(t), 256.0 * u * scale)
                        << "interval " << j << " xi " << xi;
                }
            }
        }
}

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
    const TimeMesh none = TimeMesh::unchecked_uniform(0, 1.0);
    const TimeMesh two = TimeMesh::uniform(2, 1.0), one = TimeMesh::uniform(1, 1.0);
    EXPECT_EQ(failure_of([&] { integral(1, none, 1, c, out); }), no_intervals_message);
    EXPECT_EQ(failure_of([&] { antiderivative(1, none, 1, c); }), no_intervals_message);
    EXPECT_EQ(refusal_of([&] { project_values(1, 1, 0, 1, c, out); }), "points must be at least 1, got 0");
    EXPECT_EQ(refusal_of([&] { project_values(1, 1, max_gauss_points + 1, 1, c, out); }),
              "points must be at most " + std::to_string(max_gauss_points) + ", got " +
                  std::to_string(max_gauss_points + 1));
    EXPECT_EQ(failure_of([&] { endpoint_values(SIZE_MAX, 1, 1, c, out, out); }), "capacity overflow");
    EXPECT_EQ(failure_of([&] { endpoint_values(1, 2, SIZE_MAX / 2, c, out, out); }), "capacity overflow");
    EXPECT_EQ(failure_of([&] { integral(1, two, SIZE_MAX / 2, c, out); }), "capacity overflow");
    EXPECT_EQ(failure_of([&] { antiderivative(SIZE_MAX - 1, one, 1, c); }), "capacity overflow");
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
