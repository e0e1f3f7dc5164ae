// The pool's sleep protocol: how idle workers go to sleep and how new work
// wakes them without a lost wake-up.
#include <atomic>

#include "parallel/worker_pool.hpp"
#include "parallel/worker_pool_internals.hpp"

namespace pwpoly {

using pool_detail::awake;
using pool_detail::sleeping;
using pool_detail::WorkerLatch;

// ---- sleeping and waking -----------------------------------------------------
//
// A worker about to sleep stores `sleeping`, counts itself in `sleepers`,
// then looks for work (and its latch) once more. Whoever makes work visible
// (a push, an injection) issues a seq_cst fence and then reads `sleepers`.
// By the fence rules, either the waker sees the sleeper counted, or the
// sleeper's last look sees the work; so no wake-up is lost. The worker that
// flips a sleeper from `sleeping` to `awake` takes it out of `sleepers` and
// notifies its futex word.

void WorkerPool::notify_new_work() noexcept {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (shared_->sleepers.load(std::memory_order_seq_cst) == 0)
        return;
    const std::size_t start = shared_->wake_cursor.fetch_add(1, std::memory_order_relaxed);
    for (std::size_t k = 0; k < count_; ++k)
        if (try_wake(workers_[(start + k) % count_]))
            return;
}

void WorkerPool::wake_worker(std::size_t index) noexcept { try_wake(workers_[index]); }

bool WorkerPool::try_wake(Worker& w) noexcept {
    std::uint32_t expected = sleeping;
    if (!w.sleep_state.compare_exchange_strong(expected, awake, std::memory_order_seq_cst))
        return false;
    shared_->sleepers.fetch_sub(1, std::memory_order_seq_cst);
    w.sleep_state.notify_one();
    return true;
}

bool WorkerPool::work_visible() const noexcept {
    if (shared_->injected_count.load(std::memory_order_seq_cst) != 0)
        return true;
    for (std::size_t i = 0; i < count_; ++i)
        if (workers_[i].deque.looks_nonempty())
            return true;
    return false;
}

void WorkerPool::sleep(Worker& w, const WorkerLatch* latch) {
    w.sleep_state.store(sleeping, std::memory_order_seq_cst);
    shared_->sleepers.fetch_add(1, std::memory_order_seq_cst);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (work_visible() || (latch != nullptr && latch->probe()) || shared_->stopping.load(std::memory_order_seq_cst)) {
        // Cancel, unless a waker already flipped us (it then did the count).
        if (w.sleep_state.exchange(awake, std::memory_order_seq_cst) == sleeping)
            shared_->sleepers.fetch_sub(1, std::memory_order_seq_cst);
        return;
    }
    while (w.sleep_state.load(std::memory_order_acquire) == sleeping)
        w.sleep_state.wait(sleeping, std::memory_order_acquire);
}

std::size_t WorkerPool::sleeping_workers() const noexcept { return shared_->sleepers.load(std::memory_order_seq_cst); }

}  // namespace pwpoly
