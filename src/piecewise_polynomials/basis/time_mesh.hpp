// Time meshes: the intervals [b_0, b_1), [b_1, b_2), ..., [b_(n-1), b_n]
// on which piecewise polynomials live, and the rule that finds the interval
// of a time and its local coordinate xi in [-1, 1].
//
// Interval convention (every kind): the intervals are half-open except the
// last, which is closed; a time on an interior breakpoint belongs to the
// interval on its right. Times before b_0 (and NaN) fall into interval 0,
// times at or after b_n into interval n - 1, and the local coordinate is
// clamped to [-1, 1], so out-of-range times evaluate as the nearest end of
// the mesh (a NaN time keeps a NaN coordinate).
//
// Two kinds, each with its own rule, both defined to the last bit:
//
//  * uniform: [t0, t1] cut into n equal intervals of width w = (t1 - t0) / n
//    (one rounding). A time t is located by the rule of mesh.hpp applied to
//    u = t - t0 (one rounding): j = interval_of(u / w), and on interval j
//    with a = j * w, b = w + a (each rounded on its own),
//    xi = ((u + (-0.5 * (a + b))) * 2) / (b - a) as locate_with_width
//    computes it. With t0 = 0, u is t itself, so [0, T] is bit for bit the
//    mesh of LegendreBasis(degree, n, T). Interval j spans [t0 + a, t0 + b];
//    its breakpoints are b_j = t0 + j * w for j < n and b_n = t1. The
//    widths of all intervals are taken to be w.
//
//  * breakpoints: any strictly increasing finite b_0 < b_1 < ... < b_n. The
//    interval of t is the largest j <= n - 1 with b_j <= t (0 when t < b_0
//    or NaN), found exactly by comparisons with the breakpoints; a bucket
//    index over [b_0, b_n] narrows the comparisons to a few (see
//    time_mesh.cpp), so locating costs O(1) on average for any mesh. The
//    local coordinate is xi = ((d + d) / h_j) - 1.0 with d = t - b_j and
//    h_j = b_(j+1) - b_j, each operation rounded on its own: exactly -1 at
//    b_j and exactly 1 at b_(j+1), so values at the breakpoints are the
//    one-sided limits at the interval ends bit for bit.
//
// Widths. Operators and integrals take the widths "as given": for a
// breakpoint mesh the exact differences b_(j+1) - b_j (exact_width gives
// them as unevaluated double-double sums, without rounding), for a uniform
// mesh the exact quotient (t1 - t0) / n (exact_width approximates it to
// about 2^-104 relative, at every magnitude a mesh may have; the operators
// that are rounded once from exact values handle its last bits
// themselves). width(j) is the rounded width the
// evaluation uses: w for a uniform mesh, fl(b_(j+1) - b_j) otherwise.
//
// A TimeMesh is immutable and cheap to copy (the breakpoints are shared).
// The checked constructors (uniform, from_breakpoints, graded) refuse what
// the arithmetic cannot represent faithfully with ArgumentError, naming
// what is wrong; `unchecked_uniform` is pwpoly's mesh of [0, T], which
// accepts any T and n (n = 0 is a mesh without intervals: locate must not
// be called on it).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "arithmetic/double_double.hpp"
#include "piecewise_polynomials/basis/mesh.hpp"

namespace pwpoly {

// The largest magnitude a breakpoint (or T) may have, and the smallest width
// an interval may have: exact powers of two, far enough from the ends of the
// double range for every step of the mesh arithmetic (a + b, u + u, the
// Lagrange points' (i * (b - a)) / p, double-double products of widths) to
// stay finite and normal.
inline constexpr double mesh_largest_time = 0x1p1000;
inline constexpr double mesh_smallest_width = 0x1p-1000;

// The breakpoint search structure of a non-uniform mesh (time_mesh.cpp).
struct BreakpointIndex {
    std::vector<double> breakpoints;  // b_0, ..., b_n
    std::vector<double> widths;       // fl(b_(j+1) - b_j)
    // Per bucket k (and one more, k = K, the bucket count): 2 lo(k) + crowded(k), where
    // lo(k) is the first candidate interval of the bucket and crowded(k)
    // says that the bucket's candidates are more than lo(k) and lo(k) + 1.
    std::vector<std::uint32_t> entries32;
    std::vector<std::size_t> entries_wide;  // the same, when 2n does not fit 32 bits
    double scale;                           // buckets per unit of time
    double last_bucket;                     // buckets - 1, exact
    const std::uint32_t* narrow = nullptr;  // entries32's items, or null

