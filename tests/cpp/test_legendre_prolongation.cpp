#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "arithmetic/correct_rounding.hpp"
#include "piecewise_polynomials/basis/legendre_basis.hpp"
#include "piecewise_polynomials/calculus/gauss_legendre.hpp"
#include "piecewise_polynomials/operators/legendre_reexpansion.hpp"
#include "piecewise_polynomials/operators/legendre_reexpansion_sums.hpp"
#include "piecewise_polynomials/operators/legendre_transfer.hpp"
#include "piecewise_polynomials/operators/overlap_fill.hpp"
#include "piecewise_polynomials/operators/time_operators.hpp"

#include "core_test_support.hpp"
#include "dense_test_matrices.hpp"
#include "legendre_transfer_matrices.hpp"
#include "time_operator_matrices.hpp"

namespace pwpoly {
namespace {

using namespace testing_support;

std::uint64_t bits_of(double x) { return std::bit_cast<std::uint64_t>(x); }

// Deterministic coefficients in [-1, 1).
std::vector<double> some_coefficients(std::size_t count, std::uint64_t seed) {
    std::vector<double> out(count);
    for (double& x : out) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        x = static_cast<double>(seed >> 11) * 0x1p-52 - 1.0;
    }
    return out;
}

// ---------------------------------------------------------------------------
// Nested meshes: the exact re-expansion

// R_ik(s) for degree <= 3 from expanding P_i((eta + b) / m), b = 2s + 1 - m,
// in Legendre polynomials of eta by hand: a numerator and a denominator in
// integers, exact in double for the sizes used here, so their IEEE quotient
// is the nearest double to R_ik (an exact zero is +0.0: closed_form adds
// 0.0 to turn the -0.0 of b = 0 times a negative factor into +0.0).
double closed_form_raw(std::size_t i, std::size_t k, double b, double m) {
    const double m2 = m * m, m3 = m2 * m, b2 = b * b;
    switch (i * 4 + k) {
    case 0:
        return 1.0;
    case 4:
        return b / m;
    case 5:
        return 1.0 / m;
    case 8:
        return (1.0 + 3.0 * b2 - m2) / (2.0 * m2);
    case 9:
        return 3.0 * b / m2;
    case 10:
        return 1.0 / m2;
    case 12:
        return b * (5.0 + 5.0 * b2 - 3.0 * m2) / (2.0 * m3);
    case 13:
        return 3.0 * (1.0 + 5.0 * b2 - m2) / (2.0 * m3);
    case 14:
        return 5.0 * b / m3;
    case 15:
        return 1.0 / m3;
    }
    return NAN;
}

double closed_form(std::size_t i, std::size_t k, double b, double m) { return closed_form_raw(i, k, b, m) + 0.0; }

class NestedReexpansion : public testing::TestWithParam<std::size_t> {};

TEST_P(NestedReexpansion, MatchesClosedFormsBitForBitWithTheFixedPattern) {
    const std::size_t p = 3, nt_coarse = 2, m = GetParam(), nt_fine = m * nt_coarse;
    const CsrMatrix pr = legendre_prolongation_matrix(p, nt_coarse, nt_fine);
    ASSERT_EQ(pr.nrows(), (p + 1) * nt_fine);
    ASSERT_EQ(pr.ncols(), (p + 1) * nt_coarse);
    ASSERT_EQ(pr.nnz(), nt_fine * (p + 1) * (p + 2) / 2);
    for (std::size_t f = 0; f < nt_fine; ++f) {
        const std::size_t c = f / m, s = f % m;
        const double b = 2.0 * static_cast<double>(s) + 1.0 - static_cast<double>(m);
        for (std::size_t k = 0; k <= p; ++k) {
            const CsrRow row = pr.row(f + nt_fine * k);
            ASSERT_EQ(row.nnz(), p + 1 - k);
            for (std::size_t i = k; i <= p; ++i) {
                ASSERT_EQ(row.col_indices[i - k], c + nt_coarse * i);
                ASSERT_EQ(bits_of(row.values[i - k]), bits_of(closed_form(i, k, b, static_cast<double>(m))))
                    << "m " << m << " s " << s << " i " << i << " k " << k;
            }
        }
    }
}

// m = 2 has exact zeros off the midpoint (R_20), odd m the parity zeros of
// the middle sub-interval; large m makes R_ik tiny with cancelling sums.
INSTANTIATE_TEST_SUITE_P(SubintervalCounts, NestedReexpansion, testing::Values(1, 2, 3, 4, 5, 7, 10, 99, 1000, 20011));

// The exact computation alone against the closed forms, then every entry of
// the matrix (mostly computed in double-double) against it.
TEST(NestedReexpansion, EveryEntryIsTheExactlyRoundedCoefficient) {
    for (const std::size_t m : {1, 2, 3, 6, 1000, 65537, 99991})
        for (const std::size_t s : {std::size_t{0}, m / 3, m / 2, m - 1})
            for (std::size_t i = 0; i <= 3; ++i)
                for (std::size_t k = 0; k <= i; ++k) {
                    const double b = 2.0 * static_cast<double>(s) + 1.0 - static_cast<double>(m);
                    EXPECT_EQ(bits_of(legendre_reexpansion_coefficient(i, k, s, m)),
                              bits_of(closed_form(i, k, b, static_cast<double>(m))))
                        << "m " << m << " s " << s << " i " << i << " k " << k;
                }
    for (const std::size_t p : {4, 8})
        for (const std::size_t m : {1, 2, 3, 5, 8, 21}) {
            const CsrMatrix pr = legendre_prolongation_matrix(p, 1, m);
            for (std::size_t s = 0; s < m; ++s)
                for (std::size_t k = 0; k <= p; ++k) {
                    const CsrRow row = pr.row(s + m * k);
                    for (std::size_t i = k; i <= p; ++i)
                        ASSERT_EQ(bits_of(row.values[i - k]), bits_of(legendre_reexpansion_coefficient(i, k, s, m)))
                            << "p " << p << " m " << m << " s " << s << " i " << i << " k " << k;
                }
        }
}

// Pieces of meshes of any kind: halves and thirds of intervals whose
// midpoint is rounded (alpha near 1 / 2, where R_20 nearly vanishes and the
// double-double recurrence cannot decide it), at several widths and
// positions, including breakpoints of very different magnitudes (widths
// that are double-double values).
std::vector<std::array<double, 4>> graded_pieces() {
    std::vector<std::array<double, 4>> out;
    const std::vector<double> r = some_coefficients(48, 77);
    for (std::size_t j = 0; j < 16; ++j) {
        const double c0 = j % 4 == 3 ? -0x1p-70 * (2.0 + r[3 * j]) : 0.5 + 0.5 * r[3 * j];
        const double width = std::ldexp(1.5 + 0.5 * r[3 * j + 1], -static_cast<int>(2 + 3 * j));
        const double c1 = c0 + width;
        const double half = c0 + (c1 - c0) / 2.0, third = c0 + (c1 - c0) / 3.0;
        for (const auto& [f0, f1] : {std::pair{c0, half}, std::pair{half, c1}, std::pair{c0, third},
                                     std::pair{third, c1}, std::pair{third, half}})
            out.push_back({c0, c1, f0, f1});
    }
    return out;
}

TEST(MeshReexpansion, EveryEntryIsTheExactlyRoundedCoefficient) {
    for (const std::size_t degree : {3, 6, 7}) {
        MeshReexpansion reexpansion(degree);
        InterruptionPacer pacer;
        for (const auto& [c0, c1, f0, f1] : graded_pieces()) {
            const double* triangle = reexpansion.coefficients(c0, c1, f0, f1, pacer);
            for (std::size_t i = 0; i <= degree; ++i)
                for (std::size_t k = 0; k <= i; ++k)
                    ASSERT_EQ(bits_of(triangle[triangle_index(i, k)]),
                              bits_of(legendre_reexpansion_coefficient(i, k, c0, c1, f0, f1)))
                        << "degree " << degree << " piece " << f0 << " " << f1 << " in " << c0 << " " << c1 << " i "
                        << i << " k " << k;
        }
    }
}

// The exact sums decide the entries that cancel (R_20 of the halves) and
// agree with the big integers wherever they decide.
TEST(MeshReexpansion, ExactSumsDecideTheCancellingEntries) {
    EXPECT_FALSE(ReexpansionSums(7).available());
    const std::size_t degree = 6;
    ReexpansionSums sums(degree);
    ASSERT_TRUE(sums.available());
    std::size_t decided_r20 = 0, halves = 0;
    for (const auto& [c0, c1, f0, f1] : graded_pieces()) {
        const dd::DD hc = dd::two_sum(c1, -c0);
        const double scale = std::ldexp(1.0, -std::ilogb(hc.hi));
        ASSERT_TRUE(sums.set_piece(dd::two_sum(f1, -f0), dd::two_sum(f0, -c0), dd::two_sum(f1, -c1), hc, scale));
        for (std::size_t i = 0; i <= degree; ++i)
            for (std::size_t k = 0; k <= i; ++k) {
                double r = NAN;
                if (sums.value(i, k, r)) {
                    ASSERT_EQ(bits_of(r), bits_of(legendre_reexpansion_coefficient(i, k, c0, c1, f0, f1)))
                        << "piece " << f0 << " " << f1 << " in " << c0 << " " << c1 << " i " << i << " k " << k;
                    decided_r20 += i == 2 && k == 0;
                }
            }
        halves += f0 == c0 + (c1 - c0) / 2.0 || f1 == c0 + (c1 - c0) / 2.0;
    }
    EXPECT_GE(decided_r20, halves);
}

// A walk over any range of rows sees the bounds the whole walk sees, also
// where breakpoints of the two meshes coincide.
TEST(OverlapWalk, AnyRangeOfRowsSeesTheBoundsOfTheWholeWalk) {
    const std::vector<double> r = some_coefficients(64, 5);
    std::vector<double> a{0.0}, b{0.0};
    for (std::size_t j = 0; j < r.size(); ++j) {
        a.push_back(a.back() + 1.5 + r[j]);
        if (j % 3 == 0)
            b.push_back(a.back());  // shared breakpoints
        else if (j % 3 == 1)
            b.push_back(a.back() - 0.25);
    }
    b.push_back(a.back());
    for (const auto& [rows, cols] : {std::pair{a, b}, std::pair{b, a}, std::pair{a, a}}) {
        const BreakpointPositions rp{rows.data(), rows.size() - 1}, cp{cols.data(), cols.size() - 1};
        std::vector<std::pair<std::size_t, std::size_t>> whole;
        walk_overlaps(rp, cp,
                      [&](std::size_t, std::size_t first, std::size_t last) { whole.emplace_back(first, last); });
        for (std::size_t lo = 0; lo < rp.n; ++lo)
            for (const std::size_t hi : {lo + 1, rp.n}) {
                std::size_t next = lo;
                walk_overlaps(rp, cp, lo, hi, [&](std::size_t row, std::size_t first, std::size_t last) {
                    ASSERT_EQ(row, next++);
                    ASSERT_EQ(std::pair(first, last), whole[row]) << "rows " << lo << " to " << hi;
                });
                EXPECT_EQ(next, hi);
            }
    }
}

// The restriction's factor (h_f / (2k + 1)) / (h_c / (2i + 1)) rounded once.
double restriction_scale(std::size_t k, std::size_t i, double c0, double c1, double f0, double f1) {
    using exact::dyadic;
    return exact::nearest_double_to_quotient((dyadic(f1) + dyadic(-f0)) * dyadic(static_cast<double>(2 * i + 1)),
                                             (dyadic(c1) + dyadic(-c0)) * dyadic(static_cast<double>(2 * k + 1)));
}

// Meshes large enough for the fill to be spread over the workers: every
// entry of the re-expansion and of its restriction where it belongs.
TEST(MeshTransfer, FilledInParallelEveryEntryIsWhereItBelongs) {
    const std::size_t degree = 2, n = degree + 1;
    const TimeMesh coarse = TimeMesh::graded(2500, 1.0, 3.0);
    std::vector<double> b;
    for (std::size_t j = 0; j < coarse.n_t(); ++j) {
        const double c0 = coarse.breakpoint(j), c1 = coarse.breakpoint(j + 1);
        b.push_back(c0);
        b.push_back(c0 + (c1 - c0) / (j % 2 == 0 ? 2.0 : 3.0));
    }
    b.push_back(coarse.breakpoint(coarse.n_t()));
    const TimeMesh fine = TimeMesh::from_breakpoints(b);
    const CsrArrays<std::int64_t> p = legendre_prolongation_arrays<std::int64_t>(degree, coarse, fine);
    const CsrArrays<std::int64_t> r = legendre_restriction_arrays<std::int64_t>(degree, coarse, fine);
    const std::size_t nf = fine.n_t(), nc = coarse.n_t();
    for (std::size_t f = 0; f < nf; ++f) {
        const std::size_t c = f / 2;
        const double c0 = coarse.breakpoint(c), c1 = coarse.breakpoint(c + 1);
        const double f0 = fine.breakpoint(f), f1 = fine.breakpoint(f + 1);
        for (std::size_t k = 0; k < n; ++k)
            for (std::size_t i = k; i < n; ++i) {
                const double exact = legendre_reexpansion_coefficient(i, k, c0, c1, f0, f1);
                const auto at = static_cast<std::size_t>(p.row_offsets[f + nf * k]) + (i - k);
                ASSERT_EQ(p.col_indices[at], static_cast<std::int64_t>(c + nc * i)) << "f " << f;
                ASSERT_EQ(bits_of(p.values[at]), bits_of(exact)) << "f " << f << " i " << i << " k " << k;
                // Row c + nc i of the restriction: for k = 0..i the two fine
                // intervals of c in turn.
                const auto row = static_cast<std::size_t>(r.row_offsets[c + nc * i]);
                const std::size_t at_r = row + 2 * k + (f - 2 * c);
                ASSERT_EQ(r.col_indices[at_r], static_cast<std::int64_t>(f + nf * k)) << "f " << f;
                const double scale = restriction_scale(k, i, c0, c1, f0, f1);
                ASSERT_EQ(bits_of(r.values[at_r]), bits_of(exact * scale)) << "f " << f << " i " << i << " k " << k;
            }
    }
}

TEST(NestedReexpansion, ReproducesTheCoarseExpansionPointwise) {
    for (const std::size_t p : {0, 1, 4, 6, 9})
        for (const auto& [nt_coarse, m] : {std::pair<std::size_t, std::size_t>{1, 3}, {2, 5}, {3, 2}, {2, 1}}) {
            const std::size_t nt_fine = nt_coarse * m;
            const std::vector<double> x = some_coefficients((p + 1) * nt_coarse, p + 7 * m);
            const std::vector<double> y = multiply(to_dense(legendre_prolongation_matrix(p, nt_coarse, nt_fine)), x);
            const LegendreBasis coarse(p, nt_coarse, 1.0), fine(p, nt_fine, 1.0);
            const ColMatrixView xv{x.data(), nt_coarse, p + 1}, yv{y.data(), nt_fine, p + 1};
            for (std::size_t f = 0; f < nt_fine; ++f)
                for (const double where : {0.05, 0.5, 0.9}) {
                    const double t = (static_cast<double>(f) + where) / static_cast<double>(nt_fine);
                    EXPECT_NEAR(fine.evaluate(t, yv), coarse.evaluate(t, xv), 1e-13)
                        << "p " << p << " nc " << nt_coarse << " m " << m << " t " << t;
                }
        }
}

// ---------------------------------------------------------------------------
// The L2 projection

using MeshPair = std::tuple<std::size_t, std::size_t, std::size_t>;  // degree, nt_coarse, nt_fine

class Projection : public testing::TestWithParam<MeshPair> {
protected:
    std::size_t p = std::get<0>(GetParam());
    std::size_t nt_coarse = std::get<1>(GetParam());
    std::size_t nt_fine = std::get<2>(GetParam());
};

// Reference: the same integrals by a (p + 2)-point Gauss rule on the common
// refinement (nt_coarse * nt_fine intervals, each inside one coarse and one
// fine interval), with the basis as LegendreBasis evaluates it.
TEST_P(Projection, MatchesQuadratureOnTheCommonRefinement) {
    const std::size_t nf = (p + 1) * nt_fine, nc = (p + 1) * nt_coarse;
    const LegendreBasis coarse(p, nt_coarse, 1.0), fine(p, nt_fine, 1.0);
    const QuadratureRule rule = gauss_legendre_on_mesh(p + 2, TimeMesh::uniform(nt_coarse * nt_fine, 1.0));
    Dense reference = zeros(nf, nc);
    for (std::size_t q = 0; q < rule.nodes.size(); ++q) {
        const std::vector<double> vf = fine.evaluate_all_basis_functions(rule.nodes[q]);
        const std::vector<double> vc = coarse.evaluate_all_basis_functions(rule.nodes[q]);
        for (std::size_t r = 0; r < nf; ++r)
            if (vf[r] != 0.0)
                for (std::size_t c = 0; c < nc; ++c)
                    reference[r][c] += rule.weights[q] * vf[r] * vc[c];
    }
    Pattern overlaps;
    for (std::size_t r = 0; r < nf; ++r) {
        const std::size_t f = r % nt_fine, k = r / nt_fine;
        for (std::size_t c = 0; c < nc; ++c) {
            reference[r][c] *= static_cast<double>((2 * k + 1) * nt_fine);  // (2k + 1) / w_f
            const std::size_t cc = c % nt_coarse;
            if (f * nt_coarse < (cc + 1) * nt_fine && cc * nt_fine < (f + 1) * nt_coarse)
                overlaps.insert({r, c});
        }
    }
    const CsrMatrix projection = legendre_projection_matrix(p, nt_coarse, nt_fine);
    EXPECT_EQ(stored_pattern(projection), overlaps);
    EXPECT_LE(max_difference(to_dense(projection), reference), 1e-13);
    if (nt_fine % nt_coarse != 0) {
        const CsrMatrix prolongation = legendre_prolongation_matrix(p, nt_coarse, nt_fine);
        EXPECT_EQ(prolongation.values(), projection.values());
        EXPECT_EQ(prolongation.col_indices(), projection.col_indices());
    }
}

INSTANTIATE_TEST_SUITE_P(MeshPairs, Projection,
                         testing::Combine(testing::Values(0, 1, 3, 5), testing::Values(1, 2, 3, 5),
                                          testing::Values(1, 3, 4, 6)));

TEST(Projection, EqualsTheReexpansionOnNestedMeshes) {
    for (std::size_t p = 0; p <= 6; ++p)
        for (const auto& [nt_coarse, nt_fine] :
             {std::pair<std::size_t, std::size_t>{1, 1}, {1, 4}, {2, 6}, {3, 3}, {2, 14}}) {
            const Dense projection = to_dense(legendre_projection_matrix(p, nt_coarse, nt_fine));
            const Dense reexpansion = to_dense(legendre_prolongation_matrix(p, nt_coarse, nt_fine));
            EXPECT_LE(max_difference(projection, reexpansion), 2e-15 * static_cast<double>(p + 1))
                << "p " << p << " " << nt_coarse << " -> " << nt_fine;
        }
}

// A polynomial on all of [0, 1] lies in every mesh's space, so projecting it
// between any two meshes (either way) keeps it. Global polynomials on a mesh
// are the re-expansion of one interval's coefficients.
TEST(Projection, KeepsGlobalPolynomialsBetweenAnyMeshes) {
    for (const std::size_t p : {1, 2, 4})
        for (const auto& [nt_a, nt_b] : {std::pair<std::size_t, std::size_t>{2, 3}, {3, 5}, {4, 6}, {7, 3}}) {
            const Dense from_one_a = to_dense(legendre_prolongation_matrix(p, 1, nt_a));
            const Dense from_one_b = to_dense(legendre_prolongation_matrix(p, 1, nt_b));
            EXPECT_LE(max_difference(multiply(to_dense(legendre_prolongation_matrix(p, nt_a, nt_b)), from_one_a),
                                     from_one_b),
                      1e-13);
            EXPECT_LE(max_difference(multiply(to_dense(legendre_restriction_matrix(p, nt_a, nt_b)), from_one_b),
                                     from_one_a),
                      1e-13);
        }
}

// ---------------------------------------------------------------------------
// Restriction

TEST(Restriction, IsTheMassAdjointOfTheProlongation) {
    for (const std::size_t p : {0, 2, 3})
        for (const auto& [nt_coarse, nt_fine] : {std::pair<std::size_t, std::size_t>{2, 4}, {3, 5}, {4, 2}, {1, 1}}) {
            const CsrMatrix pr = legendre_prolongation_matrix(p, nt_coarse, nt_fine);
            const CsrMatrix re = legendre_restriction_matrix(p, nt_coarse, nt_fine);
            ASSERT_EQ(re.nrows(), pr.ncols());
            ASSERT_EQ(re.ncols(), pr.nrows());
            Pattern transposed;
            for (const auto& [r, c] : stored_pattern(pr))
                transposed.insert({c, r});
            EXPECT_EQ(stored_pattern(re), transposed);
            // Entry = P entry * (mf_k / mc_i), the ratio of the span-1 mass
            // matrix diagonals rounded first.
            const std::vector<double> mf = legendre_mass_matrix(p, nt_fine, 1.0).values();
            const std::vector<double> mc = legendre_mass_matrix(p, nt_coarse, 1.0).values();
            const Dense pd = to_dense(pr), rd = to_dense(re);
            for (const auto& [c, f] : transposed)
                EXPECT_EQ(bits_of(rd[c][f]), bits_of(pd[f][c] * (mf[f] / mc[c])));
        }
}

// On nested meshes the coarse space lies in the fine one: R P = I. With the
// meshes swapped (the fine mesh a coarsening of the other), P is the
// projection onto the smaller space and R the re-expansion: P R = I.
TEST(Restriction, InvertsTheProlongationWhereOneSpaceContainsTheOther) {
    for (const std::size_t p : {0, 1, 3, 6})
        for (const auto& [small, large] : {std::pair<std::size_t, std::size_t>{1, 1}, {1, 5}, {2, 4}, {3, 9}}) {
            const Dense pr = to_dense(legendre_prolongation_matrix(p, small, large));
            const Dense re = to_dense(legendre_restriction_matrix(p, small, large));
            EXPECT_LE(max_difference(multiply(re, pr), identity((p + 1) * small)), 1e-13);
            const Dense down = to_dense(legendre_prolongation_matrix(p, large, small));
            const Dense up = to_dense(legendre_restriction_matrix(p, large, small));
            EXPECT_LE(max_difference(multiply(down, up), identity((p + 1) * small)), 1e-13);
        }
}

TEST(Transfer, ArraysAreTheMatricesInEveryIndexTypeWithTheAnnouncedShape) {
    for (const std::size_t p : {0, 1, 3, 4})
        for (const auto& [nt_coarse, nt_fine] :
             {std::pair<std::size_t, std::size_t>{1, 1}, {2, 6}, {3, 5}, {4, 6}, {6, 4}, {5, 2}, {7, 7}, {1, 9}}) {
            expect_arrays_in_every_index_type(legendre_prolongation_matrix(p, nt_coarse, nt_fine),
                                              legendre_prolongation_shape(p, nt_coarse, nt_fine),
                                              [&]<class Index>(std::type_identity<Index>) {
                                                  return legendre_prolongation_arrays<Index>(p, nt_coarse, nt_fine);
                                              });
            expect_arrays_in_every_index_type(legendre_restriction_matrix(p, nt_coarse, nt_fine),
                                              legendre_restriction_shape(p, nt_coarse, nt_fine),
                                              [&]<class Index>(std::type_identity<Index>) {
                                                  return legendre_restriction_arrays<Index>(p, nt_coarse, nt_fine);
                                              });
            expect_arrays_in_every_index_type(legendre_projection_matrix(p, nt_coarse, nt_fine),
                                              legendre_projection_shape(p, nt_coarse, nt_fine),
                                              [&]<class Index>(std::type_identity<Index>) {
                                                  return legendre_projection_arrays<Index>(p, nt_coarse, nt_fine);
                                              });
        }
}

TEST(Prolongation, GalerkinIdentityForTheLegendreMassOnNestedMeshes) {
    const double T = 2.5;
    for (const std::size_t p : {0, 2, 5})
        for (const auto& [nt_coarse, nt_fine] : {std::pair<std::size_t, std::size_t>{1, 3}, {2, 4}, {3, 12}}) {
            const Dense pr = to_dense(legendre_prolongation_matrix(p, nt_coarse, nt_fine));
            const Dense galerkin = multiply(transpose(pr), multiply(to_dense(legendre_mass_matrix(p, nt_fine, T)), pr));
            EXPECT_LE(max_difference(galerkin, to_dense(legendre_mass_matrix(p, nt_coarse, T))), 1e-15 * T);
        }
}

TEST(Prolongation, RefusesBadSizesNamingTheArgument) {
    EXPECT_EQ(failure_of([] { legendre_prolongation_matrix(1, 0, 2); }),
              "legendre_prolongation_matrix: nt_coarse must be at least 1, got 0");
    EXPECT_EQ(failure_of([] { legendre_prolongation_matrix(1, 2, 0); }),
              "legendre_prolongation_matrix: nt_fine must be at least 1, got 0");
    EXPECT_EQ(failure_of([] { legendre_restriction_matrix(1, 0, 0); }),
              "legendre_restriction_matrix: nt_coarse must be at least 1, got 0");
    EXPECT_EQ(failure_of([] { legendre_projection_matrix(1, 3, 0); }),
              "legendre_projection_matrix: nt_fine must be at least 1, got 0");
    EXPECT_EQ(failure_of([] { legendre_prolongation_matrix(SIZE_MAX, 1, 2); }), "capacity overflow");
    EXPECT_EQ(failure_of([] { legendre_restriction_matrix(SIZE_MAX / 2, 2, 3); }), "capacity overflow");
    EXPECT_EQ(failure_of([] { legendre_prolongation_shape(1, 0, 2); }),
              "legendre_prolongation_matrix: nt_coarse must be at least 1, got 0");
    EXPECT_EQ(failure_of([] { legendre_restriction_shape(1, 2, 0); }),
              "legendre_restriction_matrix: nt_fine must be at least 1, got 0");
    EXPECT_EQ(failure_of([] { legendre_restriction_shape(SIZE_MAX, 2, 3); }), "capacity overflow");
    // Non-nested pairs whose positions need more than 62 bits.
    constexpr std::uint64_t wide_coarse = std::uint64_t{1} << 31, wide_fine = (std::uint64_t{1} << 32) + 1;
    if (wide_fine <= SIZE_MAX) {
        EXPECT_EQ(failure_of([] {
                      legendre_prolongation_shape(1, static_cast<std::size_t>(wide_coarse),
                                                  static_cast<std::size_t>(wide_fine));
                  }),
                  "capacity overflow");
    }
    // Interval counts beyond 2^53 (only representable with a 64-bit size type).
    constexpr std::uint64_t too_many = (std::uint64_t{1} << 53) + 1;
    if (too_many <= SIZE_MAX) {
        EXPECT_EQ(failure_of([] { legendre_prolongation_matrix(1, 1, static_cast<std::size_t>(too_many)); }),
                  "capacity overflow");
    }
}

}  // namespace
}  // namespace pwpoly
