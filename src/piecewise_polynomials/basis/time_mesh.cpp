// Time meshes: construction with their checks, and the bucket index that
// locates a time on a mesh of arbitrary breakpoints.
//
// The bucket index. [b_0, b_n] is cut into K buckets (K = 4n):
// bucket k(t) = floor(min(max((t - b_0) * s, 0), K - 1)) with s = K / (b_n - b_0),
// every operation rounded. Rounding is monotone, so k(t) never decreases as
// t grows. For t >= b_0 in bucket k, its interval J(t) (the largest
// j <= n - 1 with b_j <= t) therefore lies between
//   lo(k) = first[k] - 1   (the last interval starting in an earlier
//                           bucket; 0 for k = 0) and
//   hi(k) = first[k + 1] - 1  (the last interval starting in bucket k or
//                              before; lo(k + 1) since first[k + 1] >= 1),
// where first[k] counts the interval starts b_0, ..., b_(n-1) whose bucket
// is below k (first[0] = 0). Both bounds come from the same k(.) that the
// lookup computes, so they hold exactly whatever the rounding. Each bucket
// stores lo(k) and whether hi(k) > lo(k) + 1 ("crowded"). An uncrowded
// bucket decides with one comparison, J = lo + (b_(lo+1) <= t), where a t
// at or beyond b_n is taken back to n - 1; a crowded one searches
// [lo(k), hi(k)] (a graded mesh crowds many small intervals into its first
// buckets, which a binary search handles). With four buckets per interval,
// few buckets are crowded. A time before b_0 (or NaN) lands in bucket 0
// and compares false with every breakpoint: interval 0. Nothing but
// comparisons decides the interval.
#include "piecewise_polynomials/basis/time_mesh.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "arithmetic/double_double_math.hpp"
#include "common/argument_error.hpp"
#include "common/internal_failure.hpp"
#include "common/interruption.hpp"

namespace pwpoly {

namespace {

// A double as Python's repr writes it for ordinary values: the shortest
// "%g" text that reads back as the same double, with ".0" added to an
// integral one ("5.0", "0.1", "1e+302", "inf", "nan").
std::string number(double x) {
    char text[40];
    for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, x);
        if (!std::isfinite(x) || std::strtod(text, nullptr) == x)
            break;
    }
    std::string out = text;
    if (std::isfinite(x) && out.find_first_of(".e") == std::string::npos)
        out += ".0";
    return out;
}

std::string count(std::size_t n) { return std::to_string(n); }

// Bucket count: four per interval, so that most buckets hold at most one
// breakpoint even where the intervals shrink by a few times (graded meshes);
// at least one.
std::size_t bucket_count(std::size_t n_t) { return n_t == 0 ? 1 : checked_mul(n_t, 4); }

std::shared_ptr<const BreakpointIndex> build_index(std::vector<double>&& b) {
    auto index = std::make_shared<BreakpointIndex>();
    const std::size_t n = b.size() - 1;
    index->widths.resize(n);
    for (std::size_t j = 0; j < n; ++j)
        index->widths[j] = b[j + 1] - b[j];
    const std::size_t K = bucket_count(n);
    index->last_bucket = static_cast<double>(K - 1);  // exact: at most 2^53 buckets
    index->last_interval = n - 1;
    index->scale = static_cast<double>(K) / (b[n] - b[0]);
    index->breakpoints = std::move(b);
    // first[k] = the number of interval starts b_0, ..., b_(n-1) in buckets
    // below k, by one merge pass over the (non-decreasing) buckets.
    std::vector<std::size_t> first(K + 2, 0);
    std::size_t j = 0;
    InterruptionPacer pacer;
    for (std::size_t k = 0; k <= K; ++k) {
        pacer.done(4);
        while (j < n && index->bucket_of(index->breakpoints[j]) < k)
            ++j;
        first[k] = j;
    }
    first[K + 1] = n;
    std::vector<std::size_t> entries(K + 1);
    for (std::size_t k = 0; k <= K; ++k) {
        const std::size_t lo = first[k] == 0 ? 0 : first[k] - 1, hi = first[k + 1] == 0 ? 0 : first[k + 1] - 1;
        entries[k] = 2 * lo + static_cast<std::size_t>(hi > lo + 1);
    }
    if (n < std::numeric_limits<std::uint32_t>::max() / 2) {
        index->entries32.assign(entries.begin(), entries.end());
        index->narrow = index->entries32.data();
    } else {
        index->entries_wide = std::move(entries);
    }
    return index;
}

void check_time(double t, const char* what) {
    if (!std::isfinite(t))
        refuse(std::string(what) + " must be finite, got " + number(t));
    if (!(std::fabs(t) <= mesh_largest_time))
        refuse(std::string(what) + " must be at most 2**1000 (about 1.07e301) in magnitude, got " + number(t));
}

}  // namespace

