#include <gtest/gtest.h>

#include <vector>

#include "sparse_matrix_tools/block_assembly.hpp"
#include "sparse_matrix_tools/triplets.hpp"

#include "core_test_support.hpp"

namespace pwpoly {
namespace {

using Idx = std::vector<std::size_t>;

// A rows x cols block whose entry (r, c) is `base + 10 r + c` wherever
// (r + c) is even, so every block has a recognisable pattern.
CsrMatrix block(std::size_t rows, std::size_t cols, double base = 0.0) {
    CooMatrix coo(rows, cols);
    for (std::size_t r = 0; r < rows; ++r)
        for (std::size_t c = 0; c < cols; ++c)
            if ((r + c) % 2 == 0)
                coo.push(r, c, base + 10.0 * static_cast<double>(r) + static_cast<double>(c));
    return convert_coo_csr(coo);
}

std::string failure_of(const BlockGrid& grid) {
    return testing_support::failure_of([&] { csr_from_block_grid(grid); });
}

void expect_same(const CsrMatrix& a, const CsrMatrix& b) {
    EXPECT_EQ(a.nrows(), b.nrows());
    EXPECT_EQ(a.ncols(), b.ncols());
    EXPECT_EQ(a.row_offsets(), b.row_offsets());
    EXPECT_EQ(a.col_indices(), b.col_indices());
    EXPECT_EQ(a.values(), b.values());
}

TEST(BlockAssembly, OneByOneGridIsItsBlock) {
    CooMatrix coo(2, 3);
    coo.push(1, 2, 0.0);  // a stored zero is carried over
    coo.push(0, 1, 5.0);
    const CsrMatrix b = convert_coo_csr(coo);
    const CsrMatrix* cells[] = {&b};
    expect_same(csr_from_block_grid({cells, 1, 1, 1, 1}), b);
}

TEST(BlockAssembly, EmptyGridFails) {
    const CsrMatrix b = block(1, 1);
    const CsrMatrix* cells[] = {&b};
    EXPECT_EQ(failure_of({cells, 0, 3, 3, 1}), "empty block grid");
    EXPECT_EQ(failure_of({cells, 3, 0, 1, 3}), "empty block grid");
}

TEST(BlockAssembly, TwoByTwoPlacesBlocksAtOffsetsAndAnyLayoutAgrees) {
    const CsrMatrix b00 = block(2, 3, 100), b01 = block(2, 1, 200), b10 = block(4, 3, 300), b11 = block(4, 1, 400);
    const CsrMatrix* row_major[] = {&b00, &b01, &b10, &b11};
    const CsrMatrix* col_major[] = {&b00, &b10, &b01, &b11};
    const CsrMatrix m = csr_from_block_grid({row_major, 2, 2, 2, 1});
    ASSERT_EQ(m.nrows(), 6u);
    ASSERT_EQ(m.ncols(), 4u);
    // Block (1, 1) has entries at its (0, 0) and (2, 0): rows 2 and 4, column 3.
    const Triplets t = csr_to_triplets(m);
    Idx col3_rows;
    std::vector<double> col3_values;
    for (std::size_t k = 0; k < t.rows.size(); ++k)
        if (t.cols[k] == 3) {
            col3_rows.push_back(t.rows[k]);
            col3_values.push_back(t.values[k]);
        }
    EXPECT_EQ(col3_rows, (Idx{0, 2, 4}));
    EXPECT_EQ(col3_values, (std::vector<double>{200.0, 400.0, 420.0}));
    EXPECT_EQ(m.nnz(), b00.nnz() + b01.nnz() + b10.nnz() + b11.nnz());
    expect_same(csr_from_block_grid({col_major, 2, 2, 1, 2}), m);
}

TEST(BlockAssembly, ZeroRowBlockRowContributesNoRows) {
    const CsrMatrix top = block(2, 2, 1), empty = block(0, 2), bottom = block(1, 2, 7);
    const CsrMatrix* cells[] = {&top, &empty, &bottom};
    const CsrMatrix m = csr_from_block_grid({cells, 3, 1, 1, 0});
    EXPECT_EQ(m.row_offsets(), (Idx{0, 1, 2, 3}));
    EXPECT_EQ(m.values(), (std::vector<double>{1.0, 12.0, 7.0}));
}

TEST(BlockAssembly, HeightMismatchIsReportedBeforeWidthMismatch) {
    // Block row 1 is 3 rows high at (1, 1) but 2 rows at (1, 0); block
    // column 0 is also inconsistent in width.
    const CsrMatrix a = block(2, 2), b = block(2, 2), c = block(2, 5), d = block(3, 2);
    const CsrMatrix* cells[] = {&a, &b, &c, &d};
    EXPECT_EQ(failure_of({cells, 2, 2, 2, 1}),
              "assertion `left == right` failed: inconsistent block-row height at row 1\n  left: 3\n right: 2");
}

TEST(BlockAssembly, WidthMismatchMessage) {
    const CsrMatrix a = block(2, 2), b = block(2, 4), c = block(1, 2), d = block(1, 3);
    const CsrMatrix* cells[] = {&a, &b, &c, &d};
    EXPECT_EQ(failure_of({cells, 2, 2, 2, 1}),
              "assertion `left == right` failed: inconsistent block-col width at col 1\n  left: 3\n right: 4");
}

}  // namespace
}  // namespace pwpoly
