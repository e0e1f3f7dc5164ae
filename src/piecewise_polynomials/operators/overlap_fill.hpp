// The overlap of two meshes of one span, walked in one place, and the one
// fill that writes a Legendre transfer matrix from it: prolongations (rows
// on the fine mesh, columns on the coarse one) and restrictions (the other
// way round) between meshes of every kind.
//
// Layout. The coefficient of P_a on interval r of a mesh of n_r intervals is
// index r + n_r a. Row r + n_r a of a transfer (r on the row mesh, a its
// degree) holds, for the column degrees b = first(a), ..., last(a) and each
// interval x of the column mesh that overlaps r, the entry of the piece
// (r, x) at column x + n_x b: ordered by b, then by x, so columns increase.
// Its length is count(a) pieces(r). The entry itself comes from the caller's
// `Entries` (prepare(f, c, pacer) for the piece of fine interval f and
// coarse interval c, then value(k, i) for the fine degree k and the coarse
// degree i, in either direction; Entries::nested tells whether they are a
// re-expansion, whose entries k > i are not stored).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/internal_failure.hpp"
#include "common/interruption.hpp"
#include "parallel/parallel_ranges.hpp"
#include "piecewise_polynomials/operators/legendre_projection.hpp"
#include "sparse_matrix_tools/sparse_containers.hpp"

namespace pwpoly {

// The breakpoints of a mesh as the walk compares them. Two uniform meshes of
// one span with nc and nf intervals: exact integers in units of 1 / (nc nf)
// of the span, breakpoint j of the fine mesh at j nc and of the coarse mesh
// at j nf (the shapes refuse products nc nf beyond 2^62). Any other pair:
// the breakpoints themselves, compared exactly.
struct CountPositions {
    std::uint64_t step;
    std::size_t n;  // intervals
    std::uint64_t operator[](std::size_t j) const { return static_cast<std::uint64_t>(j) * step; }
};

struct BreakpointPositions {
    const double* b;
    std::size_t n;  // intervals
    double operator[](std::size_t j) const { return b[j]; }
};

// The overlap walk: for each interval r of `rows` in increasing order, the
// intervals first, ..., last of `cols` that overlap it (share more than a
// point), as visit(r, first, last). For two meshes with the same first and
// last breakpoint the pairs (r, x), first <= x <= last, are the pieces of
// the common refinement in increasing order, each the interval
// [max(rows[r], cols[x]), min(rows[r + 1], cols[x + 1])]. Both bounds only
// advance, so a walk costs some rows.n + cols.n comparisons. A walk over
// the rows r_lo, ..., r_hi - 1 alone finds its first bound by bisection
// (the last x with cols[x] <= rows[r_lo], or 0) and starts its last bound
// there, below where the whole walk has it; from there both advance to
// exactly the bounds of the whole walk.
template <class Positions, class Visit>
void walk_overlaps(const Positions& rows, const Positions& cols, std::size_t r_lo, std::size_t r_hi, Visit&& visit) {
    const std::size_t top = cols.n - 1;
    std::size_t first = 0;
    if (r_lo > 0) {
        const auto start = rows[r_lo];
        std::size_t high = top;
        while (first < high) {
            const std::size_t mid = first + (high - first + 1) / 2;
            if (cols[mid] <= start)
                first = mid;
            else
                high = mid - 1;
        }
    }
    std::size_t last = first;
    for (std::size_t r = r_lo; r < r_hi; ++r) {
        const auto start = rows[r], end = rows[r + 1];
        while (first < top && cols[first + 1] <= start)
            ++first;
        while (last < top && cols[last + 1] < end)
            ++last;
        visit(r, first, last);
    }
}

template <class Positions, class Visit>
void walk_overlaps(const Positions& rows, const Positions& cols, Visit&& visit) {
    walk_overlaps(rows, cols, 0, rows.n, visit);
}

// The pieces of the common refinement (nested meshes: as many as fine
// intervals).
template <class Positions>
std::size_t count_pieces(const Positions& fine, const Positions& coarse) {
    std::size_t pieces = 0;
    InterruptionPacer pacer;
    walk_overlaps(fine, coarse, [&](std::size_t, std::size_t first, std::size_t last) {
        pieces += last - first + 1;
        pacer.done(4);
    });
    return pieces;
}

enum class Direction { prolongation, restriction };

// The column degrees that a row of degree a holds: all of them, or, for the
// re-expansion between nested meshes (entries k <= i), i = a, ..., degree in
// a prolongation and k = 0, ..., a in a restriction.
struct RowDegrees {
    Direction direction;
    bool nested;
    std::size_t degree;

