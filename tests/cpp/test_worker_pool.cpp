// The work-stealing pool: sizing rules, fork-join correctness across sizes
// and worker counts, failure reporting, several submitting threads, and
// idle workers that sleep.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/internal_failure.hpp"
#include "parallel/worker_pool.hpp"
#include "parallel/worker_pool_size.hpp"

namespace pwpoly {
namespace {

// ---- sizing rules --------------------------------------------------------------

TEST(WorkerPoolSize, ParsesCountsLikeAnUnsignedDecimal) {
    struct Case {
        const char* text;
        std::optional<std::size_t> want;
    };
    const Case cases[] = {
        {nullptr, std::nullopt},
        {"", std::nullopt},
        {"0", 0},
        {"7", 7},
        {"+7", 7},
        {"007", 7},
        {"+", std::nullopt},
        {"-1", std::nullopt},
        {"-0", std::nullopt},
        {" 3", std::nullopt},
        {"3 ", std::nullopt},
        {"3x", std::nullopt},
        {"++3", std::nullopt},
        {"0x10", std::nullopt},
        {"99999999999999999999999", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(parse_thread_count(c.text), c.want) << (c.text ? c.text : "(unset)");
}

TEST(WorkerPoolSize, VariablesDecideInOrder) {
    struct Case {
        const char* num_threads;
        const char* rs_num_cpus;
        std::size_t want;  // with 6 CPUs available
    };
    const Case cases[] = {
        {"3", "5", 3},          // RAYON_NUM_THREADS wins
        {"+3", nullptr, 3},     // leading '+'
        {"0", "5", 6},          // 0: the CPU count, RAYON_RS_NUM_CPUS ignored
        {"+0", "5", 6},         //
        {"abc", "5", 5},        // not a number: RAYON_RS_NUM_CPUS decides
        {"-2", "5", 5},         //
        {"", "+5", 5},          //
        {"abc", "0", 6},        // RAYON_RS_NUM_CPUS 0 is not a count: CPUs
        {"abc", "x", 6},        //
        {nullptr, nullptr, 6},  // neither set
        {nullptr, "1", 1},      //
        {"1", nullptr, 1},      //
    };
    for (const Case& c : cases)
        EXPECT_EQ(resolve_worker_count(c.num_threads, c.rs_num_cpus, [] { return std::size_t{6}; }), c.want)
            << (c.num_threads ? c.num_threads : "(unset)") << " / " << (c.rs_num_cpus ? c.rs_num_cpus : "(unset)");
    EXPECT_EQ(resolve_worker_count(nullptr, nullptr, [] { return std::size_t{0}; }), 1u);  // at least one worker
    int asked = 0;
    const auto counted = [&asked] {
        ++asked;
        return std::size_t{6};
    };
    EXPECT_EQ(resolve_worker_count("3", nullptr, counted) + resolve_worker_count("x", "2", counted), 5u);
    EXPECT_EQ(asked, 0) << "the CPU count is looked up only when the variables leave it open";
}

TEST(WorkerPoolSize, CgroupQuotasRoundUp) {
    EXPECT_EQ(cgroup2_cpu_limit("200000 100000\n"), 2u);
    EXPECT_EQ(cgroup2_cpu_limit("150000 100000"), 2u);
    EXPECT_EQ(cgroup2_cpu_limit("50000 100000"), 1u);
    EXPECT_EQ(cgroup2_cpu_limit("max 100000"), std::nullopt);
    EXPECT_EQ(cgroup2_cpu_limit("100000 0"), std::nullopt);
    EXPECT_EQ(cgroup2_cpu_limit("garbage"), std::nullopt);
    EXPECT_EQ(cgroup1_cpu_limit("-1\n", "100000\n"), std::nullopt);
    EXPECT_EQ(cgroup1_cpu_limit("250000\n", "100000\n"), 3u);
    EXPECT_EQ(cgroup1_cpu_limit("100000", "100000"), 1u);
}

// A scratch directory holding cgroup files at given paths.
class ScratchTree {
public:
    ScratchTree() {
        root_ = (std::filesystem::temp_directory_path() /
                 ("pwpoly-cgroup-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++)))
                    .string();
    }
    ~ScratchTree() { std::filesystem::remove_all(root_); }
    void write(const std::string& path, const std::string& text) {
        const std::filesystem::path full = root_ + path;
        std::filesystem::create_directories(full.parent_path());
        std::ofstream(full) << text;
    }
    const std::string& root() const { return root_; }

private:
    static inline int counter_ = 0;
    std::string root_;
};

TEST(WorkerPoolSize, CgroupLimitIsTheSmallestAlongThePath) {
    const std::string v2_mount = "31 23 0:28 / /sys/fs/cgroup rw,relatime shared:9 - cgroup2 cgroup2 rw\n";
    {
        ScratchTree fs;
        fs.write("/sys/fs/cgroup/cpu.max", "max 100000\n");
        fs.write("/sys/fs/cgroup/app/cpu.max", "150000 100000\n");
        fs.write("/sys/fs/cgroup/app/job/cpu.max", "max 100000\n");
        EXPECT_EQ(cgroup_cpu_limit("0::/app/job\n", v2_mount, fs.root()), 2u);
        fs.write("/sys/fs/cgroup/app/job/cpu.max", "50000 100000\n");
        EXPECT_EQ(cgroup_cpu_limit("0::/app/job\n", v2_mount, fs.root()), 1u);
        EXPECT_EQ(cgroup_cpu_limit("0::/other\n", v2_mount, fs.root()), std::nullopt);
    }
    {
        // v1, with a mount whose root is the container's own cgroup (as
        // Docker mounts it) and a controller list that holds "cpu".
        ScratchTree fs;
        const std::string mountinfo =
            "35 31 0:30 /docker/abc /sys/fs/cgroup/cpu,cpuacct ro,nosuid - cgroup cgroup rw,cpu,cpuacct\n"
            "36 31 0:31 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n";
        fs.write("/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "350000\n");
        fs.write("/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n");
        EXPECT_EQ(cgroup_cpu_limit("4:memory:/docker/abc\n3:cpu,cpuacct:/docker/abc\n", mountinfo, fs.root()), 4u);
        fs.write("/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "-1\n");
        EXPECT_EQ(cgroup_cpu_limit("3:cpu,cpuacct:/docker/abc\n", mountinfo, fs.root()), std::nullopt);
    }
    EXPECT_EQ(cgroup_cpu_limit("", "", "/nonexistent"), std::nullopt);
}

class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedEnv() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(WorkerPoolSize, DefaultCountReadsTheEnvironment) {
    const std::size_t cpus = available_cpu_count();
    EXPECT_GE(cpus, 1u);
    {
        ScopedEnv a("RAYON_NUM_THREADS", "5"), b("RAYON_RS_NUM_CPUS", "7");
        EXPECT_EQ(default_worker_count(), 5u);
    }
    {
        ScopedEnv a("RAYON_NUM_THREADS", "0"), b("RAYON_RS_NUM_CPUS", "7");
        EXPECT_EQ(default_worker_count(), cpus);
    }
    {
        ScopedEnv a("RAYON_NUM_THREADS", "many"), b("RAYON_RS_NUM_CPUS", "7");
        EXPECT_EQ(default_worker_count(), 7u);
    }
    {
        ScopedEnv a("RAYON_NUM_THREADS", nullptr), b("RAYON_RS_NUM_CPUS", nullptr);
        EXPECT_EQ(default_worker_count(), cpus);
    }
}

// ---- fork-join -------------------------------------------------------------------

// Fills out[lo, hi) with i * i + 1 by recursive halving down to `grain`,
// counting the leaves' writes.
void fill(WorkerPool& pool, std::vector<long long>& out, std::size_t lo, std::size_t hi, std::size_t grain,
          std::atomic<std::size_t>& writes) {
    if (hi - lo <= grain) {
        for (std::size_t i = lo; i < hi; ++i)
            out[i] = static_cast<long long>(i) * static_cast<long long>(i) + 1;
        writes.fetch_add(hi - lo);
        return;
    }
    const std::size_t mid = lo + (hi - lo) / 2;
    pool.join_context([&](bool) { fill(pool, out, lo, mid, grain, writes); },
                      [&](bool) { fill(pool, out, mid, hi, grain, writes); });
}

void expect_filled(const std::vector<long long>& out, std::size_t writes) {
    EXPECT_EQ(writes, out.size());
    for (std::size_t i = 0; i < out.size(); ++i)
        if (out[i] != static_cast<long long>(i) * static_cast<long long>(i) + 1) {
            ADD_FAILURE() << "slot " << i << " holds " << out[i];
            return;
        }
}

TEST(WorkerPool, SizesTimesWorkerCountsMatchTheSequentialResult) {
    for (const std::size_t workers : {1u, 2u, 3u, 4u, 8u}) {
        WorkerPool pool(workers);
        EXPECT_EQ(pool.worker_count(), workers);
        EXPECT_FALSE(pool.on_worker_thread());
        for (const std::size_t n : {1u, 2u, 4u, 13u, 100u, 1000u, 50000u}) {
            for (const std::size_t grain : {std::size_t{1}, std::size_t{64}}) {
                std::vector<long long> out(n, -1);
                std::atomic<std::size_t> writes{0};
                fill(pool, out, 0, n, grain, writes);
                SCOPED_TRACE("workers " + std::to_string(workers) + " n " + std::to_string(n));
                expect_filled(out, writes.load());
            }
        }
    }
}

long long fib(WorkerPool& pool, int k) {
    if (k < 2)
        return k;
    long long a = 0, b = 0;
    pool.join_context([&](bool) { a = fib(pool, k - 1); }, [&](bool) { b = fib(pool, k - 2); });
    return a + b;
}

TEST(WorkerPool, DeeplyNestedJoins) {
    for (const std::size_t workers : {1u, 2u, 8u}) {
        WorkerPool pool(workers);
        EXPECT_EQ(fib(pool, 20), 6765) << workers << " workers";
    }
}

TEST(WorkerPool, MigratedFlags) {
    // One worker: nothing is ever stolen. The root pair comes from outside,
    // so both halves count as migrated; nested halves do not.
    WorkerPool one(1);
    bool outer_a = false, outer_b = false, inner_a = true, inner_b = true, on_worker = false;
    one.join_context(
        [&](bool m) {
            outer_a = m;
            on_worker = one.on_worker_thread();
            one.join_context([&](bool m2) { inner_a = m2; }, [&](bool m2) { inner_b = m2; });
        },
        [&](bool m) { outer_b = m; });
    EXPECT_TRUE(outer_a);
    EXPECT_TRUE(outer_b);
    EXPECT_FALSE(inner_a);
    EXPECT_FALSE(inner_b);
    EXPECT_TRUE(on_worker);

    // Two workers: a nested left half that waits for its right half to start
    // forces the other worker to steal it, which marks it migrated.
    WorkerPool two(2);
    std::atomic<bool> right_started{false};
    bool stolen_flag = false, left_flag = true, timed_out = false;
    two.join_context(
        [&](bool) {
            two.join_context(
                [&](bool m) {
                    left_flag = m;
                    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
                    while (!right_started.load()) {
                        if (std::chrono::steady_clock::now() > deadline) {
                            timed_out = true;
                            break;
                        }
                        std::this_thread::yield();
                    }
                },
                [&](bool m) {
                    stolen_flag = m;
                    right_started.store(true);
                });
        },
        [](bool) {});
    ASSERT_FALSE(timed_out) << "the offered half was never stolen";
    EXPECT_FALSE(left_flag);
    EXPECT_TRUE(stolen_flag);
}

// ---- failures ----------------------------------------------------------------------

// Leaves of length 1 over [lo, hi); leaves in `failing` throw.
void run_leaves(WorkerPool& pool, std::size_t lo, std::size_t hi, const std::vector<std::size_t>& failing,
                std::atomic<std::size_t>& ran) {
    if (hi - lo == 1) {
        ran.fetch_add(1);
        for (std::size_t f : failing)
            if (f == lo)
                fail("piece " + std::to_string(lo));
        return;
    }
    const std::size_t mid = lo + (hi - lo) / 2;
    pool.join_context([&](bool) { run_leaves(pool, lo, mid, failing, ran); },
                      [&](bool) { run_leaves(pool, mid, hi, failing, ran); });
}

TEST(WorkerPool, FailingPiecesReportTheLowestIndexAfterAllPiecesRan) {
    const std::vector<std::vector<std::size_t>> failing_sets = {{37}, {299, 150, 37}, {0, 1}, {299}};
    for (const std::size_t workers : {1u, 2u, 3u, 8u}) {
        WorkerPool pool(workers);
        for (int repeat = 0; repeat < 10; ++repeat) {
            for (const auto& failing : failing_sets) {
                std::atomic<std::size_t> ran{0};
                std::string message = "no failure";
                try {
                    run_leaves(pool, 0, 300, failing, ran);
                } catch (const InternalFailure& e) {
                    message = e.message();
                }
                const std::size_t lowest = *std::min_element(failing.begin(), failing.end());
                EXPECT_EQ(message, "piece " + std::to_string(lowest)) << workers << " workers";
                EXPECT_EQ(ran.load(), 300u) << "every piece must finish";
            }
        }
        // The pool stays usable after failures.
        std::vector<long long> out(5000);
        std::atomic<std::size_t> writes{0};
        fill(pool, out, 0, out.size(), 16, writes);
        expect_filled(out, writes.load());
    }
}

TEST(WorkerPool, AnyExceptionTypeCrossesTheJoin) {
    WorkerPool pool(2);
    EXPECT_THROW(pool.join_context([](bool) {}, [](bool) { throw std::runtime_error("right"); }), std::runtime_error);
    try {
        pool.join_context([](bool) { throw std::logic_error("left"); }, [](bool) { throw std::runtime_error("r"); });
        ADD_FAILURE() << "no exception";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "left");
    }
}

TEST(WorkerPool, RefusedThreadIsReportedAndStartedWorkersAreStopped) {
    for (const std::size_t refused : {0u, 2u}) {
        try {
            WorkerPool pool(4, refused);
            ADD_FAILURE() << "no failure";
        } catch (const InternalFailure& e) {
            EXPECT_EQ(e.message().rfind("The global thread pool has not been initialized.", 0), 0u) << e.message();
        }
    }
}

// ---- concurrency ------------------------------------------------------------------

TEST(WorkerPool, SeveralSubmittingThreadsShareOnePool) {
    WorkerPool pool(3);
    constexpr int submitters = 6;
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int s = 0; s < submitters; ++s) {
        threads.emplace_back([&, s] {
            for (int round = 0; round < 25; ++round) {
                const std::size_t n = 1000 + static_cast<std::size_t>(s * 997 + round * 31);
                std::vector<long long> out(n, -1);
                std::atomic<std::size_t> writes{0};
                fill(pool, out, 0, n, 8, writes);
                if (writes.load() != n)
                    bad.fetch_add(1);
                for (std::size_t i = 0; i < n; ++i)
                    if (out[i] != static_cast<long long>(i) * static_cast<long long>(i) + 1) {
                        bad.fetch_add(1);
                        break;
                    }
                if (fib(pool, 12) != 144)
                    bad.fetch_add(1);
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(bad.load(), 0);
}

TEST(WorkerPool, JoinFromAnotherPoolsWorker) {
    WorkerPool outer(2), inner(2);
    long long result = 0;
    outer.join_context([&](bool) { result = fib(inner, 15); }, [](bool) {});
    EXPECT_EQ(result, 610);
}

TEST(WorkerPool, IdleWorkersSleep) {
    WorkerPool pool(4);
    std::vector<long long> out(20000);
    std::atomic<std::size_t> writes{0};
    fill(pool, out, 0, out.size(), 16, writes);
    // Without work every worker goes to sleep (however long a loaded machine
    // takes to run them there) and stays asleep.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (pool.sleeping_workers() != pool.worker_count() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(pool.sleeping_workers(), pool.worker_count()) << "idle workers stay awake";
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(pool.sleeping_workers(), pool.worker_count());
    // Work wakes them again.
    fill(pool, out, 0, out.size(), 16, writes);
    EXPECT_EQ(writes.load(), 2 * out.size());
}

TEST(WorkerPool, ProcessPoolHasTheDefaultSize) {
    WorkerPool& pool = global_pool();
    EXPECT_EQ(&pool, global_pool_if_created());
    EXPECT_EQ(&pool, &global_pool());
    EXPECT_EQ(pool.worker_count(), default_worker_count());
}

}  // namespace
}  // namespace pwpoly
