#include "piecewise_polynomials/worker_pool.hpp"

#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "piecewise_polynomials/worker_pool_size.hpp"
#include "common/internal_failure.hpp"

namespace pwpoly {

using pool_detail::Job;
using pool_detail::WorkerLatch;

namespace {

constexpr std::size_t cache_line = 64;

// Rounds of looking for work (yielding the CPU between rounds) before an
// idle worker goes to sleep.
constexpr int idle_rounds_before_sleep = 32;

constexpr std::uint32_t awake = 0;
constexpr std::uint32_t sleeping = 1;

// Chase-Lev deque with a fixed ring buffer (see the header for the
// deviations from the paper). push and pop are called by the owner only,
// steal by any thread.
class WorkDeque {
public:
    static constexpr std::size_t capacity = 256;

    bool push(Job* job) noexcept {
        const std::size_t b = bottom_.load(std::memory_order_relaxed);
        const std::size_t t = top_.load(std::memory_order_acquire);
        if (b - t >= capacity)
            return false;
        slots_[b % capacity].store(job, std::memory_order_relaxed);
        // The paper's release fence before a relaxed store, written as a
        // release store (same guarantee; also visible to race detectors).
        bottom_.store(b + 1, std::memory_order_release);
        return true;
    }

    Job* pop() noexcept {
        const std::size_t b = bottom_.load(std::memory_order_relaxed) - 1;
        bottom_.store(b, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_seq_cst);
        std::size_t t = top_.load(std::memory_order_relaxed);
        if (signed_size(b, t) < 0) {  // empty
            bottom_.store(b + 1, std::memory_order_relaxed);
            return nullptr;
        }
        Job* job = slots_[b % capacity].load(std::memory_order_relaxed);
        if (b != t)  // more than one job: thieves cannot reach this one
            return job;
        // The last job: race the thieves for it.
        if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst, std::memory_order_relaxed))
            job = nullptr;
        bottom_.store(b + 1, std::memory_order_relaxed);
        return job;
    }

    // nullptr with `contended` set means another thief won the race for the
    // top job; the deque may still hold more.
    Job* steal(bool& contended) noexcept {
        std::size_t t = top_.load(std::memory_order_acquire);
        std::atomic_thread_fence(std::memory_order_seq_cst);
        const std::size_t b = bottom_.load(std::memory_order_acquire);
        if (signed_size(b, t) <= 0)
            return nullptr;
        Job* job = slots_[t % capacity].load(std::memory_order_relaxed);
        if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst, std::memory_order_relaxed)) {
            contended = true;
            return nullptr;
        }
        return job;
    }

    bool looks_nonempty() const noexcept {
        return signed_size(bottom_.load(std::memory_order_acquire), top_.load(std::memory_order_acquire)) > 0;
    }

private:
    // Indices wrap; their difference, read as signed, is the size.
    static std::ptrdiff_t signed_size(std::size_t b, std::size_t t) noexcept {
        return static_cast<std::ptrdiff_t>(b - t);
    }

    alignas(cache_line) std::atomic<std::size_t> top_{0};
    alignas(cache_line) std::atomic<std::size_t> bottom_{0};
    alignas(cache_line) std::atomic<Job*> slots_[capacity] = {};
};

}  // namespace

struct alignas(cache_line) WorkerPool::Worker {
    WorkDeque deque;
    // awake / sleeping; a waker flips sleeping -> awake and notifies.
    alignas(cache_line) std::atomic<std::uint32_t> sleep_state{awake};
    std::size_t index = 0;
    std::uint32_t rng = 1;  // xorshift state for picking victims
    std::thread thread;
};

struct WorkerPool::Shared {
    alignas(cache_line) std::atomic<std::size_t> sleepers{0};
    alignas(cache_line) std::atomic<std::size_t> injected_count{0};
    std::atomic<bool> stopping{false};
    std::atomic<std::size_t> wake_cursor{0};
    std::mutex injector_mutex;
    std::deque<Job*> injector;
};

namespace {
// The pool and worker index of the current thread, if it is a worker.
thread_local const WorkerPool* tls_pool = nullptr;
thread_local std::size_t tls_index = 0;
}  // namespace

// ---- latches --------------------------------------------------------------

void pool_detail::WorkerLatch::set() {
    // Read everything before the store: once it is visible the owner may
    // return and end the latch's lifetime.
    WorkerPool* pool = pool_;
    const std::size_t owner = owner_;
    state_.store(1, std::memory_order_seq_cst);
    pool->wake_worker(owner);
}

void pool_detail::BlockingLatch::set() {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
    cv_.notify_all();
}

void pool_detail::BlockingLatch::wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return done_; });
}

// ---- construction ---------------------------------------------------------

WorkerPool::WorkerPool(std::size_t workers, std::size_t refuse_thread) : shared_(std::make_unique<Shared>()) {
    count_ = workers == 0 ? 1 : workers;
    workers_ = new Worker[count_];
    std::size_t started = 0;
    try {
        for (; started < count_; ++started) {
            Worker& w = workers_[started];
            w.index = started;
            w.rng = static_cast<std::uint32_t>(started) * 2654435761u + 1u;
            if (started == refuse_thread)
                throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
            w.thread = std::thread([this, &w] { worker_main(w); });
        }
    } catch (const std::exception& e) {
        const std::string reason = e.what();
        stop_workers();
        delete[] workers_;
        workers_ = nullptr;
        fail("The global thread pool has not been initialized.: " + reason);
    }
}

