// The two sparse matrix types in which every sparse result is built and held.
//
// A producer creates a `CooMatrix` of the final shape, pushes (row, column,
// value) entries in any order, possibly with repeated positions, and converts
// it once with `convert_coo_csr`. The resulting `CsrMatrix` is sorted by row
// and, within a row, by strictly increasing column; repeated positions are
// summed and stored zeros are kept. `try_from_csr_data` is the only way to
// make a `CsrMatrix`; it validates the compressed-row invariants that every
// reader relies on.
//
// Builders whose pattern is fixed by their sizes write their arrays once,
// rows in order, in the index type their caller wants (`CsrArrays`,
// `CsrRowWriter`): valid by construction, with no validation pass. They are
// allocated at sizes counted beforehand, so every write into them is checked
// against those sizes in every build, before it is made: a count that
// disagrees with what a builder writes is the internal failure, never a
// write out of bounds. The `std::size_t` arrays become a validated
// `CsrMatrix` through `csr_from_valid_arrays`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
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

// An allocator whose items made without a value are default-initialised,
// which leaves numbers unwritten: resize() allocates without a pass over the
// memory, for arrays that are filled right after.
template <class T>
struct DefaultInitAllocator {
    using value_type = T;

    DefaultInitAllocator() noexcept = default;
    template <class U>
    DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
    void deallocate(T* p, std::size_t n) noexcept { std::allocator<T>{}.deallocate(p, n); }

    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }

    friend bool operator==(const DefaultInitAllocator&, const DefaultInitAllocator&) noexcept { return true; }
};

template <class T>
using UninitVector = std::vector<T, DefaultInitAllocator<T>>;

// The dimensions and stored-entry count of a CSR matrix.
struct CsrShape {
    std::size_t nrows;
    std::size_t ncols;
    std::size_t nnz;
};

// The arrays of a CSR matrix with `Index` offsets and column indices (rows
// in order, columns strictly increasing within a row).
template <class Index>
struct CsrArrays {
    std::size_t nrows = 0;
    std::size_t ncols = 0;
    UninitVector<Index> row_offsets;
    UninitVector<Index> col_indices;
    UninitVector<double> values;
};

// Whether every dimension, offset and column index of a matrix of this
// shape is representable as `Index`.
template <class Index>
constexpr bool indices_fit(const CsrShape& shape) noexcept {
    constexpr auto limit = static_cast<std::uintmax_t>(std::numeric_limits<Index>::max());
    return shape.nrows <= limit && shape.ncols <= limit && shape.nnz <= limit;
}

// The arrays of a matrix of this shape at their final sizes, items
// unwritten. "capacity overflow" when the shape does not fit `Index` or the
// arrays could not be that long.
template <class Index>
CsrArrays<Index> allocate_csr_arrays(const CsrShape& shape) {
    static_assert(std::is_integral_v<Index>);
    if (!indices_fit<Index>(shape))
        fail_capacity_overflow();
    CsrArrays<Index> out{shape.nrows, shape.ncols, {}, {}, {}};
    out.row_offsets.resize(checked_array_count(checked_add(shape.nrows, 1), sizeof(Index)));
    out.col_indices.resize(checked_array_count(shape.nnz, sizeof(Index)));
    out.values.resize(checked_array_count(shape.nnz, sizeof(double)));
    return out;
}

// The internal failures of a builder that writes more than it announced, or
// whose row `row` does not hold the entries its offsets give it; out of
// line, so that the checks cost a comparison on the fast path.
[[noreturn]] void fail_too_many_entries(std::string_view builder);
[[noreturn]] void fail_too_many_rows(std::string_view builder);
[[noreturn]] void fail_row_mismatch(std::string_view builder, std::size_t row);

// Writes a matrix of a known shape row by row into arrays allocated once at
// their final sizes. The caller pushes each row's entries in strictly
// increasing column order and ends every row. In every build, an entry
// beyond the announced count or a row beyond the announced rows fails
// before it is written ("CsrRowWriter: more entries than announced", "...
// more rows than announced"), and `finish` checks that exactly the
// announced rows and entries came. Debug builds also check each column
// (below ncols, increasing within its row).
template <class Index>
class CsrRowWriter {
public:
    explicit CsrRowWriter(const CsrShape& shape)
        : arrays_(allocate_csr_arrays<Index>(shape)), offsets_(arrays_.row_offsets.data()),
          cols_(arrays_.col_indices.data()), values_(arrays_.values.data()), nnz_(shape.nnz) {
        offsets_[0] = 0;
    }

    void push(std::size_t col, double value) {
        if (count_ >= nnz_) [[unlikely]]
            fail_too_many_entries("CsrRowWriter");
#ifndef NDEBUG
        if (col >= arrays_.ncols || (count_ > row_start_ && col <= last_col_))
            fail("CsrRowWriter: entry out of place");
        last_col_ = col;
#endif
        cols_[count_] = static_cast<Index>(col);
        values_[count_] = value;
        ++count_;
    }

    void end_row() {
        if (rows_ >= arrays_.nrows) [[unlikely]]
            fail_too_many_rows("CsrRowWriter");
#ifndef NDEBUG
        row_start_ = count_;
#endif
        offsets_[++rows_] = static_cast<Index>(count_);
    }

    CsrArrays<Index> finish() && {
        if (rows_ != arrays_.nrows || count_ != nnz_) [[unlikely]]
            fail("CsrRowWriter: the rows or entries written are not the announced ones");
        return std::move(arrays_);
    }

private:
    CsrArrays<Index> arrays_;
    Index* offsets_;
    Index* cols_;
    double* values_;
    std::size_t nnz_;
    std::size_t rows_ = 0;
    std::size_t count_ = 0;
    std::size_t row_start_ = 0;  // the per-push checks of debug builds
    std::size_t last_col_ = 0;
};

// The arrays as a `CsrMatrix` (copied, then validated as in
// `csr_from_valid_data`), for callers that work with `CsrMatrix`.
CsrMatrix csr_from_valid_arrays(std::string_view producer, CsrArrays<std::size_t>&& arrays);

}  // namespace pwpoly