// The largest j in [lo, hi] with b_j <= t, given b_lo <= t.
std::size_t BreakpointIndex::search(double t, std::size_t lo, std::size_t hi) const {
    while (hi - lo > 8) {
        const std::size_t mid = lo + (hi - lo + 1) / 2;
        if (breakpoints[mid] <= t)
            lo = mid;
        else
            hi = mid - 1;
    }
    while (lo < hi && breakpoints[lo + 1] <= t)
        ++lo;
    return lo;
}

TimeMesh TimeMesh::uniform(std::size_t n_t, double T) { return uniform(n_t, 0.0, T); }

TimeMesh TimeMesh::uniform(std::size_t n_t, double t0, double t1) {
    if (n_t == 0)
        refuse("n_t must be at least 1, got 0");
    const bool from_zero = t0 == 0.0 && !std::signbit(t0);
    if (from_zero) {
        if (!(std::isfinite(t1) && t1 > 0.0))
            refuse("T must be positive and finite, got " + number(t1));
    } else {
        check_time(t0, "the start");
        check_time(t1, "the end");
        if (!(t0 < t1))
            refuse("the end must be after the start, got start " + number(t0) + " and end " + number(t1));
    }
    const double span = t1 - t0;
    const double w = span / static_cast<double>(n_t);
    if (!(t1 <= mesh_largest_time) || !(w >= mesh_smallest_width) || !std::isfinite(span))
        refuse(from_zero ? "T must be at most 2**1000 (about 1.07e301) and T / n_t at least 2**-1000 (about "
                           "9.33e-302); got T = " +
                               number(t1) + " with n_t = " + count(n_t)
                         : "the end - start must be at most 2**1000 (about 1.07e301) and (end - start) / n_t at "
                           "least 2**-1000 (about 9.33e-302); got start " +
                               number(t0) + ", end " + number(t1) + " and n_t = " + count(n_t));
    // Off zero the breakpoints t0 + j w must strictly increase: rounding moves
    // each by at most half a unit in the last place of the larger end
    // magnitude M, so w >= 2^-50 M (four such units) keeps them apart.
    if (!from_zero) {
        const double magnitude = std::max(std::fabs(t0), std::fabs(t1));
        if (!(w >= 0x1p-50 * magnitude))
            refuse("the intervals of a uniform mesh of [" + number(t0) + ", " + number(t1) +
                   "] with n_t = " + count(n_t) +
                   " are too narrow to be told apart from its ends in double precision (width " + number(w) + ")");
    }
    return TimeMesh(n_t, t0, t1, w, nullptr);
}

TimeMesh TimeMesh::unchecked_uniform(std::size_t n_t, double T) {
    return TimeMesh(n_t, 0.0, T, T / static_cast<double>(n_t), nullptr);
}

TimeMesh TimeMesh::from_breakpoints(std::vector<double> b) {
    if (b.size() < 2)
        refuse("breakpoints must have at least 2 entries (n_t + 1 with n_t >= 1), got " + count(b.size()));
    InterruptionPacer pacer;
    for (std::size_t j = 0; j < b.size(); ++j) {
        pacer.done(8);
        if (!std::isfinite(b[j]))
            refuse("breakpoints must be finite, got " + number(b[j]) + " at position " + count(j));
        if (!(std::fabs(b[j]) <= mesh_largest_time))
            refuse("breakpoints must be at most 2**1000 (about 1.07e301) in magnitude, got " + number(b[j]) +
                   " at position " + count(j));
        if (j > 0 && !(b[j - 1] < b[j]))
            refuse("breakpoints must be strictly increasing, got " + number(b[j - 1]) + " at position " + count(j - 1) +
                   " and " + number(b[j]) + " at position " + count(j));
        if (j > 0 && !(b[j] - b[j - 1] >= mesh_smallest_width))
            refuse("breakpoints must be at least 2**-1000 (about 9.33e-302) apart, got " + number(b[j - 1]) +
                   " at position " + count(j - 1) + " and " + number(b[j]) + " at position " + count(j));
    }
    const std::size_t n_t = b.size() - 1;
    const double t0 = b.front(), t1 = b.back();
    return TimeMesh(n_t, t0, t1, 0.0, build_index(std::move(b)));
}

TimeMesh TimeMesh::graded(std::size_t n_t, double T, double grading) {
    if (!(std::isfinite(grading) && grading >= 1.0))
        refuse("grading must be finite and at least 1, got " + number(grading));
    // The checks of T and n_t of a uniform mesh; the result is then checked
    // as breakpoints.
    uniform(n_t, T);
    std::vector<double> b(checked_array_count(checked_add(n_t, 1), sizeof(double)));
    const double n = static_cast<double>(n_t);
    InterruptionPacer pacer;
    for (std::size_t j = 0; j <= n_t; ++j) {
        pacer.done(400);  // a double-double power: a log and an exponential
        if (j == 0) {
            b[j] = 0.0;
        } else if (j == n_t) {
            b[j] = T;
        } else {
            const dd::DD x = dd::DD{static_cast<double>(j), 0.0} / dd::DD{n, 0.0};
            const dd::DD y = dd::pow(x, grading) * T;
            b[j] = y.hi;
        }
    }
    return from_breakpoints(std::move(b));
}

