#include "parallel/worker_pool.hpp"

#include <chrono>
#include <string>
#include <system_error>

#include "common/internal_failure.hpp"
#include "common/interruption.hpp"
#include "parallel/worker_pool_internals.hpp"

namespace pwpoly {

using pool_detail::idle_rounds_before_sleep;
using pool_detail::Job;
using pool_detail::WorkerLatch;

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

bool pool_detail::BlockingLatch::wait_for(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, timeout, [this] { return done_; });
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

void WorkerPool::wait_interruptibly(pool_detail::BlockingLatch& latch, std::atomic<bool>& cancel) {
    try {
        while (!latch.wait_for(interruption_interval))
            check_for_interruption();
    } catch (...) {
        // Also a thread's forced unwind (pthread_exit): the pair's jobs live
        // in this frame, so it cannot be left before they have ended.
        cancel.store(true, std::memory_order_relaxed);
        latch.wait();
        throw;
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

}  // namespace pwpoly
