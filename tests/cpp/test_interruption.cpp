#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/interruption.hpp"
#include "parallel/parallel_ranges.hpp"
#include "parallel/worker_pool.hpp"
#include "piecewise_polynomials/basis/dense_inversion.hpp"

namespace pwpoly {
namespace {

using Clock = std::chrono::steady_clock;

struct Interrupted : std::runtime_error {
    Interrupted() : std::runtime_error("interrupted") {}
};

// A check that counts its runs and throws from the first one on.
struct CountingCheck {
    std::atomic<int> runs{0};
    static void check(void* context) {
        static_cast<CountingCheck*>(context)->runs.fetch_add(1);
        throw Interrupted();
    }
};

TEST(Interruption, TheCheckRunsOnlyOnceItsIntervalHasPassed) {
    check_for_interruption();  // nothing installed: nothing happens
    CountingCheck counting;
    InterruptionScope scope(&CountingCheck::check, &counting);
    const auto start = Clock::now();
    check_for_interruption();
    EXPECT_EQ(counting.runs.load(), 0) << "ran before its interval";
    for (;;) {
        try {
            check_for_interruption();
        } catch (const Interrupted&) {
            break;
        }
    }
    EXPECT_GE(Clock::now() - start, interruption_interval);
}

TEST(Interruption, StopsPoolWorkSoonAndLeavesThePoolUsable) {
    WorkerPool pool(2);
    constexpr std::size_t n = std::size_t{1} << 22;  // 512 chunks of 5 ms each: 1.3 s on two workers
    std::atomic<std::size_t> done{0};
    const auto slow = [&done](std::size_t lo, std::size_t hi) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        done.fetch_add(hi - lo);
    };
    CountingCheck counting;
    const auto start = Clock::now();
    {
        InterruptionScope scope(&CountingCheck::check, &counting);
        EXPECT_THROW(for_each_range(n, evaluation_min_half, slow, &pool), Interrupted);
    }
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(600)) << "the workers did not stop";
    EXPECT_EQ(counting.runs.load(), 1);
    EXPECT_LT(done.load(), n);
    done = 0;
    for_each_range(
        n / 64, evaluation_min_half, [&done](std::size_t lo, std::size_t hi) { done.fetch_add(hi - lo); }, &pool);
    EXPECT_EQ(done.load(), n / 64);
}

TEST(Interruption, EndsALongSequentialComputation) {
    // Inverting a 1500 x 1500 matrix takes seconds; each column checks.
    constexpr std::size_t n = 1500;
    std::vector<double> m(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i)
        m[i + n * i] = 2.0;
    CountingCheck counting;
    const auto start = Clock::now();
    {
        InterruptionScope scope(&CountingCheck::check, &counting);
        EXPECT_THROW(invert(m, n), Interrupted);
    }
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(counting.runs.load(), 1);
}

}  // namespace
}  // namespace pwpoly
