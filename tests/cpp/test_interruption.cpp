#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/interruption.hpp"
#include "parallel/parallel_ranges.hpp"
#include "parallel/worker_pool.hpp"
#include "piecewise_polynomials/basis/dense_inversion.hpp"
#include "piecewise_polynomials/operators/lagrange_reference.hpp"
#include "piecewise_polynomials/operators/legendre_transfer.hpp"

#include "legendre_transfer_matrices.hpp"

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

// Items that each cost a whole budget (a high-degree evaluation): chunks of
// one item, so that the calling thread looks between items and the workers
// see the cancel flag after each.
TEST(Interruption, StopsCostlyItemsSoonOnAndOffThePool) {
    WorkerPool pool(2);
    for (const std::size_t n : {std::size_t{1000}, std::size_t{4096}}) {  // below and above parallel_threshold
        std::atomic<std::size_t> done{0};
        const auto slow = [&done](std::size_t lo, std::size_t hi) {
            std::this_thread::sleep_for(std::chrono::milliseconds(3) * (hi - lo));
            done.fetch_add(hi - lo);
        };
        CountingCheck counting;
        const auto start = Clock::now();
        {
            InterruptionScope scope(&CountingCheck::check, &counting);
            EXPECT_THROW(for_each_range(n, evaluation_min_half, slow, &pool, interruption_budget), Interrupted);
        }
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500)) << n << " items";
        EXPECT_LT(done.load(), n);
    }
}

TEST(InterruptionPacer, LooksAtTheClockOncePerBudget) {
    CountingCheck counting;
    InterruptionScope scope(&CountingCheck::check, &counting);
    std::this_thread::sleep_for(interruption_interval + std::chrono::milliseconds(5));
    InterruptionPacer pacer;
    pacer.done(interruption_budget - 1);
    EXPECT_EQ(counting.runs.load(), 0) << "looked before its budget was used up";
    EXPECT_THROW(pacer.done(1), Interrupted);
    EXPECT_EQ(counting.runs.load(), 1);
    // A new budget starts with the look.
    pacer.done(interruption_budget - 1);
    EXPECT_EQ(counting.runs.load(), 1);
}

// Long computations of the core, each taking seconds, whose steps (a matrix
// column, an exactly computed entry, the integrals of one piece at a high
// degree) report their work from inside: each ends soon after its check
// first throws, `after` the start (so that the part under test has begun).
struct LongComputation {
    const char* name;
    std::chrono::milliseconds after;
    void (*run)();
};

void PrintTo(const LongComputation& c, std::ostream* os) { *os << c.name; }

// Throws from its first run at or after `due`.
struct DeadlineCheck {
    Clock::time_point due;
    static void check(void* context) {
        if (Clock::now() >= static_cast<DeadlineCheck*>(context)->due)
            throw Interrupted();
    }
};

class EndsSoon : public testing::TestWithParam<LongComputation> {};

TEST_P(EndsSoon, OnceTheCheckThrows) {
    DeadlineCheck deadline{Clock::now() + GetParam().after};
    {
        InterruptionScope scope(&DeadlineCheck::check, &deadline);
        EXPECT_THROW(GetParam().run(), Interrupted);
    }
    EXPECT_LT(Clock::now() - deadline.due, std::chrono::milliseconds(500));
}

INSTANTIATE_TEST_SUITE_P(
    LongComputations, EndsSoon,
    testing::Values(LongComputation{"InvertingA1500Matrix", std::chrono::milliseconds(0),
                                    [] {
                                        constexpr std::size_t n = 1500;
                                        std::vector<double> m(n * n, 0.0);
                                        for (std::size_t i = 0; i < n; ++i)
                                            m[i + n * i] = 2.0;
                                        invert(m, n);
                                    }},
                    // Every entry of the re-expansion on one sub-interval is computed in
                    // exact integers (the zeros cannot be rounded from double-double).
                    LongComputation{"ReexpansionAtDegree150", std::chrono::milliseconds(0),
                                    [] { legendre_prolongation_matrix(150, 1, 1); }},
                    LongComputation{"NestedRestrictionAtDegree120", std::chrono::milliseconds(0),
                                    [] { legendre_restriction_matrix(120, 1, 2); }},
                    // First the 1501-point Gauss rule (some 0.5 s), then two pieces of
                    // some 7 * 10^9 operations each (seconds).
                    LongComputation{"GaussRuleAtDegree1500", std::chrono::milliseconds(0),
                                    [] { legendre_prolongation_matrix(1500, 2, 3); }},
                    LongComputation{"ProjectionAtDegree1500", std::chrono::milliseconds(1000),
                                    [] { legendre_prolongation_matrix(1500, 2, 3); }},
                    // Exact integrals of products of degree-100 polynomials (some 5 s).
                    LongComputation{"LagrangeReferenceMassAtDegree100", std::chrono::milliseconds(0),
                                    [] { lagrange_reference_mass(100); }}),
    [](const testing::TestParamInfo<LongComputation>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace pwpoly
