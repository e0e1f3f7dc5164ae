// Small helpers shared by the core's unit tests.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "common/internal_failure.hpp"
#include "sparse_matrix_tools/sparse_containers.hpp"

namespace pwpoly::testing_support {

using Idx = std::vector<std::size_t>;

// Bit patterns, so that comparisons tell -0.0 from 0.0 and see the last bit.
inline std::vector<std::uint64_t> bits(const std::vector<double>& v) {
    std::vector<std::uint64_t> out;
    for (double x : v)
        out.push_back(std::bit_cast<std::uint64_t>(x));
    return out;
}

// The message of the InternalFailure that f() throws.
inline std::string failure_of(auto&& f) {
    try {
        f();
    } catch (const InternalFailure& e) {
        return e.message();
    }
    return "<no failure>";
}

// CSR arrays of any index type as size_t vectors and value bits, to compare
// with a CsrMatrix.
struct WidenedCsr {
    std::size_t nrows, ncols;
    Idx row_offsets, col_indices;
    std::vector<std::uint64_t> value_bits;
    bool operator==(const WidenedCsr&) const = default;
};

template <class Index>
WidenedCsr widened(const CsrArrays<Index>& a) {
    WidenedCsr out{a.nrows, a.ncols, {}, {}, {}};
    for (const Index x : a.row_offsets)
        out.row_offsets.push_back(static_cast<std::size_t>(x));
    for (const Index x : a.col_indices)
        out.col_indices.push_back(static_cast<std::size_t>(x));
    for (const double x : a.values)
        out.value_bits.push_back(std::bit_cast<std::uint64_t>(x));
    return out;
}

inline WidenedCsr widened(const CsrMatrix& m) {
    return {m.nrows(), m.ncols(), m.row_offsets(), m.col_indices(), bits(m.values())};
}

// `build` called with std::type_identity<Index> gives the arrays of the
// matrix `reference`, whose shape `shape` announced: the same numbers in
// every index type.
template <class Build>
void expect_arrays_in_every_index_type(const CsrMatrix& reference, const CsrShape& shape, Build&& build) {
    EXPECT_EQ(shape.nrows, reference.nrows());
    EXPECT_EQ(shape.ncols, reference.ncols());
    EXPECT_EQ(shape.nnz, reference.nnz());
    const WidenedCsr expected = widened(reference);
    EXPECT_TRUE(widened(build(std::type_identity<std::int32_t>{})) == expected);
    EXPECT_TRUE(widened(build(std::type_identity<std::int64_t>{})) == expected);
    EXPECT_TRUE(widened(build(std::type_identity<std::size_t>{})) == expected);
}

}  // namespace pwpoly::testing_support
