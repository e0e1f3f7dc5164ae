// Many-time evaluation of a vector-valued expansion (see the header for the
// order of operations that defines every result).
//
// Speed. For m components each time reads (degree + 1) runs of m
// coefficients and writes m results, so with many components the work is
// memory traffic. Two things keep it close to the cost of writing the
// output once:
//  * times are processed interval by interval (a counting sort by the
//    located interval), so that the coefficients of an interval are read
//    from memory once and then reused from the core's caches by all its
//    times, and the (degree + 1) coefficient runs are swept in increasing
//    address order across the mesh;
//  * large outputs are written with streaming stores on x86: each time's
//    results fill whole cache lines that nobody reads back soon, so the
//    lines are neither fetched before being written nor kept in the caches.
//    Otherwise the results of the next time are prefetched for writing.
// Results land in their own slots and depend only on their own time, so
// neither the order nor the kind of store changes a bit.
#include "piecewise_polynomials/evaluation/vector_evaluation.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "arithmetic/two_lanes.hpp"
#include "common/internal_failure.hpp"
#include "common/interruption.hpp"
#include "parallel/parallel_ranges.hpp"
#include "piecewise_polynomials/evaluation/parallel_evaluation.hpp"

namespace pwpoly {

namespace {

// Two components side by side.
using Pack = Double2;
constexpr std::size_t pack_width = 2;

inline Pack load_pack(const double* p) { return load2(p); }
inline Pack broadcast(double x) { return broadcast2(x); }

#if defined(__SSE2__)
constexpr bool can_stream = true;
#else
constexpr bool can_stream = false;
#endif

// Streaming stores need 16-byte aligned destinations.
template <bool Stream>
inline void store_pack(double* p, Pack x) {
#if defined(__SSE2__)
    if constexpr (Stream) {
        _mm_stream_pd(p, x);
        return;
    }
#endif
    store2(p, x);
}

// Makes the streaming stores of this thread visible before it reports its
// work done.
inline void finish_streaming() {
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

// f_0, ..., f_degree at xi: P_i for values, D_i for derivatives, from the
// recurrences that the scalar evaluation uses.
void basis_factors(double xi, std::size_t degree, bool derivative, double* f) {
    if (!derivative) {
        f[0] = 1.0;
        if (degree == 0)
            return;
        f[1] = xi;
        for_each_legendre_from_2(xi, degree, [f](std::size_t i, double p_i, double) { f[i] = p_i; });
    } else {
        f[0] = 0.0;
        if (degree == 0)
            return;
        f[1] = 1.0;
        for_each_derivative_factor_from_2(xi, degree, [f](std::size_t i, double d_i) { f[i] = d_i; });
    }
}

// One component: sum = -0.0, then sum = sum + f_i * c[i * stride] for
// i = 0, ..., degree; a derivative then is (sum + sum) / w.
inline double component_sum(const double* f, std::size_t degree, const double* c, std::size_t stride, bool derivative,
                            double w) {
    double s = -0.0;
    for (std::size_t i = 0; i <= degree; ++i, c += stride)
        s = s + f[i] * *c;
    return derivative ? (s + s) / w : s;
}

// All m components of one time into out[0, m): component k sums the column
// c + k with the order of component_sum, eight components per step in four
// packs, then one pack at a time. With Stream, `out` is 8-byte aligned; a leading component that
// leaves it off 16-byte alignment is computed on its own.
template <bool Stream>
void sum_components(const double* f, std::size_t degree, const double* c, std::size_t stride, std::size_t m,
                    bool derivative, double w, double* out) {
    std::size_t k = 0;
    if (Stream && reinterpret_cast<std::uintptr_t>(out) % 16 != 0) {
        out[0] = component_sum(f, degree, c, stride, derivative, w);
        k = 1;
    }
    for (; m - k >= 4 * pack_width; k += 4 * pack_width) {
        const double* row = c + k;
        Pack s0 = broadcast(-0.0), s1 = s0, s2 = s0, s3 = s0;
        for (std::size_t i = 0; i <= degree; ++i, row += stride) {
            const Pack fi = broadcast(f[i]);
            s0 = s0 + fi * load_pack(row);
            s1 = s1 + fi * load_pack(row + pack_width);
            s2 = s2 + fi * load_pack(row + 2 * pack_width);
            s3 = s3 + fi * load_pack(row + 3 * pack_width);
        }
        if (derivative) {
            const Pack wv = broadcast(w);
            s0 = (s0 + s0) / wv;
            s1 = (s1 + s1) / wv;
            s2 = (s2 + s2) / wv;
            s3 = (s3 + s3) / wv;
        }
        store_pack<Stream>(out + k, s0);
        store_pack<Stream>(out + k + pack_width, s1);
        store_pack<Stream>(out + k + 2 * pack_width, s2);
        store_pack<Stream>(out + k + 3 * pack_width, s3);
    }
    for (; m - k >= pack_width; k += pack_width) {
        const double* row = c + k;
        Pack s0 = broadcast(-0.0);
        for (std::size_t i = 0; i <= degree; ++i, row += stride)
            s0 = s0 + broadcast(f[i]) * load_pack(row);
        if (derivative)
            s0 = (s0 + s0) / broadcast(w);
        store_pack<Stream>(out + k, s0);
    }
    if (k < m)
        out[k] = component_sum(f, degree, c + k, stride, derivative, w);
}

// Times are taken interval by interval from this many components on, when
// the coefficients are too large to stay in a core's private caches (below
// that, sorting costs more than the coefficient traffic it saves).
constexpr std::size_t reorder_min_components = 8;
constexpr std::size_t reorder_min_coefficient_bytes = std::size_t{256} << 10;

// Outputs from this size on bypass the caches.
constexpr std::size_t stream_min_output_bytes = std::size_t{4} << 20;

// Times whose factors are computed before their sums.
constexpr std::size_t batch = 16;

// Without streaming stores, the first this many bytes of the next time's
// results are prefetched for writing (the hardware follows a longer run).
constexpr std::size_t prefetch_max_bytes = 4096;

// A permutation of the times in which times of the same interval, and of
// neighbouring intervals, follow each other: a counting sort by the located
// interval (the rule of mesh.hpp), grouped into at most n buckets of
// equally many consecutive intervals, stable within a bucket.
std::vector<std::size_t> interval_order(const LegendreBasis& basis, std::span<const double> times) {
    const std::size_t n = times.size();
    const std::size_t n_t = basis.n_t();
    const std::size_t per_bucket = (n_t - 1) / std::min(n_t, n) + 1;
    const std::size_t buckets = (n_t - 1) / per_bucket + 1;
    const auto bucket = [&](double t) { return basis.locate(t).interval / per_bucket; };
    std::vector<std::size_t> start(buckets + 1, 0);
    InterruptionPacer pacer;
    for (std::size_t r = 0; r < n; ++r) {
        pacer.done(8);
        ++start[bucket(times[r]) + 1];
    }
    for (std::size_t b = 0; b < buckets; ++b)
        start[b + 1] += start[b];
    std::vector<std::size_t> order(n);
    for (std::size_t r = 0; r < n; ++r) {
        pacer.done(8);
        order[start[bucket(times[r])]++] = r;
    }
    return order;
}

struct VectorRequest {
    const LegendreBasis& basis;
    const double* coefficients;
    std::size_t m;
    bool derivative;
    const double* times;
    double* out;
    const std::size_t* order;  // null: index order
    bool stream;
    bool nan_gives_nan;

    void run(std::size_t lo, std::size_t hi) const {
        if (stream)
            run_with<true>(lo, hi);
        else
            run_with<false>(lo, hi);
    }

    // Positions [lo, hi) of the order, in batches: first the interval and
    // the factors of every time of the batch (short independent chains of
    // divisions, which the processor overlaps), then the sums. Runs on the
    // calling thread below the pool's threshold, so it checks for
    // interruption itself (on a worker the check finds nothing installed).
    template <bool Stream>
    void run_with(std::size_t lo, std::size_t hi) const {
        const std::size_t degree = basis.degree();
        const std::size_t columns = degree + 1;
        const std::size_t stride = basis.n_t() * m;
        double local[batch * 8];
        std::vector<double> heap;
        double* factors = local;
        if (columns > 8) {
            heap.resize(batch * columns);
            factors = heap.data();
        }
        std::size_t rows[batch], intervals[batch];
        bool nan_time[batch];
        InterruptionPacer pacer;
        for (std::size_t first = lo; first < hi; first += batch) {
            const std::size_t count = std::min(batch, hi - first);
            for (std::size_t b = 0; b < count; ++b) {
                rows[b] = order != nullptr ? order[first + b] : first + b;
                const Location loc = basis.locate(times[rows[b]]);
                intervals[b] = loc.interval;
                nan_time[b] = nan_gives_nan && loc.xi != loc.xi;
                basis_factors(loc.xi, degree, derivative, factors + b * columns);
            }
            for (std::size_t b = 0; b < count; ++b) {
                if (!Stream && order != nullptr && b + 1 < count) {
                    const char* next = reinterpret_cast<const char*>(out + rows[b + 1] * m);
                    const std::size_t bytes = std::min(m * sizeof(double), prefetch_max_bytes);
                    for (std::size_t at = 0; at < bytes; at += 64)
                        __builtin_prefetch(next + at, 1);
                }
                double* row_out = out + rows[b] * m;
                sum_components<Stream>(factors + b * columns, degree, coefficients + intervals[b] * m, stride, m,
                                       derivative, basis.width(intervals[b]), row_out);
                if (nan_time[b]) [[unlikely]]
                    std::fill(row_out, row_out + m, std::numeric_limits<double>::quiet_NaN());
            }
            pacer.done(2 * count * columns * m);
        }
        if (Stream)
            finish_streaming();
    }
};

}  // namespace

void evaluate_vector_many_into(const LegendreBasis& basis, const double* coefficients, std::size_t m, bool derivative,
                               std::span<const double> times, double* out, WorkerPool* pool, bool nan_gives_nan) {
    if (!basis.has_intervals()) [[unlikely]]
        fail(no_intervals_message);
    const std::size_t n_t = basis.n_t();
    const std::size_t columns = checked_add(basis.degree(), 1);
    const std::size_t coefficient_count =
        checked_array_count(checked_mul(checked_mul(columns, n_t), m), sizeof(double));
    const std::size_t output_count = checked_array_count(checked_mul(times.size(), m), sizeof(double));
    if (m == 0 || times.empty())
        return;
    // One component is a scalar expansion in LegendreBasis's own layout
    // (element (j, i) at j + n_t * i): the many-point kernels evaluate
    // several times per vector register.
    if (m == 1) {
        evaluate_many_into(basis, ColMatrixView{coefficients, n_t, columns}, derivative, times, out,
                           {pool, nullptr, nan_gives_nan});
        return;
    }
    std::vector<std::size_t> order;
    if (m >= reorder_min_components && times.size() > 1 &&
        coefficient_count >= reorder_min_coefficient_bytes / sizeof(double))
        order = interval_order(basis, times);
    const bool stream = can_stream && output_count >= stream_min_output_bytes / sizeof(double) &&
                        reinterpret_cast<std::uintptr_t>(out) % sizeof(double) == 0;
    const VectorRequest request{
        basis,  coefficients, m, derivative, times.data(), out, order.empty() ? nullptr : order.data(),
        stream, nan_gives_nan};
    for_each_range(
        times.size(), evaluation_min_half, [&request](std::size_t lo, std::size_t hi) { request.run(lo, hi); }, pool,
        columns * (2 * m + 4));
}

}  // namespace pwpoly