namespace {

// Dekker's products split their factors by multiplying with 2^27 + 1, which
// overflows above about 2^996: spans beyond 2^900 are divided in a frame
// scaled by 2^-128 (exact there, far from underflow) and scaled back.
dd::DD scaled(dd::DD x, int e) { return {std::ldexp(x.hi, e), std::ldexp(x.lo, e)}; }

int frame_of(double t0, double t1) { return std::max(std::fabs(t0), std::fabs(t1)) > 0x1p900 ? 128 : 0; }

}  // namespace

dd::DD TimeMesh::exact_width(std::size_t j) const {
    if (index_)
        return dd::two_sum(index_->breakpoints[j + 1], -index_->breakpoints[j]);
    const int e = frame_of(t0_, t1_);
    return scaled(dd::two_sum(std::ldexp(t1_, -e), -std::ldexp(t0_, -e)) / static_cast<double>(n_t_), e);
}

dd::DD TimeMesh::exact_start(std::size_t j) const {
    if (index_)
        return {index_->breakpoints[j], 0.0};
    if (j == 0)
        return {t0_, 0.0};
    if (j == n_t_)
        return {t1_, 0.0};
    const int e = frame_of(t0_, t1_);
    const dd::DD span = dd::two_sum(std::ldexp(t1_, -e), -std::ldexp(t0_, -e));
    return scaled(dd::DD{std::ldexp(t0_, -e), 0.0} + span * static_cast<double>(j) / static_cast<double>(n_t_), e);
}

std::vector<double> TimeMesh::breakpoints() const {
    if (index_)
        return index_->breakpoints;
    std::vector<double> b(checked_array_count(checked_add(n_t_, 1), sizeof(double)));
    InterruptionPacer pacer;
    for (std::size_t j = 0; j <= n_t_; ++j) {
        pacer.done(2);
        b[j] = breakpoint(j);
    }
    return b;
}

bool operator==(const TimeMesh& a, const TimeMesh& b) {
    const auto same = [](double x, double y) { return std::memcmp(&x, &y, sizeof x) == 0; };
    if (a.is_uniform() != b.is_uniform() || a.n_t_ != b.n_t_)
        return false;
    if (a.is_uniform())
        return same(a.t0_, b.t0_) && same(a.t1_, b.t1_);
    if (a.index_ == b.index_)
        return true;
    const std::vector<double>& x = a.index_->breakpoints;
    const std::vector<double>& y = b.index_->breakpoints;
    return std::memcmp(x.data(), y.data(), x.size() * sizeof(double)) == 0;
}

void require_same_interval(const TimeMesh& coarse, const TimeMesh& fine) {
    const bool same_start = coarse.start() == fine.start(), same_end = coarse.end() == fine.end();
    if (same_start && same_end)
        return;
    refuse("coarse and fine must be meshes of the same interval, got coarse [" + number(coarse.start()) + ", " +
           number(coarse.end()) + "] and fine [" + number(fine.start()) + ", " + number(fine.end()) + "]: " +
           (!same_start && !same_end ? "both ends differ"
            : !same_start            ? "the starts differ"
                                     : "the ends differ"));
}

std::vector<std::size_t> TimeMesh::nested_parents(const TimeMesh& coarse, const TimeMesh& fine) {
    const std::size_t nc = coarse.n_t(), nf = fine.n_t();
    std::vector<std::size_t> parents;
    if (nc == 0 || nf < nc || coarse.start() != fine.start() || coarse.end() != fine.end())
        return parents;
    if (coarse.is_uniform() && fine.is_uniform()) {
        // The same span as given: nested when the fine count is a multiple.
        if (nf % nc != 0)
            return parents;
        parents.resize(checked_array_count(nf, sizeof(std::size_t)));
        const std::size_t m = nf / nc;
        for (std::size_t f = 0; f < nf; ++f)
            parents[f] = f / m;
        return parents;
    }
    parents.resize(checked_array_count(nf, sizeof(std::size_t)));
    std::size_t c = 0;
    double next = coarse.breakpoint(1);
    InterruptionPacer pacer;
    for (std::size_t f = 0; f < nf; ++f) {
        pacer.done(4);
        const double b = fine.breakpoint(f);
        if (b == next && c + 1 < nc) {
            ++c;
            next = coarse.breakpoint(c + 1);
        } else if (b > next) {
            return {};  // a coarse breakpoint that the fine mesh skips
        }
        parents[f] = c;
    }
    if (c + 1 != nc)
        return {};
    return parents;
}

}  // namespace pwpoly
