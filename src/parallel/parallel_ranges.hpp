// Spreading many independent items (times, rows) over the worker pool: the
// one split policy of every many-item operation.
//
// Fewer than `parallel_threshold` items run on the calling thread, and the
// pool is not even created for them. From the threshold on, the range is
// split adaptively. A piece [lo, hi) carries a split budget B (initially W,
// the pool's worker count) and a "moved" flag. A piece of length L is split
// at L / 2 when L / 2 >= the operation's minimum half and either it moved to
// another thread (then B is reset to max(W, B / 2), so work that travels can
// be split again for the idle workers that took it) or B > 0 (then B
// halves). Otherwise it is a leaf. The root piece is split on the calling
// thread, which hands both halves to the pool and waits; both halves then
// count as moved. Without stealing, for W a power of two and a minimum half
// of 1, each half splits once on its reset budget W and then log2(W) + 1
// times more as W halves down to 0: 8W leaves in all.
//
// A leaf runs its items in increasing order, in chunks of at most
// `cancel_check_chunk` items and at most an interruption budget of work (the
// caller gives the cost of one item in the units of
// common/interruption.hpp: an item of a high-degree evaluation may cost
// milliseconds); between chunks it looks at the request's cancel flag, which
// the waiting caller raises when its interruption check throws. Below the
// threshold the calling thread runs the same chunks and reports them to an
// interruption pacer. Items land in their own output slots and depend only
// on their own input, so neither the split nor the chunks change a bit of
// any result.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <string>

#include "common/internal_failure.hpp"
#include "common/interruption.hpp"
#include "parallel/worker_pool.hpp"

namespace pwpoly {

inline constexpr std::size_t parallel_threshold = 2048;

// The smallest half a piece is split into: every time of an evaluation is
// worth a task of its own; a collocation row is cheaper, so its pieces stay
// larger.
inline constexpr std::size_t evaluation_min_half = 1;
inline constexpr std::size_t row_min_half = 512;

inline constexpr std::size_t cancel_check_chunk = 8192;

[[noreturn]] void fail_item_count(std::size_t expected, std::size_t actual);

namespace ranges_detail {

// The items of one chunk: at most cancel_check_chunk, and at most a budget's
// worth of work, but at least one (item_cost >= 1).
constexpr std::size_t chunk_items(std::size_t item_cost) {
    return std::clamp<std::size_t>(interruption_budget / item_cost, 1, cancel_check_chunk);
}

template <class Run>
struct Splitter {
    WorkerPool& pool;
    const Run& run;
    std::size_t workers;
    std::size_t min_half;
    std::size_t chunk;
    std::atomic<bool>& cancel;

    // Returns the number of items run.
    std::size_t process(std::size_t lo, std::size_t hi, std::size_t budget, bool moved) const {
        const std::size_t len = hi - lo;
        bool split = false;
        if (len / 2 >= min_half) {
            if (moved) {
                budget = std::max(workers, budget / 2);
                split = true;
            } else if (budget > 0) {
                budget /= 2;
                split = true;
            }
        }
        if (!split)
            return leaf(lo, hi);
        const std::size_t mid = lo + len / 2;
        std::size_t left = 0, right = 0;
        pool.join_context([&](bool m) { left = process(lo, mid, budget, m); },
                          [&](bool m) { right = process(mid, hi, budget, m); }, &cancel);
        return left + right;
    }

    std::size_t leaf(std::size_t lo, std::size_t hi) const {
        for (std::size_t first = lo; first < hi; first += chunk) {
            if (cancel.load(std::memory_order_relaxed))
                return first - lo;
            run(first, std::min(hi, first + chunk));
        }
        return hi - lo;
    }
};

}  // namespace ranges_detail

// Calls run(lo, hi) for disjoint ranges that cover [0, n), by the policy
// above, and returns when all have run. `pool` null: the process-wide pool
// (created on first use). `item_cost`: the work of one item in interruption
// cost units. A failure of `run` fails the call once every piece has ended,
// with the failure of the lowest failing piece.
template <class Run>
void for_each_range(std::size_t n, std::size_t min_half, const Run& run, WorkerPool* pool = nullptr,
                    std::size_t item_cost = 1) {
    const std::size_t cost = std::max<std::size_t>(item_cost, 1);
    const std::size_t chunk = ranges_detail::chunk_items(cost);
    if (n < parallel_threshold) {
        InterruptionPacer pacer;
        for (std::size_t first = 0; first < n; first += chunk) {
            const std::size_t last = std::min(n, first + chunk);
            run(first, last);
            pacer.done((last - first) * cost);
        }
        return;
    }
    WorkerPool& p = pool != nullptr ? *pool : global_pool();
    std::atomic<bool> cancel{false};
    const std::size_t half = std::max<std::size_t>(min_half, 1);
    const ranges_detail::Splitter<Run> splitter{p, run, p.worker_count(), half, chunk, cancel};
    const std::size_t done = splitter.process(0, n, p.worker_count(), false);
    // A cancelled request never gets here: the interruption that raised the
    // flag is rethrown by the join.
    if (done != n) [[unlikely]]
        fail_item_count(n, done);
}

}  // namespace pwpoly
