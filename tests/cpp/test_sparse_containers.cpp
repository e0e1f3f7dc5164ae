#include <gtest/gtest.h>

#include <iterator>
#include <map>
#include <random>
#include <utility>

#include "sparse_matrix_tools/sparse_containers.hpp"
#include "sparse_matrix_tools/triplets.hpp"

#include "core_test_support.hpp"

namespace pwpoly {
namespace {

using Kind = SparseFormatErrorKind;
using namespace testing_support;

struct BadCsr {
    const char* name;
    std::size_t nrows, ncols;
    Idx offsets, cols;
    std::size_t nvalues;
    Kind kind;
    const char* message;
};

const char* const kLength = "Length of row offset array is not equal to nrows + 1.";
const char* const kFirstLast = "First or last row offset is inconsistent with format specification.";
const char* const kMonotone = "Row offsets are not monotonically increasing.";
const char* const kBounds = "Column indices are out of bounds.";
const char* const kDuplicate = "Matrix data contains duplicate entries.";
const char* const kSorted = "Column indices are not monotonically increasing (sorted) within each row.";
const char* const kValues = "Number of values and column indices must be the same";

class TryFromCsrData : public testing::TestWithParam<BadCsr> {};

TEST_P(TryFromCsrData, ReportsTheFirstFailingCheck) {
    const BadCsr& c = GetParam();
    auto result = try_from_csr_data(c.nrows, c.ncols, c.offsets, c.cols, std::vector<double>(c.nvalues, 1.0));
    ASSERT_TRUE(std::holds_alternative<SparseFormatError>(result));
    const auto& err = std::get<SparseFormatError>(result);
    EXPECT_EQ(err.kind, c.kind);
    EXPECT_EQ(err.error, c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Checks, TryFromCsrData,
    testing::Values(BadCsr{"offsets_too_short", 2, 2, {0, 1}, {0}, 1, Kind::InvalidStructure, kLength},
                    BadCsr{"no_offsets_for_max_rows", SIZE_MAX, 2, {}, {}, 0, Kind::InvalidStructure, kLength},
                    BadCsr{"first_offset_nonzero", 1, 2, {1, 1}, {0}, 1, Kind::InvalidStructure, kFirstLast},
                    // The last-offset test wins even though the value count is wrong too.
                    BadCsr{"last_offset_not_nnz", 1, 2, {0, 2}, {0, 1, 1}, 2, Kind::InvalidStructure, kFirstLast},
                    BadCsr{"decreasing_offsets", 3, 2, {0, 1, 0, 1}, {0}, 1, Kind::InvalidStructure, kMonotone},
                    BadCsr{"interior_offset_past_end", 2, 2, {0, 5, 2}, {0, 1}, 2, Kind::InvalidStructure, kMonotone},
                    BadCsr{"bound_before_order", 1, 2, {0, 2}, {2, 0}, 2, Kind::IndexOutOfBounds, kBounds},
                    BadCsr{"duplicate", 1, 2, {0, 2}, {1, 1}, 2, Kind::DuplicateEntry, kDuplicate},
                    BadCsr{"unsorted", 1, 2, {0, 2}, {1, 0}, 2, Kind::InvalidStructure, kSorted},
                    // Row 0's entries are examined before row 1's offsets.
                    BadCsr{"row_by_row", 3, 2, {0, 2, 1, 2}, {1, 0}, 2, Kind::InvalidStructure, kSorted},
                    BadCsr{"pattern_before_values", 1, 2, {0, 2}, {1, 1}, 5, Kind::DuplicateEntry, kDuplicate},
                    BadCsr{"value_count", 2, 3, {0, 1, 2}, {2, 0}, 1, Kind::InvalidStructure, kValues}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TryFromCsrDataValid, KeepsArraysAndShape) {
    auto result = try_from_csr_data(3, 4, {0, 2, 2, 3}, {0, 3, 1}, {1.0, 0.0, -2.0});
    ASSERT_TRUE(std::holds_alternative<CsrMatrix>(result));
    const CsrMatrix& m = std::get<CsrMatrix>(result);
    EXPECT_EQ(m.nrows(), 3u);
    EXPECT_EQ(m.ncols(), 4u);
    EXPECT_EQ(m.row(1).nnz(), 0u);
    EXPECT_EQ(m.row(2).values[0], -2.0);
    EXPECT_TRUE(std::holds_alternative<CsrMatrix>(try_from_csr_data(0, 0, {0}, {}, {})));
}

TEST(SparseFormatError, DebugText) {
    SparseFormatError e{Kind::InvalidStructure, kMonotone};
    EXPECT_EQ(e.debug_text(),
              "SparseFormatError { kind: InvalidStructure, error: \"Row offsets are not monotonically increasing.\" }");
    EXPECT_EQ((SparseFormatError{Kind::DuplicateEntry, "x"}.debug_text()),
              "SparseFormatError { kind: DuplicateEntry, error: \"x\" }");
}

TEST(CooMatrix, PushChecksRowThenColumnAndAppendsNothingOnFailure) {
    CooMatrix coo(2, 3);
    EXPECT_EQ(failure_of([&] { coo.push(2, 3, 1.0); }), "assertion failed: i < self.nrows");
    EXPECT_EQ(failure_of([&] { coo.push(1, 3, 1.0); }), "assertion failed: j < self.ncols");
    EXPECT_EQ(coo.nnz(), 0u);
    EXPECT_EQ(coo.row_indices().size() + coo.col_indices().size(), 0u);
}

// Both conversion overloads must behave alike.
class ConvertCooCsr : public testing::TestWithParam<bool> {
protected:
    CsrMatrix convert(CooMatrix coo) { return GetParam() ? convert_coo_csr(std::move(coo)) : convert_coo_csr(coo); }
};

TEST_P(ConvertCooCsr, SortsSumsDuplicatesAndKeepsZeros) {
    CooMatrix coo(3, 4);
    coo.push(2, 3, 4.0);
    coo.push(2, 1, 0.0);  // stored zero
    coo.push(0, 2, 0.5);
    coo.push(1, 0, 1.0);
    coo.push(0, 2, -0.5);  // sums to an explicit zero
    coo.push(2, 3, 0.25);
    coo.push(0, 0, 3.0);
    const Triplets t = csr_to_triplets(convert(std::move(coo)));
    EXPECT_EQ(t.rows, (Idx{0, 0, 1, 2, 2}));
    EXPECT_EQ(t.cols, (Idx{0, 2, 0, 1, 3}));
    EXPECT_EQ(bits(t.values), bits({3.0, 0.0, 1.0, 0.0, 4.25}));
}

TEST_P(ConvertCooCsr, EmptyMatrices) {
    EXPECT_EQ(convert(CooMatrix(3, 2)).row_offsets(), (Idx{0, 0, 0, 0}));
    EXPECT_EQ(convert(CooMatrix(0, 5)).row_offsets(), (Idx{0}));
}

// Random shapes and push orders (unsorted rows, repeated positions; the last
// rounds with rows thousands of entries long) against a sorted-map model that
// sums in push order. The values make the sums depend on that order:
// (1e16 + 1) - 1e16 is 0, (1e16 - 1e16) + 1 is 1.
TEST_P(ConvertCooCsr, MatchesOrderedMapModel) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    constexpr double kValues[] = {1e16, -1e16, 1.0, -1.0, 0.5, 3.0};
    for (int round = 0; round < 50; ++round) {
        const bool long_rows = round >= 45;
        const std::size_t nrows = rng() % 7, ncols = 1 + rng() % (long_rows ? 300 : 7);
        const std::size_t n = rng() % (long_rows ? 6000 : 40);
        CooMatrix coo(nrows, ncols);
        std::map<std::pair<std::size_t, std::size_t>, double> model;
        for (std::size_t k = 0; nrows > 0 && k < n; ++k) {
            const std::size_t r = rng() % nrows, c = rng() % ncols;
            const double v = kValues[rng() % std::size(kValues)];
            coo.push(r, c, v);
            model[{r, c}] += v;
        }
        const CooMatrix back = convert_csr_coo(convert(std::move(coo)));
        ASSERT_EQ(back.nnz(), model.size());
        std::size_t k = 0;
        for (const auto& [pos, v] : model) {
            EXPECT_EQ(back.row_indices()[k], pos.first);
            EXPECT_EQ(back.col_indices()[k], pos.second);
            EXPECT_EQ(back.values()[k], v);
            ++k;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(ByReferenceAndByMove, ConvertCooCsr, testing::Bool());

TEST(CsrToTriplets, ExampleAndEmptyByReferenceAndByMove) {
    CooMatrix coo(3, 3);
    coo.push(2, 0, 1.5);
    coo.push(0, 1, 2.0);
    coo.push(0, 0, 3.0);
    CsrMatrix m = convert_coo_csr(coo);
    for (const Triplets& t : {csr_to_triplets(m), csr_to_triplets(std::move(m))}) {
        EXPECT_EQ(t.rows, (Idx{0, 0, 2}));
        EXPECT_EQ(t.cols, (Idx{0, 1, 0}));
        EXPECT_EQ(t.values, (std::vector<double>{3.0, 2.0, 1.5}));
    }
    const Triplets empty = csr_to_triplets(convert_coo_csr(CooMatrix(3, 3)));
    EXPECT_TRUE(empty.rows.empty() && empty.cols.empty() && empty.values.empty());
}

TEST(CsrRowWriter, WritesTheAnnouncedRowsInTheIndexTypeAndChecksTheirCount) {
    CsrRowWriter<std::int32_t> out(CsrShape{3, 4, 3});
    out.push(1, 0.5);
    out.push(3, -0.0);
    out.end_row();
    out.end_row();
    out.push(0, 2.0);
    out.end_row();
    const CsrArrays<std::int32_t> arrays = std::move(out).finish();
    EXPECT_EQ(arrays.nrows, 3u);
    EXPECT_EQ(arrays.ncols, 4u);
    EXPECT_EQ(std::vector<std::int32_t>(arrays.row_offsets.begin(), arrays.row_offsets.end()),
              (std::vector<std::int32_t>{0, 2, 2, 3}));
    EXPECT_EQ(std::vector<std::int32_t>(arrays.col_indices.begin(), arrays.col_indices.end()),
              (std::vector<std::int32_t>{1, 3, 0}));
    EXPECT_EQ(bits(std::vector<double>(arrays.values.begin(), arrays.values.end())), bits({0.5, -0.0, 2.0}));

    const char* const miscount = "CsrRowWriter: the rows or entries written are not the announced ones";
    EXPECT_EQ(failure_of([] {
                  CsrRowWriter<std::size_t> short_of_rows(CsrShape{2, 2, 1});
                  short_of_rows.push(0, 1.0);
                  short_of_rows.end_row();
                  std::move(short_of_rows).finish();
              }),
              miscount);
    EXPECT_EQ(failure_of([] {
                  CsrRowWriter<std::int64_t> short_of_entries(CsrShape{1, 2, 2});
                  short_of_entries.push(0, 1.0);
                  short_of_entries.end_row();
                  std::move(short_of_entries).finish();
              }),
              miscount);
}

// In every build, a writer that is given more than it announced fails
// before the write (under AddressSanitizer a write past the arrays would be
// reported, here it is not made).
TEST(CsrRowWriter, MoreEntriesOrRowsThanAnnouncedFailBeforeTheyAreWritten) {
    EXPECT_EQ(failure_of([] {
                  CsrRowWriter<std::int32_t> out(CsrShape{2, 3, 1});
                  out.push(1, 1.0);
                  out.end_row();
                  out.push(0, 1.0);
              }),
              "CsrRowWriter: more entries than announced");
    EXPECT_EQ(failure_of([] {
                  CsrRowWriter<std::int64_t> out(CsrShape{1, 3, 0});
                  out.end_row();
                  out.end_row();
              }),
              "CsrRowWriter: more rows than announced");
}

#ifndef NDEBUG
// Debug builds also check every column as it comes.
TEST(CsrRowWriter, DebugBuildsRefuseEntriesOutOfPlace) {
    const char* const misplaced = "CsrRowWriter: entry out of place";
    EXPECT_EQ(failure_of([] {
                  CsrRowWriter<std::int32_t> out(CsrShape{1, 3, 2});
                  out.push(2, 1.0);
                  out.push(1, 1.0);  // columns must increase
              }),
              misplaced);
    EXPECT_EQ(failure_of([] {
                  CsrRowWriter<std::int32_t> out(CsrShape{1, 3, 2});
                  out.push(3, 1.0);  // past the last column
              }),
              misplaced);
    // A new row may start at any column.
    CsrRowWriter<std::int32_t> out(CsrShape{2, 3, 2});
    out.push(2, 1.0);
    out.end_row();
    out.push(0, 1.0);
    out.end_row();
    EXPECT_EQ(std::move(out).finish().col_indices.size(), 2u);
}
#endif

TEST(CsrArrays, IndexTypesHoldTheShapeOrAreRefused) {
    constexpr std::size_t int32_max = 0x7fffffff;
    EXPECT_TRUE(indices_fit<std::int32_t>(CsrShape{int32_max, int32_max, int32_max}));
    EXPECT_FALSE(indices_fit<std::int32_t>(CsrShape{int32_max + 1, 1, 0}));
    EXPECT_FALSE(indices_fit<std::int32_t>(CsrShape{1, int32_max + 1, 0}));
    EXPECT_FALSE(indices_fit<std::int32_t>(CsrShape{1, 1, int32_max + 1}));
    EXPECT_TRUE(indices_fit<std::size_t>(CsrShape{SIZE_MAX, SIZE_MAX, SIZE_MAX}));
    EXPECT_EQ(failure_of([] {
                  allocate_csr_arrays<std::int32_t>(CsrShape{1, 1, int32_max + 1});
              }),
              "capacity overflow");
    EXPECT_EQ(failure_of([] { allocate_csr_arrays<std::size_t>(CsrShape{SIZE_MAX, 1, 0}); }), "capacity overflow");
    EXPECT_EQ(failure_of([] { allocate_csr_arrays<std::size_t>(CsrShape{1, 1, SIZE_MAX / 4}); }), "capacity overflow");
}

TEST(CsrArrays, SizeTArraysBecomeAValidatedCsrMatrix) {
    CsrRowWriter<std::size_t> out(CsrShape{2, 3, 2});
    out.push(2, 1.5);
    out.end_row();
    out.push(0, -1.0);
    out.end_row();
    const CsrMatrix m = csr_from_valid_arrays("test", std::move(out).finish());
    EXPECT_EQ(m.row_offsets(), (Idx{0, 1, 2}));
    EXPECT_EQ(m.col_indices(), (Idx{2, 0}));
    EXPECT_EQ(m.values(), (std::vector<double>{1.5, -1.0}));

    CsrArrays<std::size_t> unsorted = allocate_csr_arrays<std::size_t>(CsrShape{1, 3, 2});
    unsorted.row_offsets[0] = 0;
    unsorted.row_offsets[1] = 2;
    unsorted.col_indices[0] = 2;
    unsorted.col_indices[1] = 1;
    unsorted.values[0] = unsorted.values[1] = 1.0;
    EXPECT_EQ(failure_of([&] { csr_from_valid_arrays("test", std::move(unsorted)); }),
              "Internal error: Invalid CSR data during test: SparseFormatError { kind: InvalidStructure, error: "
              "\"Column indices are not monotonically increasing (sorted) within each row.\" }");
}

}  // namespace
}  // namespace pwpoly
