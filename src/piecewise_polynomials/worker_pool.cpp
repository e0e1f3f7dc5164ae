#include "piecewise_polynomials/worker_pool.hpp"

#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#endif

#include "common/internal_failure.hpp"
#include "piecewise_polynomials/worker_pool_size.hpp"

namespace pwpoly {

using pool_detail::Job;
using pool_detail::WorkerLatch;

namespace {

constexpr std::size_t cache_line = 64;
// Atomics written by different threads are kept this far apart: x86 CPUs
// commonly fetch cache lines in aligned pairs (the adjacent-line prefetcher),
// so two hot words on neighbouring lines still contend like one line.
constexpr std::size_t no_false_sharing = 2 * cache_line;

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

    // top_ is written by thieves, bottom_ by the owner on every push and pop.
    alignas(no_false_sharing) std::atomic<std::size_t> top_{0};
    alignas(no_false_sharing) std::atomic<std::size_t> bottom_{0};
    alignas(no_false_sharing) std::atomic<Job*> slots_[capacity] = {};
};

}  // namespace

struct alignas(no_false_sharing) WorkerPool::Worker {
    WorkDeque deque;
    // awake / sleeping; a waker flips sleeping -> awake and notifies.
    alignas(no_false_sharing) std::atomic<std::uint32_t> sleep_state{awake};
    std::size_t index = 0;
    std::uint32_t rng = 1;  // xorshift state for picking victims
    std::thread thread;
};

struct WorkerPool::Shared {
    alignas(no_false_sharing) std::atomic<std::size_t> sleepers{0};
    alignas(no_false_sharing) std::atomic<std::size_t> injected_count{0};
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
//
// fork() copies the pool into the child but none of its workers, and any of
// its locks (the injection queue's, a latch's) may have been held by a thread
// that does not exist there: a child that used the inherited pool would wait
// forever. So a child forgets the pool it inherited and creates its own on
// its first parallel call, sized by the rules read again in the child (its
// environment, affinity mask and CPU quota). The inherited pool is abandoned,
// never destroyed: destroying it would touch its locks and join threads that
// do not exist. Since abandoned pools are never freed, no new pool can reuse
// the address of one, so no thread can mistake the new pool for one it worked
// for (tls_pool). The parent and its pool are not touched.
//
// The child learns of the fork through a handler registered with
// pthread_atfork, not by comparing the process id on every call, because
//  * the handler runs in the child before any of the child's code can reach
//    the pool, and costs nothing per call, while the check is a system call
//    per call (glibc no longer caches the id);
//  * process ids are reused: a grandchild can get the id of the process that
//    created the pool it inherited, and would then take that pool for its own;
//  * the creation lock needs a fresh state in the child anyway (a parent
//    thread may have held it at the fork), and only code that runs at the
//    fork can give it one before anybody waits on it.
// Children made without running fork handlers (vfork, posix_spawn, _Fork,
// raw clone) may only exec or call async-signal-safe functions, so they
// never reach the pool. The handler only stores to memory, which is allowed
// in a child of a multi-threaded process.

namespace {

std::atomic<WorkerPool*> global_instance{nullptr};

// Serialises the creation of the process-wide pool. A union, so that the
// fork handler can construct a fresh lock over the inherited one without
// running the inherited one's destructor.
union CreationLock {
    constexpr CreationLock() : mutex() {}
    ~CreationLock() {}
    std::mutex mutex;
};
constinit CreationLock creation_lock;
bool fork_handler_registered = false;  // guarded by creation_lock; inherited by children

void forget_inherited_pool() noexcept {
    global_instance.store(nullptr, std::memory_order_relaxed);
    new (&creation_lock.mutex) std::mutex;
}

}  // namespace

WorkerPool& global_pool() {
    if (WorkerPool* pool = global_instance.load(std::memory_order_acquire))
        return *pool;
    std::lock_guard<std::mutex> lock(creation_lock.mutex);
    WorkerPool* pool = global_instance.load(std::memory_order_relaxed);
    if (pool == nullptr) {
#if defined(__unix__) || defined(__APPLE__)
        if (!fork_handler_registered) {
            if (const int rc = pthread_atfork(nullptr, nullptr, &forget_inherited_pool); rc != 0)
                fail("The global thread pool has not been initialized.: " + std::generic_category().message(rc));
            fork_handler_registered = true;
        }
#endif
        // On failure nothing is published, so a later call tries again.
        pool = new WorkerPool(default_worker_count());
        global_instance.store(pool, std::memory_order_release);
    }
    return *pool;
}

WorkerPool* global_pool_if_created() noexcept { return global_instance.load(std::memory_order_acquire); }

}  // namespace pwpoly