    std::size_t first(std::size_t a) const { return nested && direction == Direction::prolongation ? a : 0; }
    std::size_t last(std::size_t a) const { return nested && direction == Direction::restriction ? a : degree; }
    std::size_t count(std::size_t a) const { return last(a) - first(a) + 1; }
    std::size_t per_piece() const {
        return nested ? checked_mul(degree + 1, degree + 2) / 2 : checked_mul(degree + 1, degree + 1);
    }
};

// The shape of a transfer with `pieces` pieces ("capacity overflow" when a
// size cannot be represented).
inline CsrShape transfer_shape(Direction direction, std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine,
                               bool nested, std::size_t pieces) {
    const std::size_t n = checked_add(degree, 1);
    const std::size_t fine = checked_mul(n, nt_fine), coarse = checked_mul(n, nt_coarse);
    const std::size_t nnz = checked_mul(pieces, RowDegrees{direction, nested, degree}.per_piece());
    return direction == Direction::prolongation ? CsrShape{fine, coarse, nnz} : CsrShape{coarse, fine, nnz};
}

namespace overlap_detail {

// base[a]: where the rows of degree a start, total pieces before them.
inline std::vector<std::size_t> block_bases(const RowDegrees& degrees, std::size_t pieces) {
    std::vector<std::size_t> base(degrees.degree + 1);
    std::size_t at = 0;
    for (std::size_t a = 0; a <= degrees.degree; ++a) {
        base[a] = at;
        at += degrees.count(a) * pieces;
    }
    return base;
}

}  // namespace overlap_detail

// The transfer's arrays of `shape` (transfer_shape of `pieces`): one walk for
// the row offsets, row r + n_r a starting at base(a) + count(a) P(r) with
// P(r) the pieces of the rows before r; one walk for the entries. The fill
// checks each row r against the offsets (count(0) P(r) and count(0)
// pieces(r) in the rows of degree 0, within their block) before it writes,
// and computes the rows of the other degrees from the same P(r), which
// keeps every write within the arrays; any disagreement is the internal
// failure, never a write out of place.
//
// `make_entries()` returns a fresh Entries. With `parallel`, the entries are
// filled by ranges of rows over the worker pool (parallel_ranges.hpp), each
// range with Entries of its own and starting from P(r) as the offsets give
// it: every entry depends on its piece alone, so the arrays do not depend
// on how the rows are split.
template <Direction D, std::size_t N, class Index, class Positions, class MakeEntries>
CsrArrays<Index> build_transfer(const CsrShape& shape, std::size_t degree, const Positions& fine,
                                const Positions& coarse, std::size_t pieces, const MakeEntries& make_entries,
                                bool parallel) {
    using Entries = decltype(make_entries());
    constexpr bool prolongation = D == Direction::prolongation;
    const std::size_t n = DegreeCount<N>(degree + 1).get();
    const Positions& rows = prolongation ? fine : coarse;
    const Positions& cols = prolongation ? coarse : fine;
    const RowDegrees degrees{D, Entries::nested, degree};
    CsrArrays<Index> out = allocate_csr_arrays<Index>(shape);
    if (out.nrows != checked_mul(n, rows.n) || out.values.size() != checked_mul(pieces, degrees.per_piece()))
        fail("build_transfer: the shape is not the transfer's");
    const std::vector<std::size_t> base = overlap_detail::block_bases(degrees, pieces);
    Index* const offsets = out.row_offsets.data();
    Index* const columns = out.col_indices.data();
    double* const values = out.values.data();
    const std::size_t nr = rows.n, nx = cols.n;

    InterruptionPacer pacer;
    std::size_t done = 0;  // P(r)
    offsets[0] = 0;
    walk_overlaps(rows, cols, [&](std::size_t r, std::size_t first, std::size_t last) {
        done += last - first + 1;
        if (done > pieces) [[unlikely]]
            fail("build_transfer: more pieces than counted");
        for (std::size_t a = 0; a < n; ++a)
            offsets[r + nr * a + 1] = static_cast<Index>(base[a] + degrees.count(a) * done);
        pacer.done(2 * n + 4);
    });
    if (done != pieces) [[unlikely]]
        fail("build_transfer: fewer pieces than counted");

    const std::size_t count0 = degrees.count(0);
    auto fill = [&](std::size_t r_lo, std::size_t r_hi) {
        Entries entries = make_entries();
        InterruptionPacer pacer;  // on a worker: counts only
        std::array<std::size_t, N == 0 ? 1 : N> fixed_starts{};
        std::vector<std::size_t> run_time_starts(N == 0 ? n : 0);
        std::size_t* const starts = N == 0 ? run_time_starts.data() : fixed_starts.data();
        std::size_t done = static_cast<std::size_t>(offsets[r_lo]) / count0;  // P(r_lo)
        walk_overlaps(rows, cols, r_lo, r_hi, [&](std::size_t r, std::size_t first, std::size_t last) {
            const std::size_t here = last - first + 1;
            const auto begin = static_cast<std::size_t>(offsets[r]), end = static_cast<std::size_t>(offsets[r + 1]);
            if (done + here > pieces || begin != count0 * done || end - begin != count0 * here) [[unlikely]]
                fail_row_mismatch(prolongation ? "legendre_prolongation_matrix" : "legendre_restriction_matrix", r);
            for (std::size_t a = 0; a < n; ++a)
                starts[a] = base[a] + degrees.count(a) * done;
            for (std::size_t x = first; x <= last; ++x) {
                if constexpr (prolongation)
                    entries.prepare(r, x, pacer);
                else
                    entries.prepare(x, r, pacer);
                const std::size_t slot = x - first;
                for (std::size_t a = 0; a < n; ++a) {
                    std::size_t at = starts[a] + slot;
                    const std::size_t b_last = degrees.last(a);
                    for (std::size_t b = degrees.first(a); b <= b_last; ++b) {
                        columns[at] = static_cast<Index>(x + nx * b);
                        values[at] = prolongation ? entries.value(a, b) : entries.value(b, a);
                        at += here;
                    }
                    if constexpr (N == 0)
                        pacer.done(4 * degrees.count(a) + 4);  // a row may hold thousands
                }
                if constexpr (N != 0)
                    pacer.done(4 * n + 4 * RowDegrees{D, Entries::nested, N - 1}.per_piece());
            }
            done += here;
        });
    };
    if (parallel) {
        // The work of a row, for the chunks between two looks at the cancel
        // flag: its pieces on average, each some n^3 operations at most.
        const std::size_t piece_cost = checked_mul(checked_mul(4 * n, n), n + 4);
        for_each_range(nr, row_min_half, fill, nullptr, checked_mul(piece_cost, (pieces + nr - 1) / nr));
    } else
        fill(0, nr);
    return out;
}

}  // namespace pwpoly
