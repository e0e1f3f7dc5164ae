// A work-stealing pool of worker threads with fork-join parallelism.
//
// Design. Each worker owns a Chase-Lev deque of jobs (D. Chase and Y. Lev,
// "Dynamic Circular Work-Stealing Deque", SPAA 2005), with the memory
// orderings of N. M. Le, A. Pop, A. Cohen and F. Zappa Nardelli, "Correct
// and Efficient Work-Stealing for Weak Memory Models", PPoPP 2013. The owner
// pushes and pops at the bottom; idle workers steal from the top. Work
// enters in one of two ways:
//  * join_context(a, b) on a worker pushes b, runs a, then takes b back if
//    nobody stole it, or else runs other work until the thief finishes b;
//  * join_context(a, b) on any other thread hands the pair to the pool
//    through a shared injection queue and blocks, doing no work itself,
//    until both halves are done.
// Jobs live on the stack of the joining frame; no allocation per join.
// Deviations from the paper, and why:
//  * the ring buffer has a fixed capacity and never grows. A deque holds at
//    most one job per nested join frame of its owner, so the capacity is
//    never reached in practice; if it is, the join runs b inline instead of
//    offering it (correct, merely not parallel);
//  * indices are unsigned and wrap; sizes are taken as signed differences,
//    which stay valid since a deque never holds more than its capacity.
//
// Idle workers spin a few rounds, yielding the CPU, then sleep on a
// per-worker futex word (std::atomic::wait); they never busy-wait for long.
// Offering a job wakes one sleeping worker; finishing a stolen job wakes the
// worker that waits for it.
//
// Interruption. An outside thread that waits for its pair may pass a cancel
// flag: it then runs check_for_interruption() (common/interruption.hpp)
// while it waits, and when the check throws it raises the flag, waits until
// both halves have ended (the work reads the flag and skips what is left),
// and passes the exception on.
//
// Failures. Every job catches what its closure throws. A join waits for
// both halves even when one fails, then rethrows a's failure if any, else
// b's. Since a covers the lower indices of a split, recursive splitting
// reports the failure of the lowest failing piece, after all pieces ended.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>

namespace pwpoly {

class WorkerPool;

namespace pool_detail {

// A unit of work that a deque or the injection queue can hold.
class Job {
public:
    using ExecuteFn = void (*)(Job*, bool migrated);
    explicit Job(ExecuteFn fn) : execute_(fn) {}
    // `migrated`: the job runs on another thread than the one that offered it.
    void execute(bool migrated) { execute_(this, migrated); }

private:
    ExecuteFn execute_;
};

// Completion flag of an offered job, waited for by the worker that owns the
// join. set() wakes that worker if it sleeps.
class WorkerLatch {
public:
    WorkerLatch(WorkerPool* pool, std::size_t owner) : pool_(pool), owner_(owner) {}
    bool probe() const { return state_.load(std::memory_order_seq_cst) != 0; }
    void set();

private:
    std::atomic<std::uint32_t> state_{0};
    WorkerPool* pool_;
    std::size_t owner_;
};

// Completion flag for a thread outside the pool, which blocks on it.
class BlockingLatch {
public:
    void set();
    void wait();
    // Waits at most `timeout`; whether the latch is set.
    bool wait_for(std::chrono::milliseconds timeout);

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
};

// The right half of a join, offered to thieves.
template <class F>
class OfferedJob final : public Job {
public:
    OfferedJob(F& f, WorkerPool* pool, std::size_t owner) : Job(&execute_stolen), f_(f), latch_(pool, owner) {}

    void run_here(bool migrated) {
        try {
            f_(migrated);
        } catch (...) {
            error_ = std::current_exception();
        }
    }
    const WorkerLatch& latch() const { return latch_; }
    std::exception_ptr error() const { return error_; }

private:
    static void execute_stolen(Job* job, bool migrated) {
        auto* self = static_cast<OfferedJob*>(job);
        self->run_here(migrated);
        self->latch_.set();  // the owner may return at once: last access to *self
    }

    F& f_;
    std::exception_ptr error_;
    WorkerLatch latch_;
};

// A root job handed to the pool by an outside thread.
template <class F>
class InjectedJob final : public Job {
public:
    explicit InjectedJob(F& f) : Job(&execute_injected), f_(f) {}
    BlockingLatch& latch() { return latch_; }
    std::exception_ptr error() const { return error_; }

private:
    static void execute_injected(Job* job, bool) {
        auto* self = static_cast<InjectedJob*>(job);
        try {
            self->f_();
        } catch (...) {
            self->error_ = std::current_exception();
        }
        self->latch_.set();
    }