    std::size_t last_interval;  // n - 1

    // The bucket of t: any t, NaN and times before b_0 in bucket 0 (MAXSD
    // semantics: an unordered comparison picks 0), times beyond b_n in the
    // last. See time_mesh.cpp.
    std::size_t bucket_of(double t) const {
        double position = (t - breakpoints[0]) * scale;
        position = position > 0.0 ? position : 0.0;
        position = position < last_bucket ? position : last_bucket;
        return static_cast<std::size_t>(position);
    }
    // The largest j <= n - 1 with b_j <= t; 0 before the mesh and for NaN.
    // Entry is std::uint32_t for entries32, std::size_t for entries_wide.
    template <class Entry>
    std::size_t interval_of(const Entry* entries, double t) const {
        return interval_in_bucket(entries, bucket_of(t), t);
    }
    // The same, given k = bucket_of(t).
    template <class Entry>
    std::size_t interval_in_bucket(const Entry* entries, std::size_t k, double t) const {
        const std::size_t e = entries[k];
        const std::size_t lo = e >> 1;
        // Nearly every bucket has at most two candidates: one comparison
        // without a branch (random times would mispredict it). lo + 1 <= n,
        // and only t >= b_n takes j to n, which is the last interval's. A
        // time before b_0 or NaN compares false with every breakpoint and
        // stays at lo = 0.
        if ((e & 1) != 0) [[unlikely]]
            return search(t, lo, entries[k + 1] >> 1);
        const std::size_t j = lo + static_cast<std::size_t>(breakpoints.data()[lo + 1] <= t);
        return j < last_interval ? j : last_interval;
    }
    std::size_t interval_of(double t) const {
        return narrow != nullptr ? interval_of(narrow, t) : interval_of(entries_wide.data(), t);
    }
    // The local coordinate on interval j: ((d + d) / h_j) - 1.0 with
    // d = t - b_j, clamped to [-1, 1] (NaN stays NaN).
    double local_coordinate(double t, std::size_t j) const {
        const double d = t - breakpoints[j];
        double xi = (d + d) / widths[j] - 1.0;
        if (xi < -1.0)
            xi = -1.0;
        else if (xi > 1.0)
            xi = 1.0;
        return xi;
    }
    Location locate(double t) const {
        const std::size_t j = interval_of(t);
        return {j, local_coordinate(t, j)};
    }

private:
    std::size_t search(double t, std::size_t lo, std::size_t hi) const;  // binary, then linear
};

class TimeMesh {
public:
    enum class Kind { uniform, breakpoints };

    // [0, T] in n_t equal intervals; fails unless n_t >= 1, T is positive and
    // finite, T <= 2^1000 and T / n_t >= 2^-1000.
    static TimeMesh uniform(std::size_t n_t, double T);
    // [t0, t1] in n_t equal intervals: the same conditions on t1 - t0, both
    // ends at most 2^1000 in magnitude, and w large enough next to the ends
    // that the breakpoints t0 + j * w strictly increase.
    static TimeMesh uniform(std::size_t n_t, double t0, double t1);
    // Fails unless there are at least 2 breakpoints, every one finite and at
    // most 2^1000 in magnitude, strictly increasing with every width
    // b_(j+1) - b_j at least 2^-1000; the message names the first position
    // that breaks a rule.
    static TimeMesh from_breakpoints(std::vector<double> breakpoints);
    // b_j = T * (j / n_t)^grading, computed in double-double arithmetic
    // (dd::pow) and rounded once; b_0 = 0 and b_n = T exactly. Needs
    // grading >= 1 (finite) and the conditions of from_breakpoints on the
    // result.
    static TimeMesh graded(std::size_t n_t, double T, double grading);
    // pwpoly's mesh of [0, T]: any n_t and T, no checks.
    static TimeMesh unchecked_uniform(std::size_t n_t, double T);

