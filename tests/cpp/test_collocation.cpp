// The collocation matrix's compressed-row arrays, filled on the calling
// thread and through pools of several sizes: every row is the located
// interval's slice of evaluate_all_basis_functions (_derivatives), bit for
// bit, whichever thread wrote it.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "common/argument_error.hpp"
#include "core_test_support.hpp"
#include "piecewise_polynomials/evaluation/collocation.hpp"

namespace pwpoly {
namespace {

template <class Index>
void check_rows(std::size_t degree, bool derivative, std::size_t n, WorkerPool* pool) {
    const std::size_t n_t = 7;
    const LegendreBasis basis(degree, n_t, 2.5);
    std::mt19937_64 rng(n * 31 + degree);
    std::uniform_real_distribution<double> dist(-0.3, 2.8);
    std::vector<double> times(n);
    for (double& t : times)
        t = dist(rng);
    if (n > 2) {
        times[0] = -std::numeric_limits<double>::infinity();
        times[1] = 2.5 / 7.0;  // on a node
    }
    const std::size_t per_row = degree + 1;
    std::vector<Index> offsets(n + 1), cols(n * per_row);
    std::vector<double> values(n * per_row);
    collocation_csr_into<Index>(basis, derivative, times, offsets, cols, values, pool);
    ASSERT_EQ(static_cast<std::size_t>(offsets[n]), n * per_row);
    for (std::size_t r = 0; r < n; ++r) {
        ASSERT_EQ(static_cast<std::size_t>(offsets[r]), r * per_row);
        const std::vector<double> full = derivative ? basis.evaluate_all_basis_function_derivatives(times[r])
                                                    : basis.evaluate_all_basis_functions(times[r]);
        const std::size_t j = basis.locate(times[r]).interval;
        for (std::size_t i = 0; i <= degree; ++i) {
            ASSERT_EQ(static_cast<std::size_t>(cols[r * per_row + i]), j + n_t * i);
            ASSERT_EQ(std::bit_cast<std::uint64_t>(values[r * per_row + i]),
                      std::bit_cast<std::uint64_t>(full[j + n_t * i]))
                << "row " << r << ", degree " << i;
        }
    }
}

TEST(CollocationParallel, RowsMatchAllBasisFunctionsForEveryPoolSize) {
    for (std::size_t workers : {1, 2, 3}) {
        WorkerPool pool(workers);
        for (std::size_t n : {0, 1, 4095, 4096, 9001})
            for (std::size_t degree : {0, 1, 4})
                for (bool derivative : {false, true}) {
                    check_rows<std::int32_t>(degree, derivative, n, &pool);
                    check_rows<std::int64_t>(degree, derivative, n, &pool);
                }
    }
}

TEST(Collocation, IndicesThatDoNotFitTheIndexTypeFailBeforeWriting) {
    const LegendreBasis basis(1, std::size_t{1} << 31, 1.0);  // 2^32 columns
    const double t = 0.5;
    std::int32_t offsets[2] = {-1, -1}, cols[2] = {-1, -1};
    double values[2] = {};
    EXPECT_EQ(testing_support::failure_of([&] {
                  collocation_csr_into<std::int32_t>(basis, false, {&t, 1}, offsets, cols, values);
              }),
              "capacity overflow");
    EXPECT_EQ(offsets[0], -1);
    EXPECT_EQ(offsets[1], -1);
}

TEST(Collocation, ANanTimeIsRefusedByPositionBeforeWriting) {
    const LegendreBasis basis(2, TimeMesh::from_breakpoints({-1.0, 0.5, 3.0}));
    const double times[3] = {0.0, std::nan(""), 1.0};
    std::int64_t offsets[4] = {-1, -1, -1, -1}, cols[9] = {};
    double values[9] = {};
    try {
        collocation_csr_into<std::int64_t>(basis, false, {times, 3}, offsets, cols, values);
        ADD_FAILURE() << "accepted a NaN time";
    } catch (const ArgumentError& e) {
        EXPECT_EQ(e.message(), "t must not contain NaN (a NaN time lies in no interval), got nan at position 1");
    }
    EXPECT_EQ(offsets[3], -1);
}

TEST(Collocation, StorageOfOtherSizesFailsBeforeWriting) {
    const LegendreBasis basis(2, 4, 1.0);
    const double t[2] = {0.25, 0.75};
    std::vector<std::int64_t> offsets(3, -1), cols(6, -1);
    std::vector<double> values(6, -1.0);
    const std::string message = "collocation_csr_into: the storage does not have the sizes of the matrix";
    EXPECT_EQ(testing_support::failure_of([&] {
                  collocation_csr_into<std::int64_t>(basis, false, t, offsets, std::span(cols).first(5), values);
              }),
              message);
    EXPECT_EQ(testing_support::failure_of([&] {
                  collocation_csr_into<std::int64_t>(basis, true, t, std::span(offsets).first(2), cols, values);
              }),
              message);
    EXPECT_EQ(testing_support::failure_of([&] {
                  collocation_csr_into<std::int64_t>(basis, false, t, offsets, cols, std::span(values).first(5));
              }),
              message);
    EXPECT_EQ(offsets, std::vector<std::int64_t>(3, -1));
    EXPECT_EQ(cols, std::vector<std::int64_t>(6, -1));
}

}  // namespace
}  // namespace pwpoly