    F& f_;
    std::exception_ptr error_;
    BlockingLatch latch_;
};

}  // namespace pool_detail

class WorkerPool {
public:
    // Starts `workers` threads (at least 1). If the operating system refuses
    // a thread, the threads started so far are stopped and the constructor
    // throws InternalFailure("The global thread pool has not been
    // initialized.: <reason>").
    explicit WorkerPool(std::size_t workers) : WorkerPool(workers, SIZE_MAX) {}
    // Test seam: behave as if starting thread number `refuse_thread` failed.
    WorkerPool(std::size_t workers, std::size_t refuse_thread);
    // Stops and joins the workers. No join may be in progress.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    std::size_t worker_count() const noexcept { return count_; }

    // Runs a(migrated_a) and b(migrated_b) and returns when both are done;
    // rethrows a's failure, else b's. a runs on the current worker; b on the
    // current worker or on a thief. migrated_b is true when b was stolen;
    // both flags are true when the call came from outside the pool (the
    // pair then runs on a worker while the caller blocks). With `cancel`,
    // an outside caller checks for interruption while it waits (see above);
    // on a worker the flag is not consulted here.
    template <class A, class B>
    void join_context(A&& a, B&& b, std::atomic<bool>* cancel = nullptr);

    // Whether the calling thread is one of this pool's workers.
    bool on_worker_thread() const noexcept { return current_worker() != nullptr; }

    // How many workers are asleep for lack of work at this moment.
    std::size_t sleeping_workers() const noexcept;

private:
    template <class F>
    friend class pool_detail::OfferedJob;
    friend class pool_detail::WorkerLatch;
    struct Worker;

    template <class A, class B>
    void join_on_worker(Worker& self, A& a, B& b, bool injected);

    Worker* current_worker() const noexcept;
    static std::size_t index_of(const Worker& w) noexcept;
    static bool push(Worker& w, pool_detail::Job* job) noexcept;
    // Pops the local deque until `job` comes back (true) or the deque is
    // empty (false: `job` was stolen). Other jobs popped meanwhile are run.
    bool take_back(Worker& w, const pool_detail::Job* job);
    // Runs other work until `latch` is set, sleeping when there is none.
    void wait_until(Worker& w, const pool_detail::WorkerLatch& latch);
    void inject(pool_detail::Job* job);
    // The outside caller's wait for its injected pair, checking for
    // interruption (see above).
    static void wait_interruptibly(pool_detail::BlockingLatch& latch, std::atomic<bool>& cancel);
    void notify_new_work() noexcept;
    void wake_worker(std::size_t index) noexcept;
    // Flips `w` from sleeping to awake and notifies it; false if it was awake.
    bool try_wake(Worker& w) noexcept;

    void worker_main(Worker& w);
    void run_jobs_until(Worker& w, const pool_detail::WorkerLatch* latch);
    pool_detail::Job* find_work(Worker& w, bool& migrated);
    bool work_visible() const noexcept;
    void sleep(Worker& w, const pool_detail::WorkerLatch* latch);
    void stop_workers() noexcept;

    struct Shared;
    std::unique_ptr<Shared> shared_;
    Worker* workers_ = nullptr;
    std::size_t count_ = 0;
};

// The process-wide pool, created on first use with default_worker_count()
// workers; concurrent first calls create it once. It is never destroyed.
// Throws InternalFailure when the threads cannot be started (a later call
// tries again). A child made by fork() does not inherit it: its first call
// creates a pool of its own (see worker_pool.cpp).
WorkerPool& global_pool();

// The process-wide pool if it exists, else nullptr; never creates it.
WorkerPool* global_pool_if_created() noexcept;

template <class A, class B>
void WorkerPool::join_context(A&& a, B&& b, std::atomic<bool>* cancel) {
    if (Worker* w = current_worker()) {
        join_on_worker(*w, a, b, false);
        return;
    }
    auto root = [this, &a, &b] { join_on_worker(*current_worker(), a, b, true); };
    pool_detail::InjectedJob<decltype(root)> job(root);
    inject(&job);
    if (cancel != nullptr)
        wait_interruptibly(job.latch(), *cancel);
    else
        job.latch().wait();
    if (job.error())
        std::rethrow_exception(job.error());
}

template <class A, class B>
void WorkerPool::join_on_worker(Worker& self, A& a, B& b, bool injected) {
    pool_detail::OfferedJob<std::remove_reference_t<B>> right(b, this, index_of(self));
    const bool offered = push(self, &right);
    if (offered)
        notify_new_work();
    std::exception_ptr left_error;
    try {
        a(injected);
    } catch (...) {
        left_error = std::current_exception();
    }
    if (!offered || take_back(self, &right))
        right.run_here(injected);
    else
        wait_until(self, right.latch());
    if (left_error)
        std::rethrow_exception(left_error);
    if (right.error())
        std::rethrow_exception(right.error());
}

}  // namespace pwpoly