    Kind kind() const noexcept { return index_ ? Kind::breakpoints : Kind::uniform; }
    bool is_uniform() const noexcept { return !index_; }
    std::size_t n_t() const noexcept { return n_t_; }
    bool has_intervals() const noexcept { return n_t_ != 0; }
    double start() const noexcept { return t0_; }
    double end() const noexcept { return t1_; }
    // The uniform width w (uniform meshes only).
    double uniform_width() const noexcept { return w_; }

    // b_j, j <= n_t.
    double breakpoint(std::size_t j) const {
        if (index_)
            return index_->breakpoints[j];
        return j == n_t_ ? t1_ : shifted(static_cast<double>(j) * w_);
    }
    // The ends of interval j as the evaluation sees them: uniform
    // [t0 + j * w, t0 + (w + j * w)], otherwise [b_j, b_(j+1)].
    IntervalEnds interval_ends(std::size_t j) const {
        if (index_)
            return {index_->breakpoints[j], index_->breakpoints[j + 1]};
        const IntervalEnds local = pwpoly::interval_ends(j, w_);
        return {shifted(local.a), shifted(local.b)};
    }
    // The rounded width of interval j used by the evaluation's chain rule.
    double width(std::size_t j) const { return index_ ? index_->widths[j] : w_; }
    // The width as given (see the header comment): exact for breakpoints.
    dd::DD exact_width(std::size_t j) const;
    // The start of interval j as given: b_j, or t0 + j (t1 - t0) / n_t to
    // about 2^-104 relative for a uniform mesh.
    dd::DD exact_start(std::size_t j) const;

    // All n_t + 1 breakpoints.
    std::vector<double> breakpoints() const;
    // The breakpoints of a breakpoint mesh (empty for a uniform one).
    std::span<const double> stored_breakpoints() const {
        return index_ ? std::span<const double>(index_->breakpoints) : std::span<const double>();
    }
    const BreakpointIndex* index() const noexcept { return index_.get(); }

    // The interval and local coordinate of t (needs n_t >= 1).
    Location locate(double t) const {
        if (index_)
            return index_->locate(t);
        return locate_with_width(t - t0_, n_t_, w_);
    }

    // Same kind and the same numbers, bit for bit.
    friend bool operator==(const TimeMesh& a, const TimeMesh& b);

    // Whether every breakpoint of `coarse` is a breakpoint of `fine` (bit
    // for bit), with the same ends: then fine interval f lies in exactly one
    // coarse interval, parent[f]. Returns the parents, or an empty vector
    // when the meshes are not nested.
    static std::vector<std::size_t> nested_parents(const TimeMesh& coarse, const TimeMesh& fine);

private:
    // t0 + x, and x itself from +0.0: the mesh of [0, T] keeps the bits of
    // the original rule, zeros' signs included.
    double shifted(double x) const { return from_zero_ ? x : t0_ + x; }

    TimeMesh(std::size_t n_t, double t0, double t1, double w, std::shared_ptr<const BreakpointIndex> index)
        : n_t_(n_t), t0_(t0), t1_(t1), w_(w), from_zero_(t0 == 0.0 && !std::signbit(t0)), index_(std::move(index)) {}

    std::size_t n_t_;
    double t0_, t1_;
    double w_;  // uniform width (uniform kind); 0 otherwise
    bool from_zero_;
    std::shared_ptr<const BreakpointIndex> index_;
};

// Refuses (ArgumentError) two meshes whose first or whose last breakpoints
// differ, naming which and both intervals: the transfers between meshes
// need the same span.
void require_same_interval(const TimeMesh& coarse, const TimeMesh& fine);

}  // namespace pwpoly
