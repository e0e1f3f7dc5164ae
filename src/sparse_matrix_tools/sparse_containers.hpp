// The two sparse matrix types in which every sparse result is built and held.
//
// A producer creates a `CooMatrix` of the final shape, pushes (row, column,
// value) entries in any order, possibly with repeated positions, and converts
// it once with `convert_coo_csr`. The resulting `CsrMatrix` is sorted by row
// and, within a row, by strictly increasing column; repeated positions are
// summed and stored zeros are kept. `try_from_csr_data` is the only way to
// make a `CsrMatrix`; it validates the compressed-row invariants that every
// reader relies on.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/internal_failure.hpp"

namespace pwpoly {

class CsrMatrix;

enum class SparseFormatErrorKind { IndexOutOfBounds, DuplicateEntry, InvalidStructure };

std::string_view kind_name(SparseFormatErrorKind kind);

struct SparseFormatError {
    SparseFormatErrorKind kind;
    std::string error;

    // `SparseFormatError { kind: <Kind>, error: "<error>" }`
    std::string debug_text() const;
};

// Coordinate list. Every push checks its indices against the shape.
class CooMatrix {
public:
    CooMatrix(std::size_t nrows, std::size_t ncols) : nrows_(nrows), ncols_(ncols) {}

    std::size_t nrows() const noexcept { return nrows_; }
    std::size_t ncols() const noexcept { return ncols_; }
    std::size_t nnz() const noexcept { return values_.size(); }

    const std::vector<std::size_t>& row_indices() const noexcept { return row_indices_; }
    const std::vector<std::size_t>& col_indices() const noexcept { return col_indices_; }
    const std::vector<double>& values() const noexcept { return values_; }

    // Room for `n` entries in all three arrays; "capacity overflow" when the
    // arrays could not be that long.
    void reserve(std::size_t n);

    void push(std::size_t i, std::size_t j, double v) {
        if (!(i < nrows_)) [[unlikely]]
            fail_row_out_of_bounds();
        if (!(j < ncols_)) [[unlikely]]
            fail_col_out_of_bounds();
        row_indices_.push_back(i);
        col_indices_.push_back(j);
        values_.push_back(v);
    }

private:
    [[noreturn]] static void fail_row_out_of_bounds();
    [[noreturn]] static void fail_col_out_of_bounds();

    friend CsrMatrix convert_coo_csr(CooMatrix&& coo);

    std::size_t nrows_;
    std::size_t ncols_;
    std::vector<std::size_t> row_indices_;
    std::vector<std::size_t> col_indices_;
    std::vector<double> values_;
};

// The index structure of a compressed-row (major = row, minor = column)
// matrix. Invariants, established by `try_from_offsets_and_indices`: the
// offsets start at 0, never decrease and end at nnz; every minor index is
// below `minor_dim`; within a lane the indices strictly increase.
class SparsityPattern {
public:
    // Validates in this order: offset count, first/last offset, then lane by
    // lane its offsets and each index (bound, duplicate, order).
    static std::variant<SparsityPattern, SparseFormatError> try_from_offsets_and_indices(
        std::size_t major_dim, std::size_t minor_dim, std::vector<std::size_t> major_offsets,
        std::vector<std::size_t> minor_indices);

    std::size_t major_dim() const noexcept { return major_offsets_.size() - 1; }
    std::size_t minor_dim() const noexcept { return minor_dim_; }
    std::size_t nnz() const noexcept { return minor_indices_.size(); }
    const std::vector<std::size_t>& major_offsets() const noexcept { return major_offsets_; }
    const std::vector<std::size_t>& minor_indices() const noexcept { return minor_indices_; }

    std::span<const std::size_t> lane(std::size_t major) const {
        return {minor_indices_.data() + major_offsets_[major], major_offsets_[major + 1] - major_offsets_[major]};
    }

private:
    SparsityPattern(std::size_t minor_dim, std::vector<std::size_t> major_offsets,
                    std::vector<std::size_t> minor_indices)
        : minor_dim_(minor_dim), major_offsets_(std::move(major_offsets)), minor_indices_(std::move(minor_indices)) {}

    friend class CsrMatrix;

    std::size_t minor_dim_;
    std::vector<std::size_t> major_offsets_;
    std::vector<std::size_t> minor_indices_;
};

// The stored entries of one row, in ascending column order.
struct CsrRow {
    std::span<const std::size_t> col_indices;
    std::span<const double> values;

    std::size_t nnz() const noexcept { return values.size(); }
};

// The arrays of a `CsrMatrix`, taken out of it by `into_parts`.
struct CsrParts {
    std::size_t nrows;
    std::size_t ncols;
    std::vector<std::size_t> row_offsets;
    std::vector<std::size_t> col_indices;
    std::vector<double> values;
};

class CsrMatrix {
public:
    std::size_t nrows() const noexcept { return pattern_.major_dim(); }
    std::size_t ncols() const noexcept { return pattern_.minor_dim(); }
    std::size_t nnz() const noexcept { return pattern_.nnz(); }

    const SparsityPattern& pattern() const noexcept { return pattern_; }
    const std::vector<std::size_t>& row_offsets() const noexcept { return pattern_.major_offsets(); }
    const std::vector<std::size_t>& col_indices() const noexcept { return pattern_.minor_indices(); }
    const std::vector<double>& values() const noexcept { return values_; }

    CsrRow row(std::size_t r) const {
        const std::size_t begin = pattern_.major_offsets_[r];
        const std::size_t len = pattern_.major_offsets_[r + 1] - begin;
        return {{pattern_.minor_indices_.data() + begin, len}, {values_.data() + begin, len}};
    }

    // Moves the arrays out; the matrix is left empty and only fit for
    // destruction or assignment.
    CsrParts into_parts() &&;

private:
    CsrMatrix(SparsityPattern pattern, std::vector<double> values)
        : pattern_(std::move(pattern)), values_(std::move(values)) {}

    friend std::variant<CsrMatrix, SparseFormatError> try_from_csr_data(std::size_t, std::size_t,
                                                                        std::vector<std::size_t>,
                                                                        std::vector<std::size_t>, std::vector<double>);

    SparsityPattern pattern_;
    std::vector<double> values_;
};

// Builds the pattern (all of its checks, in the order given there), then
// requires as many values as column indices. On error every array passed in
// is released.
std::variant<CsrMatrix, SparseFormatError> try_from_csr_data(std::size_t nrows, std::size_t ncols,
                                                             std::vector<std::size_t> row_offsets,
                                                             std::vector<std::size_t> col_indices,
                                                             std::vector<double> values);

// The same for arrays that a producer of this library built and that must be
// valid: invalid ones are a bug, reported as the internal failure
// "Internal error: Invalid CSR data during <producer>: <debug text>".
CsrMatrix csr_from_valid_data(std::string_view producer, std::size_t nrows, std::size_t ncols,
                              std::vector<std::size_t> row_offsets, std::vector<std::size_t> col_indices,
                              std::vector<double> values);

// Count, prefix-sum, scatter by row, then sort each row by column (a stable
// O(n log n) sort, so long rows cost no more than their length warrants) and
// sum runs of equal columns in push order. Zeros, pushed or summed, stay
// stored. Input pushed in non-decreasing row order
// (what every producer here does) skips the scatter; the rvalue overload then
// also reuses the coordinate arrays instead of copying them.
CsrMatrix convert_coo_csr(const CooMatrix& coo);
CsrMatrix convert_coo_csr(CooMatrix&& coo);

// Every stored entry, zeros included, in row-major order.
CooMatrix convert_csr_coo(const CsrMatrix& csr);

}  // namespace pwpoly
