#include "sparse_matrix_tools/sparse_containers.hpp"

#include "common/interruption.hpp"

#include <algorithm>
#include <utility>

namespace pwpoly {

std::string_view kind_name(SparseFormatErrorKind kind) {
    switch (kind) {
    case SparseFormatErrorKind::IndexOutOfBounds:
        return "IndexOutOfBounds";
    case SparseFormatErrorKind::DuplicateEntry:
        return "DuplicateEntry";
    case SparseFormatErrorKind::InvalidStructure:
        return "InvalidStructure";
    }
    return "?";
}

std::string SparseFormatError::debug_text() const {
    std::string out = "SparseFormatError { kind: ";
    out += kind_name(kind);
    out += ", error: \"";
    for (char c : error) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    out += "\" }";
    return out;
}

void fail_too_many_entries(std::string_view builder) { fail(std::string(builder) + ": more entries than announced"); }

void fail_too_many_rows(std::string_view builder) { fail(std::string(builder) + ": more rows than announced"); }

void fail_row_mismatch(std::string_view builder, std::size_t row) {
    fail(std::string(builder) + ": row " + std::to_string(row) + " is not where its count puts it");
}

void CooMatrix::fail_row_out_of_bounds() { fail("assertion failed: i < self.nrows"); }
void CooMatrix::fail_col_out_of_bounds() { fail("assertion failed: j < self.ncols"); }

void CooMatrix::reserve(std::size_t n) {
    checked_array_count(n, sizeof(double));
    row_indices_.reserve(n);
    col_indices_.reserve(n);
    values_.reserve(n);
}

std::variant<SparsityPattern, SparseFormatError> SparsityPattern::try_from_offsets_and_indices(
    std::size_t major_dim, std::size_t minor_dim, std::vector<std::size_t> major_offsets,
    std::vector<std::size_t> minor_indices) {
    using Kind = SparseFormatErrorKind;
    // Written as size - 1 so that major_dim = SIZE_MAX cannot wrap.
    if (major_offsets.empty() || major_offsets.size() - 1 != major_dim)
        return SparseFormatError{Kind::InvalidStructure, "Length of row offset array is not equal to nrows + 1."};
    const std::size_t nnz = minor_indices.size();
    if (major_offsets.front() != 0 || major_offsets.back() != nnz)
        return SparseFormatError{Kind::InvalidStructure,
                                 "First or last row offset is inconsistent with format specification."};
    InterruptionPacer pacer;
    for (std::size_t lane = 0; lane < major_dim; ++lane) {
        const std::size_t begin = major_offsets[lane];
        const std::size_t end = major_offsets[lane + 1];
        // An interior offset beyond nnz must come down again before the last
        // offset (which is nnz), so it is reported as a decrease too.
        if (begin > end || end > nnz)
            return SparseFormatError{Kind::InvalidStructure, "Row offsets are not monotonically increasing."};
        pacer.done(2 + 2 * (end - begin));
        // Each index is tested against the bound first, then against the
        // previous index of its row: equal, then smaller.
        if (begin == end)
            continue;
        std::size_t prev = minor_indices[begin];
        if (prev >= minor_dim)
            return SparseFormatError{Kind::IndexOutOfBounds, "Column indices are out of bounds."};
        for (std::size_t k = begin + 1; k < end; ++k) {
            const std::size_t idx = minor_indices[k];
            if (idx >= minor_dim)
                return SparseFormatError{Kind::IndexOutOfBounds, "Column indices are out of bounds."};
            if (idx == prev)
                return SparseFormatError{Kind::DuplicateEntry, "Matrix data contains duplicate entries."};
            if (idx < prev)
                return SparseFormatError{Kind::InvalidStructure,
                                         "Column indices are not monotonically increasing (sorted) within each row."};
            prev = idx;
        }
    }
    return SparsityPattern(minor_dim, std::move(major_offsets), std::move(minor_indices));
}

CsrParts CsrMatrix::into_parts() && {
    const std::size_t nrows = this->nrows();
    const std::size_t ncols = this->ncols();
    return {nrows, ncols, std::move(pattern_.major_offsets_), std::move(pattern_.minor_indices_), std::move(values_)};
}

std::variant<CsrMatrix, SparseFormatError> try_from_csr_data(std::size_t nrows, std::size_t ncols,
                                                             std::vector<std::size_t> row_offsets,
                                                             std::vector<std::size_t> col_indices,
                                                             std::vector<double> values) {
    auto pattern =
        SparsityPattern::try_from_offsets_and_indices(nrows, ncols, std::move(row_offsets), std::move(col_indices));
    if (auto* err = std::get_if<SparseFormatError>(&pattern))
        return std::move(*err);
    SparsityPattern& p = std::get<SparsityPattern>(pattern);
    if (values.size() != p.nnz())
        return SparseFormatError{SparseFormatErrorKind::InvalidStructure,
                                 "Number of values and column indices must be the same"};
    return CsrMatrix(std::move(p), std::move(values));
}

CsrMatrix csr_from_valid_data(std::string_view producer, std::size_t nrows, std::size_t ncols,
                              std::vector<std::size_t> row_offsets, std::vector<std::size_t> col_indices,
                              std::vector<double> values) {
    auto result = try_from_csr_data(nrows, ncols, std::move(row_offsets), std::move(col_indices), std::move(values));
    if (auto* err = std::get_if<SparseFormatError>(&result)) [[unlikely]]
        fail("Internal error: Invalid CSR data during " + std::string(producer) + ": " + err->debug_text());
    return std::get<CsrMatrix>(std::move(result));
}

CsrMatrix csr_from_valid_arrays(std::string_view producer, CsrArrays<std::size_t>&& arrays) {
    std::vector<std::size_t> offsets(arrays.row_offsets.begin(), arrays.row_offsets.end());
    std::vector<std::size_t> cols(arrays.col_indices.begin(), arrays.col_indices.end());
    std::vector<double> values(arrays.values.begin(), arrays.values.end());
    return csr_from_valid_data(producer, arrays.nrows, arrays.ncols, std::move(offsets), std::move(cols),
                               std::move(values));
}

namespace {

// One entry of a row being sorted. Ordering by (column, push position) makes
// the keys distinct, so any O(n log n) sort yields the order of a stable sort
// by column: equal columns stay in push order.
struct RowEntry {
    std::size_t col;
    std::size_t pos;
    double value;
};

// Sorts entries [begin, end) of `c`/`v` by column, keeping push order among
// equal columns. Rows that are already in order (what every producer here
// pushes) are left alone; `scratch` is reused from row to row.
void sort_row(std::size_t* c, double* v, std::size_t begin, std::size_t end, std::vector<RowEntry>& scratch) {
    std::size_t i = begin + 1;
    while (i < end && c[i - 1] <= c[i])
        ++i;
    if (i >= end)
        return;
    scratch.clear();
    scratch.reserve(end - begin);
    for (std::size_t k = begin; k < end; ++k)
        scratch.push_back({c[k], k, v[k]});
    std::sort(scratch.begin(), scratch.end(),
              [](const RowEntry& a, const RowEntry& b) { return a.col < b.col || (a.col == b.col && a.pos < b.pos); });
    for (std::size_t k = begin; k < end; ++k) {
        c[k] = scratch[k - begin].col;
        v[k] = scratch[k - begin].value;
    }
}

// The COO -> CSR conversion proper. `cols` and `vals` are the coordinate
// arrays, copied or moved in by the caller; `rows` is only read.
CsrMatrix compress(std::size_t nrows, std::size_t ncols, const std::vector<std::size_t>& rows,
                   std::vector<std::size_t> cols, std::vector<double> vals) {
    const std::size_t nnz = rows.size();

    // Count the entries of row r into offsets[r + 1] and note whether the
    // rows came in non-decreasing order.
    // The passes over all entries report to the pacer in blocks.
    constexpr std::size_t block = 4096;
    InterruptionPacer pacer;
    std::vector<std::size_t> offsets(checked_array_count(checked_add(nrows, 1), sizeof(std::size_t)), 0);
    bool row_sorted = true;
    std::size_t prev_row = 0;
    for (std::size_t first = 0; first < nnz; first += block) {
        const std::size_t last = std::min(nnz, first + block);
        for (std::size_t k = first; k < last; ++k) {
            const std::size_t r = rows[k];
            ++offsets[r + 1];
            row_sorted = row_sorted && prev_row <= r;
            prev_row = r;
        }
        pacer.done(2 * (last - first));
    }
    // Prefix sum: offsets[r] becomes the start of row r.
    for (std::size_t r = 0; r < nrows; ++r) {
        pacer.done(1);
        offsets[r + 1] += offsets[r];
    }

    // Scatter by row, keeping push order within each row. Already grouped
    // input is its own scatter.
    if (!row_sorted) {
        std::vector<std::size_t> next(offsets.begin(), offsets.end() - 1);
        std::vector<std::size_t> grouped_cols(nnz);
        std::vector<double> grouped_vals(nnz);
        for (std::size_t k = 0; k < nnz; ++k) {
            pacer.done(4);
            const std::size_t dst = next[rows[k]]++;
            grouped_cols[dst] = cols[k];
            grouped_vals[dst] = vals[k];
        }
        cols = std::move(grouped_cols);
        vals = std::move(grouped_vals);
    }

    // Row by row: sort by column, keeping push order among equal columns,
    // then collapse each run of equal columns into its sum, compacting
    // towards the front. The write position never passes the read position,
    // so the compaction is done in place; offsets[r + 1] becomes the end of
    // the compacted row r.
    std::size_t* c = cols.data();
    double* v = vals.data();
    std::vector<RowEntry> scratch;
    std::size_t out = 0;
    std::size_t begin = 0;
    for (std::size_t r = 0; r < nrows; ++r) {
        const std::size_t end = offsets[r + 1];
        pacer.done(4 + 4 * (end - begin));
        sort_row(c, v, begin, end, scratch);
        for (std::size_t i = begin; i < end;) {
            const std::size_t col = c[i];
            double sum = v[i];
            for (++i; i < end && c[i] == col; ++i)
                sum = sum + v[i];
            c[out] = col;
            v[out] = sum;
            ++out;
        }
        offsets[r + 1] = out;
        begin = end;
    }
    cols.resize(out);
    vals.resize(out);

    return csr_from_valid_data("COO->CSR conversion", nrows, ncols, std::move(offsets), std::move(cols),
                               std::move(vals));
}

}  // namespace

CsrMatrix convert_coo_csr(const CooMatrix& coo) {
    return compress(coo.nrows(), coo.ncols(), coo.row_indices(), coo.col_indices(), coo.values());
}

CsrMatrix convert_coo_csr(CooMatrix&& coo) {
    return compress(coo.nrows_, coo.ncols_, coo.row_indices_, std::move(coo.col_indices_), std::move(coo.values_));
}

CooMatrix convert_csr_coo(const CsrMatrix& csr) {
    CooMatrix coo(csr.nrows(), csr.ncols());
    coo.reserve(csr.nnz());
    for (std::size_t r = 0; r < csr.nrows(); ++r) {
        const CsrRow row = csr.row(r);
        for (std::size_t k = 0; k < row.nnz(); ++k)
            coo.push(r, row.col_indices[k], row.values[k]);
    }
    return coo;
}

}  // namespace pwpoly
