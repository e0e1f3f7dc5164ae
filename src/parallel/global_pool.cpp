// The process-wide pool, and how it survives fork().
#include <atomic>
#include <mutex>
#include <new>
#include <string>
#include <system_error>

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#endif

#include "common/internal_failure.hpp"
#include "parallel/worker_pool.hpp"
#include "parallel/worker_pool_size.hpp"

namespace pwpoly {

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
//
// The handler is registered when this library is loaded, before any thread
// can reach the pool, and not lazily with the first pool. glibc lets other
// threads register handlers while a fork runs the prepare handlers (it
// drops its lock around each one, and numpy's BLAS installs some), and then
// runs in the child only the handlers that existed before the prepare phase
// began. A handler registered by the first many-time call, while another
// thread forked, was therefore missed: the child inherited the creation lock
// held by a thread it does not have, and its first many-time call waited for
// it forever. Registered at load, the handler exists before any thread can
// hold the creation lock, so every fork that can see the lock held runs it.

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

void forget_inherited_pool() noexcept {
    global_instance.store(nullptr, std::memory_order_relaxed);
    new (&creation_lock.mutex) std::mutex;
}

// 0, or the error of the registration (then no pool is ever created: a pool
// that a child could inherit with its lock held is worse than none).
#if defined(__unix__) || defined(__APPLE__)
const int fork_handler_status = pthread_atfork(nullptr, nullptr, &forget_inherited_pool);
#else
const int fork_handler_status = 0;
#endif

}  // namespace

WorkerPool& global_pool() {
    if (WorkerPool* pool = global_instance.load(std::memory_order_acquire))
        return *pool;
    std::lock_guard<std::mutex> lock(creation_lock.mutex);
    WorkerPool* pool = global_instance.load(std::memory_order_relaxed);
    if (pool == nullptr) {
        if (fork_handler_status != 0)
            fail("The global thread pool has not been initialized.: " +
                 std::generic_category().message(fork_handler_status));
        // On failure nothing is published, so a later call tries again.
        pool = new WorkerPool(default_worker_count());
        global_instance.store(pool, std::memory_order_release);
    }
    return *pool;
}

WorkerPool* global_pool_if_created() noexcept { return global_instance.load(std::memory_order_acquire); }

}  // namespace pwpoly
