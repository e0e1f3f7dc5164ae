// Dense matrices for checking small sparse operators against identities.
#pragma once

#include <cmath>
#include <cstddef>
#include <set>
#include <utility>
#include <vector>

#include "sparse_matrix_tools/sparse_containers.hpp"

namespace pwpoly::testing_support {

using Dense = std::vector<std::vector<double>>;
using Pattern = std::set<std::pair<std::size_t, std::size_t>>;

inline Dense zeros(std::size_t rows, std::size_t cols) { return Dense(rows, std::vector<double>(cols, 0.0)); }

inline Dense to_dense(const CsrMatrix& m) {
    Dense out = zeros(m.nrows(), m.ncols());
    for (std::size_t r = 0; r < m.nrows(); ++r) {
        const CsrRow row = m.row(r);
        for (std::size_t e = 0; e < row.nnz(); ++e)
            out[r][row.col_indices[e]] = row.values[e];
    }
    return out;
}

inline Pattern stored_pattern(const CsrMatrix& m) {
    Pattern out;
    for (std::size_t r = 0; r < m.nrows(); ++r)
        for (const std::size_t c : m.row(r).col_indices)
            out.insert({r, c});
    return out;
}

inline Dense transpose(const Dense& a) {
    Dense out = zeros(a.empty() ? 0 : a[0].size(), a.size());
    for (std::size_t r = 0; r < a.size(); ++r)
        for (std::size_t c = 0; c < a[r].size(); ++c)
            out[c][r] = a[r][c];
    return out;
}

inline Dense multiply(const Dense& a, const Dense& b) {
    const std::size_t inner = b.size();
    Dense out = zeros(a.size(), b.empty() ? 0 : b[0].size());
    for (std::size_t r = 0; r < a.size(); ++r)
        for (std::size_t k = 0; k < inner; ++k)
            if (a[r][k] != 0.0)
                for (std::size_t c = 0; c < out[r].size(); ++c)
                    out[r][c] += a[r][k] * b[k][c];
    return out;
}

inline std::vector<double> multiply(const Dense& a, const std::vector<double>& x) {
    std::vector<double> out(a.size(), 0.0);
    for (std::size_t r = 0; r < a.size(); ++r)
        for (std::size_t c = 0; c < x.size(); ++c)
            out[r] += a[r][c] * x[c];
    return out;
}

inline Dense identity(std::size_t n) {
    Dense out = zeros(n, n);
    for (std::size_t i = 0; i < n; ++i)
        out[i][i] = 1.0;
    return out;
}

// Largest |a - b| over all entries, and the largest |b|; shapes must agree.
inline double max_difference(const Dense& a, const Dense& b) {
    double d = 0.0;
    for (std::size_t r = 0; r < a.size(); ++r)
        for (std::size_t c = 0; c < a[r].size(); ++c)
            d = std::fmax(d, std::fabs(a[r][c] - b[r][c]));
    return d;
}

inline double max_magnitude(const Dense& a) {
    double m = 0.0;
    for (const auto& row : a)
        for (const double x : row)
            m = std::fmax(m, std::fabs(x));
    return m;
}

}  // namespace pwpoly::testing_support