WorkerPool::~WorkerPool() {
    stop_workers();
    delete[] workers_;
}

void WorkerPool::stop_workers() noexcept {
    shared_->stopping.store(true, std::memory_order_seq_cst);
    for (std::size_t i = 0; i < count_; ++i)
        wake_worker(i);
    for (std::size_t i = 0; i < count_; ++i)
        if (workers_[i].thread.joinable())
            workers_[i].thread.join();
}

// ---- the join primitives ----------------------------------------------------

WorkerPool::Worker* WorkerPool::current_worker() const noexcept {
    return tls_pool == this ? &workers_[tls_index] : nullptr;
}

std::size_t WorkerPool::index_of(const Worker& w) noexcept { return w.index; }

bool WorkerPool::push(Worker& w, Job* job) noexcept { return w.deque.push(job); }

bool WorkerPool::take_back(Worker& w, const Job* job) {
    while (Job* popped = w.deque.pop()) {
        if (popped == job)
            return true;
        // Not expected (after a returns, our job is the bottom one unless it
        // was stolen, and then everything older was stolen too), but if it
        // happens the job must run through execute() so that its own
        // latch is set for whoever waits on it.
        popped->execute(false);
    }
    return false;
}

void WorkerPool::wait_until(Worker& w, const WorkerLatch& latch) { run_jobs_until(w, &latch); }

// Runs offered work until `latch` is set (or, without one, until the pool
// stops). With nothing to do the worker yields a few rounds, then sleeps.
void WorkerPool::run_jobs_until(Worker& w, const WorkerLatch* latch) {
    int idle = 0;
    while (latch != nullptr ? !latch->probe() : !shared_->stopping.load(std::memory_order_acquire)) {
        bool migrated = true;
        if (Job* job = find_work(w, migrated)) {
            job->execute(migrated);
            idle = 0;
        } else if (++idle < idle_rounds_before_sleep) {
            std::this_thread::yield();
        } else {
            sleep(w, latch);
            idle = 0;
        }
    }
}

void WorkerPool::inject(Job* job) {
    {
        std::lock_guard<std::mutex> lock(shared_->injector_mutex);
        shared_->injector.push_back(job);
        shared_->injected_count.fetch_add(1, std::memory_order_seq_cst);
    }
    notify_new_work();
}

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
    for (std::size_t k = 0; k < count_; ++k) {
        Worker& w = workers_[(start + k) % count_];
        std::uint32_t expected = sleeping;
        if (w.sleep_state.compare_exchange_strong(expected, awake, std::memory_order_seq_cst)) {
            shared_->sleepers.fetch_sub(1, std::memory_order_seq_cst);
            w.sleep_state.notify_one();
            return;
        }
    }
}

void WorkerPool::wake_worker(std::size_t index) noexcept {
    Worker& w = workers_[index];
    std::uint32_t expected = sleeping;
    if (w.sleep_state.compare_exchange_strong(expected, awake, std::memory_order_seq_cst)) {
        shared_->sleepers.fetch_sub(1, std::memory_order_seq_cst);
        w.sleep_state.notify_one();
    }
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

// ---- the workers -------------------------------------------------------------

Job* WorkerPool::find_work(Worker& w, bool& migrated) {
    if (Job* job = w.deque.pop()) {
        migrated = false;
        return job;
    }
    migrated = true;
    if (count_ > 1) {
        // Steal from the others, starting at a random victim.
        w.rng ^= w.rng << 13;
        w.rng ^= w.rng >> 17;
        w.rng ^= w.rng << 5;
        const std::size_t start = w.rng % count_;
        bool contended;
        do {
            contended = false;
            for (std::size_t k = 0; k < count_; ++k) {
                const std::size_t victim = (start + k) % count_;
                if (victim == w.index)
                    continue;
                if (Job* job = workers_[victim].deque.steal(contended))
                    return job;
            }
        } while (contended);
    }
    if (shared_->injected_count.load(std::memory_order_acquire) != 0) {
        std::lock_guard<std::mutex> lock(shared_->injector_mutex);
        if (!shared_->injector.empty()) {
            Job* job = shared_->injector.front();
            shared_->injector.pop_front();
            shared_->injected_count.fetch_sub(1, std::memory_order_relaxed);
            return job;
        }
    }
    return nullptr;
}

void WorkerPool::worker_main(Worker& w) {
    tls_pool = this;
    tls_index = w.index;
    run_jobs_until(w, nullptr);
    tls_pool = nullptr;
}

// ---- the process-wide pool -----------------------------------------------------

namespace {
std::once_flag global_once;
std::atomic<WorkerPool*> global_instance{nullptr};
}  // namespace

WorkerPool& global_pool() {
    // On failure call_once stays unset, so a later call tries again.
    std::call_once(global_once, [] {
        global_instance.store(new WorkerPool(default_worker_count()), std::memory_order_release);
    });
    return *global_instance.load(std::memory_order_acquire);
}

WorkerPool* global_pool_if_created() noexcept { return global_instance.load(std::memory_order_acquire); }

}  // namespace pwpoly
